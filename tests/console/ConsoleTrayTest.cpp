// The tray icon under Xvfb: without a notification-area host the console stays in the task bar;
// with one (trayer) the icon appears, its tip follows the state and a right click opens the menu.
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <gtest/gtest.h>

#include "PollFor.h"
#include "AgentTypes.h"
#include "FrmQuorvoAgentConsole.h"
#include "SystrayIcon.h"

namespace {

using vrltest::PollFor;

// The window the xembed tray icon lives in, once it is shown.
QWidget* TrayWindow() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (qstrcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0 && w->isVisible()) return w;
  return nullptr;
}

TEST(ConsoleTray, MouseMessagesBecomeTheirEvents) {
  SystrayIcon icon;
  QStringList events;
  QObject::connect(&icon, &SystrayIcon::MouseMove, [&] { events << "move"; });
  QObject::connect(&icon, &SystrayIcon::MouseDown, [&](int b) { events << QString("down%1").arg(b); });
  QObject::connect(&icon, &SystrayIcon::MouseUp, [&](int b) { events << QString("up%1").arg(b); });
  QObject::connect(&icon, &SystrayIcon::DblClick, [&](int b) { events << QString("dbl%1").arg(b); });
  for (int m = 0x1FF; m <= 0x20A; ++m) icon.HandleMouseMessage(m);
  EXPECT_EQ(events, QStringList({"move", "down1", "up1", "dbl1", "down2", "up2", "dbl2", "down4", "up4", "dbl4"}));
  // The tip keeps 63 characters; changes while hidden wait for the next Show.
  icon.SetTipText(QString(70, 'x'));
  EXPECT_EQ(icon.TipText().size(), 63);
  EXPECT_FALSE(icon.Visible());
  icon.Hide();
  EXPECT_FALSE(icon.Visible());
}

TEST(ConsoleTray, WithoutAHostTheConsoleStaysInTheTaskBar) {
  ASSERT_FALSE(SystrayIcon::AreaAvailable()) << "no notification-area host runs yet";
  FrmQuorvoAgentConsole w(false);
  w.boxHandler = [](const QString&, vrl::MsgBoxIcon) {};
  w.configure = [](QWidget*) { return false; };  // no folder configured: the window would wait
  ASSERT_TRUE(w.Load(false));
  w.HideConsole();
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(w.isMinimized());
}

TEST(ConsoleTray, WithAHostTheIconShowsTheStateAndOpensTheMenu) {
  const QString trayer = QStandardPaths::findExecutable("trayer");
  if (trayer.isEmpty()) GTEST_SKIP() << "trayer is not installed (apt-get install trayer): no notification-area host";
  QProcess host;
  host.start(trayer, {});
  ASSERT_TRUE(host.waitForStarted());
  ASSERT_TRUE(PollFor([] { return SystrayIcon::AreaAvailable(); }));
  {
    FrmQuorvoAgentConsole w(false);
    w.boxHandler = [](const QString&, vrl::MsgBoxIcon) {};
    w.configure = [](QWidget*) { return false; };  // no folder configured: the window would wait
    ASSERT_TRUE(w.Load(false));
    ASSERT_TRUE(PollFor([] { return TrayWindow() != nullptr; }));
    auto* tray = w.Systray()->findChild<QSystemTrayIcon*>();
    ASSERT_TRUE(tray);
    EXPECT_EQ(tray->toolTip(), "Vorlane Is Inactive");
    w.AgStat_AgentState(Running);
    EXPECT_EQ(tray->toolTip(), "Vorlane Is Active");

    QTest::mouseClick(TrayWindow(), Qt::RightButton);
    ASSERT_TRUE(PollFor([&] { return w.MenuAgent()->isVisible(); }));
    EXPECT_FALSE(w.findChild<QAction*>("Menu_ShowConsole")->isEnabled());
    w.MenuAgent()->hide();
    // Hidden into the tray, the window comes back with a double click.
    w.HideConsole();
    ASSERT_TRUE(PollFor([&] { return !w.isVisible(); }));
    QTest::mouseDClick(TrayWindow(), Qt::LeftButton);
    EXPECT_TRUE(PollFor([&] { return w.isVisible() && !w.isMinimized(); }));
  }
  host.terminate();
  host.waitForFinished();
}

}  // namespace
