#pragma once
// An agent on a private application folder, driven tick by tick with a fixed clock, and the
// script of a loopback SMTP server for it.
#include <functional>

#include "AgentLog.h"
#include "AgentTestSupport.h"
#include "AppFolder.h"
#include "FrmAgent.h"
#include "MdlGlbalConf.h"
#include "Mdl_FicheiroConf.h"
#include "ScriptedServer.h"

namespace agenttest {

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
    p.TimeOutSecs = 30, p.PrcInboundMessages = true, p.PrcOutboundMessages = true;
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
