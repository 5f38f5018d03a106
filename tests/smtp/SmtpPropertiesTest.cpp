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
      {"a NUL without validation", M::kErrRecipient,
       [](M& m) { m.SetEmailAddressValidation(M::validate_none); m.SetRecipient(QString::fromUtf8("a\0b@x.org", 9)); }},
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

}  // namespace
