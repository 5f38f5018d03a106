// The console window against a real agent on this test's own session bus: start and stop from
// the menus and the tray's deferred commands, the state display, the relayed boxes, the log list
// and its viewer, AutoExit, health and the single instance.
#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QUrl>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include "PollFor.h"
#include "AgentControl.h"
#include "AppFolder.h"
#include "ConsoleArguments.h"
#include "FrmMsgLog.h"
#include "HelpTopic.h"
#include "SingleInstance.h"
#include "FrmQuorvoAgentConsole.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"
#include "SystrayIcon.h"

namespace {

using vrltest::PollFor;

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    home_ = dir_.path() + "/home", tmp_ = dir_.path() + "/tmp";
    QDir().mkpath(home_), QDir().mkpath(tmp_);
    qputenv("TMPDIR", tmp_.toUtf8());
    qputenv("VORLANE_HOME", home_.toUtf8());
    vrl::SetApplicationFolder(home_);
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "the tests run under dbus-run-session";
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "UpdateActivationEnvironment");
    m << QVariant::fromValue(QMap<QString, QString>{{"VORLANE_HOME", home_}, {"TMPDIR", tmp_}});
    ASSERT_EQ(QDBusConnection::sessionBus().call(m).type(), QDBusMessage::ReplyMessage);
  }
  void TearDown() override { vrl::SetApplicationFolder(QString()); }

  void Configure(bool autoExit = false, bool withProfile = true) {
    GlobalRecord g;
    g.ConfigFlag = 1, g.PrcInterval = 1, g.ShowErrorMsgs = true, g.AutoExit = autoExit;
    ASSERT_TRUE(WriteGlobalRecord(g));
    if (!withProfile) return;
    ProfileRecord p;
    p.PrfEnabled = true, p.Prfname = "Idle", p.HostType = 2;
    ASSERT_TRUE(CreateProfilesFile());
    ASSERT_TRUE(AddProfileRecord(p));
  }
  // A loaded window whose boxes and configuration calls are recorded.
  std::unique_ptr<FrmQuorvoAgentConsole> Open(bool connect = true) {
    auto w = std::make_unique<FrmQuorvoAgentConsole>(connect);
    w->boxHandler = [this](const QString& text, vrl::MsgBoxIcon) { boxes_ << text; };
    w->configure = [this](QWidget*) { ++configured_; return false; };
    QObject::connect(w.get(), &FrmQuorvoAgentConsole::Ended, [this] { ended_ = true; });
    EXPECT_TRUE(w->Load(false));
    return w;
  }
  static QAction* Act(QWidget* w, const char* name) { return w->findChild<QAction*>(name); }
  static QString State(QWidget* w) { return w->findChild<QLabel*>("LblAgentState")->text(); }

  QTemporaryDir dir_;
  QString home_, tmp_;
  QStringList boxes_;
  int configured_ = 0;
  bool ended_ = false;
};

TEST_F(ConsoleTest, MenusAndDeferredTrayCommandsDriveTheAgent) {
  Configure();
  auto w = Open();
  EXPECT_EQ(State(w.get()), "Inactive");
  EXPECT_FALSE(Act(w.get(), "Menu_App_Stop")->isEnabled());
  EXPECT_EQ(w->Systray()->TipText(), "Vorlane Is Inactive");

  Act(w.get(), "Menu_App_Start")->trigger();
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Active"; }));
  EXPECT_EQ(w->Systray()->TipText(), "Vorlane Is Active");
  EXPECT_FALSE(Act(w.get(), "MenuStart")->isEnabled());
  EXPECT_TRUE(Act(w.get(), "BT_STOP_AGENT")->isEnabled());
  // Configuration is refused while the agent runs (its entries stay disabled from the start).
  EXPECT_FALSE(Act(w.get(), "Menu_App_Config")->isEnabled());
  w->DoConfigure();
  EXPECT_EQ(configured_, 0);
  ASSERT_EQ(boxes_.size(), 1);

  // The tray's entries act after the pop-up has closed.
  Act(w.get(), "MenuStop")->trigger();
  EXPECT_EQ(State(w.get()), "Active");
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Inactive"; }));
  EXPECT_EQ(w->Systray()->TipText(), "Vorlane Is Inactive");
  EXPECT_TRUE(Act(w.get(), "MenuStart")->isEnabled());
  Act(w.get(), "Menu_Configure")->trigger();
  ASSERT_TRUE(PollFor([&] { return configured_ == 1; }));
  Act(w.get(), "MenuStart")->trigger();
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Active"; }));

  // Another client's stop wins; the health of the cycles reaches the status bar.
  ASSERT_TRUE(PollFor([&] { w->UpdateHealth(); return w->HealthText().startsWith("Last cycle "); }))
      << w->HealthText().toStdString();
  ClsStartStopEng(AgentHold::Detached).StopMailAgent();
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Inactive"; }));

  // Exit through the tray while running: stop first, then close.
  Act(w.get(), "MenuStart")->trigger();
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Active"; }));
  Act(w.get(), "Menu_TerminarQuorvo")->trigger();
  ASSERT_TRUE(PollFor([&] { return ended_; }));
  EXPECT_FALSE(Act(w.get(), "Menu_App_Exit")->isEnabled());
  EXPECT_FALSE(w->Systray()->Visible());
}

TEST_F(ConsoleTest, AFailedStartRelaysTheBoxAndAutoExitCloses) {
  Configure(/*autoExit=*/true, /*withProfile=*/false);
  auto w = Open();
  w->hide();
  Act(w.get(), "BT_START_AGENT")->trigger();
  ASSERT_TRUE(PollFor([&] { return ended_; }));
  auto* box = w->findChild<QMessageBox*>("RelayedBox");
  ASSERT_TRUE(box);
  EXPECT_TRUE(box->text().startsWith("Configuration File Not Found: ")) << box->text().toStdString();
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  EXPECT_FALSE(box->isModal());
}

TEST_F(ConsoleTest, TheLogListFollowsTheTemporaryLog) {
  Configure();
  auto w = Open();
  QListWidget* list = w->ListLogView();
  Act(w.get(), "Menu_App_Start")->trigger();
  ASSERT_TRUE(PollFor([&] { return State(w.get()) == "Active"; }));
  Act(w.get(), "BT_LOG_REFRESH")->trigger();
  ASSERT_GE(list->count(), 2);
  EXPECT_TRUE(list->item(0)->text().endsWith(" \u00BB INFORMATION: Starting Vorlane Agent"));
  EXPECT_EQ(list->currentRow(), list->count() - 1);

  // Auto refresh adds the stop's lines below and keeps the selection.
  Act(w.get(), "BT_LOG_AUTOREFRESH")->trigger();
  EXPECT_TRUE(Act(w.get(), "Menu_App_LogAutoRefresh")->isChecked());
  EXPECT_FALSE(Act(w.get(), "BT_LOG_REFRESH")->isEnabled());
  list->setCurrentRow(0);
  const int before = list->count();
  Act(w.get(), "Menu_App_Stop")->trigger();
  ASSERT_TRUE(PollFor([&] { return list->count() > before; }, 5000));
  EXPECT_EQ(list->currentRow(), 0);
  EXPECT_TRUE(list->item(list->count() - 1)->text().endsWith("Vorlane Agent Stopped"));

  // Clear: the list stays empty until the agent writes a new file.
  Act(w.get(), "BT_LOG_CLEAR")->trigger();
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(ClsGetLog(AgentHold::Detached).GetTempLogFileName(), "");
  PollFor([] { return false; }, 1300);
  EXPECT_EQ(list->count(), 0);
  Act(w.get(), "Menu_App_Start")->trigger();
  ASSERT_TRUE(PollFor([&] { return list->count() >= 2; }, 5000));
  EXPECT_TRUE(list->item(0)->text().endsWith("Starting Vorlane Agent"));
}

TEST_F(ConsoleTest, PagingAndTheViewerMoveTheListSelection) {
  auto w = std::make_unique<FrmQuorvoAgentConsole>(false);
  const QString log = tmp_ + "/VRQ1.TMP";
  QFile f(log);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("one\r\nERROR:\t two\r\nthree\r\npartial");
  f.close();
  w->SetTempLogName(log);
  QListWidget* list = w->ListLogView();
  Act(w.get(), "BT_LOG_NEXT")->trigger();  // empty list: nothing
  w->LoadLog(false);
  ASSERT_EQ(list->count(), 3) << "a line without its end waits";
  EXPECT_EQ(list->item(1)->text(), "ERROR:\t two");
  // Previous/next stay inside the list; with no selection next takes the first line.
  const std::pair<const char*, int> steps[] = {{"BT_LOG_NEXT", 0}, {"BT_LOG_PREV", 0}, {"BT_LOG_NEXT", 1},
                                               {"Menu_App_LogMoveNext", 2}, {"BT_LOG_NEXT", 2}};
  for (const auto& [key, row] : steps) {
    Act(w.get(), key)->trigger();
    EXPECT_EQ(list->currentRow(), row) << key;
  }
  // The viewer steps through the console's list and leaves the selection on the line it showed.
  ASSERT_TRUE(f.open(QIODevice::Append));
  f.write(" four\r\n");
  f.close();
  w->LoadLog(false);
  ASSERT_EQ(list->count(), 4);
  EXPECT_EQ(list->item(3)->text(), "partial four");
  list->setCurrentRow(1);
  QStringList shown;
  QTimer::singleShot(0, [&] {
    auto* v = w->findChild<FrmMsgLog*>("FrmMsgLog");
    shown << v->Text();
    for (const char* b : {"CmdPrev", "CmdPrev", "CmdNext", "CmdNext", "CmdNext", "CmdNext"}) {
      v->findChild<QPushButton*>(b)->click();
      shown << v->Text();
    }
    v->findChild<QPushButton*>("Command1")->click();
  });
  Act(w.get(), "BT_LOG_VIEW")->trigger();
  EXPECT_EQ(shown, QStringList({"ERROR:\t two", "one", "one", "ERROR:\t two", "three", "partial four", "partial four"}));
  EXPECT_EQ(list->currentRow(), 3);
}

TEST_F(ConsoleTest, ASecondConsoleShowsTheFirstAndEnds) {
  Configure();
  ClsStartStopEng control(AgentHold::Detached);
  ASSERT_TRUE(control.SetModeDebug(false));
  QProcess first;
  first.start(VRL_BIN_DIR "/VRL31", {"-Debug"});
  ASSERT_TRUE(first.waitForStarted());
  // The second comes once the first owns the folder's name (two at once would both be first).
  const QString name = SingleInstance().ServiceName();
  ASSERT_TRUE(PollFor([&] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value(); }, 20000))
      << first.readAllStandardError().toStdString();
  EXPECT_TRUE(PollFor([&] { return control.ModeDebug(); }, 20000));
  // Unknown words are ignored, and --home wins over $VORLANE_HOME: the second finds the first.
  QProcess second;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("VORLANE_HOME", dir_.path() + "/elsewhere");
  second.setProcessEnvironment(env);
  second.start(VRL_BIN_DIR "/VRL31", {"--home", home_, "-DEBUG", "extra"});
  ASSERT_TRUE(second.waitForFinished(15000));
  EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
  EXPECT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().toStdString();
  first.kill();
  first.waitForFinished();
}

TEST(ConsoleArgumentsTest, WindowDebugAndHome) {
  const struct { QStringList args; bool window, debug; std::optional<QString> home; } cases[] = {
      {{}, true, false, {}},
      {{"-DEBUG"}, true, true, {}},
      {{"/dEbUg"}, true, true, {}},
      {{"-DEBUG", "extra"}, true, false, {}},
      {{"--frobnicate", "-x"}, true, false, {}},
      {{"--home", "/h", "-debug"}, true, true, "/h"},
      {{"/debug", "--home=/h"}, true, true, "/h"},
      {{"--home"}, true, false, ""},
      {{"--status", "--home", "/h"}, false, false, "/h"},
      {{"-DEBUG", "--debug=on"}, false, false, {}},
      {{"extra", "--json"}, false, false, {}},
      {{"--metrics", "-DEBUG"}, false, false, {}},
  };
  for (const auto& c : cases) {
    const ConsoleArguments a = ReadConsoleArguments(c.args);
    EXPECT_EQ(std::tuple(a.window, a.debug, a.home), std::tuple(c.window, c.debug, c.home)) << c.args.join(' ').toStdString();
  }
}

TEST(ConsoleArgumentsTest, WithoutADisplayTheWindowEndsWith3) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(var);
  const std::pair<QStringList, int> cases[] = {
      {{}, 3}, {{"-DEBUG", "extra"}, 3}, {{"--frobnicate"}, 3}, {{"--home"}, 2}, {{"--json"}, 2}};
  for (const auto& [args, code] : cases) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(VRL_BIN_DIR "/VRL31", args);
    EXPECT_TRUE(p.waitForFinished(15000));
    EXPECT_EQ(p.exitCode(), code) << args.join(' ').toStdString();
  }
}

// Records the pages the desktop is asked to open.
class PageRecorder : public QObject {
  Q_OBJECT
 public slots:
  void Open(const QUrl& url) { pages << QDir(vrlconf::HelpFolder()).relativeFilePath(url.toLocalFile()); }

 public:
  QStringList pages;
};

TEST_F(ConsoleTest, HelpOpensItsPagesAndAboutNamesVersionAndLicences) {
  PageRecorder opened;
  QDesktopServices::setUrlHandler("file", &opened, "Open");
  FrmQuorvoAgentConsole w(false);
  w.show();
  // Every box is answered and kept: a missing page would say so in one.
  QStringList boxes;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      boxes << box->text() + "\n" + box->informativeText();
      box->accept();
    }
  });
  answer.start(10);
  QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(&w, &f1);
  for (const char* name : {"BT_HELP", "Menu_App_HelpContents", "Menu_Help"}) Act(&w, name)->trigger();
  EXPECT_EQ(opened.pages, QStringList({"Html/Interface.html", "Html/Interface.html", "index.html", "index.html"}));
  EXPECT_TRUE(boxes.isEmpty()) << boxes.join('|').toStdString();

  Act(&w, "Menu_App_HelpAbaut")->trigger();
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_TRUE(boxes[0].contains(QRegularExpression("Vorlane [0-9]+\\.[0-9]+")) &&
              boxes[0].contains("Qt " + QString::fromLatin1(qVersion()) + ": GNU LGPL v3") &&
              boxes[0].contains("OpenSSL 3") && boxes[0].contains("Apache License 2.0"))
      << boxes[0].toStdString();
  QDesktopServices::unsetUrlHandler("file");
}

}  // namespace

#include "ConsoleWindowTest.moc"
