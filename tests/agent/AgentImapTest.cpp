// An IMAP profile against the scripted IMAP server: the messages of its folder fetched in one
// command, their files put in place, then deleted or moved; an interrupted session's messages
// only deleted in the next; a folder whose UIDVALIDITY changed taken as new.
#include "AgentFixture.h"
#include "MailHost.h"
#include "ProfileInbound.h"
#include "PollFor.h"
#include "ProfileSecurity.h"

namespace {

using vrltest::Scenario;
using vrltest::ScriptedServer;

QByteArray Message(int uid, const QByteArray& name) {
  const QByteArray m = "From: Ann <ann@example.com>\r\nSubject: " + name + "\r\nMIME-Version: 1.0\r\n"
                       "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nHi\r\n"
                       "--b\r\nContent-Type: application/octet-stream; name=\"" + name + ".xml\"\r\n"
                       "Content-Transfer-Encoding: base64\r\n\r\n" + QByteArray("<r/>").toBase64() + "\r\n--b--\r\n";
  return "* " + QByteArray::number(uid) + " FETCH (UID " + QByteArray::number(uid) + " BODY[] {" +
         QByteArray::number(m.size()) + "}\r\n" + m + ")\r\n";
}

// Login, SELECT with the UIDVALIDITY, UID SEARCH listing uids; the next tag is 4.
Scenario Selected(int validity, const QByteArray& uids) {
  Scenario s;
  s.reply("* OK [CAPABILITY IMAP4rev1 UIDPLUS MOVE] ready").expect("A1 LOGIN \"u\" \"p\"").reply("A1 OK [CAPABILITY IMAP4rev1 UIDPLUS MOVE] in");
  s.expect("A2 SELECT \"INBOX\"").send("* 2 EXISTS\r\n* OK [UIDVALIDITY " + QByteArray::number(validity) +
                                       "] v\r\nA2 OK [READ-WRITE] done\r\n");
  return s.expect("A3 UID SEARCH ALL").send("* SEARCH " + uids + "\r\nA3 OK done\r\n");
}
// The agent does not wait for the answer to LOGOUT: everything it asked is answered.
Scenario& Logout(Scenario& s, int tag) { return s.expect("A" + QByteArray::number(tag) + " LOGOUT").expectClose(); }
Scenario& FetchBoth(Scenario& s) {
  return s.expect("A4 UID FETCH 5,9 (UID BODY.PEEK[])").send(Message(5, "five") + Message(9, "nine") + "A4 OK done\r\n");
}

class AgentImapTest : public agenttest::AgentFixture {
 protected:
  void SetUp() override {
    AgentFixture::SetUp();
    agent_.SetMailWork(&work_);
  }
  ProfileRecord ImapProfile(const ScriptedServer& server, const QString& after) {
    ProfileRecord p = MakeProfile("Mailbox " + after);
    p.TimeOutSecs = 5, p.UserName = "u", p.Pop3SmtpPws = "p", p.PrcOutboundMessages = false;
    p.Pop3Server = "127.0.0.1", p.Pop3TcpPort = server.port(), p.FileExtention = "xml";
    ProfileSecurity sec;  // the original dialogue: no TLS on the scripted server
    conf::WriteProfileSecurity(p, sec);
    ProfileInbound in;
    in.Protocol = "imap", in.ImapAfter = after, in.ImapMoveTo = after == "move" ? "Done" : "";
    conf::WriteProfileInbound(p, in);
    AddProfile(p);
    return p;
  }
  void Cycle() {
    ASSERT_TRUE(Tick());
    ASSERT_TRUE(Tick());
    Advance(global_.PrcInterval);
  }
  AgentMailWork work_;
};

TEST_F(AgentImapTest, MessagesArePutInPlaceThenDeletedOrMoved) {
  Scenario deleting = Selected(7, "9 5"), moving = Selected(7, "9 5");
  FetchBoth(deleting).expect("A5 UID STORE 5,9 +FLAGS.SILENT (\\Deleted)").expect("A6 UID EXPUNGE 5,9");
  Logout(deleting.send("A5 OK\r\nA6 OK\r\n"), 7);
  Logout(FetchBoth(moving).expect("A5 UID MOVE 5,9 \"Done\"").reply("A5 OK moved"), 6);
  ScriptedServer deleteServer({deleting}), moveServer({moving});
  const ProfileRecord profiles[] = {ImapProfile(deleteServer, "delete"), ImapProfile(moveServer, "move")};
  ASSERT_TRUE(Start());
  Cycle();
  for (ScriptedServer* server : {&deleteServer, &moveServer}) {
    EXPECT_TRUE(server->waitDone()) << server->progress().toStdString();
    EXPECT_EQ(server->errors(), QStringList{});
  }
  for (const ProfileRecord& p : profiles)
    EXPECT_EQ(QDir(p.InboundDir).entryList({"*.xml"}, QDir::Files), QStringList({"five.xml", "nine.xml"}));
  EXPECT_EQ(CycleLines().filter("Message Successfully Processed").size(), 4) << CycleLines().join('\n').toStdString();
  EXPECT_TRUE(CycleLines().filter("ERROR").isEmpty()) << CycleLines().join('\n').toStdString();
}

// The deletion fails once the files are in place, twice: the next session deletes without
// fetching; then the folder comes back with another UIDVALIDITY and its message 5 is a new one.
TEST_F(AgentImapTest, TakenMessagesAreNeverFetchedTwice) {
  Scenario first = Selected(7, "5 9");
  FetchBoth(first).expect("A5 UID STORE 5,9 +FLAGS.SILENT (\\Deleted)").expect("A6 UID EXPUNGE 5,9").send("* BYE gone\r\n");
  Scenario second = Selected(7, "5 9");
  second.expect("A4 UID STORE 5,9 +FLAGS.SILENT (\\Deleted)").expect("A5 UID EXPUNGE 5,9");
  Logout(second.send("A4 NO [SERVERBUG] later\r\nA5 NO later\r\n"), 6);
  Scenario third = Selected(8, "5");
  third.expect("A4 UID FETCH 5 (UID BODY.PEEK[])").send(Message(5, "again") + "A4 OK done\r\n");
  Logout(third.expect("A5 UID STORE 5 +FLAGS.SILENT (\\Deleted)").expect("A6 UID EXPUNGE 5").send("A5 OK\r\nA6 OK\r\n"), 7);
  ScriptedServer server({first, second, third});
  const ProfileRecord p = ImapProfile(server, "delete");
  ASSERT_TRUE(Start());
  for (int i = 0; i < 3; ++i) Cycle();
  EXPECT_TRUE(server.waitDone()) << server.progress().toStdString();
  EXPECT_EQ(server.errors(), QStringList{});
  EXPECT_EQ(QDir(p.InboundDir).entryList({"*.xml"}, QDir::Files), QStringList({"again.xml", "five.xml", "nine.xml"}));
  const QStringList lines = CycleLines();
  EXPECT_EQ(lines.filter("Deleting Message Already Processed").size(), 2) << lines.join('\n').toStdString();
  EXPECT_EQ(lines.filter("ERROR").size(), 2) << lines.join('\n').toStdString();
  EXPECT_EQ(lines.filter("has a new UIDVALIDITY").size(), 1) << lines.join('\n').toStdString();
}

// A profile waiting for new mail: its watcher's IDLE ends on EXISTS and that profile alone runs
// at once, before its interval is up; a stop ends the watcher's IDLE in order.
class AgentIdleTest : public agenttest::AgentFixture {};

TEST_F(AgentIdleTest, NewMailRunsItsProfileAtOnce) {
  Scenario s;
  s.reply("* OK [CAPABILITY IMAP4rev1 IDLE] ready").expect("A1 LOGIN \"u\" \"p\"").reply("A1 OK [CAPABILITY IMAP4rev1 IDLE] in");
  s.expect("A2 SELECT \"INBOX\"").send("* 0 EXISTS\r\n* OK [UIDVALIDITY 1] v\r\nA2 OK done\r\n");
  s.expect("A3 IDLE").reply("+ idling").delay(300).reply("* 1 EXISTS").expect("DONE").reply("A3 OK done");
  s.expect("A4 IDLE").reply("+ idling").expect("DONE").reply("A4 OK done");
  ScriptedServer server({s.expect("A5 LOGOUT").reply("* BYE bye").reply("A5 OK bye")});
  ProfileRecord watched = MakeProfile("Watched");
  watched.Pop3Server = "127.0.0.1", watched.Pop3TcpPort = server.port(), watched.UserName = "u", watched.Pop3SmtpPws = "p";
  ProfileInbound in;
  in.Protocol = "imap", in.ImapIdle = true;
  conf::WriteProfileInbound(watched, in);
  AddProfile(watched);
  AddProfile(MakeProfile("Other"));
  global_.PrcInterval = 60, global_.PrcIntervalUnit = 1;  // an hour
  ASSERT_TRUE(Start());
  EXPECT_EQ(agent_.IdleWatchers().Count(), 1);
  ASSERT_TRUE(Tick());
  hooks_.calls.clear();
  EXPECT_TRUE(vrltest::PollFor([&] { return Tick() && !hooks_.calls.isEmpty(); })) << server.progress().toStdString();
  EXPECT_EQ(hooks_.calls, (QStringList{"open Watched", "get Watched", "close Watched"}));
  agent_.CmdStopStart_Click();
  Tick();
  EXPECT_EQ(agent_.IdleWatchers().Count(), 0);
  EXPECT_TRUE(server.waitDone()) << server.progress().toStdString();
  EXPECT_EQ(server.errors(), QStringList{});
}

}  // namespace
