// The newer parts of the dialogue against the scripted server: AUTH PLAIN and XOAUTH2 (a refused
// token read and the exchange finished), a mechanism the server lacks, SIZE before MAIL, and a
// STARTTLS that fails without any fallback to clear text.
#include "SmtpTestUtil.h"

#include <gtest/gtest.h>

using namespace smtptest;

namespace {

Scenario& Ehlo(Scenario& s, const QByteArray& extensions) {
  return s.reply("220 test ESMTP").expect("EHLO example.com").send("250-test\r\n" + extensions + "\r\n");
}

void Use(Session& x, vrlsec::AuthMethod auth, vrlsec::Security security = vrlsec::Security::None) {
  x.login(QStringLiteral("mailtest"), QStringLiteral("Secret 123"));
  vrlsec::Settings s;
  s.auth = auth;
  s.security = security;
  x.m.SetSecurity(s);
}

}  // namespace

TEST(SmtpAuth, PlainWhenAutomatic) {
  Scenario s;
  Ehlo(s, "250 AUTH LOGIN PLAIN").expect("AUTH PLAIN AG1haWx0ZXN0AFNlY3JldCAxMjM=").reply("235 2.7.0 ok");
  Session x({Quit(Transaction(s, {"bob@example.com"}))});
  Use(x, vrlsec::AuthMethod::Auto);
  EXPECT_TRUE(x.m.send()) << x.failures();
  x.expectServerOk();
}

TEST(SmtpAuth, RefusedTokenIsReadAndTheExchangeFinished) {
  // user=mailtest^Aauth=Bearer Secret 123^A^A
  const QByteArray initial = "dXNlcj1tYWlsdGVzdAFhdXRoPUJlYXJlciBTZWNyZXQgMTIzAQE=";
  const QByteArray json = R"({"status":"401","schemes":"bearer","scope":"https://mail.example/"})";
  Scenario s;
  Ehlo(s, "250 AUTH XOAUTH2").expect("AUTH XOAUTH2 " + initial).reply("334 " + json.toBase64()).expect("");
  s.reply("535 5.7.8 Username and Password not accepted").expectClose();
  Session x({s});
  Use(x, vrlsec::AuthMethod::XOAuth2);
  EXPECT_FALSE(x.m.send());
  x.expectServerOk();
  EXPECT_EQ(x.m.GetLastError(), "535 5.7.8 Username and Password not accepted " + QString::fromUtf8(json));
}

TEST(SmtpAuth, RequiredMechanismMissingSendsNoCredential) {
  Scenario s;
  Ehlo(s, "250 AUTH LOGIN").expectClose();
  Session x({s});
  Use(x, vrlsec::AuthMethod::Plain);
  EXPECT_FALSE(x.m.send());
  x.expectServerOk();
  EXPECT_EQ(x.m.GetLastError(), "The SMTP server does not offer AUTH PLAIN, which the profile requires");
}

TEST(SmtpAuth, NoCredentialGoesInClearUnlessChosen) {
  // A server (or someone in between) that hides STARTTLS: what each security mode sends it, with
  // and without a login. Only "none" lets a password go in clear.
  using vrlsec::Security;
  const struct {
    const char* what;
    Security security;
    bool login;
    QString error;  // empty: the message goes
  } cases[] = {
      {"automatic, login", Security::Auto, true, SMTP_OutMail::kErrClearLogin},
      {"automatic, no login", Security::Auto, false, {}},
      {"none, login", Security::None, true, {}},
      {"starttls, no login", Security::StartTls, false, SMTP_OutMail::kErrNoStartTls},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Scenario s;
    Ehlo(s, "250 AUTH LOGIN PLAIN");
    if (c.error.isEmpty()) {
      if (c.login) s.expect("AUTH PLAIN AG1haWx0ZXN0AFNlY3JldCAxMjM=").reply("235 2.7.0 ok");
      Quit(Transaction(s, {"bob@example.com"}));
    } else {
      s.expectClose();
    }
    Session x({s});
    if (c.login) x.login(QStringLiteral("mailtest"), QStringLiteral("Secret 123"));
    vrlsec::Settings sec;
    sec.auth = vrlsec::AuthMethod::Auto;
    sec.security = c.security;
    x.m.SetSecurity(sec);
    EXPECT_EQ(x.m.send(), c.error.isEmpty()) << x.failures();
    x.expectServerOk();
    if (!c.error.isEmpty()) {
      EXPECT_EQ(x.m.GetLastError(), c.error);
      // A stripped STARTTLS may pass: a retry profile keeps its files.
      EXPECT_EQ(x.m.LastFailureTransient(), c.security == Security::Auto);
    }
  }
}

TEST(SmtpAuth, TooLargeForSizeFailsBeforeMail) {
  Scenario s;
  Quit(Ehlo(s, "250 SIZE 200").expect("AUTH Login").reply("535 no").expectClose());
  Scenario t;
  Ehlo(t, "250 SIZE 200");
  Session x({t.expect("QUIT").reply("221 bye").expectClose()});
  vrlsec::Settings sec;
  sec.security = vrlsec::Security::Auto;  // EHLO, to read SIZE
  x.m.SetSecurity(sec);
  x.m.SetMessage(QString(300, u'x'));
  EXPECT_FALSE(x.m.send());
  EXPECT_TRUE(x.m.GetLastError().startsWith("The message is too large for the SMTP server")) << x.failures();
  x.m.Disconnect();
  x.expectServerOk();
}

TEST(SmtpAuth, FailedStartTlsNeverFallsBackToClearText) {
  // The text behind the 220 would be a reply injected before TLS: it is dropped, not read.
  Scenario s;
  Ehlo(s, "250 STARTTLS").expect("STARTTLS").send("220 2.0.0 go ahead\r\nthis is no TLS\r\n").delay(300).close();
  Session x({s});
  Use(x, vrlsec::AuthMethod::Login, vrlsec::Security::StartTls);
  EXPECT_FALSE(x.m.send());
  x.expectServerOk();
  EXPECT_TRUE(x.m.GetLastError().startsWith("TLS: ")) << x.failures();
  EXPECT_FALSE(x.m.GetLastError().contains("this is no TLS"));
}
