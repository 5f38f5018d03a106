// The agent core: start-up, the timer's interval rules, the cycle over the profiles, the stop.
#include <QTimer>
#include "AgentFixture.h"
#include "VrlError.h"

namespace {

using agenttest::AgentFixture;

const QString kStarted = "INFORMATION: Vorlane Agent Started";
const QString kStopped = "INFORMATION: Vorlane Agent Stopped";
const QString kNoActive = "INFORMATION: There Not Exist Active Profiles";

QString StartSession(const QString& n) { return "INFORMATION: Starting Session with the Profile: " + n; }
QString StopSession(const QString& n) { return "INFORMATION: Stopping Session with the Profile: " + n; }

class FrmAgentTest : public AgentFixture {};

TEST_F(FrmAgentTest, StartLogsItsLinesAndTheFirstTickRunsACycle) {
  AddProfile(MakeProfile("Orders"));
  ASSERT_TRUE(Start());
  EXPECT_EQ(states_, QList<qint32>{Running});
  EXPECT_TRUE(agent_.FormLoaded());
  EXPECT_TRUE(agent_.Timer1Enabled());
  const QStringList start = {"INFORMATION: Starting Vorlane Agent",
                             "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"",
                             "INFORMATION: Configuration File OK", kStarted};
  EXPECT_EQ(TempLog(), start);
  EXPECT_EQ(LogFile(), QStringList{QString(88, '#')} + start);
  EXPECT_TRUE(hooks_.calls.isEmpty());

  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open Orders", "get Orders", "close Orders"}));
  EXPECT_TRUE(agent_.Timer1Enabled());
  EXPECT_EQ(agent_.AgentState(), Running);
  EXPECT_FALSE(agent_.SessionOpen());
}

struct IntervalCase {
  const char* name;
  qint16 unit;
  qint16 interval;
  qint64 seconds;
};

TEST_F(FrmAgentTest, ACycleStartsExactlyWhenTheIntervalHasElapsed) {
  const IntervalCase cases[] = {
      {"seconds", 0, 5, 5},
      {"minutes", 1, 2, 120},
      {"hours", 2, 2, 7200},
      {"ten hours (beyond 16 bits of seconds)", 2, 10, 36000},
      {"unknown unit counts seconds", 7, 3, 3},
  };
  AddProfile(MakeProfile("Orders"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    global_.PrcIntervalUnit = c.unit;
    global_.PrcInterval = c.interval;
    hooks_.calls.clear();
    const QDateTime t0 = now_;
    ASSERT_TRUE(Start());
    auto cycles = [&] { return hooks_.calls.count("open Orders"); };

    ASSERT_TRUE(Tick());  // the first tick runs the first cycle
    EXPECT_EQ(cycles(), 1);
    ASSERT_TRUE(Tick());  // the tick after the first cycle stamps the time
    now_ = t0.addSecs(c.seconds - 1);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(cycles(), 1) << "one second early";
    now_ = t0.addSecs(c.seconds);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(cycles(), 2);

    // After that cycle the next tick stamps the time; the interval counts from there.
    Advance(3);
    const QDateTime t1 = now_;
    ASSERT_TRUE(Tick());
    EXPECT_EQ(cycles(), 2);
    now_ = t1.addSecs(c.seconds - 1);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(cycles(), 2);
    now_ = t1.addSecs(c.seconds);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(cycles(), 3);

    agent_.CmdStopStart_Click();
    ASSERT_TRUE(Tick());
    ASSERT_EQ(agent_.AgentState(), NotRunning);
    now_ = t0.addDays(1);
  }
}

TEST_F(FrmAgentTest, TheIntervalCountsFromTheFirstTickAfterTheFirstCycle) {
  // A long first cycle does not shorten the wait for the second.
  AddProfile(MakeProfile("Orders"));
  global_.PrcInterval = 60;
  const QDateTime t0 = now_;
  hooks_.onOpen = [&](AgentContext&, const ProfileRecord&) { Advance(40); };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  hooks_.onOpen = nullptr;
  ASSERT_TRUE(Tick());  // t0 + 40: stamps the time
  now_ = t0.addSecs(99);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls.count("open Orders"), 1);
  now_ = t0.addSecs(100);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls.count("open Orders"), 2);
}

struct OneCycleCase {
  const char* name;
  bool autoExit;
  qint16 interval;
};

TEST_F(FrmAgentTest, AutoExitAndIntervalZeroStopAfterOneCycle) {
  const OneCycleCase cases[] = {{"interval 0", false, 0}, {"AutoExit", true, 5}, {"both", true, 0}};
  AddProfile(MakeProfile("Orders"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    global_.AutoExit = c.autoExit;
    global_.PrcInterval = c.interval;
    hooks_.calls.clear();
    states_.clear();
    log_.ClearLogFile();
    ASSERT_TRUE(Start());
    ASSERT_TRUE(Tick());
    EXPECT_EQ(hooks_.calls, (QStringList{"open Orders", "get Orders", "close Orders"}));
    EXPECT_EQ(agent_.AgentState(), NotRunning);
    EXPECT_FALSE(agent_.Timer1Enabled());
    EXPECT_TRUE(agent_.StopRequest());
    EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
    EXPECT_EQ(CycleLines(), QStringList{kStopped});
  }
}

TEST_F(FrmAgentTest, AllProfilesInactiveStopsAfterOneCycle) {
  for (const char* n : {"A", "B"}) {
    ProfileRecord p = MakeProfile(n);
    p.PrfEnabled = false;
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_TRUE(hooks_.calls.isEmpty());
  EXPECT_EQ(CycleLines(), (QStringList{kNoActive, kStopped}));
  EXPECT_EQ(agent_.AgentState(), NotRunning);
}

TEST_F(FrmAgentTest, HeaderOnlyProfilesFileLogsTheNoActiveLineTwice) {
  ASSERT_TRUE(CreateProfilesFile());
  global_.ShowErrorMsgs = true;
  ASSERT_TRUE(Start());
  EXPECT_EQ(TempLog(), (QStringList{"INFORMATION: Starting Vorlane Agent",
                                    "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"",
                                    "INFORMATION: There are no configured profiles",
                                    "INFORMATION: Configuration File OK", kStarted}));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "There are no configured profiles");
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(), (QStringList{kNoActive, kNoActive, kStopped}));
  EXPECT_EQ(agent_.AgentState(), NotRunning);
}

TEST_F(FrmAgentTest, MissingFoldersAreReportedAndTheProfileSkipped) {
  ProfileRecord in = MakeProfile("In");
  in.InboundDir = Path("nowhere/in/");  // stored with a trailing separator, used without it
  ProfileRecord out = MakeProfile("Out");
  out.OutboundDir = Path("nowhere/out");
  ProfileRecord both = MakeProfile("Both");
  both.InboundDir = Path("nowhere/b-in");
  both.OutboundDir = Path("nowhere/b-out");
  ProfileRecord unused = MakeProfile("Unused");  // folders missing, but not processed
  unused.PrcInboundMessages = false;
  unused.PrcOutboundMessages = false;
  unused.InboundDir = Path("nowhere/u-in");
  unused.OutboundDir = Path("nowhere/u-out");
  for (const auto& p : {in, out, both, unused}) AddProfile(p);
  global_.ShowErrorMsgs = true;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());

  const QStringList texts = {
      "Profile:  'In' Inbound Directory Not Found: " + Path("nowhere/in"),
      "Profile:  'Out' Outbound Directory Not Found: " + Path("nowhere/out"),
      "Profile:  'Both' Inbound Directory Not Found: " + Path("nowhere/b-in"),
  };
  QStringList expected;
  for (const QString& t : texts) expected << "ERROR:\t " + t;
  EXPECT_EQ(CycleLines(), expected);
  ASSERT_EQ(boxes_.size(), 3u);
  for (size_t i = 0; i < boxes_.size(); ++i) {
    EXPECT_EQ(boxes_[i].text, texts[static_cast<int>(i)]);
    EXPECT_EQ(boxes_[i].icon, vrl::MsgBoxIcon::Exclamation);
  }
  EXPECT_EQ(hooks_.calls, (QStringList{"open Unused", "close Unused"}));
  EXPECT_EQ(agent_.AgentState(), Running);
}

TEST_F(FrmAgentTest, MessageBoxesOnlyWithShowErrorMsgs) {
  ProfileRecord p = MakeProfile("In");
  p.InboundDir = Path("nowhere");
  AddProfile(p);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(CycleLines().size(), 1);
}

TEST_F(FrmAgentTest, InboundWithoutFilesToCreateIsWarnedButProcessed) {
  ProfileRecord p = MakeProfile("Bare");
  p.CreateAttchsInMsgs = false;
  p.CreateInfFileInboundMsgs = false;
  AddProfile(p);
  global_.ShowErrorMsgs = true;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(),
            QStringList{"ALERT:\t WARNING! No files will be created for inbound messages"});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "WARNING! No files will be created for inbound messages");
  EXPECT_EQ(hooks_.calls, (QStringList{"open Bare", "get Bare", "close Bare"}));
}

TEST_F(FrmAgentTest, OutboundListIsBuiltPerProfileAndSessionLinesAreLazy) {
  ProfileRecord a = MakeProfile("A"), b = MakeProfile("B"), c = MakeProfile("C");
  a.PrcInboundMessages = false;
  Drop(a, "2.txt");
  Drop(a, "1.TXT");
  Drop(a, "skip.inf");
  Drop(c, "only.txt");
  for (const auto& p : {a, b, c}) AddProfile(p);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.TXT", "file A 2.txt", "close A",
                                       "open B", "get B", "close B",  //
                                       "open C", "file C only.txt", "get C", "close C"}));
  EXPECT_EQ(CycleLines(), (QStringList{StartSession("A"), StopSession("A"), StartSession("C")}));
  EXPECT_EQ(agent_.SessionProfileName(), "C");

  // The files stay (nothing sent them), so the next cycle switches sessions again; the stop
  // ends the last one.
  ASSERT_TRUE(Tick());  // stamps the time; the interval counts from here
  Advance(5);
  ASSERT_TRUE(Tick());
  agent_.CmdStopStart_Click();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(),
            (QStringList{StartSession("A"), StopSession("A"), StartSession("C"),  //
                         StopSession("C"), StartSession("A"), StopSession("A"),
                         StartSession("C"),  //
                         StopSession("C"), kStopped}));
}

TEST_F(FrmAgentTest, SameProfileKeepsItsSessionLineAcrossCycles) {
  ProfileRecord a = MakeProfile("A");
  Drop(a, "x.txt");
  AddProfile(a);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  ASSERT_TRUE(Tick());  // stamps the time; the interval counts from here
  Advance(5);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls.count("file A x.txt"), 2);
  EXPECT_EQ(CycleLines(), QStringList{StartSession("A")});
}

TEST_F(FrmAgentTest, StopRequestDuringACycleIsHonouredBeforeTheNextProfile) {
  AddProfile(MakeProfile("A"));
  AddProfile(MakeProfile("B"));
  hooks_.onGetMail = [this](AgentContext& a) {
    if (a.CurrentProfileName() == "A") agent_.CmdStopStart_Click();
  };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "get A", "close A"}));
  EXPECT_EQ(CycleLines(), QStringList{kStopped});
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_FALSE(agent_.Timer1Enabled());
}

TEST_F(FrmAgentTest, StopRequestDuringAFileIsHonouredBeforeTheNextFile) {
  ProfileRecord a = MakeProfile("A");
  for (const char* f : {"1.txt", "2.txt", "3.txt"}) Drop(a, f);
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onFile = [this](AgentContext&, const QString&) { agent_.SetStopRequest(true); };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  // The open session is closed by the stop; no inbound step and no further profile.
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.txt", "close A"}));
  EXPECT_EQ(CycleLines(), (QStringList{StartSession("A"), StopSession("A"), kStopped}));
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_FALSE(agent_.SessionOpen());
}

TEST_F(FrmAgentTest, StopRequestWhileIdleStopsAtTheNextTick) {
  AddProfile(MakeProfile("A"));
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  agent_.CmdStopStart_Click();
  agent_.CmdStopStart_Click();  // repeated: the same request
  EXPECT_EQ(agent_.AgentState(), Running);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_EQ(hooks_.calls.count("open A"), 1);
  EXPECT_EQ(CycleLines(), QStringList{kStopped});
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
}

TEST_F(FrmAgentTest, AStopAskedForDuringTheStartIsKept) {
  AddProfile(MakeProfile("A"));
  // Arrives while the start sequence lets events run, as a console's call does.
  QTimer::singleShot(0, &agent_, [this] { agent_.CmdStopStart_Click(); });
  ASSERT_TRUE(Start());
  EXPECT_TRUE(agent_.StopRequest());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_TRUE(hooks_.calls.isEmpty());
}

TEST_F(FrmAgentTest, RestartReadsTheFilesAgainAndRunsAtOnce) {
  AddProfile(MakeProfile("A"));
  global_.PrcInterval = 3600;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
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
      {2, 0, 0, 500, 110, 25, 30},        {2, 995, 465, 300, 995, 465, 300},
      {2, 65535, 2525, 1, 65535, 2525, 1}, {2, 110, 25, 0, 110, 25, 30},
      {2, 110, 25, -5, 110, 25, 30},      {1, 0, 0, 500, 0, 0, 500},
  };
  int i = 0;
  for (const auto& c : cases) {
    ProfileRecord p = MakeProfile(QString::number(i++));
    p.HostType = c.hostType;
    p.Pop3TcpPort = c.pop3;
    p.SmtpTcpPort = c.smtp;
    p.TimeOutSecs = c.timeout;
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  ASSERT_EQ(agent_.ProfileCount(), static_cast<qint32>(std::size(cases)));
  for (qint32 p = 1; p <= agent_.ProfileCount(); ++p) {
    SCOPED_TRACE(p);
    const auto& c = cases[p - 1];
    EXPECT_EQ(agent_.Profile(p).Pop3TcpPort, c.pop3After);
    EXPECT_EQ(agent_.Profile(p).SmtpTcpPort, c.smtpAfter);
    EXPECT_EQ(agent_.Profile(p).TimeOutSecs, c.timeoutAfter);
  }
  // The file itself is left as it was.
  ProfileRecord stored;
  ASSERT_TRUE(FrmAgent::ReadProfileRecord(stored, 2));
  EXPECT_EQ(stored.TimeOutSecs, 500);
}

TEST_F(FrmAgentTest, ReadProfileRecordClearsTheRecordOnFailure) {
  AddProfile(MakeProfile("A"));
  ProfileRecord rec = MakeProfile("Leftover");
  rec.RecordNumber = 7;
  EXPECT_FALSE(FrmAgent::ReadProfileRecord(rec, 9));
  EXPECT_EQ(rec, ProfileRecord());
}

TEST_F(FrmAgentTest, StartFailures) {
  // No global file: the settings cannot be read.
  EXPECT_FALSE(agent_.StartAgent());
  EXPECT_EQ(TempLog(), (QStringList{"ERROR:\t Error Starting Vorlane Agent: Error reading Registry",
                                    kStopped}));
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
  EXPECT_FALSE(agent_.Timer1Enabled());

  // No profiles file.
  log_.ClearLogFile();
  states_.clear();
  global_.ShowErrorMsgs = true;
  SaveGlobal();
  EXPECT_FALSE(agent_.StartAgent());
  const QString path = home_ + "/VRL3PF.PCF";
  EXPECT_EQ(TempLog(), (QStringList{"INFORMATION: Starting Vorlane Agent",
                                    "INFORMATION: Configuration File Not Found: " + path, kStopped}));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Configuration File Not Found: " + path);
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));

  // A header that promises more profiles than the file holds.
  AddProfile(MakeProfile("A"));
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    const char three[4] = {3, 0, 0, 0};
    f.write(three, 4);
  }
  log_.ClearLogFile();
  boxes_.clear();
  EXPECT_FALSE(agent_.StartAgent());
  EXPECT_EQ(TempLog(), (QStringList{"INFORMATION: Starting Vorlane Agent",
                                    "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"",
                                    "ERROR:\t Error reading configuration file: \"" + path + "\"",
                                    "ERROR:\t Error Starting Vorlane Agent", kStopped}));
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, "Error reading configuration file: \"" + path + "\"");
  EXPECT_EQ(boxes_[1].text, "Error Starting Vorlane Agent");
  EXPECT_EQ(agent_.ProfileCount(), 0);

  // An empty profiles file: the header cannot be read.
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  }
  log_.ClearLogFile();
  EXPECT_FALSE(agent_.StartAgent());
  EXPECT_TRUE(TempLog().contains("ERROR:\t Error reading configuration file: \"" + path + "\""));
}

TEST_F(FrmAgentTest, FailedLogonDisablesTheProfileForTheRun) {
  ProfileRecord a = MakeProfile("A");
  a.HostType = 1;
  a.WinMsgProfileName = "Outlook A";
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onOpen = [](AgentContext&, const ProfileRecord& p) {
    if (p.Prfname == "A") throw vrl::VrlError(kErrLogonFailed, "Logon failed", "MAPI");
  };
  global_.ShowErrorMsgs = true;
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "open B", "get B", "close B"}));
  EXPECT_EQ(CycleLines(), QStringList{"ERROR:\t Cannot Start Session With The Profile: Outlook A"});
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Cannot Start Session With The Profile: Outlook A");
  EXPECT_FALSE(agent_.Profile(1).PrfEnabled);

  hooks_.calls.clear();
  ASSERT_TRUE(Tick());  // stamps the time; the interval counts from here
  Advance(5);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open B", "get B", "close B"}));
}

TEST_F(FrmAgentTest, EveryLogonFailingLeavesNoActiveProfile) {
  ProfileRecord a = MakeProfile("A");
  a.HostType = 1;
  AddProfile(a);
  hooks_.onOpen = [](AgentContext&, const ProfileRecord&) {
    throw vrl::VrlError(kErrLogonFailed, "Logon failed", "MAPI");
  };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(), (QStringList{"ERROR:\t Cannot Start Session With The Profile: ",
                                       kNoActive, kStopped}));
  EXPECT_EQ(agent_.AgentState(), NotRunning);
}

TEST_F(FrmAgentTest, IgnorableErrorResumesAfterTheCall) {
  AddProfile(MakeProfile("A"));
  hooks_.onOpen = [](AgentContext&, const ProfileRecord&) {
    throw vrl::VrlError(kErrResumeNext, "ignored", "test");
  };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "get A", "close A"}));
  EXPECT_TRUE(CycleLines().isEmpty());
}

TEST_F(FrmAgentTest, OtherErrorsEndTheCycleAndTheAgentGoesOn) {
  ProfileRecord a = MakeProfile("A");
  Drop(a, "1.txt");
  Drop(a, "2.txt");
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  hooks_.onFile = [](AgentContext&, const QString&) { throw vrl::VrlError(5, "Invalid call", "test"); };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.txt", "close A"}));
  EXPECT_EQ(agent_.AgentState(), Running);
  EXPECT_TRUE(agent_.Timer1Enabled());
  EXPECT_FALSE(agent_.SessionOpen());
}

TEST_F(FrmAgentTest, StopInsideTheMailWorkEndsTheCycleAtOnce) {
  AddProfile(MakeProfile("A"));
  AddProfile(MakeProfile("B"));
  hooks_.onGetMail = [this](AgentContext& a) {
    agent_.SetStopRequest(true);
    EXPECT_TRUE(a.StopIfRequested());
  };
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  // The stop closed the session; the cycle does not close it twice nor go on.
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "get A", "close A"}));
  EXPECT_EQ(CycleLines(), QStringList{kStopped});
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
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
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_EQ(CycleLines(), (QStringList{StartSession("A"), StopSession("A"), kStopped}));
}

TEST_F(FrmAgentTest, UnloadDeletesTheTemporaryLog) {
  AddProfile(MakeProfile("A"));
  ASSERT_TRUE(Start());
  const QString temp = log_.GetTempLogFileName();
  ASSERT_TRUE(QFileInfo::exists(temp));
  agent_.Form_Unload();
  EXPECT_FALSE(QFileInfo::exists(temp));
  EXPECT_TRUE(QFileInfo::exists(global_.LogFileName));
}

}  // namespace
