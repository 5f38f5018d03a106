// The agent's control classes over D-Bus, each test on its own session bus: activation, the
// state events, the log, the holds that end the agent, --run, one agent per folder, and the
// command-line face, the health record, calls of the wrong shape, the introspection.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>

#include "PollFor.h"
#include "AgentControl.h"
#include "AgentFixture.h"
#include "ProfileUnattended.h"

namespace {

const QString kBin = VRL_BIN_DIR;

// Runs the event loop until pred holds or ms pass.
using vrltest::PollFor;

bool AgentOnBus() {
  return QDBusConnection::sessionBus().interface()->isServiceRegistered(agentbus::kServiceName).value();
}

class AgentBusTest : public agenttest::AgentEnvironment {
 protected:
  void SetUp() override {
    AgentEnvironment::SetUp();
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "the tests run under dbus-run-session";
    home_ = Path("home");
    vrl::SetApplicationFolder(home_);
    qputenv("VORLANE_HOME", QFile::encodeName(home_));  // the programs the tests run work on it too
    GlobalRecord global;
    global.ConfigFlag = 1, global.PrcInterval = 1, global.ShowErrorMsgs = true;
    ASSERT_TRUE(WriteGlobalRecord(global));
    qDBusRegisterMetaType<QMap<QString, QString>>();
    // The agent this bus starts works on this test's folders.
    QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus", "UpdateActivationEnvironment");
    m << QVariant::fromValue(QMap<QString, QString>{{"VORLANE_HOME", home_}, {"TMPDIR", tmp_}});
    ASSERT_EQ(QDBusConnection::sessionBus().call(m).type(), QDBusMessage::ReplyMessage);
  }
  void TearDown() override {
    qunsetenv("VORLANE_HOME");
    vrl::SetApplicationFolder(QString());
    AgentEnvironment::TearDown();
  }
  // A profile that is active but has nothing to do: cycles are quick and never end the agent.
  void AddIdleProfile() {
    ProfileRecord p;
    p.PrfEnabled = true, p.Prfname = "Idle", p.HostType = 2;
    ASSERT_TRUE(CreateProfilesFile());
    ASSERT_TRUE(AddProfileRecord(p));
  }
  // Runs a program of the build (or one named by its full path) to its end, bounded.
  static int Run(const QString& name, const QStringList& args, QByteArray* out = nullptr,
                 const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    return AgentEnvironment::Run(name.startsWith('/') ? name : kBin + "/" + name, args, env, out);
  }

  QString home_;
};

// Every AgentState event one object receives.
struct StateLog {
  explicit StateLog(ClsAgentState& s) {
    QObject::connect(&s, qOverload<qint32>(&ClsAgentState::AgentState), [this](qint32 v) { states.push_back(v); });
  }
  std::vector<qint32> states;
};

TEST_F(AgentBusTest, EveryListenerReceivesEveryStateChange) {
  // Creating an object starts the agent, idle.
  EXPECT_FALSE(AgentOnBus());
  ClsAgentState a, b;
  ASSERT_TRUE(a.IsValid()) << a.LastError().toStdString();
  EXPECT_TRUE(AgentOnBus());
  EXPECT_EQ(a.AgentState(), NotRunning);
  EXPECT_EQ(ClsGetLog().GetTempLogFileName(), "") << "an idle agent has logged nothing";
  ClsStartStopEng control;
  StateLog la(a), lb(b);
  std::vector<std::pair<QString, QString>> boxes;
  QObject::connect(&control, &ClsStartStopEng::MessageBox,
                   [&](const QString& text, const QString& icon) { boxes.push_back({text, icon}); });

  // No profiles file yet: the start fails, the box reaches the client.
  ASSERT_TRUE(control.StartMailAgent()) << control.LastError().toStdString();
  ASSERT_TRUE(PollFor([&] { return lb.states.size() == 2 && !boxes.empty(); }));
  EXPECT_EQ(la.states, (std::vector<qint32>{Running, NotRunning}));
  EXPECT_EQ(boxes.front().first, "Configuration File Not Found: " + ProfilesFilePath());
  EXPECT_EQ(boxes.front().second, "exclamation");

  // The next start reads the files afresh; a second start while running does nothing, and
  // stop requests while running only repeat the request.
  AddIdleProfile();
  ASSERT_TRUE(control.StartMailAgent());
  ASSERT_TRUE(control.StartMailAgent());
  EXPECT_EQ(a.AgentState(), Running);
  ASSERT_TRUE(control.StopMailAgent());
  ASSERT_TRUE(control.StopMailAgent());
  ASSERT_TRUE(PollFor([&] { return lb.states.size() >= 4; }));
  EXPECT_EQ(a.AgentState(), NotRunning);
  ASSERT_TRUE(control.StopMailAgent()) << "a stop while not running does nothing";
  PollFor([] { return false; }, 300);
  const std::vector<qint32> expected{Running, NotRunning, Running, NotRunning};
  EXPECT_EQ(la.states, expected);
  EXPECT_EQ(lb.states, expected);
}

TEST_F(AgentBusTest, AClearedLogHasNoNameUntilTheNextLine) {
  AddIdleProfile();
  ClsStartStopEng control;
  ClsGetLog log;
  ASSERT_TRUE(control.StartMailAgent());
  const QString first = log.GetTempLogFileName();
  ASSERT_TRUE(QFileInfo::exists(first)) << first.toStdString();
  ASSERT_TRUE(log.ClearLogFile());
  EXPECT_EQ(log.GetTempLogFileName(), "");
  EXPECT_FALSE(QFileInfo::exists(first));
  ASSERT_TRUE(control.StopMailAgent());  // logs "Vorlane Agent Stopped"
  ASSERT_TRUE(PollFor([&] { return !log.GetTempLogFileName().isEmpty(); }));
  EXPECT_NE(log.GetTempLogFileName(), first);
}

TEST_F(AgentBusTest, ReleasingOrCrashingClientsEndTheAgent) {
  AddIdleProfile();
  {
    // Released: the running agent stops, deletes its log and ends.
    auto control = std::make_unique<ClsStartStopEng>();
    ClsGetLog log(AgentHold::Detached);
    ASSERT_TRUE(control->StartMailAgent());
    const QString temp = log.GetTempLogFileName();
    ASSERT_FALSE(temp.isEmpty());
    std::make_unique<ClsAgentState>().reset();  // a released state object alone changes nothing
    EXPECT_EQ(ClsAgentState(AgentHold::Detached).AgentState(), Running);
    control.reset();
    ASSERT_TRUE(PollFor([] { return !AgentOnBus(); }));
    EXPECT_FALSE(QFileInfo::exists(temp));
  }
  // Killed: its vanished bus name counts as the release.
  QProcess holder;
  holder.start(kBin + "/agent_client_holder");
  ASSERT_TRUE(holder.waitForReadyRead(20000));
  ASSERT_EQ(holder.readAll().trimmed(), "held");
  const QString temp = ClsGetLog(AgentHold::Detached).GetTempLogFileName();
  ASSERT_TRUE(QFileInfo::exists(temp));
  ::kill(static_cast<pid_t>(holder.processId()), SIGKILL);
  holder.waitForFinished();
  ASSERT_TRUE(PollFor([] { return !AgentOnBus(); }));
  EXPECT_FALSE(QFileInfo::exists(temp));
}

// Activation starts the agent on the bus's folder; a client on another folder starts it itself.
TEST_F(AgentBusTest, AClientOnAnotherFolderStartsTheAgentForIt) {
  const QString other = Path("other");
  ASSERT_TRUE(QDir().mkpath(other));
  ASSERT_FALSE(AgentOnBus());
  ASSERT_TRUE(StartAgentForFolder(other, kBin + "/VRLEng31"));
  const QDBusMessage pid = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
      "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixProcessID")
      << QString::fromLatin1(agentbus::kServiceName));
  ASSERT_EQ(pid.type(), QDBusMessage::ReplyMessage);
  QFile cmdline(QString("/proc/%1/cmdline").arg(pid.arguments().value(0).toUInt()));
  ASSERT_TRUE(cmdline.open(QIODevice::ReadOnly));
  const QByteArray args = cmdline.readAll();
  EXPECT_TRUE(args.endsWith(QByteArray("--home\0", 7) + other.toUtf8() + '\0')) << args.toStdString();
  QString served;
  EXPECT_TRUE(StartAgentForFolder(Path("third"), "/nonexistent/VRLEng31", 5000, &served)) << "one is on the bus already";
  EXPECT_EQ(served, other);
  QByteArray out;
  EXPECT_EQ(Run("VRL31", {"--status"}, &out), 0);
  EXPECT_TRUE(out.startsWith("VRL31: The agent of this session works on the folder \"" + other.toUtf8() + "\", not on \"" +
                             home_.toUtf8() + "\"")) << out.toStdString();
  EXPECT_TRUE(PollFor([] { return !AgentOnBus(); }, 10000)) << "unheld, it ends";
  EXPECT_FALSE(StartAgentForFolder(other, "/nonexistent/VRLEng31"));
}

TEST_F(AgentBusTest, ARunAgentOutlivesItsClientsAndASecondAgentRefuses) {
  AddIdleProfile();
  QProcess agent;
  agent.setProcessChannelMode(QProcess::MergedChannels);
  agent.start(kBin + "/VRLEng31", {"--run", "--home", home_});
  ASSERT_TRUE(PollFor([] { return AgentOnBus(); }));
  {
    ClsStartStopEng control;
    EXPECT_EQ(ClsAgentState().AgentState(), Running);
  }
  // Longer than an unneeded agent lingers.
  EXPECT_FALSE(agent.waitForFinished(3000)) << agent.readAll().toStdString();
  EXPECT_EQ(ClsAgentState(AgentHold::Detached).AgentState(), Running);
  QByteArray out;
  EXPECT_EQ(Run("VRLEng31", {"--run", "--home", home_}, &out), 1);
  EXPECT_TRUE(out.contains("another agent already works on the application folder")) << out.toStdString();
  ::kill(static_cast<pid_t>(agent.processId()), SIGTERM);
  ASSERT_TRUE(agent.waitForFinished(20000));
  EXPECT_EQ(agent.exitCode(), 0);
}

TEST_F(AgentBusTest, CommandLineAndGdbusDriveTheAgent) {
  {
    // Started by hand rather than by activation, the agent says what it waits for.
    QProcess idle;
    QProcessEnvironment quiet = QProcessEnvironment::systemEnvironment();
    quiet.remove("DBUS_STARTER_BUS_TYPE");
    idle.setProcessEnvironment(quiet);
    idle.setReadChannel(QProcess::StandardError);
    idle.start(kBin + "/VRLEng31", {"--home", Path("other")});
    ASSERT_TRUE(idle.waitForReadyRead(20000));
    EXPECT_TRUE(idle.readAllStandardError().startsWith("VRLEng31: waiting for a console on the session bus"));
    idle.terminate();
    EXPECT_TRUE(idle.waitForFinished(20000));
    ASSERT_TRUE(PollFor([] { return !AgentOnBus(); }));
  }
  // A failed start says why, from the agent's log.
  QByteArray out;
  EXPECT_EQ(Run("VRL31", {"--start"}, &out), 3);
  EXPECT_TRUE(out.contains("Configuration File Not Found")) << out.toStdString();
  AddIdleProfile();
  EXPECT_EQ(Run("VRL31", {"--start", "--debug", "on"}), 0);
  ASSERT_EQ(Run("VRL31", {"--status"}, &out), 0);
  EXPECT_TRUE(out.startsWith("AgentState: Running\nGetTempLogFileName: " + tmp_.toUtf8() + "/VRQ")) << out.toStdString();
  EXPECT_TRUE(out.contains("ModeDebug: on"));

  {
    // The configuration window refuses while the agent processes: it says so (then waits on its
    // box, so the test ends it) and touches no file.
    const auto files = [&] { return ReadAll(home_ + "/VRL3GCF.GCF") + ReadAll(home_ + "/VRL3PF.PCF"); };
    const QByteArray before = files();
    QProcess cfg;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    cfg.setProcessEnvironment(env);
    cfg.start(kBin + "/VRLCfg31", {"--home", home_});
    QByteArray err;
    EXPECT_TRUE(PollFor([&] {
      err += cfg.readAllStandardError();
      return err.contains("agent is processing messages") || cfg.state() == QProcess::NotRunning;
    }, 20000)) << err.toStdString();
    EXPECT_TRUE(err.contains("Stop the messages processing in the console")) << err.toStdString();
    cfg.kill();
    cfg.waitForFinished(10000);
    EXPECT_EQ(files(), before);
  }

  // The interface as README documents it for gdbus.
  ASSERT_EQ(Run("/usr/bin/gdbus", {"call", "--session", "--dest", "org.vorlane.VRLEng31", "--object-path",
                                   "/ClsStartStopEng", "--method", "org.vorlane.VRLEng31.ClsStartStopEng.StopMailAgent"}),
            0);
  EXPECT_TRUE(PollFor([] { return ClsAgentState(AgentHold::Detached).AgentState() == NotRunning; }));

  // No bus: the agent cannot be reached.
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus"));
  EXPECT_EQ(Run("VRL31", {"--status"}, &out, env), 1);
  EXPECT_TRUE(out.contains("cannot be reached")) << out.toStdString();
  EXPECT_EQ(Run("VRL31", {"--json"}, &out), 2);
  EXPECT_EQ(Run("VRL31", {"--status", "--metrics"}, &out), 2);
}

TEST_F(AgentBusTest, CallsOfTheWrongShapeAreRefusedAndChangeNothing) {
  // An idle agent with a log, held by control alone.
  AddIdleProfile();
  auto control = std::make_unique<ClsStartStopEng>();
  ClsAgentState state(AgentHold::Detached);
  ClsGetLog log(AgentHold::Detached);
  ASSERT_TRUE(control->StartMailAgent());
  ASSERT_TRUE(control->StopMailAgent());
  ASSERT_TRUE(PollFor([&] { return state.AgentState() == NotRunning && !log.GetTempLogFileName().isEmpty(); }));
  const QString temp = log.GetTempLogFileName();

  using namespace agentbus;
  const QString S = kStartStopEngInterface, A = kAgentStateInterface, G = kGetLogInterface, I = kInstanceInterface,
                P = "org.freedesktop.DBus.Properties", Other = "org.vorlane.Other";
  const auto v = [](const QVariant& x) { return QVariant::fromValue(QDBusVariant(x)); };
  const struct {
    const char* path;
    QString interface, member;
    QVariantList args;
    const char* error;
  } calls[] = {
      // No method takes arguments.
      {kStartStopEngPath, S, "StopMailAgent", {"now"}, "InvalidArgs"},
      {kStartStopEngPath, S, "StartMailAgent", {1}, "InvalidArgs"},
      {kGetLogPath, G, "ClearLogFile", {true}, "InvalidArgs"},
      {kStartStopEngPath, I, "Release", {QString()}, "InvalidArgs"},
      {kAgentStatePath, I, "Hold", {0}, "InvalidArgs"},
      {kGetLogPath, "", "Hold", {0}, "InvalidArgs"},
      {kGetLogPath, "org.freedesktop.DBus.Introspectable", "Introspect", {0}, "InvalidArgs"},
      // ModeDebug takes a boolean in a variant, nothing else.
      {kStartStopEngPath, P, "Set", {S, "ModeDebug", v("no")}, "InvalidArgs"},
      {kStartStopEngPath, P, "Set", {S, "ModeDebug", v(1)}, "InvalidArgs"},
      {kStartStopEngPath, P, "Set", {S, "ModeDebug", v(QStringList{"on"})}, "InvalidArgs"},
      {kStartStopEngPath, P, "Set", {S, "ModeDebug", true}, "InvalidArgs"},
      {kStartStopEngPath, P, "Set", {I, "ModeDebug", v(true)}, "UnknownProperty"},
      {kStartStopEngPath, P, "Set", {Other, "ModeDebug", v(true)}, "UnknownInterface"},
      {kAgentStatePath, P, "Set", {A, "AgentState", v(Running)}, "PropertyReadOnly"},
      {kAgentStatePath, P, "Set", {A, "Health", v("{}")}, "PropertyReadOnly"},
      {kGetLogPath, P, "Set", {G, "GetTempLogFileName", v("/tmp/other")}, "PropertyReadOnly"},
      {kAgentStatePath, P, "Get", {A, "ModeDebug"}, "UnknownProperty"},
      {kAgentStatePath, P, "Get", {A}, "InvalidArgs"},
      {kAgentStatePath, P, "GetAll", {Other}, "UnknownInterface"},
      {kAgentStatePath, A, "StartMailAgent", {}, "UnknownMethod"},
      {kAgentStatePath, Other, "Hold", {}, "UnknownInterface"},
  };
  for (const auto& c : calls) {
    QDBusMessage m = QDBusMessage::createMethodCall(kServiceName, c.path, c.interface, c.member);
    m.setArguments(c.args);
    EXPECT_EQ(QDBusConnection::sessionBus().call(m).errorName(), QString("org.freedesktop.DBus.Error.") + c.error)
        << c.path << " " << c.interface.toStdString() << "." << c.member.toStdString();
  }

  // Debug is off, the agent idle, its log kept (a release would delete it) and control's the only
  // hold: the agent ends when control goes.
  EXPECT_FALSE(control->ModeDebug());
  EXPECT_EQ(state.AgentState(), NotRunning);
  EXPECT_EQ(log.GetTempLogFileName(), temp);
  EXPECT_TRUE(QFileInfo::exists(temp));
  control.reset();
  EXPECT_TRUE(PollFor([] { return !AgentOnBus(); }));
}

// The interfaces of an introspection document, each as the list of its elements in document order,
// with their attributes sorted (comments and layout aside).
QMap<QString, QStringList> Interfaces(const QByteArray& xml) {
  QMap<QString, QStringList> interfaces;
  QXmlStreamReader in(xml);
  QString current;
  while (!in.atEnd()) {
    in.readNext();
    if (in.isEndElement() && in.name() == u"interface") current.clear();
    if (!in.isStartElement()) continue;
    if (in.name() == u"interface") current = in.attributes().value("name").toString();
    QStringList attributes;
    for (const QXmlStreamAttribute& a : in.attributes())
      attributes << QString("%1=%2").arg(a.name(), a.value());
    attributes.sort();
    if (!current.isEmpty()) interfaces[current] << in.name().toString() + " " + attributes.join(' ');
  }
  EXPECT_FALSE(in.hasError()) << in.errorString().toStdString();
  return interfaces;
}

TEST_F(AgentBusTest, IntrospectionShowsTheInterfaceFiles) {
  const auto file = [](const char* interface) {
    return Interfaces(ReadAll(QString(VRL_SOURCE_DIR) + "/agent/dbus/" + interface + ".xml"));
  };
  using namespace agentbus;
  const std::pair<const char*, const char*> objects[] = {{kStartStopEngPath, kStartStopEngInterface},
                                                         {kAgentStatePath, kAgentStateInterface},
                                                         {kGetLogPath, kGetLogInterface}};
  for (const auto& [path, interface] : objects) {
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kServiceName, path, "org.freedesktop.DBus.Introspectable", "Introspect"));
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    QMap<QString, QStringList> served = Interfaces(reply.arguments().value(0).toString().toUtf8());
    for (const char* standard : {"Properties", "Introspectable", "Peer"})
      EXPECT_TRUE(served.remove(QString("org.freedesktop.DBus.") + standard)) << path << " " << standard;
    QMap<QString, QStringList> expected = file(interface);
    expected.insert(file(kInstanceInterface));
    EXPECT_EQ(served, expected) << path;
  }
}

TEST_F(AgentBusTest, HealthCountsAMixedCycle) {
  // One file sent, one refused for good (BAD), one refused for now (kept), one message received.
  using vrltest::Scenario;
  Scenario first, second, mailbox;
  first.reply("220 t").expectPrefix("HELO ").reply("250 hi").expectPrefix("MAIL").reply("250 ok").expectPrefix("RCPT")
      .reply("250 ok").expect("DATA").reply("354 go").readUntilDot().reply("250 ok").expectPrefix("MAIL")
      .reply("250 ok").expectPrefix("RCPT").reply("550 no such user").expectClose();
  second.reply("220 t").expectPrefix("HELO ").reply("250 hi").expectPrefix("MAIL").reply("250 ok").expectPrefix("RCPT")
      .reply("451 try later").expectClose();
  mailbox.reply("+OK").expect("USER u").reply("+OK").expect("PASS p").reply("+OK").expect("STAT").reply("+OK 1 40")
      .expect("UIDL").reply("-ERR no ids")
      .expect("RETR 1").send("+OK\r\n" + Scenario::dotStuff("From: a@example.com\r\n\r\nhi\r\n"))
      .expect("DELE 1").reply("+OK").expect("QUIT").reply("+OK");
  vrltest::ScriptedServer smtp({first, second}), pop({mailbox});
  ProfileRecord p;
  p.PrfEnabled = true, p.Prfname = "P", p.HostType = 2, p.TimeOutSecs = 3, p.OutboundMode = 1;
  p.PrcInboundMessages = p.PrcOutboundMessages = p.CreateInfFileInboundMsgs = true;
  p.InboundDir = Path("in"), p.OutboundDir = Path("out"), p.OutFilesExtention = "*.TXT", p.ResFilesExtention = "INF";
  p.UserName = "u", p.Pop3SmtpPws = "p", p.FromAddress = "a@example.com", p.RecAddress = "b@example.com";
  p.Pop3Server = p.SmtpServer = "127.0.0.1", p.Pop3TcpPort = pop.port(), p.SmtpTcpPort = smtp.port();
  conf::WriteProfileUnattended(p, {true, 24, false, 0});
  ASSERT_TRUE(CreateProfilesFile() && AddProfileRecord(p));
  GlobalRecord global;
  global.ConfigFlag = 1, global.AutoExit = true, global.MetricsFile = Path("vorlane.prom");
  ASSERT_TRUE(WriteGlobalRecord(global));
  ASSERT_TRUE(QDir().mkpath(p.InboundDir) && QDir().mkpath(p.OutboundDir));
  for (const char* name : {"A.TXT", "B.TXT", "C.TXT"}) {
    WriteFile(p.OutboundDir + "/" + name, "data\r\n");
    QFile f(p.OutboundDir + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFile::FileModificationTime));
  }
  // The service manager's socket, as systemd gives it to a unit of Type=notify.
  const int sd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un addr{AF_UNIX, {}};
  const QByteArray notify = QFile::encodeName(Path("notify"));
  std::memcpy(addr.sun_path, notify.constData(), notify.size());
  ASSERT_EQ(::bind(sd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                  "UpdateActivationEnvironment");
  m << QVariant::fromValue(QMap<QString, QString>{{"NOTIFY_SOCKET", Path("notify")}});
  ASSERT_EQ(QDBusConnection::sessionBus().call(m).type(), QDBusMessage::ReplyMessage);

  ClsStartStopEng control;
  ClsAgentState state;
  ASSERT_TRUE(control.StartMailAgent());
  ASSERT_TRUE(PollFor([&] { return state.AgentState() == NotRunning; }, 30000));
  const QJsonObject health = QJsonDocument::fromJson(state.Health().toUtf8()).object();
  const QJsonObject prf = health["profiles"].toObject()["P"].toObject();
  QStringList counts;
  for (const char* c : {"sent", "retried", "bad", "received", "errors"})
    counts << QString("%1/%2").arg(prf[c].toInt()).arg(prf["total"].toObject()[c].toInt());
  EXPECT_EQ(counts.join(' '), "1/1 1/1 1/1 1/1 2/2");
  EXPECT_TRUE(prf["lastError"].toString().startsWith("Profile: \"P\" Error sending message: 451")) << prf["lastError"].toString().toStdString();
  EXPECT_EQ(prf["lastErrorTime"], health["lastErrorTime"]);
  EXPECT_TRUE(QDateTime::fromString(prf["lastCycle"].toString(), Qt::ISODate).isValid());
  char datagram[200] = {};
  EXPECT_GT(::recv(sd, datagram, sizeof datagram - 1, 0), 0);
  ::close(sd);
  EXPECT_TRUE(QRegularExpression("^STATUS=Last cycle [0-9: -]{19}: 1 sent, 1 retried, 1 BAD, 1 received, 2 errors$")
                  .match(datagram).hasMatch()) << datagram;

  // The console shows the same record, from the agent or, with no agent to ask, from its file.
  QByteArray out, err;
  ASSERT_EQ(Run("VRL31", {"--status", "--json"}, &out), 0);
  EXPECT_EQ(QJsonDocument::fromJson(out).object()["Health"].toObject(), health);
  ASSERT_EQ(Run("VRL31", {"--status"}, &out), 0);
  EXPECT_TRUE(QRegularExpression("\nP +[0-9: -]{19} +1/1 +1/1 +1/1 +1/1 +2/2\n").match(out).hasMatch()) << out.data();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus"));
  env.insert("VORLANE_HOME", home_);
  EXPECT_EQ(AgentEnvironment::Run(kBin + "/VRL31", {"--status", "--json"}, env, &out, &err), 1);
  EXPECT_EQ(QJsonDocument::fromJson(out).object(), (QJsonObject{{"Health", health}}));

  // The figures for monitoring: the agent's file after the cycle (the file kept for a retry still
  // waits), and the same from VRL31 --metrics, but for the start of an agent that no longer runs.
  const QByteArray written = ReadAll(global.MetricsFile);
  for (const char* series : {"vorlane_files_sent_total{profile=\"P\"} 1", "vorlane_files_bad_total{profile=\"P\"} 1",
                             "vorlane_messages_received_total{profile=\"P\"} 1", "vorlane_errors_total{profile=\"P\"} 2",
                             "vorlane_outbound_queue_files{profile=\"P\"} 1", "vorlane_agent_start_time_seconds "})
    EXPECT_TRUE(written.contains("\n" + QByteArray(series))) << series << "\n" << written.constData();
  QByteArray stopped;
  for (const QByteArray& line : written.split('\n'))
    if (!line.isEmpty() && !line.contains("vorlane_agent_start_time_seconds")) stopped += line + '\n';
  EXPECT_EQ(AgentEnvironment::Run(kBin + "/VRL31", {"--metrics"}, QProcessEnvironment::systemEnvironment(), &out, &err), 0);
  EXPECT_EQ(out, stopped) << err.constData();
  EXPECT_EQ(AgentEnvironment::Run(kBin + "/VRL31", {"--metrics"}, env, &out, &err), 1);
  EXPECT_EQ(out, stopped);
  EXPECT_TRUE(err.contains("cannot be reached")) << err.constData();
  EXPECT_TRUE(smtp.waitDone() && pop.waitDone());
  EXPECT_EQ(smtp.errors() + pop.errors(), QStringList{});
}

}  // namespace
