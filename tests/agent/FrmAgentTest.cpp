// The agent core: start-up, the timer's interval rules, the cycle over the profiles, the stop.
#include <QTimer>

#include "AgentFixture.h"
#include "VrlError.h"

namespace {

const QString kStarting = "INFORMATION: Starting Vorlane Agent";
const QString kReading = "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"";
const QString kStarted = "INFORMATION: Vorlane Agent Started";
const QString kStopped = "INFORMATION: Vorlane Agent Stopped";
const QString kNoActive = "INFORMATION: There Not Exist Active Profiles";

QString StartSession(const QString& n) { return "INFORMATION: Starting Session with the Profile: " + n; }
QString StopSession(const QString& n) { return "INFORMATION: Stopping Session with the Profile: " + n; }

class FrmAgentTest : public agenttest::AgentFixture {
 protected:
  void FirstCycle() {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Tick());
  }
  // The tick after a cycle stamps the time; the interval counts from there.
  void NextCycle() {
    ASSERT_TRUE(Tick());
    Advance(global_.PrcInterval);
    ASSERT_TRUE(Tick());
  }
  int Cycles() const { return hooks_.calls.count("open Orders"); }
  // The agent stopped (once) after the mail work was asked for calls and the cycle logged lines.
  void ExpectStoppedAfter(const QStringList& calls, const QStringList& lines) {
    EXPECT_EQ(hooks_.calls, calls);
    EXPECT_EQ(CycleLines(), lines);
    EXPECT_EQ(agent_.AgentState(), NotRunning);
    EXPECT_FALSE(agent_.Timer1Enabled());
    EXPECT_FALSE(agent_.SessionOpen());
    EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
  }
};

TEST_F(FrmAgentTest, ACycleStartsExactlyWhenTheIntervalHasElapsed) {
  const struct {
    const char* name;
    qint16 unit;
    qint16 interval;
    qint64 seconds;
  } cases[] = {
      {"seconds", 0, 5, 5}, {"minutes", 1, 2, 120}, {"hours", 2, 2, 7200},
      {"ten hours (beyond 16 bits of seconds)", 2, 10, 36000}, {"unknown unit counts seconds", 7, 3, 3},
  };
  AddProfile(MakeProfile("Orders"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    global_.PrcIntervalUnit = c.unit;
    global_.PrcInterval = c.interval;
    hooks_.calls.clear();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(hooks_.calls.isEmpty());
    ASSERT_TRUE(Tick());  // the first tick runs the first cycle
    EXPECT_EQ(hooks_.calls, (QStringList{"open Orders", "get Orders", "close Orders"}));
    EXPECT_FALSE(agent_.SessionOpen());
    for (int cycle = 2; cycle <= 3; ++cycle) {
      Advance(3);
      const QDateTime stamp = now_;
      ASSERT_TRUE(Tick());  // the tick after a cycle stamps the time the interval counts from
      now_ = stamp.addSecs(c.seconds - 1);
      ASSERT_TRUE(Tick());
      EXPECT_EQ(Cycles(), cycle - 1) << "one second early";
      now_ = stamp.addSecs(c.seconds);
      ASSERT_TRUE(Tick());
      EXPECT_EQ(Cycles(), cycle);
    }
    agent_.CmdStopStart_Click();
    ASSERT_TRUE(Tick());
    ASSERT_EQ(agent_.AgentState(), NotRunning);
    Advance(86400);
  }
}

TEST_F(FrmAgentTest, AutoExitAndIntervalZeroStopAfterOneCycle) {
  const struct {
    const char* name;
    bool autoExit;
    qint16 interval;
  } cases[] = {{"interval 0", false, 0}, {"AutoExit", true, 5}, {"both", true, 0}};
  AddProfile(MakeProfile("Orders"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    global_.AutoExit = c.autoExit;
    global_.PrcInterval = c.interval;
    hooks_.calls.clear();
    states_.clear();
    log_.ClearLogFile();
    FirstCycle();
    ExpectStoppedAfter({"open Orders", "get Orders", "close Orders"}, {kStopped});
  }
}

TEST_F(FrmAgentTest, NoActiveProfileStopsAfterOneCycle) {
  for (const char* n : {"A", "B"}) {
    ProfileRecord p = MakeProfile(n);
    p.PrfEnabled = false;
    AddProfile(p);
  }
  FirstCycle();
  ExpectStoppedAfter({}, {kNoActive, kStopped});
}

TEST_F(FrmAgentTest, HeaderOnlyProfilesFileLogsTheNoActiveLineTwice) {
  ASSERT_TRUE(CreateProfilesFile());
  global_.ShowErrorMsgs = true;
  ASSERT_TRUE(Start());
  EXPECT_EQ(TempLog(), (QStringList{kStarting, kReading, "INFORMATION: There are no configured profiles",
                                    "INFORMATION: Configuration File OK", kStarted}));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "There are no configured profiles");
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(), (QStringList{kNoActive, kNoActive, kStopped}));
  EXPECT_EQ(agent_.AgentState(), NotRunning);
}

TEST_F(FrmAgentTest, MissingFoldersAreReportedAndTheProfileSkipped) {
  ProfileRecord in = MakeProfile("In"), out = MakeProfile("Out"), both = MakeProfile("Both");
  ProfileRecord unused = MakeProfile("Unused");  // folders missing, but not processed
  in.InboundDir = Path("nowhere/in/");  // stored with a trailing separator, used without it
  out.OutboundDir = Path("nowhere/out");
  both.InboundDir = Path("nowhere/b-in"), both.OutboundDir = Path("nowhere/b-out");
  unused.PrcInboundMessages = false, unused.PrcOutboundMessages = false;
  unused.InboundDir = Path("nowhere/u-in"), unused.OutboundDir = Path("nowhere/u-out");
  for (const auto& p : {in, out, both, unused}) AddProfile(p);
  global_.ShowErrorMsgs = true;
  FirstCycle();
  const QStringList texts = {"Profile:  'In' Inbound Directory Not Found: " + Path("nowhere/in"),
                             "Profile:  'Out' Outbound Directory Not Found: " + Path("nowhere/out"),
                             "Profile:  'Both' Inbound Directory Not Found: " + Path("nowhere/b-in")};
  QStringList lines;
  for (const QString& t : texts) lines << "ERROR:\t " + t;
  EXPECT_EQ(CycleLines(), lines);
  ASSERT_EQ(boxes_.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(boxes_[i].text, texts[i]);
    EXPECT_EQ(boxes_[i].icon, vrl::MsgBoxIcon::Exclamation);
  }
  EXPECT_EQ(hooks_.calls, (QStringList{"open Unused", "close Unused"}));
  EXPECT_EQ(agent_.AgentState(), Running);
}

TEST_F(FrmAgentTest, MessageBoxesOnlyWithShowErrorMsgs) {
  ProfileRecord p = MakeProfile("In");
  p.InboundDir = Path("nowhere");
  AddProfile(p);
  FirstCycle();
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(CycleLines().size(), 1);
}

TEST_F(FrmAgentTest, InboundWithoutFilesToCreateIsWarnedButProcessed) {
  ProfileRecord p = MakeProfile("Bare");
  p.CreateAttchsInMsgs = false, p.CreateInfFileInboundMsgs = false;
  AddProfile(p);
  global_.ShowErrorMsgs = true;
  FirstCycle();
  EXPECT_EQ(CycleLines(), QStringList{"ALERT:\t WARNING! No files will be created for inbound messages"});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "WARNING! No files will be created for inbound messages");
  EXPECT_EQ(hooks_.calls, (QStringList{"open Bare", "get Bare", "close Bare"}));
}

TEST_F(FrmAgentTest, OutboundListIsBuiltPerProfileAndSessionLinesAreLazy) {
  ProfileRecord a = MakeProfile("A"), b = MakeProfile("B"), c = MakeProfile("C");
  a.PrcInboundMessages = false;
  for (const char* f : {"2.txt", "1.TXT", "skip.inf"}) Drop(a, f);
  Drop(c, "only.txt");
  for (const auto& p : {a, b, c}) AddProfile(p);
  FirstCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.TXT", "file A 2.txt", "close A", "open B", "get B",
                                       "close B", "open C", "file C only.txt", "get C", "close C"}));
  const QStringList cycle = {StartSession("A"), StopSession("A"), StartSession("C")};
  EXPECT_EQ(CycleLines(), cycle);
  EXPECT_EQ(agent_.SessionProfileName(), "C");
  // The files stay (nothing sent them), so the next cycle switches sessions again; the stop
  // ends the last one.
  NextCycle();
  agent_.CmdStopStart_Click();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(), (cycle + QStringList{StopSession("C")} + cycle + QStringList{StopSession("C"), kStopped}));
}

TEST_F(FrmAgentTest, AStopRequestDuringACycleIsHonouredBeforeTheNextProfile) {
  AddProfile(MakeProfile("A"));
  AddProfile(MakeProfile("B"));
  hooks_.onGetMail = [this](AgentContext& a) {
    if (a.CurrentProfileName() == "A") agent_.CmdStopStart_Click();
  };
  FirstCycle();
  ExpectStoppedAfter({"open A", "get A", "close A"}, {kStopped});
}

TEST_F(FrmAgentTest, AStopRequestDuringAFileIsHonouredBeforeTheNextFile) {
  ProfileRecord a = MakeProfile("A");
  for (const char* f : {"1.txt", "2.txt", "3.txt"}) Drop(a, f);
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onFile = [this](AgentContext&, const QString&) { agent_.SetStopRequest(true); };
  FirstCycle();
  // The open session is closed by the stop; no inbound step and no further profile.
  ExpectStoppedAfter({"open A", "file A 1.txt", "close A"}, {StartSession("A"), StopSession("A"), kStopped});
}

TEST_F(FrmAgentTest, AStopAskedForDuringTheStartIsKept) {
  AddProfile(MakeProfile("A"));
  // Arrives while the start sequence lets events run, as a console's call does.
  QTimer::singleShot(0, &agent_, [this] { agent_.CmdStopStart_Click(); });
  ASSERT_TRUE(Start());
  EXPECT_TRUE(agent_.StopRequest());
  ASSERT_TRUE(Tick());
  ExpectStoppedAfter({}, {kStopped});
}

TEST_F(FrmAgentTest, RestartReadsTheFilesAgainAndRunsAtOnce) {
  AddProfile(MakeProfile("A"));
  global_.PrcInterval = 3600;
  FirstCycle();
  agent_.CmdStopStart_Click();
  ASSERT_TRUE(Tick());
  ASSERT_EQ(agent_.AgentState(), NotRunning);
  AddProfile(MakeProfile("B"));
  Advance(10);
  agent_.CmdStopStart_Click();  // start again
  ASSERT_EQ(agent_.AgentState(), Running);
  EXPECT_FALSE(agent_.StopRequest());
  EXPECT_EQ(agent_.ProfileCount(), 2);
  hooks_.calls.clear();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls.count("open B"), 1);
}

TEST_F(FrmAgentTest, InternetMailProfilesAreCorrectedInMemory) {
  const struct {
    qint16 hostType;
    quint16 pop3, smtp;
    qint16 timeout;
    quint16 pop3After, smtpAfter;
    qint16 timeoutAfter;
  } cases[] = {
      {2, 0, 0, 500, 110, 25, 30}, {2, 995, 465, 300, 995, 465, 300}, {2, 65535, 2525, 1, 65535, 2525, 1},
      {2, 110, 25, 0, 110, 25, 30}, {2, 110, 25, -5, 110, 25, 30}, {1, 0, 0, 500, 0, 0, 500},
  };
  for (const auto& c : cases) {
    ProfileRecord p = MakeProfile(QString::number(&c - cases));
    p.HostType = c.hostType, p.Pop3TcpPort = c.pop3, p.SmtpTcpPort = c.smtp, p.TimeOutSecs = c.timeout;
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  ASSERT_EQ(agent_.ProfileCount(), qint32(std::size(cases)));
  for (qint32 p = 1; p <= agent_.ProfileCount(); ++p) {
    const auto& c = cases[p - 1];
    EXPECT_EQ(agent_.Profile(p).Pop3TcpPort, c.pop3After) << p;
    EXPECT_EQ(agent_.Profile(p).SmtpTcpPort, c.smtpAfter) << p;
    EXPECT_EQ(agent_.Profile(p).TimeOutSecs, c.timeoutAfter) << p;
  }
  ProfileRecord stored;
  ASSERT_TRUE(FrmAgent::ReadProfileRecord(stored, 2));
  EXPECT_EQ(stored.TimeOutSecs, 500) << "the file itself is left as it was";
}

TEST_F(FrmAgentTest, StartFailsOnAProfilesFileThatCannotBeRead) {
  // (A missing global or profiles file: see the program and bus tests.)
  global_.ShowErrorMsgs = true;
  SaveGlobal();
  const QString path = home_ + "/VRL3PF.PCF";
  // A header that promises more profiles than the file holds.
  AddProfile(MakeProfile("A"));
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.write("\x03", 1);
  }
  EXPECT_FALSE(agent_.StartAgent());
  const QString error = "Error reading configuration file: \"" + path + "\"";
  EXPECT_EQ(TempLog(), (QStringList{kStarting, kReading, "ERROR:\t " + error,
                                    "ERROR:\t Error Starting Vorlane Agent", kStopped}));
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, error);
  EXPECT_EQ(boxes_[1].text, "Error Starting Vorlane Agent");
  EXPECT_EQ(agent_.ProfileCount(), 0);
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
  EXPECT_FALSE(agent_.Timer1Enabled());

  // An empty profiles file: the header cannot be read.
  WriteFile(path, {});
  log_.ClearLogFile();
  EXPECT_FALSE(agent_.StartAgent());
  EXPECT_TRUE(TempLog().contains("ERROR:\t " + error));
}

TEST_F(FrmAgentTest, FailedLogonDisablesTheProfileForTheRun) {
  ProfileRecord a = MakeProfile("A");
  a.HostType = 1, a.WinMsgProfileName = "Outlook A";
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onOpen = [](AgentContext&, const ProfileRecord& p) {
    if (p.Prfname == "A") throw vrl::VrlError(kErrLogonFailed, "Logon failed", "MAPI");
  };
  global_.ShowErrorMsgs = true;
  FirstCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "open B", "get B", "close B"}));
  EXPECT_EQ(CycleLines(), QStringList{"ERROR:\t Cannot Start Session With The Profile: Outlook A"});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Cannot Start Session With The Profile: Outlook A");
  EXPECT_FALSE(agent_.Profile(1).PrfEnabled);
  hooks_.calls.clear();
  NextCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open B", "get B", "close B"}));
}

TEST_F(FrmAgentTest, IgnorableErrorResumesAfterTheCall) {
  AddProfile(MakeProfile("A"));
  hooks_.onOpen = [](AgentContext&, const ProfileRecord&) { throw vrl::VrlError(kErrResumeNext, "ignored", "test"); };
  FirstCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "get A", "close A"}));
  EXPECT_TRUE(CycleLines().isEmpty());
}

TEST_F(FrmAgentTest, OtherErrorsEndTheCycleAndTheAgentGoesOn) {
  ProfileRecord a = MakeProfile("A");
  for (const char* f : {"1.txt", "2.txt"}) Drop(a, f);
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onFile = [](AgentContext&, const QString&) { throw vrl::VrlError(5, "Invalid call", "test"); };
  FirstCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.txt", "close A"}));
  EXPECT_EQ(agent_.AgentState(), Running);
  EXPECT_TRUE(agent_.Timer1Enabled());
  EXPECT_FALSE(agent_.SessionOpen());
}

TEST_F(FrmAgentTest, FailingCloseDoesNotBlockTheStop) {
  class ThrowingClose : public agenttest::RecordingHooks {
   public:
    void CloseSession(AgentContext&) override { throw vrl::VrlError(91, "Object not set", "test"); }
  } hooks;
  agent_.SetMailWork(&hooks);
  ProfileRecord a = MakeProfile("A");
  Drop(a, "1.txt");
  AddProfile(a);
  hooks.onFile = [this](AgentContext&, const QString&) { agent_.SetStopRequest(true); };
  FirstCycle();
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_EQ(CycleLines(), (QStringList{StartSession("A"), StopSession("A"), kStopped}));
}

}  // namespace
