// The configuration window, each tab, and the box the configuration program shows while the
// agent processes messages.
#include "Screens.h"

#include <QTabWidget>

#include "FrmMain.h"

namespace {

const vrlscreens::Register kMain(QStringLiteral("FrmMain"), [](const QString& out) {
  FrmMain window;
  window.resize(560, 440);
  auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("SSTab1"));
  const char* names[] = {"General", "Profiles"};
  for (int i = 0; i < tabs->count(); ++i) {
    tabs->setCurrentIndex(i);
    window.grab().save(out + QStringLiteral("/FrmMain-%1.png").arg(QLatin1String(names[i])));
  }
});

}  // namespace
