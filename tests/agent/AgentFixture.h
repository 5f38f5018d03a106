#pragma once
// Shared pieces of the agent tests: a private temporary folder as TMPDIR, a fixed clock, message
// boxes captured instead of shown, log lines and bounded program runs; an agent on a private
// application folder driven tick by tick; the script of a loopback SMTP server for it.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "AgentLog.h"
#include "AppFolder.h"
#include "Clock.h"
#include "FrmAgent.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"
#include "MessageBox.h"
#include "ScriptedServer.h"

// Readable failure messages for texts and lists of texts.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace agenttest {

struct Box {
  QString text;
  vrl::MsgBoxIcon icon;
};

class AgentEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    if (qEnvironmentVariableIsSet("TMPDIR")) oldTmp_ = qgetenv("TMPDIR");
    tmp_ = Path("tmp");
    ASSERT_TRUE(QDir().mkpath(tmp_));
    qputenv("TMPDIR", QFile::encodeName(tmp_));
    now_ = QDateTime(QDate(2026, 12, 6), QTime(14, 3, 27));
    vrl::SetNowForTesting([this] { return now_; });
    vrl::SetMessageBoxHandler([this](const QString& text, vrl::MsgBoxIcon icon) { boxes_.push_back({text, icon}); });
  }
  void TearDown() override {
    vrl::SetNowForTesting({});
    vrl::SetMessageBoxHandler({});
    if (oldTmp_) qputenv("TMPDIR", *oldTmp_);
    else qunsetenv("TMPDIR");
  }

  QString Path(const QString& name) const { return dir_.path() + '/' + name; }
  static QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  static void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }
  // Runs a program to its end (bounded): its exit code (-1: it did not end normally), its standard
  // output (merged with its errors when err is null) and its errors.
  static int Run(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                 QByteArray* out = nullptr, QByteArray* err = nullptr) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!err) p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000)) p.kill();
    p.waitForFinished();
    if (out) *out = p.readAllStandardOutput();
    if (err) *err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }
  // The lines of a log file, without their CR LF; a missing last line end is kept visible.
  static QStringList Lines(const QString& path) {
    QStringList lines = QString::fromUtf8(ReadAll(path)).split("\r\n");
    if (lines.last().isEmpty()) lines.removeLast();
    return lines;
  }
  // The messages of a log file: each line without its time stamp (the separator stays whole).
  static QStringList Messages(const QString& path) {
    QStringList out;
    for (const QString& l : Lines(path)) out << (l.indexOf(" \u00BB ") == 19 ? l.mid(22) : l);
    return out;
  }

  QTemporaryDir dir_;
  QString tmp_;
  std::optional<QByteArray> oldTmp_;
  QDateTime now_;
  std::vector<Box> boxes_;
};


// One SMTP connection that takes `messages` messages, then QUIT.
inline vrltest::Scenario SmtpTaking(int messages) {
  vrltest::Scenario s;
  s.reply("220 test ESMTP").expectPrefix("HELO ").reply("250 hello");
  for (int i = 0; i < messages; ++i) {
    s.expectPrefix("MAIL FROM:").reply("250 ok").expectPrefix("RCPT TO:").reply("250 ok");
    s.expect("DATA").reply("354 go on").readUntilDot().reply("250 queued");
  }
  return s.expect("QUIT").reply("221 bye");
}

// Records every call of the mail work; each call can run a test's action.
class RecordingHooks : public MailWork {
 public:
  QStringList calls;
  std::function<void(AgentContext&, const ProfileRecord&)> onOpen;
  std::function<void(AgentContext&, const QString& name)> onFile;
  std::function<void(AgentContext&)> onGetMail;

  void OpenSession(AgentContext& a, const ProfileRecord& p) override {
    calls << "open " + p.Prfname;
    if (onOpen) onOpen(a, p);
  }
  void CloseSession(AgentContext& a) override { calls << "close " + a.CurrentProfileName(); }
  void ProcessOutboundFile(AgentContext& a, const ProfileRecord& p, const QString& folder,
                           const QString& name) override {
    calls << "file " + p.Prfname + " " + name;
    EXPECT_EQ(folder, p.OutboundDir);
    if (onFile) onFile(a, name);
  }
  bool ExecGetMail(AgentContext& a, const ProfileRecord& p) override {
    calls << "get " + a.CurrentProfileName();
    EXPECT_FALSE(p.InboundDir.isEmpty());
    if (onGetMail) onGetMail(a);
    return true;
  }
};

class AgentFixture : public AgentEnvironment {
 protected:
  void SetUp() override {
    AgentEnvironment::SetUp();
    home_ = Path("home");
    vrl::SetApplicationFolder(home_);
    global_.UseLogFile = true;
    global_.LogFileName = home_ + "/vorlane.log";
    global_.PrcInterval = 5;
    global_.ConfigFlag = 1;
    agent_.SetManualTimerForTesting(true);
    QObject::connect(&agent_, &FrmAgent::FireEventAgentState, [this](qint32 state) { states_ << state; });
  }
  void TearDown() override {
    agent_.Form_Unload();
    vrl::SetApplicationFolder(QString());
    AgentEnvironment::TearDown();
  }

  void SaveGlobal() { ASSERT_TRUE(WriteGlobalRecord(global_)); }
  // An enabled internet-mail profile whose folders exist, processing both directions.
  ProfileRecord MakeProfile(const QString& name) {
    ProfileRecord p;
    p.PrfEnabled = true, p.Prfname = name, p.HostType = 2, p.Pop3TcpPort = 110, p.SmtpTcpPort = 25;
    p.TimeOutSecs = 30, p.PrcInboundMessages = true, p.PrcOutboundMessages = true, p.FromAddress = "agent@example.com";
    p.CreateAttchsInMsgs = true, p.CreateInfFileInboundMsgs = true, p.OutboundMode = 1;
    p.InboundDir = Path(name + "/in"), p.OutboundDir = Path(name + "/out"), p.OutFilesExtention = "*.TXT";
    QDir().mkpath(p.InboundDir);
    QDir().mkpath(p.OutboundDir);
    return p;
  }
  void AddProfile(ProfileRecord p) {
    if (!QFileInfo::exists(ProfilesFilePath())) {
      ASSERT_TRUE(CreateProfilesFile());
    }
    ASSERT_TRUE(AddProfileRecord(p));
  }
  // A file in the profile's outbound folder, older than the settle time as a finished file of a
  // feeding program is.
  void Drop(const ProfileRecord& p, const QString& fileName, const QByteArray& bytes = "data\r\n") {
    const QString path = p.OutboundDir + "/" + fileName;
    WriteFile(path, bytes);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
  }

  // Saves the global record and starts the agent as the console's first start would.
  bool Start() {
    SaveGlobal();
    agent_.Form_Load();
    return agent_.AgentState() == Running;
  }
  // One timer tick, as the real timer gives it: only while the timer is enabled.
  bool Tick() {
    if (!agent_.Timer1Enabled()) return false;
    agent_.Timer1_Timer();
    return true;
  }
  void Advance(qint64 seconds) { now_ = now_.addSecs(seconds); }

  QStringList TempLog() const { return Messages(log_.GetTempLogFileName()); }
  QStringList LogFile() const { return Messages(global_.LogFileName); }
  // Lines logged after "Vorlane Agent Started".
  QStringList CycleLines() const {
    const QStringList all = TempLog();
    return all.mid(all.indexOf("INFORMATION: Vorlane Agent Started") + 1);
  }

  QString home_;
  GlobalRecord global_;
  agent::AgentLog log_;
  RecordingHooks hooks_;
  FrmAgent agent_{log_, &hooks_};
  QList<qint32> states_;
};

}  // namespace agenttest
