// What setting a property does beyond storing it: clamps, ranges, list splitting, host and
// address checks, and the pending-error list behind the checks of send that fail before any
// connection is made.
#include "SmtpTestUtil.h"

#include "socket/IcmpEcho.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>
#include <functional>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

// A send that must fail before connecting: returns the SendFailed texts.
QStringList FailBeforeConnecting(SMTP_OutMail& m) {
  Recorder rec(m);
  EXPECT_FALSE(m.send());
  EXPECT_FALSE(rec.statuses.contains(QStringLiteral("Initializing Communications...")));
  return rec.failures;
}

// A client whose every property is valid, aimed at a port with nobody listening.
void Valid(SMTP_OutMail& m) {
  Configure(m, ClosedPort());
  m.SetRecipient(QStringLiteral("bob@example.com"));
}

TEST(Properties, ClampsAndRanges) {
  const struct {
    int in, timeOut, retry;
  } cases[] = {{-5, 3, 3}, {1, 3, 1}, {20, 20, 20}, {21, 21, 3}, {301, 300, 3}};
  for (const auto& c : cases) {
    SMTP_OutMail m;
    int v = c.in;
    m.SetTimeOutNSeconds(v);
    EXPECT_EQ(v, c.timeOut) << "written back";
    EXPECT_EQ(m.TimeOutNSeconds(), c.timeOut);
    m.SetConnectRetry(c.in);
    EXPECT_EQ(m.ConnectRetry(), c.retry) << c.in;
  }
  for (long bad : {0L, -1L, 65536L}) {
    SMTP_OutMail m;
    Valid(m);
    const long port = m.SMTPPort();
    m.SetSMTPPort(bad);
    EXPECT_EQ(m.SMTPPort(), port);
    EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrPort}) << bad;
  }
}

TEST(Properties, RecipientListsAreSplitCleanedAndJoined) {
  SMTP_OutMail m;
  m.SetEmailAddressValidation(SMTP_OutMail::validate_none);
  m.SetRecipient(QStringLiteral(" a@example.com \r\n;\tb@exam\r\nple.com;c@example.com\n"));
  EXPECT_EQ(m.Recipient(), QStringLiteral("a@example.com;b@example.com;c@example.com"));
  m.SetDelimiter(QStringLiteral(",;"));
  m.SetCcRecipient(QStringLiteral("x@example.com, y@example.com"));
  EXPECT_EQ(m.CcRecipient(), QStringLiteral("x@example.com,y@example.com"));
  m.SetRecipientDisplayName(QStringLiteral("Ann,\tBob "));
  EXPECT_EQ(m.RecipientDisplayName(), QStringLiteral("Ann,Bob"));
  m.SetRecipient(QStringLiteral("user@localhost"));  // not checked without syntax validation
  m.Setfrom(QStringLiteral("me@localhost"));
  EXPECT_TRUE(m.GetLastError().isEmpty());
}

TEST(Properties, FailuresBeforeConnecting) {
  using M = SMTP_OutMail;
  const struct {
    const char* what;
    QString failure;
    std::function<void(M&)> set;
  } cases[] = {
      {"to", M::kErrRecipient, [](M& m) { m.SetRecipient(QStringLiteral("good@example.com;bad@localhost")); }},
      {"empty element", M::kErrRecipient, [](M& m) { m.SetRecipient(QStringLiteral("good@example.com;")); }},
      {"cc", M::kErrCc, [](M& m) { m.SetCcRecipient(QStringLiteral("nobody")); }},
      {"bcc", M::kErrBcc, [](M& m) { m.SetBccRecipient(QStringLiteral("x@y.zz")); }},
      {"from", M::kErrSender, [](M& m) { m.Setfrom(QStringLiteral("me")); }},
      {"no recipient", M::kErrNoRecipient, [](M& m) { m.SetRecipient(QString()); }},
      {"html in uuencode", M::kErrHtmlUu, [](M& m) { m.SetAsHTML(true); m.SetEncodeType(M::UU_ENCODE); }},
      {"no sender", M::kErrSender, [](M& m) { m.SetEmailAddressValidation(M::validate_none); m.Setfrom(QString()); }},
      {"the later of two", M::kErrCc, [](M& m) { m.SetSMTPPort(0); m.SetCcRecipient(QStringLiteral("bad")); }},
      {"101 recipients", M::kErrTooMany,
       [](M& m) {
         QStringList a;
         for (int i = 0; i < 101; ++i) a << QStringLiteral("r%1@example.com").arg(i);
         m.SetRecipient(a.mid(0, 50).join(u';'));
         m.SetBccRecipient(a.mid(50).join(u';'));
       }},
      {"a stricter host check later", M::kErrHost,
       [](M& m) { m.SetSMTPHost(QStringLiteral("localhost")); m.SetSMTPHostValidation(M::VALIDATE_HOST_SYNTAX); }},
      {"missing attachment", M::kErrAttach, [](M& m) { m.SetAttachment(QStringLiteral("/nonexistent/a.txt")); }},
      {"folder as attachment", M::kErrAttach, [](M& m) { m.SetAttachment(QDir::tempPath()); }},
      {"attachment removed after it was set", M::kErrAttach,
       [](M& m) {
         QTemporaryFile f;
         EXPECT_TRUE(f.open());
         m.SetAttachment(f.fileName());
       }},
  };
  for (const auto& c : cases) {
    M m;
    Valid(m);
    c.set(m);
    EXPECT_EQ(FailBeforeConnecting(m), QStringList{c.failure}) << c.what;
    EXPECT_EQ(m.GetLastError(), c.failure) << c.what;
  }
  M noHost;
  noHost.Setfrom(QStringLiteral("a@example.com"));
  noHost.SetRecipient(QStringLiteral("b@example.com"));
  EXPECT_EQ(FailBeforeConnecting(noHost), QStringList{M::kErrHost});
}

// A problem that was fixed, or that a send already reported, does not fail the next send.
TEST(Properties, PendingProblemsEnd) {
  SMTP_OutMail m;
  Valid(m);
  m.SetRecipient(QStringLiteral("bob@nowhere"));
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrRecipient);
  m.SetRecipient(QStringLiteral("bob@example.com"));
  Recorder rec(m);
  EXPECT_FALSE(m.send());
  m.SetCcRecipient(QStringLiteral("bad"));
  EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrCc});
  EXPECT_FALSE(m.send());
  EXPECT_EQ(rec.failures, (QStringList{"Connection refused.", SMTP_OutMail::kErrCc, "Connection refused."}));
}

TEST(Properties, HostValidationMethods) {
  const struct {
    SMTP_OutMail::VALIDATE_HOST_METHOD method;
    const char* host;
    bool ok;
  } cases[] = {
      {SMTP_OutMail::VALIDATE_HOST_NONE, "anything at all", true}, {SMTP_OutMail::VALIDATE_HOST_NONE, "   ", false},
      {SMTP_OutMail::VALIDATE_HOST_SYNTAX, "127.0.0.1", true}, {SMTP_OutMail::VALIDATE_HOST_SYNTAX, "localhost", false},
      {SMTP_OutMail::VALIDATE_HOST_DNS, "localhost", true}, {SMTP_OutMail::VALIDATE_HOST_DNS, "", false},
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    m.SetSMTPHostValidation(c.method);
    m.SetSMTPHost(QString::fromLatin1(c.host));
    EXPECT_EQ(m.SMTPHost() == QString::fromLatin1(c.host).trimmed() && !m.SMTPHost().isEmpty(), c.ok) << c.host;
    EXPECT_EQ(m.GetLastError().isEmpty(), c.ok) << c.host;
    // No POP3 host at all is no error: it is needed only for POP-before-SMTP.
    m.SetPOP3Host(QString::fromLatin1(c.host));
    EXPECT_EQ(m.GetLastError() == SMTP_OutMail::kErrPop3Host, !c.ok && !QByteArray(c.host).trimmed().isEmpty()) << c.host;
  }
  if (vrl::IcmpSocketKind(AF_INET) == 0) GTEST_SKIP() << "no ICMP socket allowed here";
  SMTP_OutMail m;
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_PING);
  m.SetSMTPHost(QStringLiteral("127.0.0.1"));
  EXPECT_TRUE(m.GetLastError().isEmpty()) << "loopback answers the ping";
}

TEST(Properties, HostAndAddressSyntax) {
  QFile f(QStringLiteral(VRL_TEST_DATA "/smtp/syntax.json"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QJsonDocument doc = QJsonDocument::fromJson(f.readAll());
  ASSERT_FALSE(doc[QLatin1String("hosts")].toArray().isEmpty());
  for (const QJsonValue& v : doc[QLatin1String("hosts")].toArray())
    EXPECT_EQ(SMTP_OutMail::IsValidHostSyntax(v[0].toString()), v[1].toBool()) << v[0].toString().toStdString();
  SMTP_OutMail m;
  for (const QJsonValue& v : doc[QLatin1String("addresses")].toArray())
    EXPECT_EQ(m.IsValidEmailAddress(v[0].toString()), v[1].toBool()) << v[0].toString().toStdString();
}

TEST(Properties, Lookups) {
  SMTP_OutMail m;
  EXPECT_EQ(m.GetIPAddress(QStringLiteral("localhost")), QStringLiteral("127.0.0.1"));
  // An empty name stands for this machine's own, written back. Looked up only when the hosts
  // file knows it, so that no query leaves the machine.
  QFile hosts(QStringLiteral("/etc/hosts"));
  const QString own = m.GetIPHost();
  EXPECT_FALSE(own.isEmpty());
  if (hosts.open(QIODevice::ReadOnly) && QString::fromUtf8(hosts.readAll()).contains(own)) {
    QString empty;
    EXPECT_FALSE(m.GetIPAddress(empty).isEmpty());
    EXPECT_EQ(empty, own);
  }
}

}  // namespace
