#include "TabKeys.h"

#include <QShortcut>
#include <QTabWidget>

namespace vrlconf {
namespace {

void Step(QTabWidget* tabs, int by) {
  const int n = tabs->count();
  for (int i = 1; i < n; ++i) {
    const int at = ((tabs->currentIndex() + by * i) % n + n) % n;
    if (tabs->isTabEnabled(at) && tabs->isTabVisible(at)) {
      tabs->setCurrentIndex(at);
      return;
    }
  }
}

}  // namespace

void InstallTabKeys(QWidget* window, QTabWidget* tabs) {
  auto* next = new QShortcut(window);
  next->setKeys({QKeySequence(Qt::CTRL | Qt::Key_Tab)});
  QObject::connect(next, &QShortcut::activated, tabs, [tabs] { Step(tabs, 1); });
  // Shift+Tab arrives as Backtab on most keyboards.
  auto* previous = new QShortcut(window);
  previous->setKeys({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab)});
  QObject::connect(previous, &QShortcut::activated, tabs, [tabs] { Step(tabs, -1); });
}

}  // namespace vrlconf
