// The console: idle, running with the log of a cycle, the log viewer, the tray icon and its menu,
// the About box and a box the agent relays.
#include "Screens.h"

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QTemporaryDir>

#include "ConsoleArt.h"

#include "FrmMsgLog.h"
#include "FrmQuorvoAgentConsole.h"

namespace {

// The log and the health record of a real cycle, kept from a run of scripts/demo.sh with
// VORLANE_DEMO_DIR=/tmp/vorlane-demo: the lines of vorlane.log (without the separator line the
// temporary log does not get) and VRLEng31.health of that folder.
QByteArray DemoFile(const char* name) {
  QFile f(QStringLiteral(VRL_SOURCE_DIR "/tests/screens/") + QLatin1String(name));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

const vrlscreens::Register kConsole(QStringLiteral("FrmQuorvoAgentConsole"), [](const QString& out) {
  QTemporaryDir tmp;
  FrmQuorvoAgentConsole idle(false);
  idle.show();
  idle.grab().save(out + QStringLiteral("/FrmQuorvoAgentConsole-idle.png"));

  FrmQuorvoAgentConsole w(false);
  w.show();
  w.AgStat_AgentState(1);
  w.AgStat_AgentState(1);  // a later animation frame
  const QString log = tmp.path() + QStringLiteral("/VRQ1.TMP");
  QFile temp(log);
  if (temp.open(QIODevice::WriteOnly)) temp.write(DemoFile("demo-cycle.log"));
  temp.close();
  w.SetTempLogName(log);
  w.ExecLogCommand(QStringLiteral("BT_LOG_REFRESH"));
  w.ShowHealth(QString::fromUtf8(DemoFile("demo-cycle.health")));
  QApplication::processEvents();
  w.grab().save(out + QStringLiteral("/FrmQuorvoAgentConsole-running.png"));

  FrmMsgLog viewer(w.ListLogView(), &w);
  viewer.SetText(w.ListLogView()->currentItem()->text());
  viewer.show();
  viewer.grab().save(out + QStringLiteral("/FrmMsgLog.png"));

  // The tray icon's frames as a panel of the palette's window colour shows them, at the usual
  // size and at twice it.
  QPixmap tray(console::kFrames * 76 + 8, 56);
  tray.fill(w.palette().color(QPalette::Window));
  QPainter paint(&tray);
  for (int f = 0; f < console::kFrames; ++f) {
    console::Image1(f).paint(&paint, QRect(8 + f * 76, 17, 22, 22));
    console::Image1(f).paint(&paint, QRect(36 + f * 76, 6, 44, 44));
  }
  paint.end();
  tray.save(out + QStringLiteral("/SystrayIcon-frames.png"));

  QMenu* menu = w.MenuAgent();
  menu->popup(QPoint(0, 0));
  menu->grab().save(out + QStringLiteral("/SystrayIcon-menu.png"));
  menu->hide();

  std::unique_ptr<QMessageBox> about(FrmQuorvoAgentConsole::MakeAboutBox(&w));
  about->show();
  about->grab().save(out + QStringLiteral("/About.png"));

  QMessageBox error(QMessageBox::Critical, QStringLiteral("Vorlane"),
                    QStringLiteral("Error :76\rPath not found: /srv/vorlane/logs/vorlane.log"), QMessageBox::Ok, &w);
  error.show();
  error.grab().save(out + QStringLiteral("/MessageBox-error.png"));
});

}  // namespace
