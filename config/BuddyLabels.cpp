#include "BuddyLabels.h"

#include <QEvent>
#include <QLabel>
#include <QPointer>

namespace vrlconf {
namespace {

// Watches the buddy; a child of the label, so it goes with the label. Installing it twice on
// one label is avoided by its object name.
class Follower : public QObject {
 public:
  Follower(QLabel* label, QWidget* buddy) : QObject(label), label_(label), buddy_(buddy) {
    setObjectName(QStringLiteral("vrl_buddy_follower"));
    buddy->installEventFilter(this);
    // A parent enabled again enables the label but not a box disabled on its own.
    label->installEventFilter(this);
    Sync();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if ((watched == buddy_ || watched == label_) && event->type() == QEvent::EnabledChange) Sync();
    return false;
  }

 private:
  void Sync() {
    if (buddy_ && label_->isEnabled() != buddy_->isEnabled()) label_->setEnabled(buddy_->isEnabled());
  }
  QLabel* label_;
  QPointer<QWidget> buddy_;
};

}  // namespace

void FollowBuddy(QLabel* label) {
  if (!label->buddy() || label->findChild<QObject*>(QStringLiteral("vrl_buddy_follower"), Qt::FindDirectChildrenOnly))
    return;
  new Follower(label, label->buddy());
}

QLabel* BuddyLabel(const QString& text, QWidget* buddy) {
  auto* label = new QLabel(text);
  label->setBuddy(buddy);
  FollowBuddy(label);
  return label;
}

}  // namespace vrlconf
