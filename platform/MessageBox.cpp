#include "MessageBox.h"

#include <cstdio>

namespace vrl {
namespace {
MessageBoxHandler& Handler() {
  static MessageBoxHandler h;
  return h;
}
}  // namespace

const char* MsgBoxIconName(MsgBoxIcon icon) {
  switch (icon) {
    case MsgBoxIcon::None: return "none";
    case MsgBoxIcon::Critical: return "critical";
    case MsgBoxIcon::Exclamation: return "exclamation";
    case MsgBoxIcon::Information: return "information";
  }
  return "information";
}

void ShowMessageBox(const QString& text, MsgBoxIcon icon) {
  if (auto& h = Handler()) {
    h(text, icon);
    return;
  }
  std::fprintf(stderr, "%s [%s]: %s\n", kMessageBoxTitle, MsgBoxIconName(icon), text.toUtf8().constData());
  std::fflush(stderr);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { Handler() = std::move(handler); }

}  // namespace vrl
