// The console: idle, running with the log of a cycle, the log viewer, the tray menu, the About
// box and a box the agent relays.
#include "Screens.h"

#include <QApplication>
#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QTemporaryDir>

#include "FrmMsgLog.h"
#include "FrmQuorvoAgentConsole.h"

namespace {

const char kCycle[] =
    "06-12-2026 14:03:25 \xC2\xBB INFORMATION: Starting Vorlane Agent\r\n"
    "06-12-2026 14:03:25 \xC2\xBB INFORMATION: Vorlane Agent Started\r\n"
    "06-12-2026 14:03:27 \xC2\xBB INFORMATION: Profile \"Invoices\": connected to smtp.example.com:587 with TLSv1.3\r\n"
    "06-12-2026 14:03:27 \xC2\xBB INFORMATION: Profile \"Invoices\": File /srv/vorlane/out/INV-2026-0112.PDF sent to accounts@example.com\r\n"
    "06-12-2026 14:03:28 \xC2\xBB INFORMATION: Profile \"Invoices\": File /srv/vorlane/out/INV-2026-0113.PDF sent to accounts@example.com\r\n"
    "06-12-2026 14:03:29 \xC2\xBB INFORMATION: Profile \"Orders\": connected to pop.example.com:995 with TLSv1.3\r\n"
    "06-12-2026 14:03:29 \xC2\xBB INFORMATION: Profile \"Orders\": 2 messages received, attachments saved in /srv/vorlane/in\r\n"
    "06-12-2026 14:03:30 \xC2\xBB ERROR:\t Profile \"Reports\": Connection refused. (10061) smtp.reports.example.com:25\r\n";

void Write(const QString& path) {
  QFile f(path);
  if (f.open(QIODevice::WriteOnly)) f.write(kCycle);
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
  Write(log);
  w.SetTempLogName(log);
  w.ExecLogCommand(QStringLiteral("BT_LOG_REFRESH"));
  QApplication::processEvents();
  w.grab().save(out + QStringLiteral("/FrmQuorvoAgentConsole-running.png"));

  FrmMsgLog viewer(w.ListLogView(), &w);
  viewer.SetText(w.ListLogView()->currentItem()->text());
  viewer.show();
  viewer.grab().save(out + QStringLiteral("/FrmMsgLog.png"));

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
