#pragma once
// Message boxes. Every box of the system carries the title "Vorlane". Headless programs hand the
// text to a handler (by default: standard error with the icon kind); GUI programs install one
// that shows a real dialog.
#include <QString>
#include <functional>

namespace vrl {

enum class MsgBoxIcon { Critical, Exclamation, Information, None };

inline constexpr const char* kMessageBoxTitle = "Vorlane";

void ShowMessageBox(const QString& text, MsgBoxIcon icon);

using MessageBoxHandler = std::function<void(const QString& text, MsgBoxIcon icon)>;
// Replaces the handler; an empty function restores the default (standard error).
void SetMessageBoxHandler(MessageBoxHandler handler);

const char* MsgBoxIconName(MsgBoxIcon icon);

}  // namespace vrl
