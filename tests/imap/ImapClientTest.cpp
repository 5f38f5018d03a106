// The IMAP client against the scripted server: logins, fetches with the stream cut anywhere and
// a hostile server's ways to end it, and the operations that change the folder.
#include "imap/IMAP_InMail.h"
#include "imap/ImapResponse.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>

using vrltest::Scenario;
using vrltest::ScriptedServer;
using Kind = mailerr::Kind;

namespace {

const QByteArray kCaps = "IMAP4rev1 UIDPLUS MOVE IDLE";

Scenario LoggedIn(const QByteArray& caps = kCaps) {
  Scenario s;
  s.reply("* OK [CAPABILITY IMAP4rev1] ready").expect("A1 LOGIN \"u\" \"pw9\"").reply("A1 OK [CAPABILITY " + caps + "] in");
  return s;
}

Scenario& Logout(Scenario& s, int tag) {
  const QByteArray t = "A" + QByteArray::number(tag);
  return s.expect(t + " LOGOUT").reply("* BYE bye").reply(t + " OK done").expectClose();
}

// "ok" or the failure's kind name, then what the action saw.
struct Case {
  const char* name;
  Scenario script;
  std::function<QString(IMAP_InMail&)> act;
  QString want;
  vrlsec::Settings security = {};
  QString password = QStringLiteral("pw9");
  QString ahead = {};  // SelectAfterLogin
};

void RunCases(std::vector<Case>& cases) {
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({c.script});
    IMAP_InMail client;
    qint16 timeout = 3;
    client.SetTimeOutNSeconds(timeout);
    client.SetSecurity(c.security);
    client.SelectAfterLogin(c.ahead);
    quint16 port = server.port();
    QString got;
    if (client.Connect(QStringLiteral("u"), c.password, QStringLiteral("127.0.0.1"), port)) {
      got = c.act ? c.act(client) : QString();
      if (client.IsConnected()) client.Logout();
    }
    if (const mailerr::Error e = client.LastFailure()) got += QStringLiteral(" ") + QString::fromLatin1(mailerr::KindName(e.kind));
    EXPECT_EQ(got.trimmed().toStdString(), c.want.toStdString()) << client.GetLastError().toStdString();
    EXPECT_FALSE(client.GetLastError().contains(c.password)) << client.GetLastError().toStdString();
    EXPECT_TRUE(server.waitDone(8000)) << server.progress().toStdString();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
  }
}

// Fetches UIDs 1..3 (a bound of 10 bytes when tight) and lists what was handed.
std::function<QString(IMAP_InMail&)> Fetch(bool tight = false) {
  return [tight](IMAP_InMail& c) {
    if (tight) c.SetMaxMessageBytes(10);
    QStringList handed;
    c.FetchMessages({3, 1, 2}, [&](quint32 uid, const QByteArray& m) {
      handed << QString::number(uid) + QLatin1Char('=') + QString::fromUtf8(m);
      return true;
    });
    return handed.join(QLatin1Char(','));
  };
}

QByteArray Msg(int uid, const QByteArray& body) {
  return "* " + QByteArray::number(uid) + " FETCH (UID " + QByteArray::number(uid) + " BODY[] {" +
         QByteArray::number(body.size()) + "}\r\n" + body + ")\r\n";
}

// The caller may let events run while it takes a message (the agent logs and writes files): the
// next message, arriving meanwhile, waits its turn instead of entering take from inside it.
TEST(ImapFetch, TakeIsNeverEnteredTwice) {
  Scenario s = LoggedIn();
  s.expect("A2 UID FETCH 1:3 (UID BODY.PEEK[])").send(Msg(1, "one")).delay(50).send(Msg(2, "two"));
  Logout(s.delay(50).send(Msg(3, "three") + "A2 OK done\r\n"), 3);
  ScriptedServer server({s});
  IMAP_InMail client;
  quint16 port = server.port();
  ASSERT_TRUE(client.Connect("u", "pw9", "127.0.0.1", port));
  int depth = 0;
  QStringList handed;
  EXPECT_TRUE(client.FetchMessages({1, 2, 3}, [&](quint32 uid, const QByteArray&) {
    EXPECT_EQ(++depth, 1);
    QDeadlineTimer busy(150);
    while (!busy.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    handed << QString::number(uid);
    --depth;
    return true;
  }));
  EXPECT_EQ(handed, QStringList({"1", "2", "3"}));
  client.Logout();
  EXPECT_TRUE(server.waitDone(8000) && server.errors().isEmpty()) << server.errors().join('\n').toStdString();
}

}  // namespace

TEST(ImapClient, Fetch) {
  const QByteArray ask = "A2 UID FETCH 1:3 (UID BODY.PEEK[])";
  std::vector<Case> cases;
  {
    Scenario s = LoggedIn();
    s.expect(ask).send(Msg(1, "one\r\n") + Msg(2, "two\r\n") + Msg(3, "three") + "A2 OK done\r\n");
    cases.push_back({"three in one FETCH", Logout(s, 3), Fetch(), "1=one\r\n,2=two\r\n,3=three"});
  }
  {
    Scenario s = LoggedIn();
    const QByteArray all = Msg(1, "one\r\n") + Msg(2, "{5}\r\nx") + "A2 OK done\r\n";
    // Cut inside "{5}", between CR and LF, inside the literal, and inside the tag.
    s.expect(ask).sendSplit(all, {1, 25, 28, 31, 63, 65, 69, int(all.size()) - 11}, 5);
    cases.push_back({"split anywhere", Logout(s, 3), Fetch(), "1=one\r\n,2={5}\r\nx"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send("* 4 EXISTS\r\n* 1 FETCH (FLAGS (\\Seen))\r\n* 2 FETCH (BODY[] {3}\r\ntwo UID 2 FLAGS ())\r\n"
                       "* 3 EXPUNGE\r\n* FLAGS (\\Deleted \\Seen)\r\n* 1 FETCH (UID 1 BODY[] \"a \\\"q\\\" \\\\ b\")\r\n"
                       "A2 OK done\r\n");
    cases.push_back({"other responses between, items in any order, a quoted body", Logout(s, 3), Fetch(),
                     "2=two,1=a \"q\" \\ b"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send(Msg(1, "one") + "* BYE going down\r\n").close();
    cases.push_back({"BYE in the middle", s, Fetch(), "1=one connection"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send(Msg(1, "one") + "* 2 FETCH (UID 2 BODY[] {3}\r\ntw").expectClose();
    cases.push_back({"an answer that never ends", s, Fetch(), "1=one time-out"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send(Msg(1, "one") + "* 2 FETCH (UID 2 BODY[] {11}\r\n").expectClose();
    cases.push_back({"a literal over the bound", s, Fetch(true), "1=one protocol"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send("* 1 FETCH (UID 1 BODY[] \"open\r\n").expectClose();
    cases.push_back({"a quoted string not closed", s, Fetch(), "protocol"});
  }
  {
    Scenario s = LoggedIn();
    s.expect(ask).send(QByteArray("* 1 FETCH (UID 1 BODY[] ") + QByteArray(70000, 'x')).expectClose();
    cases.push_back({"a line without end", s, Fetch(), "protocol"});
  }
  RunCases(cases);
}

TEST(ImapClient, Login) {
  const QByteArray json = R"({"status":"401"})";
  auto settings = [](vrlsec::AuthMethod a, vrlsec::Security s) {
    vrlsec::Settings x;
    x.auth = a;
    x.security = s;
    return x;
  };
  using A = vrlsec::AuthMethod;
  using S = vrlsec::Security;
  auto caps = [](IMAP_InMail& c) { return c.Capabilities().join(QLatin1Char(' ')); };
  std::vector<Case> cases;
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1] ready").expect("A1 LOGIN \"u\" \"pw9\"").reply("A1 NO [AUTHENTICATIONFAILED] bad");
    cases.push_back({"refused", s.expectClose(), {}, "login"});
  }
  {
    Scenario s;
    s.reply("* OK hi").expect("A1 CAPABILITY").reply("* CAPABILITY IMAP4rev1 LITERAL+").reply("A1 OK");
    s.expect("A2 LOGIN \"u\" {3+}").expect("p\xc3\xa4").reply("A2 OK in");
    s.expect("A3 CAPABILITY").reply("* CAPABILITY IMAP4rev1 IDLE").reply("A3 OK");
    cases.push_back({"capabilities asked, 8-bit password as a literal", Logout(s, 4), caps, "IMAP4REV1 IDLE",
                     {}, QStringLiteral("p\u00e4")});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1] hi").expect("A1 LOGIN \"u\" {2}").reply("+ go").expect("\xc3\xa4").reply("A1 OK [CAPABILITY X] in");
    cases.push_back({"synchronizing literal", Logout(s, 2), caps, "X", {}, QStringLiteral("\u00e4")});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR] hi").expect("A1 AUTHENTICATE PLAIN AHUAcHc5").reply("A1 OK [CAPABILITY Y] in");
    cases.push_back({"PLAIN with an initial response", Logout(s, 2), caps, "Y", settings(A::Auto, S::None)});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi").expect("A1 AUTHENTICATE PLAIN").reply("+ ").expect("AHUAcHc5").reply("A1 OK [CAPABILITY Y] in");
    cases.push_back({"PLAIN after the continuation", Logout(s, 2), caps, "Y", settings(A::Plain, S::None)});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2 SASL-IR] hi");
    s.expect("A1 AUTHENTICATE XOAUTH2 " + QByteArray("user=u\x01" "auth=Bearer pw9\x01\x01").toBase64());
    s.reply("+ " + json.toBase64()).expect("").reply("A1 NO [AUTHENTICATIONFAILED] no").expectClose();
    cases.push_back({"refused token", s, {}, "login", settings(A::OAuth2, S::None)});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi").expectClose();
    cases.push_back({"STARTTLS required, not offered", s, {}, "TLS", settings(A::Login, S::StartTls)});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi").expectClose();
    cases.push_back({"automatic security without STARTTLS sends nothing", s, {}, "TLS", settings(A::Auto, S::Auto)});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 STARTTLS] hi").expect("A1 STARTTLS").reply("A1 NO not now").expectClose();
    cases.push_back({"STARTTLS refused", s, {}, "refused permanently", settings(A::Login, S::StartTls)});
  }
  {
    Scenario s;
    s.reply("* BYE too many").expectClose();
    cases.push_back({"BYE greeting", s, {}, "refused for now"});
  }
  RunCases(cases);
}

// SELECT and UID SEARCH go behind a login that needs nothing more from the server (the script
// takes all three before it answers), never behind XOAUTH2, whose refusal comes as a challenge.
TEST(ImapClient, SelectBehindLogin) {
  vrlsec::Settings plain;
  plain.auth = vrlsec::AuthMethod::Auto;
  plain.security = vrlsec::Security::None;
  vrlsec::Settings oauth = plain;
  oauth.auth = vrlsec::AuthMethod::OAuth2;
  const QByteArray selected = "* 3 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\nA2 OK [READ-WRITE] done\r\n";
  auto listedIn = [](const QString& folder) {
    return [folder](IMAP_InMail& c) {
      std::vector<quint32> uids;
      if (!c.Select(folder, true) || !c.SearchUids(uids)) return QString();
      QStringList got{QString::number(c.UidValidity()), QString::number(c.Exists())};
      for (quint32 u : uids) got << QString::number(u);
      return got.join(QLatin1Char(' '));
    };
  };
  const auto listed = listedIn(QStringLiteral("INBOX"));
  std::vector<Case> cases;
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1] hi").expect("A1 LOGIN \"u\" \"pw9\"").expect("A2 SELECT \"INBOX\"").expect("A3 UID SEARCH ALL");
    s.send("A1 OK in\r\n" + selected + "* SEARCH 5 3\r\nA3 OK done\r\n");
    s.expect("A4 CAPABILITY").reply("* CAPABILITY IMAP4rev1").reply("A4 OK");
    cases.push_back({"LOGIN, capabilities asked after", Logout(s, 5), listed, "7 3 3 5", {}, "pw9", "INBOX"});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1] hi").expect("A1 LOGIN \"u\" \"pw9\"").expect("A2 SELECT \"INBOX\"").expect("A3 UID SEARCH ALL");
    s.send("A1 OK [CAPABILITY IMAP4rev1] in\r\n" + selected + "* SEARCH 5 3\r\nA3 OK done\r\n");
    s.expect("A4 SELECT \"Archive\"").expect("A5 UID SEARCH ALL");
    s.send("* 1 EXISTS\r\n* OK [UIDVALIDITY 8] v\r\nA4 OK done\r\n* SEARCH 2\r\nA5 OK done\r\n");
    cases.push_back({"another folder asked: selected anew", Logout(s, 6), listedIn(QStringLiteral("Archive")), "8 1 2", {}, "pw9", "INBOX"});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR] hi").expect("A1 AUTHENTICATE PLAIN AHUAcHc5");
    s.expect("A2 SELECT \"INBOX\"").expect("A3 UID SEARCH ALL");
    s.send("A1 OK [CAPABILITY X] in\r\nA2 NO [NONEXISTENT] no such folder\r\nA3 OK done\r\n");
    cases.push_back({"PLAIN, the folder refused", Logout(s, 4), listed, "refused permanently", plain, "pw9", "INBOX"});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1] hi").expect("A1 LOGIN \"u\" \"pw9\"").expect("A2 SELECT \"INBOX\"").expect("A3 UID SEARCH ALL");
    s.send("A1 NO [AUTHENTICATIONFAILED] bad\r\nA2 BAD log in first\r\nA3 BAD log in first\r\n").expectClose();
    cases.push_back({"refused login", s, {}, "login", {}, "pw9", "INBOX"});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2 SASL-IR] hi");
    s.expect("A1 AUTHENTICATE XOAUTH2 " + QByteArray("user=u\x01" "auth=Bearer pw9\x01\x01").toBase64());
    s.reply("+ e30=").expect("").reply("A1 NO [AUTHENTICATIONFAILED] no").expectClose();
    cases.push_back({"refused token", s, {}, "login", oauth, "pw9", "INBOX"});
  }
  {
    Scenario s;
    s.reply("* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2 SASL-IR] hi");
    s.expect("A1 AUTHENTICATE XOAUTH2 " + QByteArray("user=u\x01" "auth=Bearer pw9\x01\x01").toBase64());
    s.reply("A1 OK [CAPABILITY X] in").expect("A2 SELECT \"INBOX\"").expect("A3 UID SEARCH ALL");
    s.send(selected + "* SEARCH 9\r\nA3 OK done\r\n");
    cases.push_back({"XOAUTH2, then the folder", Logout(s, 4), listed, "7 3 9", oauth, "pw9", "INBOX"});
  }
  RunCases(cases);
}

TEST(ImapClient, FolderOperations) {
  std::vector<Case> cases;
  {
    Scenario s = LoggedIn();
    s.expect("A2 SELECT \"INBOX\"").send("* 3 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\nA2 OK [READ-WRITE] done\r\n");
    s.expect("A3 UID SEARCH ALL").send("* SEARCH 5 3 9 3\r\nA3 OK done\r\n");
    s.expect("A4 UID FETCH 3,5 (UID RFC822.SIZE)").send("* 1 FETCH (RFC822.SIZE 100 UID 3)\r\nA4 OK done\r\n");
    cases.push_back({"select, search, sizes", Logout(s, 5), [](IMAP_InMail& c) {
                       std::vector<quint32> uids;
                       std::vector<qint64> sizes;
                       if (!c.Select(QStringLiteral("INBOX")) || !c.SearchUids(uids) || !c.FetchSizes({3, 5}, sizes)) return QString();
                       return QStringLiteral("%1 %2 %3:%4:%5 %6,%7").arg(c.UidValidity()).arg(c.Exists())
                           .arg(uids[0]).arg(uids[1]).arg(uids.size()).arg(sizes[0]).arg(sizes[1]);
                     }, "7 3 3:5:3 100,-1"});
  }
  auto del = [](IMAP_InMail& c) { return c.Delete({5, 1, 2}) ? QStringLiteral("ok") : QString(); };
  {
    Scenario s = LoggedIn();
    s.expect("A2 UID STORE 1:2,5 +FLAGS.SILENT (\\Deleted)").expect("A3 UID EXPUNGE 1:2,5");
    s.send("* 1 EXPUNGE\r\nA2 OK\r\nA3 OK\r\n");
    cases.push_back({"delete with UIDPLUS", Logout(s, 4), del, "ok"});
  }
  {
    Scenario s = LoggedIn("IMAP4rev1");
    s.expect("A2 UID STORE 1:2,5 +FLAGS.SILENT (\\Deleted)").expect("A3 EXPUNGE").send("A2 OK\r\nA3 OK\r\n");
    cases.push_back({"delete without UIDPLUS", Logout(s, 4), del, "ok"});
  }
  {
    Scenario s = LoggedIn();
    s.expect("A2 UID STORE 1:2,5 +FLAGS.SILENT (\\Deleted)").expect("A3 UID EXPUNGE 1:2,5");
    s.send("A2 NO [INUSE] busy\r\nA3 OK\r\n");
    cases.push_back({"refused STORE", Logout(s, 4), del, "refused for now"});
  }
  auto move = [](IMAP_InMail& c) { return c.Move({4}, QStringLiteral("Archiv\u00e4")) ? QStringLiteral("ok") : QString(); };
  {
    Scenario s = LoggedIn();
    s.expect("A2 UID MOVE 4 \"Archiv&AOQ-\"").reply("A2 OK moved");
    cases.push_back({"move", Logout(s, 3), move, "ok"});
  }
  {
    Scenario s = LoggedIn("IMAP4rev1 UIDPLUS");
    s.expect("A2 UID COPY 4 \"Archiv&AOQ-\"").reply("A2 NO [TRYCREATE] none");
    s.expect("A3 CREATE \"Archiv&AOQ-\"").reply("A3 OK");
    s.expect("A4 UID COPY 4 \"Archiv&AOQ-\"").reply("A4 OK [COPYUID 9 4 1] copied");
    s.expect("A5 UID STORE 4 +FLAGS.SILENT (\\Deleted)").expect("A6 UID EXPUNGE 4").send("A5 OK\r\nA6 OK\r\n");
    cases.push_back({"copy, create, copy again, delete", Logout(s, 7), move, "ok"});
  }
  {
    Scenario s = LoggedIn();
    s.expect("A2 UID MOVE 4 \"Archiv&AOQ-\"").reply("A2 NO [TRYCREATE] none").expect("A3 CREATE \"Archiv&AOQ-\"").reply("A3 OK");
    s.expect("A4 UID MOVE 4 \"Archiv&AOQ-\"").reply("A4 NO [TRYCREATE] still none");
    cases.push_back({"created once only", Logout(s, 5), move, "refused permanently"});
  }
  auto idle = [](int calls) {
    return [calls](IMAP_InMail& c) {
      int asked = 0;
      bool mail = false;
      const bool ok = c.Idle(20, [&] { return ++asked < calls; }, &mail);
      return QString::fromLatin1(ok ? (mail ? "new mail" : "no mail") : "");
    };
  };
  {
    Scenario s = LoggedIn();
    s.expect("A2 IDLE").reply("+ idling").delay(100).reply("* 1 RECENT").reply("* 4 EXISTS").expect("DONE").reply("A2 OK");
    cases.push_back({"IDLE until EXISTS", Logout(s, 3), idle(1000), "new mail"});
  }
  {
    Scenario s = LoggedIn();
    s.expect("A2 IDLE").reply("+ idling").expect("DONE").reply("A2 OK");
    cases.push_back({"IDLE until the caller stops", Logout(s, 3), idle(2), "no mail"});
  }
  RunCases(cases);
}

TEST(ImapResponse, Helpers) {
  EXPECT_EQ(imap::UidSet({9, 1, 2, 3, 5, 2, 6}), "1:3,5:6,9");
  EXPECT_EQ(imap::EncodeMailbox(QStringLiteral("a&b/\u65e5\u672c")), "a&-b/&ZeVnLA-");
  bool literal = true;
  EXPECT_EQ(imap::Quoted("a\"\\b", &literal), "\"a\\\"\\\\b\"");
  EXPECT_FALSE(literal);
}
