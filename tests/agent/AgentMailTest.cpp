// The agent's mail work against scripted loopback servers: what one cycle logs, sends, writes and
// deletes, and what it leaves for the next cycle when something fails.
#include "AgentFixture.h"
#include "MailHost.h"
#include "ProfileSecurity.h"
#include "ProfileUnattended.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

using vrltest::Scenario;
using vrltest::ScriptedServer;

const QString kInfo = "INFORMATION: ";

// A POP3 login of user "u" with password "p".
Scenario& Pop3Login(Scenario& s) {
  return s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS p").reply("+OK in");
}
QByteArray Retr(const QByteArray& message) { return "+OK\r\n" + Scenario::dotStuff(message); }

// A mailbox as one session sees it, and what the agent should do with each message.
struct Mailbox {
  QByteArrayList messages;
  QByteArrayList takes;        // from message 1: "R" retrieved, "D" deleted, "" left; "RD" when missing
  QByteArray deleReply = "+OK";  // a failure ends the session
  QByteArrayList ids = {};     // UIDL from message 1; "id1", "id2", ... when empty
  bool uidl = true;            // else UIDL is refused
  bool quitAnswered = true;    // else the server drops the connection at QUIT
  QByteArray sizes = {};       // a LIST answer ("1 1000\r\n..."), asked when given
};

// Login, STAT, UIDL and LIST when there are messages, each message from the highest number down as
// `takes` says, QUIT.
Scenario Pop3Session(const Mailbox& b) {
  Scenario s;
  const qsizetype n = b.messages.size();
  Pop3Login(s).expect("STAT").reply("+OK " + QByteArray::number(n) + " 1000");
  if (n > 0) s.expect("UIDL");
  if (n > 0 && !b.uidl) s.reply("-ERR unknown command");
  if (n > 0 && b.uidl) {
    QByteArray list = "+OK\r\n";
    for (qsizetype i = 1; i <= n; ++i) list += QByteArray::number(i) + ' ' + b.ids.value(i - 1, "id" + QByteArray::number(i)) + "\r\n";
    s.send(list + ".\r\n");
  }
  if (!b.sizes.isEmpty()) s.expect("LIST").send("+OK\r\n" + b.sizes + ".\r\n");
  for (qsizetype i = n; i >= 1; --i) {
    const QByteArray take = b.takes.value(i - 1, "RD");
    if (take.contains('R')) s.expect("RETR " + QByteArray::number(i)).send(Retr(b.messages[i - 1]));
    if (!take.contains('D')) continue;
    s.expect("DELE " + QByteArray::number(i)).reply(b.deleReply);
    if (!b.deleReply.startsWith("+OK")) break;
  }
  s.expect("QUIT");
  return b.quitAnswered ? s.reply("+OK bye") : s.close();
}
Scenario Pop3Mailbox(const QByteArrayList& messages) { return Pop3Session({messages, {}}); }

// A message from `from` with one base64 attachment.
QByteArray MessageWithAttachment(const QByteArray& from, const QByteArray& name, const QByteArray& content) {
  return "From: " + from + "\r\nSubject: Test\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\nContent-Type: text/plain\r\n\r\nHello\r\n"
         "--b1\r\nContent-Type: application/octet-stream; name=\"" + name + "\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" + content.toBase64() + "\r\n--b1--\r\n";
}

const QByteArray kAnnMessage = MessageWithAttachment("Ann <ann@example.com>", "report.xml", "<report/>");

class AgentMailTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    agent_.SetMailWork(&work_);
  }
  // A profile on the scripted servers (a null server: that side is not used).
  ProfileRecord OnServers(const QString& name, ScriptedServer* pop, ScriptedServer* smtp) {
    ProfileRecord p = MakeProfile(name);
    p.TimeOutSecs = 3, p.UserName = "u", p.Pop3SmtpPws = "p", p.FromAddress = "agent@example.com";
    p.RecAddress = "to@example.com", p.Subject = "Daily", p.MsgText = "Attached.";
    p.FileExtention = "IN", p.ResFilesExtention = "INF";
    p.PrcInboundMessages = pop != nullptr, p.PrcOutboundMessages = smtp != nullptr;
    if (pop) p.Pop3Server = "127.0.0.1", p.Pop3TcpPort = pop->port();
    if (smtp) p.SmtpServer = "127.0.0.1", p.SmtpTcpPort = smtp->port();
    return p;
  }
  // One cycle, and the time moved on past the interval so that the next tick runs the next one.
  void Cycle() {
    ASSERT_TRUE(Tick());
    ASSERT_TRUE(Tick());
    Advance(global_.PrcInterval);
  }
  static QStringList Files(const QString& dir) { return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
  static void Expect(ScriptedServer& server) {
    EXPECT_TRUE(server.waitDone()) << server.progress().toStdString();
    EXPECT_EQ(server.errors(), QStringList{});
  }

  AgentMailWork work_;
};

TEST_F(AgentMailTest, OneCycleSendsReceivesAndLogsEveryStepInOrder) {
  Scenario idlePop;
  Pop3Login(idlePop).expect("STAT").reply("+OK 0 0").expect("QUIT").reply("+OK");
  ScriptedServer pop({Pop3Mailbox({kAnnMessage}), idlePop});
  ScriptedServer smtp({agenttest::SmtpTaking(1), agenttest::SmtpTaking(0)});
  ProfileRecord p = OnServers("P", &pop, &smtp);
  p.RenamedFilesExtention = "*.PRC";
  Drop(p, "A.TXT");
  Drop(p, "A.PRC");                                             // taken: the sent file becomes 1-A.PRC
  WriteFile(p.InboundDir + "/report.IN", "");                   // taken
  WriteFile(p.InboundDir + "/.vrltmp-left", "");                // a crash's leftover
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  const QString saved = p.InboundDir + "/1-report.IN";
  EXPECT_EQ(CycleLines(), (QStringList{kInfo + "Starting Session with the Profile: P",
                                       "ALERT:\t Profile: \"P\" POP3 login in clear text: the password is not protected "
                                       "(security none)",
                                       kInfo + "Sending New Message",
                                       kInfo + "Destination Address: to@example.com",
                                       kInfo + "Attachment File: " + p.OutboundDir + "/A.TXT",
                                       kInfo + "Message Successfully Sent",
                                       kInfo + "Processing New Message From: Ann <ann@example.com>",
                                       kInfo + "Creating File: " + saved, kInfo + "Message Successfully Processed"}));
  EXPECT_EQ(Files(p.OutboundDir), (QStringList{"1-A.PRC", "A.PRC"}));
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"1-report.IN", "1-report.INF", "report.IN"}));
  EXPECT_EQ(ReadAll(saved), "<report/>");
  const std::vector<QByteArray> sent = smtp.data(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].contains("Subject: Daily\r\n"));
  EXPECT_TRUE(sent[0].contains(QByteArray("data\r\n").toBase64()));

  // Nothing new: no second session line; the stop ends the session line.
  const qsizetype before = TempLog().size();
  Cycle();
  agent_.CmdStopStart_Click();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(TempLog().mid(before),
            (QStringList{kInfo + "Stopping Session with the Profile: P", kInfo + "Vorlane Agent Stopped"}));
  Expect(pop);
  Expect(smtp);
}

TEST_F(AgentMailTest, FilesThatCannotGoAreRenamedBad) {
  Scenario rejecting;
  rejecting.reply("220 test").expectPrefix("HELO ").reply("250 hello").expectPrefix("MAIL FROM:").reply("250 ok");
  rejecting.expectPrefix("RCPT TO:").reply("550 no such user").expectClose();
  ScriptedServer smtp({rejecting});
  ProfileRecord p = OnServers("P", nullptr, &smtp);
  Drop(p, "A.TXT");
  Drop(p, "A.BAD");
  AddProfile(p);
  agent_.SetModeDebug(true);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(p.OutboundDir), (QStringList{"1-A.BAD", "A.BAD"}));
  const QStringList lines = CycleLines();
  EXPECT_TRUE(lines.contains("DEBUG SMTP: Profile \"P\" Status: Sending Recipient Information..."));
  EXPECT_EQ(lines.last(), kInfo + "Changing File Name To: " + p.OutboundDir + "/1-A.BAD");
  Expect(smtp);
}

TEST_F(AgentMailTest, AnSmtpServerThatNeverAnswersMakesEveryFileBad) {
  ProfileRecord p = OnServers("P", nullptr, nullptr);
  p.PrcOutboundMessages = true, p.SmtpServer = "127.0.0.1";
  p.SmtpTcpPort = 1;  // nothing listens there: refused at once, twice
  Drop(p, "1.TXT");
  Drop(p, "2.TXT");
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(p.OutboundDir), (QStringList{"1.BAD", "2.BAD"}));
  EXPECT_TRUE(CycleLines().value(0).startsWith("ERROR:\t Profile: \"P\" Error connecting to SMTP Server: "));
}

TEST_F(AgentMailTest, WithRetryAFileStaysAfterATransientFailureUntilSentOrTooOld) {
  // One profile per case, each with one file and its own server; a connection per cycle, two
  // (both attempts) when the connection fails. A reset connection stands for an unreachable server.
  const auto refusing = [](const QByteArray& rcptReply) {
    Scenario s;
    s.reply("220 test").expectPrefix("HELO ").reply("250 hello").expectPrefix("MAIL FROM:").reply("250 ok");
    return s.expectPrefix("RCPT TO:").reply(rcptReply).expectClose();
  };
  const Scenario down = Scenario().reset(), idle = agenttest::SmtpTaking(0), taking = agenttest::SmtpTaking(1);
  struct Case {
    QString name;
    qint16 retryHours;
    std::vector<Scenario> connections;
    QStringList after;  // the outbound folder after each cycle; "+" marks a file the journal holds
  } cases[] = {
      {"Down", 24, {down, down, down, down, taking}, {"A.TXT+", "A.TXT+", ""}},
      {"Busy", 24, {refusing("451 try later"), taking, idle}, {"A.TXT+", "", ""}},
      {"Refused", 24, {refusing("550 no such user"), idle, idle}, {"A.BAD", "A.BAD", "A.BAD"}},
      {"TooOld", 1, {down, down, down, down, down, down}, {"A.TXT+", "A.TXT+", "A.BAD"}},
  };
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  for (const Case& c : cases) {
    servers.push_back(std::make_unique<ScriptedServer>(c.connections));
    ProfileRecord p = OnServers(c.name, nullptr, servers.back().get());
    conf::WriteProfileUnattended(p, {true, c.retryHours, false, 0});
    Drop(p, "A.TXT");
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  WriteFile(home_ + "/.VRLEng31.retry.Ab12Cd", "{");  // a crash's leftover
  for (int cycle = 0; cycle < 3; ++cycle) {
    work_ = AgentMailWork();  // as a new agent process: the journal is read again
    Cycle();
    Advance(1800);
    const QJsonObject journal = QJsonDocument::fromJson(ReadAll(home_ + "/VRLEng31.retry")).object();
    for (const Case& c : cases) {
      const QString out = Path(c.name + "/out");
      EXPECT_EQ(Files(out).join(' ') + (journal.contains(out + "/A.TXT") ? "+" : ""), c.after[cycle])
          << c.name.toStdString() << " after cycle " << cycle + 1;
    }
    if (cycle == 0) {
      const QString alert = "ALERT:\t Message Not Sent, Will Retry: " + Path("%1/out/A.TXT") + " - ";
      EXPECT_TRUE(CycleLines().contains(alert.arg("Busy") + "451 try later"));
      EXPECT_EQ(CycleLines().filter(alert.arg("Down") + "Error connecting to SMTP Server: ").size(), 1);
    }
  }
  EXPECT_EQ(QDir(home_).entryList({"*.retry*"}, QDir::Files | QDir::Hidden), QStringList{}) << "nothing waits or is left";
  for (auto& server : servers) Expect(*server);
}

TEST_F(AgentMailTest, WithIdsAMessageIsWrittenOnceWhateverEndsItsSession) {
  // One profile per case, two cycles; the first session ends before its deletion took effect.
  const QStringList once{"report.IN", "report.INF"};
  struct Case {
    QString name;
    Mailbox first;
    QByteArray secondTakes;
    QStringList files;
  } cases[] = {
      {"Refused", {{kAnnMessage}, {}, "-ERR locked"}, "D", once},
      {"Dropped", {{kAnnMessage}, {}, "+OK", {}, true, false}, "D", once},
      {"NoIds", {{kAnnMessage}, {}, "-ERR locked", {}, false}, "RD", once + QStringList{"1-report.IN", "1-report.INF"}},
  };
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  for (const Case& c : cases) {
    Mailbox second = c.first;
    second.takes = {c.secondTakes}, second.deleReply = "+OK", second.quitAnswered = true;
    servers.push_back(std::make_unique<ScriptedServer>(std::vector{Pop3Session(c.first), Pop3Session(second)}));
    AddProfile(OnServers(c.name, servers.back().get(), nullptr));
  }
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(CycleLines().filter("ERROR:\t Error Deleting Message 1: ").size(), 2) << CycleLines().join("\n").toStdString();
  Cycle();
  for (const Case& c : cases) {
    QStringList files = c.files;
    files.sort();
    EXPECT_EQ(Files(Path(c.name + "/in")), files) << c.name.toStdString();
  }
  EXPECT_EQ(CycleLines().count(kInfo + "Deleting Message Already Processed: id1"), 2);
  for (auto& server : servers) Expect(*server);
}

TEST_F(AgentMailTest, WithPipeliningMessagesAreReadAheadAndARefusedDeletionKeepsTheirIds) {
  // The server offers PIPELINING: the three RETRs go out together, the messages are put in place
  // together, and the DELEs go without waiting. It refuses the second DELE, which the agent
  // learns only at QUIT: no id is forgotten, so the next cycle deletes that message instead of
  // writing it twice. Two messages name the same file: the second takes another name, and its
  // information file says which.
  const QByteArrayList messages{MessageWithAttachment("a@example.com", "a.xml", "1"),
                                MessageWithAttachment("b@example.com", "a.xml", "2"),
                                MessageWithAttachment("c@example.com", "c.xml", "3")};
  Scenario first;
  Pop3Login(first).expect("STAT").reply("+OK 3 1000").expect("UIDL").send("+OK\r\n1 id1\r\n2 id2\r\n3 id3\r\n.\r\n");
  first.expect("CAPA").send("+OK\r\nUSER\r\nPIPELINING\r\n.\r\n").expect("LIST").send("+OK\r\n1 300\r\n2 300\r\n3 300\r\n.\r\n");
  first.expect("RETR 3").expect("RETR 2").expect("RETR 1");
  first.send(Retr(messages[2]) + Retr(messages[1]) + Retr(messages[0]));
  first.expect("DELE 3").reply("+OK").expect("DELE 2").reply("-ERR locked").expect("DELE 1").reply("+OK");
  first.expect("QUIT").reply("+OK bye");
  Scenario second;
  Pop3Login(second).expect("STAT").reply("+OK 1 300").expect("UIDL").send("+OK\r\n1 id2\r\n.\r\n");
  second.expect("DELE 1").reply("+OK").expect("QUIT").reply("+OK bye");
  ScriptedServer pop({first, second});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  ProfileSecurity sec;
  sec.SmtpSecurity = 0;  // any entry: a profile of today's settings (POP3 stays none, USER/PASS)
  conf::WriteProfileSecurity(p, sec);
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"1-a.IN", "1-a.INF", "a.IN", "a.INF", "c.IN", "c.INF"}));
  EXPECT_EQ(ReadAll(p.InboundDir + "/1-a.IN"), "1");
  EXPECT_TRUE(ReadAll(p.InboundDir + "/1-a.INF").contains(p.InboundDir.toUtf8() + "/1-a.IN"));
  EXPECT_EQ(CycleLines().filter("ERROR:\t Error Deleting Message 2: ").size(), 1) << CycleLines().join("\n").toStdString();
  // Each message's lines stay together, in the order the messages came.
  const QStringList order = CycleLines().filter(QRegularExpression("From: |Creating|Processed$"));
  EXPECT_EQ(order.join('\n').count("Processed"), 3) << order.join('\n').toStdString();
  for (int m = 0; m < 3; ++m)
    EXPECT_TRUE(order.value(3 * m).endsWith(QString("From: %1@example.com").arg(QString("cba")[m])) &&
                order.value(3 * m + 1).contains("Creating File: ") && order.value(3 * m + 2).endsWith("Processed"))
        << order.join('\n').toStdString();
  Cycle();
  EXPECT_EQ(CycleLines().count(kInfo + "Deleting Message Already Processed: id2"), 1);
  EXPECT_EQ(Files(p.InboundDir).size(), 6);
  Expect(pop);
}

TEST_F(AgentMailTest, FilesOfAMessageTakenBeforeACrashArePutInPlaceInsteadOfFetchedAgain) {
  ScriptedServer pop({Pop3Session({{kAnnMessage}, {"D"}})});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  AddProfile(p);
  // The run before wrote the message's files under hidden names, recorded its id and ended.
  const QString in = p.InboundDir;
  WriteFile(in + "/.vrltmp-a", "<report/>");
  WriteFile(in + "/.vrltmp-b", "info");
  // (A journal of an older version: keyed by the profile's name.)
  WriteFile(home_ + "/VRLEng31.uids", QString(R"({"P":{"ids":{"id1":0},"placing":[["%1/.vrltmp-a","%1/report.IN",false],)"
                                              R"(["%1/.vrltmp-b","%1/report.INF",true]]}})").arg(in).toUtf8());
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(in), (QStringList{"report.IN", "report.INF"}));
  EXPECT_EQ(ReadAll(in + "/report.IN"), "<report/>");
  EXPECT_FALSE(QFileInfo::exists(home_ + "/VRLEng31.uids")) << "the id went with the message's deletion";
  Expect(pop);
}

TEST_F(AgentMailTest, WhatAFolderOrAServerThrowsAtItStaysWithItsOwnProfile) {
  // One profile per case in one run: each case's trouble leaves the others' mail as it should be.
  const QStringList once{"report.IN", "report.INF"};
  const QByteArray other = MessageWithAttachment("bob@example.com", "report.xml", "<other/>");
  Scenario refused;
  Pop3Login(refused).expect("STAT").reply("-ERR mailbox locked").expect("QUIT").reply("+OK");
  global_.MaxAttachments = 2;
  QByteArray threeParts = MessageWithAttachment("x@example.com", "a.xml", "1");
  threeParts.replace("--b1--", "--b1\r\nContent-Type: text/xml; name=\"b.xml\"\r\n\r\n2\r\n"
                               "--b1\r\nContent-Type: text/xml; name=\"c.xml\"\r\n\r\n3\r\n--b1--");
  // Encoded line breaks in the sender and the subject, one of them forging a log line.
  QByteArray forged = kAnnMessage;
  forged.replace("From: Ann <ann@example.com>", "From: =?UTF-8?Q?Eve=0A07-12-2026_00:00:00_=C2=BB_ERROR:=09_forged?= <e@x.org>");
  forged.replace("Subject: Test", "Subject: =?UTF-8?Q?Hi=0D=0A###=0D=0ASubject:?=");
  // A staged entry of the mailbox as a run that ended left it: temp, target, inode.
  const auto placing = [](const QString& dir, const char* files, const char* id = "id1") {
    return QJsonObject{{"id", id}, {"files", QJsonDocument::fromJson(QString(files).arg(dir).toUtf8()).array()}};
  };
  struct Case {
    QString name;
    std::vector<Scenario> sessions;
    QStringList files;                                         // in the inbound folder at the end
    std::function<QJsonObject(const QString& in)> journal = {};  // the mailbox's entry before the run
    QString line = {};                                         // a line the run logs
  } cases[] = {
      {"Obstacle", {Pop3Mailbox({kAnnMessage})}, {"1-report.INF", "report.IN"}, {}, kInfo + "Message Successfully Processed"},
      {"GoneFolder", {Pop3Mailbox({kAnnMessage})}, once,
       [&](const QString&) { return QJsonObject{{"ids", QJsonObject{{"id1", 0}}}, {"placing", placing(Path("gone"), R"([["%1/.vrltmp-1-a","%1/report.IN","7"]])")}}; },
       "ERROR:\t Files Removed Before They Were In Place, Message Fetched Again: id1"},
      // One staged file was swept away, the other not: neither appears, the message comes again.
      {"Swept", {Pop3Mailbox({kAnnMessage})}, once,
       [&](const QString& in) {
         WriteFile(in + "/.vrltmp-1-b", "info");
         return QJsonObject{{"ids", QJsonObject{{"id1", 0}}},
                            {"placing", placing(in, R"([["%1/.vrltmp-1-a","%1/report.IN","7"],["%1/.vrltmp-1-b","%1/report.INF","8"]])")}};
       },
       "ERROR:\t Files Removed Before They Were In Place, Message Fetched Again: id1"},
      {"Repointed", {Pop3Mailbox({kAnnMessage})}, once, {}, kInfo + "Message Successfully Processed"},
      // Two messages recorded together: the one whose file is there is put in place and deleted,
      // the other's file is gone and it comes again.
      {"Together", {Pop3Session({{kAnnMessage, kAnnMessage}, {"D", "RD"}})}, {"1-report.IN", "1-report.INF", "report.IN"},
       [&](const QString& in) {
         WriteFile(in + "/.vrltmp-1-a", "<placed/>");
         return QJsonObject{{"ids", QJsonObject{{"id1", 0}, {"id2", 0}}},
                            {"placing", QJsonArray{placing(in, R"([["%1/.vrltmp-1-a","%1/report.IN","7"]])"),
                                                   placing(in, R"([["%1/.vrltmp-2-a","%1/x.IN","8"]])", "id2")}}};
       },
       "ERROR:\t Files Removed Before They Were In Place, Message Fetched Again: id2"},
      // Ids that are message numbers: the next session's message 1 is another message.
      {"ReusedIds", {Pop3Session({{kAnnMessage}, {}, "+OK", {"1"}}), Pop3Session({{other}, {}, "+OK", {"1"}})},
       {"1-report.IN", "1-report.INF", "report.IN", "report.INF"}},
      {"RefusedStat", {refused}, {}, {}, "ERROR:\t Error Counting Messages: Error Retrieving Number of Mails from POP3 Server! mailbox locked"},
      {"ManyParts", {Pop3Session({{threeParts, kAnnMessage}, {"R", "RD"}}), Pop3Session({{threeParts}, {"R"}})}, once, {},
       "ALERT:\t Message With Too Many Attachments, Left On Server: 1 - 3 attachments"},
      {"Forged", {Pop3Mailbox({forged})}, once, {},
       kInfo + "Processing New Message From: Eve 07-12-2026 00:00:00 \u00BB ERROR:\t forged <e@x.org>"},
  };
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  QJsonObject journal;
  for (Case& c : cases) {
    if (c.sessions.size() == 1) c.sessions.push_back(Pop3Mailbox({}));  // the second cycle finds none
    servers.push_back(std::make_unique<ScriptedServer>(c.sessions));
    const ProfileRecord p = OnServers(c.name, servers.back().get(), nullptr);
    const QString mailbox = "pop3:u@127.0.0.1:" + QString::number(servers.back()->port());
    if (c.journal) journal.insert(mailbox, c.journal(p.InboundDir));
    AddProfile(p);
  }
  ASSERT_TRUE(QDir().mkpath(Path("Obstacle/in/report.INF")));  // a consuming program's folder
  journal.insert("pop3:u@127.0.0.1:1", QJsonObject{{"ids", QJsonObject{{"id1", 0}}}});  // where "Repointed" was
  WriteFile(home_ + "/VRLEng31.uids", QJsonDocument(journal).toJson());
  ASSERT_TRUE(Start());
  Cycle();
  Cycle();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    EXPECT_EQ(Files(Path(c.name + "/in")), c.files);
    if (!c.line.isEmpty()) {
      EXPECT_TRUE(CycleLines().contains(c.line)) << CycleLines().join("\n").toStdString();
    }
  }
  EXPECT_EQ(ReadAll(Path("ReusedIds/in/1-report.IN")), "<other/>");
  EXPECT_FALSE(CycleLines().contains("ERROR:\t forged <e@x.org>"));
  EXPECT_EQ(ReadAll(Path("Forged/in/report.INF")).split('\n').mid(0, 7).join('\n'),
            "From: \r\nEve 07-12-2026 00:00:00 \xC2\xBB ERROR:  forged <e@x.org>\r\n" + QByteArray(75, '#') +
                "\r\nSubject: \r\nHi  ###  Subject:\r\n" + QByteArray(75, '#') + "\r\nMessage: \r");
  const QJsonObject health = QJsonDocument::fromJson(ReadAll(home_ + "/VRLEng31.health")).object();
  EXPECT_EQ(health["profiles"]["RefusedStat"]["total"]["errors"].toInt(), 1);
  EXPECT_EQ(QJsonDocument::fromJson(ReadAll(home_ + "/VRLEng31.uids")).object().keys(), QStringList{"pop3:u@127.0.0.1:1"})
      << "only the ids that still protect a message stay";
  for (auto& server : servers) Expect(*server);
}

TEST_F(AgentMailTest, ADamagedJournalIsSetAsideAndANewOneStarts) {
  ScriptedServer pop({Pop3Mailbox({kAnnMessage})});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  AddProfile(p);
  WriteFile(home_ + "/VRLEng31.uids", "{\"pop3:u@127.0.0.1:1\": {\"ids\": {\"id1\"");
  ASSERT_TRUE(Start());
  Cycle();
  const QStringList aside = QDir(home_).entryList({"VRLEng31.uids.damaged-*"}, QDir::Files);
  ASSERT_EQ(aside.size(), 1);
  EXPECT_EQ(ReadAll(home_ + "/" + aside[0]), "{\"pop3:u@127.0.0.1:1\": {\"ids\": {\"id1\"") << "kept with its bytes";
  EXPECT_EQ(CycleLines().filter("ERROR:\t Damaged File Set Aside: " + home_ + "/VRLEng31.uids - ").size(), 1)
      << CycleLines().join("\n").toStdString();
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"report.IN", "report.INF"}));
  Expect(pop);
}

TEST_F(AgentMailTest, AMessageWhoseIdCannotBeRecordedStaysOnTheServerAndLeavesNoFile) {
  ScriptedServer pop({Pop3Session({{kAnnMessage}, {"R"}})});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  AddProfile(p);
  ASSERT_TRUE(QDir().mkpath(home_ + "/VRLEng31.uids"));  // a folder where the journal goes
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(QDir(p.InboundDir).entryList(QDir::Files | QDir::Hidden), QStringList{});
  EXPECT_EQ(QDir(home_).entryList({".VRLEng31.uids*"}, QDir::Files | QDir::Hidden), QStringList{});
  EXPECT_TRUE(CycleLines().contains("ERROR:\t Cannot Write The File: " + home_ + "/VRLEng31.uids - Is a directory"))
      << CycleLines().join("\n").toStdString();
  Expect(pop);
}

TEST_F(AgentMailTest, MessagesKeptOnTheServerAreFetchedOnceAndDeletedWhenTheirDaysAreOver) {
  // Cycles a day apart. Message 1 is fetched in the first, message 2 in the second; "Forever"'s
  // message 1 goes from the server before the third (its id leaves the journal).
  const QByteArray m1 = kAnnMessage, m2 = MessageWithAttachment("bob@example.com", "b.xml", "<b/>");
  const QByteArrayList both{m1, m2};
  struct Case {
    QString name;
    qint16 keepDays;
    std::vector<Scenario> sessions;
    QStringList files;
    QByteArray journal;  // the profile's ids after the third cycle
  } cases[] = {
      {"Forever", 0, {Pop3Session({{m1}, {"R"}}), Pop3Session({both, {"", "R"}}), Pop3Session({{m2}, {""}, "+OK", {"id2"}})},
       {"b.IN", "b.INF", "report.IN", "report.INF"}, R"({"id2":)"},
      {"TwoDays", 2, {Pop3Session({{m1}, {"R"}}), Pop3Session({both, {"", "R"}}), Pop3Session({both, {"D", ""}})},
       {"b.IN", "b.INF", "report.IN", "report.INF"}, R"({"id2":)"},
      {"NoIds", 0, std::vector(3, Pop3Session({{m1}, {""}, "+OK", {}, false})), {}, ""},
  };
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  for (const Case& c : cases) {
    servers.push_back(std::make_unique<ScriptedServer>(c.sessions));
    ProfileRecord p = OnServers(c.name, servers.back().get(), nullptr);
    conf::WriteProfileUnattended(p, {false, 24, true, c.keepDays});
    AddProfile(p);
  }
  ASSERT_TRUE(Start());
  for (int day = 0; day < 3; ++day) {
    work_ = AgentMailWork();
    Cycle();
    Advance(86400 - global_.PrcInterval);
  }
  const QJsonObject journal = QJsonDocument::fromJson(ReadAll(home_ + "/VRLEng31.uids")).object();
  for (const Case& c : cases) {
    EXPECT_EQ(Files(Path(c.name + "/in")), c.files) << c.name.toStdString();
    const QString mailbox = "pop3:u@127.0.0.1:" + QString::number(servers[&c - cases]->port());
    EXPECT_TRUE(QJsonDocument(journal[mailbox]["ids"].toObject()).toJson(QJsonDocument::Compact).startsWith(c.journal))
        << c.name.toStdString();
  }
  EXPECT_EQ(CycleLines().count("ERROR:\t Profile: \"NoIds\" Cannot Keep Messages On Server: the POP3 server gives no message ids (UIDL)"), 3);
  for (auto& server : servers) Expect(*server);
}

TEST_F(AgentMailTest, AMessageAboveMaxMessageMBStaysOnTheServerWithAnAlert) {
  global_.MaxMessageMB = 1;
  ScriptedServer pop({Pop3Session({{kAnnMessage, "x"}, {"RD", ""}, "+OK", {}, true, true, "1 1048576\r\n2 1048577\r\n"})});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_TRUE(CycleLines().contains("ALERT:\t Message Too Large, Left On Server: 2 - 1048577 bytes"));
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"report.IN", "report.INF"}));
  Expect(pop);
}

TEST_F(AgentMailTest, AStopRequestIsHonouredBetweenMessages) {
  Scenario s;
  Pop3Login(s).expect("STAT").reply("+OK 2 1000").expect("UIDL").reply("-ERR");
  s.expect("RETR 2").send(Retr(kAnnMessage));
  s.expect("DELE 2").reply("+OK").expect("QUIT").reply("+OK bye");
  ScriptedServer pop({s});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  AddProfile(p);
  log_.SetLineObserver([this](const QString& line) {
    if (line.endsWith("Message Successfully Processed")) agent_.SetStopRequest(true);
  });
  ASSERT_TRUE(Start());
  ASSERT_TRUE(Tick());
  EXPECT_EQ(agent_.AgentState(), NotRunning);
  EXPECT_EQ(CycleLines().mid(CycleLines().size() - 3),
            (QStringList{kInfo + "Message Successfully Processed", kInfo + "Stopping Session with the Profile: P",
                         kInfo + "Vorlane Agent Stopped"}));
  EXPECT_EQ(Files(p.InboundDir), (QStringList{"report.IN", "report.INF"}));
  Expect(pop);  // message 1 is never retrieved; QUIT commits the deletion of message 2
}

TEST_F(AgentMailTest, AttachmentNamesAndExtensionsNeverLeaveTheInboundFolder) {
  QByteArray message = MessageWithAttachment("x@example.com", "../../evil.xml", "one");
  message.replace("--b1--", "--b1\r\nContent-Type: text/plain; name=\"/etc/passwd\"\r\n\r\ntwo\r\n--b1--");
  ScriptedServer pop({Pop3Mailbox({message})});
  ProfileRecord p = OnServers("P", &pop, nullptr);
  p.FileExtention = "../../x/y", p.ResFilesExtention = "/z";
  AddProfile(p);
  const QStringList above = QDir(Path("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(p.InboundDir).size(), 4) << Files(p.InboundDir).join(' ').toStdString();
  EXPECT_EQ(QDir(Path("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), above);
  EXPECT_EQ(QDir(p.InboundDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{});
  Expect(pop);
}

TEST_F(AgentMailTest, InformationFilesNameWhatToSend) {
  ScriptedServer smtp({agenttest::SmtpTaking(1)});
  ProfileRecord p = OnServers("P", nullptr, &smtp);
  p.OutboundMode = 2, p.OutFilesExtention = "*.INF", p.DeleteInterchange = true;
  p.AdressLin = 1, p.Adress1Sep = "<", p.Adress2Sep = ">";
  p.FileLin = 2, p.File1Sep = "File:", p.File2Sep = "";
  p.SubjectLin = -2;
  p.MsgLin = 3, p.Msg1Sep = "Text:", p.Msg2Sep = "";
  const QString csv = Path("report.2024.csv");
  WriteFile(csv, "a;b\r\n");
  Drop(p, "a.INF", "To: <to@example.com>\r\nFile: " + csv.toUtf8() + " \r\nText: see attached\r\n");
  Drop(p, "b.INF", "no address here\r\n");
  WriteFile(Path("c.csv"), "c");
  // Only files inside the allowed folders may go (and, with DeleteInterchange, be deleted).
  QTemporaryDir outside(QDir::rootPath() + "tmp/vrl-outside-XXXXXX");  // not under TMPDIR, which is inside
  WriteFile(outside.filePath("secret"), "s");
  ASSERT_TRUE(QFile::link(outside.filePath("secret"), Path("link-out")));
  ASSERT_TRUE(QDir().mkpath(Path("allowed")));
  conf::WriteAttachmentFolders(p, {Path("allowed/.."), Path("nowhere")});
  Drop(p, "d.INF", "To: <to@example.com>\r\nFile: " + Path("link-out").toUtf8() + "\r\n");
  Drop(p, "c.INF", QByteArray("To: <a\0b@example.com>\r\nFile: ", 29) + Path("c.csv").toUtf8() + "\r\n");  // a NUL
  AddProfile(p);
  ASSERT_TRUE(Start());
  Cycle();
  EXPECT_EQ(Files(p.OutboundDir), (QStringList{"b.BAD", "c.BAD", "d.BAD"}));
  EXPECT_EQ(ReadAll(outside.filePath("secret")), "s");
  EXPECT_TRUE(CycleLines().contains("ERROR:\t Attachment Outside The Allowed Folders: " + Path("link-out") + " (in " +
                                    p.OutboundDir + "/d.INF)"));
  EXPECT_FALSE(QFileInfo::exists(csv)) << "the named attachment goes after the send";
  EXPECT_TRUE(CycleLines().filter("Error sending message: Missing or Invalid Recipient E-mail Address").size() == 1)
      << CycleLines().join("\n").toStdString();
  EXPECT_TRUE(CycleLines().contains("ERROR:\t Invalid Destination Address In File: " + p.OutboundDir + "/b.INF"));
  const std::vector<QByteArray> sent = smtp.data(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].contains("Subject: report.2024\r\n"));
  EXPECT_TRUE(sent[0].contains(QByteArray("a;b\r\n").toBase64()));
  Expect(smtp);
}

}  // namespace
