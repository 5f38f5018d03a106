#pragma once
// Labels that look as enabled as the control they name.
class QLabel;
class QString;
class QWidget;

namespace vrlconf {

// Keeps label's enabled state equal to its buddy's, now and whenever the buddy's changes (set
// directly or through a parent). A label without a buddy is left alone.
void FollowBuddy(QLabel* label);
// A label whose mnemonic focuses buddy and whose enabled state follows it.
QLabel* BuddyLabel(const QString& text, QWidget* buddy);

}  // namespace vrlconf
