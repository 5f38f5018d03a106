// Every reply judged by the command it answers: the code table, each command of a dialogue
// answered with success, a refusal for now, a permanent one and a code it cannot get (each must
// end the message at once with its kind), and the envelope in one write under PIPELINING.
#include "SmtpTestUtil.h"
#include "smtp/SmtpSteps.h"

#include <gtest/gtest.h>

using namespace smtptest;
using mailerr::Kind;
using smtp::Command;
using smtp::Verdict;

TEST(SmtpSteps, ReplyCodeTable) {
  const struct {
    Command command;
    int code;
    Verdict verdict;
  } cases[] = {
      {Command::Greeting, 220, Verdict::Done},      {Command::Greeting, 250, Verdict::WrongCode},
      {Command::Greeting, 554, Verdict::RefusedPermanently},
      {Command::Ehlo, 250, Verdict::Done},          {Command::Ehlo, 220, Verdict::WrongCode},
      {Command::StartTls, 220, Verdict::Done},      {Command::StartTls, 454, Verdict::RefusedForNow},
      {Command::Auth, 235, Verdict::Done},          {Command::Auth, 334, Verdict::Continue},
      {Command::Auth, 250, Verdict::WrongCode},     {Command::Auth, 535, Verdict::RefusedPermanently},
      {Command::MailFrom, 250, Verdict::Done},      {Command::MailFrom, 220, Verdict::WrongCode},
      {Command::MailFrom, 251, Verdict::WrongCode}, {Command::MailFrom, 452, Verdict::RefusedForNow},
      {Command::RcptTo, 250, Verdict::Done},        {Command::RcptTo, 251, Verdict::Done},
      {Command::RcptTo, 354, Verdict::WrongCode},   {Command::RcptTo, 550, Verdict::RefusedPermanently},
      {Command::Data, 354, Verdict::Continue},      {Command::Data, 250, Verdict::WrongCode},
      {Command::Data, 554, Verdict::RefusedPermanently},
      {Command::EndOfData, 250, Verdict::Done},     {Command::EndOfData, 354, Verdict::WrongCode},
      {Command::EndOfData, 451, Verdict::RefusedForNow},
      {Command::Quit, 221, Verdict::Done},          {Command::Quit, 250, Verdict::WrongCode},
      {Command::MailFrom, 0, Verdict::WrongCode},   {Command::MailFrom, 199, Verdict::WrongCode},
      {Command::MailFrom, 600, Verdict::WrongCode},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(smtp::CommandName(c.command)) + " " + std::to_string(c.code));
    smtp::Reply r;
    r.code = c.code;
    EXPECT_EQ(smtp::Judge(c.command, r), c.verdict);
  }
}

namespace {

// A dialogue whose answer at one point is replaced; the script ends where the client must
// give up (it closes, no QUIT).
enum Point { AtGreeting, AtHelo, AtMail, AtRcpt, AtData, AtDot };

Scenario AnswerAt(Point at, const QByteArray& answer) {
  Scenario s;
  if (at == AtGreeting) return s.reply(answer).expectClose();
  s.reply("220 test ESMTP").expect("HELO example.com");
  if (at == AtHelo) return s.reply(answer).expectClose();
  s.reply("250 test").expect("MAIL FROM: <sender@example.com>");
  if (at == AtMail) return s.reply(answer).expectClose();
  s.reply("250 ok").expect("RCPT TO: <bob@example.com>");
  if (at == AtRcpt) return s.reply(answer).expectClose();
  s.reply("250 ok").expect("DATA");
  if (at == AtData) return s.reply(answer).expectClose();
  return s.reply("354 go").readUntilDot().reply(answer).expectClose();
}

}  // namespace

TEST(SmtpSteps, EveryCommandEndsAtOnceOnAnyAnswerButItsOwn) {
  const struct {
    Point at;
    QByteArray answer;
    Kind kind;
  } cases[] = {
      {AtGreeting, "554 no service", Kind::RefusedPermanently}, {AtGreeting, "250 hello", Kind::Protocol},
      {AtHelo, "421 busy", Kind::RefusedForNow},                 {AtHelo, "354 go", Kind::Protocol},
      {AtMail, "220 wrong code", Kind::Protocol},                {AtMail, "451 try later", Kind::RefusedForNow},
      {AtMail, "553 bad sender", Kind::RefusedPermanently},      {AtRcpt, "354 go", Kind::Protocol},
      {AtRcpt, "550 no such user", Kind::RefusedPermanently},    {AtData, "250 ok", Kind::Protocol},
      {AtData, "554 no valid recipients", Kind::RefusedPermanently},
      {AtDot, "354 go", Kind::Protocol},                         {AtDot, "452 full", Kind::RefusedForNow},
      {AtDot, "garbage", Kind::Protocol},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.at) + " " + c.answer.toStdString());
    Session x({AnswerAt(c.at, c.answer)});
    x.m.SetTimeOutNSeconds(3);  // a client that waits fails with a time-out, not the kind
    EXPECT_FALSE(x.m.send());
    x.expectServerOk();
    const mailerr::Error e = x.m.LastFailure();
    EXPECT_EQ(e.kind, c.kind) << mailerr::KindName(e.kind) << ": " << e.description.toStdString();
    EXPECT_EQ(e.reply, c.answer + "\r\n");
    EXPECT_EQ(e.transient, c.kind == Kind::RefusedForNow);
    EXPECT_EQ(x.m.GetLastError(), e.description);
    EXPECT_EQ(x.rec.failures, QStringList{e.description});
    if (c.kind != Kind::Protocol) {
      EXPECT_EQ(e.description, QString::fromLatin1(c.answer));
    }
  }
}

TEST(SmtpSteps, PipelinedEnvelopeInOneWriteAndARefusedRecipientSendsNoText) {
  const QByteArray head = "220 test ESMTP";
  const QByteArray ehlo = "250-test\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n";
  Scenario sent, refused;
  for (Scenario* s : {&sent, &refused})
    s->reply(head).expect("EHLO example.com").send(ehlo).expectPrefix("AUTH PLAIN ").reply("235 ok")
        .expect("MAIL FROM: <sender@example.com>").expect("RCPT TO: <bob@example.com>")
        .expect("RCPT TO: <carol@example.com>").expect("DATA");
  Quit(sent.send("250 ok\r\n250 ok\r\n251 forwarded\r\n354 go\r\n").readUntilDot().reply("250 queued"));
  refused.send("250 ok\r\n550 5.1.1 no such user\r\n250 ok\r\n354 go\r\n").expectClose();
  for (const bool ok : {true, false}) {
    Session x({ok ? sent : refused}, QStringLiteral("bob@example.com;carol@example.com"));
    x.login(QStringLiteral("mailtest"), QStringLiteral("Secret 123"));
    vrlsec::Settings security;
    security.auth = vrlsec::AuthMethod::Auto;
    x.m.SetSecurity(security);
    x.m.SetPipelining(true);
    EXPECT_EQ(x.m.send(), ok) << x.failures();
    x.expectServerOk();
    if (ok) continue;
    EXPECT_EQ(x.m.GetLastError(), "550 5.1.1 no such user");
    EXPECT_EQ(x.m.LastFailure().kind, Kind::RefusedPermanently);
    EXPECT_FALSE(x.server.received(0).contains("Subject:")) << "text after a refused recipient";
  }
}

// Another message follows: its MAIL, RCPT and DATA go behind the final dot, before the dot's reply
// is read (the server below answers nothing until it has them). A next message with another
// envelope, or none, drops that connection: the transaction ends without a message.
TEST(SmtpSteps, TheNextEnvelopeGoesBehindTheFinalDot) {
  const auto open = [](Scenario& s) -> Scenario& {
    return s.reply("220 test ESMTP").expect("EHLO example.com").send("250-test\r\n250-PIPELINING\r\n250 AUTH PLAIN\r\n")
        .expectPrefix("AUTH PLAIN ").reply("235 ok");
  };
  const auto envelope = [](Scenario& s, const QByteArray& to) -> Scenario& {
    return s.expect("MAIL FROM: <sender@example.com>").expect("RCPT TO: <" + to + ">").expect("DATA");
  };
  const QByteArray first = "250 ok\r\n250 ok\r\n354 go\r\n", next = "250 queued\r\n" + first;
  Scenario same, other, fresh, none, limit, again;
  envelope(open(same), "bob@example.com").send(first).readUntilDot();
  Quit(envelope(same, "bob@example.com").send(next).readUntilDot().reply("250 queued"));
  envelope(open(other), "bob@example.com").send(first).readUntilDot();
  envelope(other, "bob@example.com").send(next).expectClose();
  Quit(envelope(open(fresh), "carol@example.com").send(first).readUntilDot().reply("250 queued"));
  envelope(open(none), "bob@example.com").send(first).readUntilDot();
  envelope(none, "bob@example.com").send(next).expectClose();
  // A server that takes a limited number of messages per connection refuses the next one ahead
  // and keeps the connection: the next message goes on a new one, never after a refused DATA.
  envelope(open(limit), "bob@example.com").send(first).readUntilDot();
  envelope(limit, "bob@example.com").send("250 queued\r\n250 ok\r\n452 4.5.3 too many\r\n554 no recipients\r\n")
      .expectClose();
  Quit(envelope(open(again), "bob@example.com").send(first).readUntilDot().reply("250 queued"));
  const struct {
    const char* name;
    std::vector<Scenario> scripts;
    QString second;  // the second message's recipient; empty: none is sent
    bool secondFollows = false;  // said of the second: after one miss, nothing goes ahead
  } cases[] = {
      {"same envelope", {same}, QStringLiteral("bob@example.com")},
      {"another envelope", {other, fresh}, QStringLiteral("carol@example.com"), true},
      {"no next message", {none}, QString()},
      {"refused ahead", {limit, again}, QStringLiteral("bob@example.com")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Session x(c.scripts);
    x.login(QStringLiteral("mailtest"), QStringLiteral("Secret 123"));
    vrlsec::Settings security;
    security.auth = vrlsec::AuthMethod::Auto;
    x.m.SetSecurity(security);
    x.m.SetPipelining(true);
    ASSERT_TRUE(x.m.Connect()) << x.failures();
    x.m.SetAnotherFollows(true);
    EXPECT_TRUE(x.m.send()) << x.failures();
    if (!c.second.isEmpty()) {
      x.m.SetRecipient(c.second);
      x.m.SetAnotherFollows(c.secondFollows);
      EXPECT_TRUE(x.m.send()) << x.failures();
    }
    x.m.Disconnect();
    x.expectServerOk();
    EXPECT_EQ(x.rec.successes, c.second.isEmpty() ? 1 : 2);
    EXPECT_TRUE(x.rec.failures.isEmpty()) << x.failures();
  }
}
