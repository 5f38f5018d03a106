// The agent program end to end: VRLEng31 run on a prepared application folder.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>

#include "AgentFixture.h"

#include <unistd.h>

namespace {

class AgentProgramTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert("TMPDIR", tmp_);
    env_.remove("VORLANE_HOME");
    env_.insert("XDG_CONFIG_HOME", Path("xdg"));
    // No session bus: these agents must not meet a desktop's.
    env_.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus"));
  }
  int Run(const QStringList& args, QByteArray* out = nullptr, QByteArray* err = nullptr) {
    return AgentEnvironment::Run(VRL_BIN_DIR "/VRLEng31", args, env_, out, err);
  }
  QStringList TempFiles() const { return QDir(tmp_).entryList({"VRQ*.TMP"}, QDir::Files); }

  QProcessEnvironment env_;
};

TEST_F(AgentProgramTest, OneCycleOverTheProfilesThenItStops) {
  global_.AutoExit = true;
  SaveGlobal();
  // One SMTP connection per run, taking the two files of Orders.
  vrltest::ScriptedServer smtp({agenttest::SmtpTaking(2), agenttest::SmtpTaking(2)});
  ProfileRecord orders = MakeProfile("Orders"), invoices = MakeProfile("Invoices");
  ProfileRecord archive = MakeProfile("Archive"), reports = MakeProfile("Reports");
  orders.SmtpServer = "127.0.0.1", orders.SmtpTcpPort = smtp.port();
  orders.FromAddress = "agent@example.com", orders.RecAddress = "orders@example.com";
  invoices.InboundDir = Path("Invoices/missing-in");
  archive.PrfEnabled = false;
  reports.PrcInboundMessages = false;
  for (const auto& p : {orders, invoices, archive, reports}) AddProfile(p);

  QStringList expected = {QString(88, '#'), "INFORMATION: Starting Vorlane Agent",
                          "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"",
                          "INFORMATION: Configuration File OK"};
  if (geteuid() == 0)
    expected << "ALERT:\t The Agent Runs As Root: whoever can write an outbound folder can send any file of this "
                "machine; run it as a user of its own, or set AttachmentFolders";
  expected << "INFORMATION: Vorlane Agent Started" << "INFORMATION: Starting Session with the Profile: Orders";
  for (const char* f : {"ORDER1.TXT", "order2.txt"})
    expected << "INFORMATION: Sending New Message" << "INFORMATION: Destination Address: orders@example.com"
             << "INFORMATION: Attachment File: " + orders.OutboundDir + "/" + f
             << "INFORMATION: Message Successfully Sent";
  expected << "ERROR:\t Profile:  'Invoices' Inbound Directory Not Found: " + invoices.InboundDir
           << "INFORMATION: Stopping Session with the Profile: Orders" << "INFORMATION: Vorlane Agent Stopped";
  const QRegularExpression stamped("^\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d \u00BB ");
  for (const bool viaEnvironment : {false, true}) {
    SCOPED_TRACE(viaEnvironment ? "VORLANE_HOME" : "--home");
    Drop(orders, "ORDER1.TXT");
    Drop(orders, "order2.txt");
    QFile::remove(global_.LogFileName);
    if (viaEnvironment) env_.insert("VORLANE_HOME", home_);
    EXPECT_EQ(Run(viaEnvironment ? QStringList{"--run"} : QStringList{"--run", "--home", home_}), 3)
        << "the run logged an error (Invoices)";
    const QStringList lines = Lines(global_.LogFileName);
    for (const QString& line : lines.mid(1)) EXPECT_TRUE(stamped.match(line).hasMatch()) << line.toStdString();
    EXPECT_EQ(LogFile(), expected);
    EXPECT_TRUE(TempFiles().isEmpty()) << "the temporary log goes with the program";
  }
  EXPECT_TRUE(smtp.waitDone());
  EXPECT_EQ(smtp.errors(), QStringList{});
}

TEST_F(AgentProgramTest, ASignalWhileWaitingForTheNextCycleStopsInOrder) {
  global_.PrcInterval = 1;
  global_.PrcIntervalUnit = 2;
  SaveGlobal();
  ProfileRecord orders = MakeProfile("Orders");
  AddProfile(orders);
  for (int sig : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    Drop(orders, "ORDER1.TXT");  // no server: it goes to .BAD in each run
    QFile::remove(global_.LogFileName);
    QProcess p;
    p.setProcessEnvironment(env_);
    p.start(VRL_BIN_DIR "/VRLEng31", {"--run", "--verbose", "--home", home_});
    ASSERT_TRUE(p.waitForStarted(10000));
    QByteArray seen;
    const QDeadlineTimer deadline(20000);
    while (!seen.contains("Starting Session with the Profile: Orders") && !deadline.hasExpired() &&
           p.state() == QProcess::Running) {
      p.waitForReadyRead(100);
      seen += p.readAllStandardOutput();
    }
    ASSERT_TRUE(seen.contains("Starting Session with the Profile: Orders")) << seen.data();
    ::kill(static_cast<pid_t>(p.processId()), sig);
    ASSERT_TRUE(p.waitForFinished(20000));
    seen += p.readAllStandardOutput();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    const QStringList log = LogFile();
    // The stop may come before ORDER1.TXT is tried; status 3 exactly when an error was logged.
    EXPECT_EQ(p.exitCode(), log.filter(QRegularExpression("^ERROR:")).isEmpty() ? 0 : 3);
    ASSERT_GE(log.size(), 2);
    EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"INFORMATION: Stopping Session with the Profile: Orders",
                                                    "INFORMATION: Vorlane Agent Stopped"}));
    // --verbose echoes the same lines, the separator aside.
    EXPECT_EQ(QString::fromUtf8(seen).split('\n', Qt::SkipEmptyParts).size(), log.size() - 1);
  }
}

TEST_F(AgentProgramTest, TheTerminalGetsOneActionableLinePerProblem) {
  AddProfile(MakeProfile("Orders"));
  const QString badLog = Path("no-such-folder/vorlane.log");
  const QString goesOn = ": No such file or directory (said once; the run goes on and ends with status 3)";
  const struct {
    const char* name;
    std::function<void()> prepare;
    QStringList args;
    int status;
    QStringList said;  // each exactly once on standard error
  } cases[] = {
      {"no configuration", [&] { QDir().mkpath(Path("empty")); }, {"--run", "--home", Path("empty")}, 1,
       {"VRLEng31: cannot start: no global options file VRL3GCF.GCF in " + Path("empty") +
        "; write a configuration with: VRLCfg31 --home " + Path("empty") + " --import FILE (see demo/demo-config.json)"}},
      {"mistyped folder", [] {}, {"--run", "--home", Path("typo")}, 1,
       {"VRLEng31: cannot start: the application folder " + Path("typo") +
        " does not exist; check --home or $VORLANE_HOME, or write a configuration with: VRLCfg31 --home " +
        Path("typo") + " --import FILE"}},
      {"unknown option", [] {}, {"--bogus"}, 2, {"VRLEng31: Unknown option 'bogus'. (see VRLEng31 --help)"}},
      {"log folder missing",
       [&] {
         global_.LogFileName = badLog;
         global_.AutoExit = true;
         SaveGlobal();
       },
       {"--run", "--home", home_}, 3,
       {"VRLEng31: cannot write the log " + badLog + goesOn, "VRLEng31: Error :76 Path not found: " + badLog}},
      {"temporary folder missing",
       [&] {
         global_.LogFileName = home_ + "/vorlane.log";
         SaveGlobal();
         env_.insert("TMPDIR", Path("no-tmp"));
       },
       {"--run", "--home", home_}, 3,
       {"VRLEng31: cannot write the log " + Path("no-tmp") + "/VRQ*.TMP" + goesOn,
        "VRLEng31: Error Creating Temporary File!!!"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.prepare();
    QByteArray err;
    EXPECT_EQ(Run(c.args, nullptr, &err), c.status);
    for (const QString& line : c.said) EXPECT_EQ(QString::fromUtf8(err).split('\n').count(line), 1) << err.data();
  }
  EXPECT_FALSE(QFileInfo::exists(Path("typo"))) << "a failed start creates no folder";
}

TEST_F(AgentProgramTest, TemporaryLogsOfCrashedAgentsAreRemovedAtTheStart) {
  global_.AutoExit = true;
  SaveGlobal();
  AddProfile(MakeProfile("Orders"));
  QProcess gone;
  gone.start("/bin/sleep", {"0.1"});
  ASSERT_TRUE(gone.waitForStarted());
  const QString stale = QStringLiteral("VRQ%1-abcdef.TMP").arg(gone.processId());
  ASSERT_TRUE(gone.waitForFinished());
  const QString reused = QStringLiteral("VRQ%1-abcdef.TMP").arg(QCoreApplication::applicationPid());
  for (const QString& name : {stale, reused, QStringLiteral("VRQold.TMP")}) WriteFile(tmp_ + "/" + name, "");
  EXPECT_EQ(Run({"--run", "--home", home_}), 0);
  EXPECT_EQ(TempFiles(), QStringList{"VRQold.TMP"}) << "a name of unknown origin stays";
}

TEST_F(AgentProgramTest, WithoutRunItNeedsTheSessionBus) {
  SaveGlobal();
  AddProfile(MakeProfile("Orders"));
  QByteArray err;
  EXPECT_EQ(Run({"--home", home_}, nullptr, &err), 1);
  EXPECT_TRUE(err.contains("Use --run")) << "it says how to run without a console: " << err.data();
  EXPECT_FALSE(QFileInfo::exists(global_.LogFileName)) << "nothing was started";
}

}  // namespace
