// The agent core: start-up, the timer's interval rules, the cycle over the profiles, the stop.
#include <QTimer>

#include "AgentFixture.h"
#include "VrlError.h"

namespace {

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
    qint16 unit;
    qint16 interval;
    qint64 seconds;
  } cases[] = {{0, 5, 5}, {1, 2, 120}, {2, 10, 36000} /* beyond 16 bits of seconds */, {7, 3, 3} /* unknown */};
  AddProfile(MakeProfile("Orders"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    global_.PrcIntervalUnit = c.unit;
    global_.PrcInterval = c.interval;
    hooks_.calls.clear();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(hooks_.calls.isEmpty());
    ASSERT_TRUE(Tick());  // the first tick runs the first cycle
    EXPECT_EQ(hooks_.calls, (QStringList{"open Orders", "get Orders", "close Orders"}));
    Advance(3);
    const QDateTime stamp = now_;
    ASSERT_TRUE(Tick());  // the tick after a cycle stamps the time the interval counts from
    now_ = stamp.addSecs(c.seconds - 1);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(Cycles(), 1) << "one second early";
    now_ = stamp.addSecs(c.seconds);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(Cycles(), 2);
    agent_.CmdStopStart_Click();
    ASSERT_TRUE(Tick());
    ASSERT_EQ(agent_.AgentState(), NotRunning);
    Advance(86400);
  }
}

TEST_F(FrmAgentTest, AutoExitAndIntervalZeroStopAfterOneCycle) {
  AddProfile(MakeProfile("Orders"));
  for (const bool autoExit : {false, true}) {
    global_.AutoExit = autoExit;
    global_.PrcInterval = autoExit ? 5 : 0;
    hooks_.calls.clear();
    states_.clear();
    log_.ClearLogFile();
    FirstCycle();
    ExpectStoppedAfter({"open Orders", "get Orders", "close Orders"}, {kStopped});
  }
}

TEST_F(FrmAgentTest, MissingFoldersAreReportedAndTheProfileSkipped) {
  ProfileRecord in = MakeProfile("In"), out = MakeProfile("Out"), unused = MakeProfile("Unused");
  in.InboundDir = Path("nowhere/in/");  // stored with a trailing separator, used without it
  out.OutboundDir = Path("nowhere/out");
  unused.PrcInboundMessages = false, unused.PrcOutboundMessages = false;  // folders not needed
  unused.InboundDir = Path("nowhere/u-in"), unused.OutboundDir = Path("nowhere/u-out");
  // A folder taken from wherever the agent started, files that would be sent again as .BAD.
  ProfileRecord refused = MakeProfile("Refused");
  refused.InboundDir = ".", refused.OutFilesExtention = "bad";
  for (const auto& p : {in, out, unused, refused}) AddProfile(p);
  global_.ShowErrorMsgs = true;
  FirstCycle();
  const QStringList texts = {"Profile:  'In' Inbound Directory Not Found: " + Path("nowhere/in"),
                             "Profile:  'Out' Outbound Directory Not Found: " + Path("nowhere/out")};
  EXPECT_EQ(CycleLines(), (QStringList{"ERROR:\t " + texts[0], "ERROR:\t " + texts[1],
                                       "ERROR:\t Profile:  'Refused' Not an absolute folder name: .",
                                       "ERROR:\t Profile:  'Refused' This type of file cannot be used: *.BAD"}));
  ASSERT_EQ(boxes_.size(), 4u);
  EXPECT_EQ(boxes_[1].text, texts[1]);
  EXPECT_EQ(boxes_[1].icon, vrl::MsgBoxIcon::Exclamation);
  EXPECT_EQ(hooks_.calls, (QStringList{"open Unused", "close Unused"}));
  EXPECT_EQ(agent_.AgentState(), Running);
}

TEST_F(FrmAgentTest, InboundWithoutFilesToCreateIsWarnedButProcessed) {
  ProfileRecord p = MakeProfile("Bare");
  p.CreateAttchsInMsgs = false, p.CreateInfFileInboundMsgs = false;
  AddProfile(p);
  FirstCycle();
  EXPECT_TRUE(boxes_.empty()) << "boxes only with ShowErrorMsgs";
  EXPECT_EQ(CycleLines(), QStringList{"ALERT:\t WARNING! No files will be created for inbound messages"});
  EXPECT_EQ(hooks_.calls, (QStringList{"open Bare", "get Bare", "close Bare"}));
}

TEST_F(FrmAgentTest, OutboundListIsBuiltPerProfileAndSessionLinesAreLazy) {
  ProfileRecord a = MakeProfile("A"), b = MakeProfile("B"), c = MakeProfile("C");
  a.PrcInboundMessages = false;
  for (const char* f : {"2.txt", "1.TXT", "skip.inf"}) Drop(a, f);
  Drop(c, "only.txt");
  for (const auto& p : {a, b, c}) AddProfile(p);
  // A connection line follows its session's lines; B, with nothing to do, leaves none.
  hooks_.onOpen = [](AgentContext& ctx, const ProfileRecord& p) { ctx.LogWithSession("TLS " + p.Prfname); };
  FirstCycle();
  EXPECT_EQ(hooks_.calls, (QStringList{"open A", "file A 1.TXT", "file A 2.txt", "close A", "open B", "get B",
                                       "close B", "open C", "file C only.txt", "get C", "close C"}));
  const QStringList cycle = {StartSession("A"), "TLS A", StopSession("A"), StartSession("C"), "TLS C"};
  EXPECT_EQ(CycleLines(), cycle);
  // The files stay (nothing sent them), so the next cycle switches sessions again; the stop
  // ends the last one.
  NextCycle();
  agent_.CmdStopStart_Click();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(CycleLines(), (cycle + QStringList{StopSession("C")} + cycle + QStringList{StopSession("C"), kStopped}));
}

TEST_F(FrmAgentTest, AStopRequestDuringAFileIsHonouredBeforeTheNextFile) {
  ProfileRecord a = MakeProfile("A");
  for (const char* f : {"1.txt", "2.txt"}) Drop(a, f);
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
  } cases[] = {{2, 0, 0, 500, 110, 25, 30}, {2, 995, 465, 300, 995, 465, 300}, {2, 110, 25, 0, 110, 25, 30},
               {1, 0, 0, 500, 0, 0, 500}};
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
  global_.ShowErrorMsgs = true;
  SaveGlobal();
  const QString path = home_ + "/VRL3PF.PCF";
  AddProfile(MakeProfile("A"));
  {
    QFile f(path);  // a header that promises more profiles than the file holds
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.write("\x03", 1);
  }
  EXPECT_FALSE(agent_.StartAgent());
  const QString error = "Error reading configuration file: \"" + path + "\"";
  EXPECT_EQ(TempLog(), (QStringList{"INFORMATION: Starting Vorlane Agent",
                                    "INFORMATION: Reading Configuration File: \"VRL3PF.PCF\"", "ERROR:\t " + error,
                                    "ERROR:\t Error Starting Vorlane Agent", kStopped}));
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, error);
  EXPECT_EQ(agent_.ProfileCount(), 0);
  EXPECT_EQ(states_, (QList<qint32>{Running, NotRunning}));
  EXPECT_FALSE(agent_.Timer1Enabled());
}

TEST_F(FrmAgentTest, ErrorsOfTheMailWork) {
  ProfileRecord a = MakeProfile("A");
  for (const char* f : {"1.txt", "2.txt"}) Drop(a, f);
  AddProfile(a);
  AddProfile(MakeProfile("B"));
  // An ignorable error resumes after the call.
  hooks_.onOpen = [](AgentContext&, const ProfileRecord&) { throw vrl::VrlError(kErrResumeNext, "ignored", "t"); };
  // Any other ends the cycle; the agent goes on.
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
