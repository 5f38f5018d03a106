// What setting a property does beyond storing it: clamps written back, ranges, the pending-error
// list and its texts, list splitting and cleaning, host validation, and the checks of send that
// fail before any connection is made.
#include "SmtpTestUtil.h"

#include "socket/IcmpEcho.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace smtptest;

namespace {

// A send that must fail before connecting: returns the SendFailed texts.
QStringList FailBeforeConnecting(SMTP_OutMail& m) {
  Recorder rec(m);
  EXPECT_FALSE(m.send());
  EXPECT_EQ(rec.successes, 0);
  EXPECT_FALSE(rec.statuses.contains(QStringLiteral("Initializing Communications...")));
  return rec.failures;
}

// A client whose every property is valid, aimed at a port nobody should reach.
void Valid(SMTP_OutMail& m) {
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_NONE);
  m.SetSMTPHost(QStringLiteral("127.0.0.1"));
  m.Setfrom(QStringLiteral("sender@example.com"));
  m.SetRecipient(QStringLiteral("bob@example.com"));
}

TEST(Properties, Defaults) {
  SMTP_OutMail m;
  EXPECT_EQ(m.SMTPPort(), 25);
  EXPECT_EQ(m.POP3Port(), 110);
  EXPECT_EQ(m.ConnectRetry(), 3);
  EXPECT_EQ(m.TimeOutNSeconds(), 30);
  EXPECT_EQ(m.SMTPHostValidation(), SMTP_OutMail::VALIDATE_HOST_DNS);
  EXPECT_EQ(m.EmailAddressValidation(), SMTP_OutMail::VALIDATE_SYNTAX);
  EXPECT_EQ(m.EncodeType(), SMTP_OutMail::MIME_ENCODE);
  EXPECT_EQ(m.Priority(), SMTP_OutMail::NORMAL_PRIORITY);
  EXPECT_EQ(m.Delimiter(), QStringLiteral(";"));
  EXPECT_FALSE(m.AsHTML() || m.Receipt() || m.UseAuthentication() || m.UsePopAuthentication());
  EXPECT_TRUE(m.GetLastError().isEmpty());
  EXPECT_EQ(int(SMTP_OutMail::VALIDATE_HOST_PING), 2);
  EXPECT_EQ(int(SMTP_OutMail::UU_ENCODE), 1);
  EXPECT_EQ(int(SMTP_OutMail::LOW_PRIORITY), 5);
}

TEST(Properties, TimeOutIsClampedAndWrittenBack) {
  struct Case {
    int in, out;
  } cases[] = {{1, 3}, {-5, 3}, {3, 3}, {30, 30}, {300, 300}, {301, 300}, {100000, 300}};
  for (const auto& c : cases) {
    SMTP_OutMail m;
    int v = c.in;
    m.SetTimeOutNSeconds(v);
    EXPECT_EQ(v, c.out) << c.in;
    EXPECT_EQ(m.TimeOutNSeconds(), c.out) << c.in;
  }
  SMTP_OutMail m;
  m.SetTimeOutNSeconds(0);  // a value without a variable to write back to
  EXPECT_EQ(m.TimeOutNSeconds(), 3);
}

TEST(Properties, ConnectRetryAcceptsOneToTwenty) {
  struct Case {
    int in, out;
  } cases[] = {{0, 3}, {21, 3}, {-1, 3}, {1, 1}, {20, 20}, {7, 7}};
  for (const auto& c : cases) {
    SMTP_OutMail m;
    m.SetConnectRetry(c.in);
    EXPECT_EQ(m.ConnectRetry(), c.out) << c.in;
  }
}

TEST(Properties, PortsOutsideTheRangeKeepThePreviousValueAndFailTheSend) {
  for (long bad : {0L, -1L, 65536L}) {
    SMTP_OutMail m;
    Valid(m);
    m.SetSMTPPort(2525);
    m.SetSMTPPort(bad);
    EXPECT_EQ(m.SMTPPort(), 2525);
    EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrPort}) << bad;
  }
  SMTP_OutMail m;
  m.SetPOP3Port(70000);
  EXPECT_EQ(m.POP3Port(), 110);
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrPort);
  m.SetPOP3Port(1);
  m.SetSMTPPort(65535);
  EXPECT_EQ(m.POP3Port(), 1);
  EXPECT_EQ(m.SMTPPort(), 65535);
}

TEST(Properties, RecipientListsAreSplitCleanedAndJoined) {
  SMTP_OutMail m;
  m.SetEmailAddressValidation(SMTP_OutMail::validate_none);
  m.SetRecipient(QStringLiteral(" a@example.com \r\n;\tb@exam\r\nple.com;c@example.com\n"));
  EXPECT_EQ(m.Recipient(), QStringLiteral("a@example.com;b@example.com;c@example.com"));
  m.SetDelimiter(QStringLiteral(",;"));
  EXPECT_EQ(m.Delimiter(), QStringLiteral(","));
  m.SetCcRecipient(QStringLiteral("x@example.com, y@example.com"));
  EXPECT_EQ(m.CcRecipient(), QStringLiteral("x@example.com,y@example.com"));
  m.SetRecipientDisplayName(QStringLiteral("Ann,\tBob "));
  EXPECT_EQ(m.RecipientDisplayName(), QStringLiteral("Ann,Bob"));
}

TEST(Properties, AddressValidationTexts) {
  struct Case {
    const char* what;
    std::function<void(SMTP_OutMail&)> set;
    QString error;
  } cases[] = {
      {"to", [](SMTP_OutMail& m) { m.SetRecipient(QStringLiteral("good@example.com;bad@localhost")); },
       SMTP_OutMail::kErrRecipient},
      {"cc", [](SMTP_OutMail& m) { m.SetCcRecipient(QStringLiteral("nobody")); }, SMTP_OutMail::kErrCc},
      {"bcc", [](SMTP_OutMail& m) { m.SetBccRecipient(QStringLiteral("x@y.zz")); }, SMTP_OutMail::kErrBcc},
      {"from", [](SMTP_OutMail& m) { m.Setfrom(QStringLiteral("me")); }, SMTP_OutMail::kErrSender},
      {"empty element", [](SMTP_OutMail& m) { m.SetRecipient(QStringLiteral("good@example.com;")); },
       SMTP_OutMail::kErrRecipient},
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    Valid(m);
    c.set(m);
    EXPECT_EQ(m.GetLastError(), c.error) << c.what;
    EXPECT_EQ(FailBeforeConnecting(m), QStringList{c.error}) << c.what;
  }
  // Without syntax validation nothing is checked.
  SMTP_OutMail m;
  m.SetEmailAddressValidation(SMTP_OutMail::validate_none);
  m.SetRecipient(QStringLiteral("user@localhost"));
  m.Setfrom(QStringLiteral("me@localhost"));
  EXPECT_TRUE(m.GetLastError().isEmpty());
}

TEST(Properties, InvalidThenValidRecipientClearsTheError) {
  ScriptedServer server({OneMessage({"bob@example.com"})});
  SMTP_OutMail m;
  Recorder rec(m);
  Configure(m, server.port());
  m.SetRecipient(QStringLiteral("bob@nowhere"));
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrRecipient);
  m.SetRecipient(QStringLiteral("bob@example.com"));
  EXPECT_TRUE(m.send()) << rec.failures.join(u'|').toStdString();
  EXPECT_TRUE(server.waitDone());
  EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
}

TEST(Properties, SendChecksAndTheMostRecentText) {
  struct Case {
    const char* what;
    std::function<void(SMTP_OutMail&)> set;
    QString failure;
  } cases[] = {
      {"no recipient", [](SMTP_OutMail& m) { m.SetRecipient(QString()); }, SMTP_OutMail::kErrNoRecipient},
      {"html in uuencode",
       [](SMTP_OutMail& m) {
         m.SetAsHTML(true);
         m.SetEncodeType(SMTP_OutMail::UU_ENCODE);
       },
       SMTP_OutMail::kErrHtmlUu},
      {"empty sender without validation",
       [](SMTP_OutMail& m) {
         m.SetEmailAddressValidation(SMTP_OutMail::validate_none);
         m.Setfrom(QString());
       },
       SMTP_OutMail::kErrSender},
      {"two problems: the later one is reported",
       [](SMTP_OutMail& m) {
         m.SetSMTPPort(0);
         m.SetCcRecipient(QStringLiteral("bad"));
       },
       SMTP_OutMail::kErrCc},
      {"101 recipients",
       [](SMTP_OutMail& m) {
         QStringList a;
         for (int i = 0; i < 101; ++i) a << QStringLiteral("r%1@example.com").arg(i);
         m.SetRecipient(a.mid(0, 50).join(u';'));
         m.SetBccRecipient(a.mid(50).join(u';'));
       },
       SMTP_OutMail::kErrTooMany},
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    Valid(m);
    c.set(m);
    EXPECT_EQ(FailBeforeConnecting(m), QStringList{c.failure}) << c.what;
    EXPECT_EQ(m.GetLastError(), c.failure) << c.what;
  }
}

TEST(Properties, APassedFailureEmptiesThePendingList) {
  SMTP_OutMail m;
  Valid(m);
  m.SetCcRecipient(QStringLiteral("bad"));
  EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrCc});
  // The list is empty now: the same object goes on to connect (and finds nobody listening).
  m.SetSMTPPort(ClosedPort());
  Recorder rec(m);
  EXPECT_FALSE(m.send());
  EXPECT_TRUE(rec.statuses.contains(QStringLiteral("Connecting to SMTP Server (127.0.0.1)...")));
  EXPECT_EQ(rec.failures, QStringList{QStringLiteral("Connection refused.")});
}

TEST(Properties, HostValidationMethods) {
  struct Case {
    SMTP_OutMail::VALIDATE_HOST_METHOD method;
    const char* host;
    bool ok;
  } cases[] = {
      {SMTP_OutMail::VALIDATE_HOST_NONE, "anything at all", true},
      {SMTP_OutMail::VALIDATE_HOST_NONE, "", false},
      {SMTP_OutMail::VALIDATE_HOST_NONE, "   ", false},
      {SMTP_OutMail::VALIDATE_HOST_SYNTAX, "127.0.0.1", true},
      {SMTP_OutMail::VALIDATE_HOST_SYNTAX, "mail.example.com", true},
      {SMTP_OutMail::VALIDATE_HOST_SYNTAX, "localhost", false},
      {SMTP_OutMail::VALIDATE_HOST_DNS, "localhost", true},
      {SMTP_OutMail::VALIDATE_HOST_DNS, "127.0.0.1", true},
      {SMTP_OutMail::VALIDATE_HOST_DNS, "", false},
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    m.SetSMTPHostValidation(c.method);
    m.SetSMTPHost(QString::fromLatin1(c.host));
    EXPECT_EQ(m.SMTPHost() == QString::fromLatin1(c.host).trimmed() && !m.SMTPHost().isEmpty(), c.ok) << c.host;
    EXPECT_EQ(m.GetLastError().isEmpty(), c.ok) << c.host;
    // No POP3 host at all is no error: it is needed only for POP-before-SMTP.
    m.SetPOP3Host(QString::fromLatin1(c.host));
    const bool blank = QString::fromLatin1(c.host).trimmed().isEmpty();
    EXPECT_EQ(m.GetLastError() == SMTP_OutMail::kErrPop3Host, !c.ok && !blank) << c.host;
  }
}

TEST(Properties, PingValidationOnLoopback) {
  if (vrl::IcmpSocketKind(AF_INET) == 0) GTEST_SKIP() << "no ICMP socket allowed here";
  SMTP_OutMail m;
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_PING);
  m.SetSMTPHost(QStringLiteral("127.0.0.1"));
  EXPECT_EQ(m.SMTPHost(), QStringLiteral("127.0.0.1"));
  EXPECT_TRUE(m.GetLastError().isEmpty());
  QString rtt, size;
  bool match = false;
  EXPECT_TRUE(m.Ping(QStringLiteral("127.0.0.1"), &rtt, &size, &match));
  EXPECT_FALSE(rtt.isEmpty());
  EXPECT_EQ(size, QStringLiteral("32"));
  EXPECT_TRUE(match);
}

TEST(Properties, ChangingTheValidationChecksTheHostAgain) {
  SMTP_OutMail m;
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_NONE);
  m.SetSMTPHost(QStringLiteral("localhost"));
  EXPECT_TRUE(m.GetLastError().isEmpty());
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_SYNTAX);
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrHost);
  m.Setfrom(QStringLiteral("a@example.com"));
  m.SetRecipient(QStringLiteral("b@example.com"));
  EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrHost});
}

TEST(Properties, MissingHostFailsTheSend) {
  SMTP_OutMail m;
  m.Setfrom(QStringLiteral("a@example.com"));
  m.SetRecipient(QStringLiteral("b@example.com"));
  Recorder rec(m);
  EXPECT_FALSE(m.send());
  EXPECT_EQ(rec.failures, QStringList{SMTP_OutMail::kErrHost});
}

TEST(Properties, PriorityText) {
  struct Case {
    std::vector<int> sets;
    QByteArray lines;  // as written in the header
  } cases[] = {
      {{1}, "X-Priority: 1\r\nX-MSMail-Priority: High\r\n"},
      {{5}, "X-Priority: 5\r\nX-MSMail-Priority: Low\r\n"},
      {{5, 2}, "X-Priority: 2\r\nX-MSMail-Priority: Low\r\n"},  // other numbers keep the text
      {{1, 3}, ""},
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    for (int p : c.sets) m.SetPriority(p);
    // The text is private; it shows in what is written.
    ScriptedServer server({OneMessage({"b@example.com"})});
    Configure(m, server.port());
    m.SetRecipient(QStringLiteral("b@example.com"));
    ASSERT_TRUE(m.send());
    ASSERT_TRUE(server.waitDone());
    const QByteArray data = server.data(0).at(0);
    if (c.lines.isEmpty())
      EXPECT_FALSE(data.contains("X-Priority"));
    else
      EXPECT_TRUE(data.contains(c.lines)) << c.lines.constData();
  }
}

TEST(Properties, ContentBaseIsNormalised) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"www.example.com\\docs", "http://www.example.com/docs/"},
      {"HTTP://example.com/", "HTTP://example.com/"},
      {"https://example.com", "http://https://example.com/"},  // only "http://" is recognised
  };
  for (const auto& c : cases) {
    SMTP_OutMail m;
    m.SetContentBase(QString::fromLatin1(c.in));
    EXPECT_EQ(m.ContentBase(), QString::fromLatin1(c.out)) << c.in;
  }
}

TEST(Properties, AttachmentMustExist) {
  QTemporaryDir dir;
  QFile f(dir.path() + QStringLiteral("/a.txt"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("hello");
  f.close();
  SMTP_OutMail m;
  m.SetAttachment(f.fileName() + QStringLiteral(";") + dir.path() + QStringLiteral("/missing.txt"));
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrAttach);
  Valid(m);
  EXPECT_EQ(FailBeforeConnecting(m), QStringList{SMTP_OutMail::kErrAttach});
  m.SetAttachment(dir.path());  // a folder is not a file
  EXPECT_EQ(m.GetLastError(), SMTP_OutMail::kErrAttach);
  SMTP_OutMail ok;
  ok.SetAttachment(f.fileName());
  EXPECT_TRUE(ok.GetLastError().isEmpty());
  EXPECT_EQ(ok.Attachment(), f.fileName());
}

TEST(Properties, MessageLetProcessesLines) {
  SMTP_OutMail m;
  m.SetMessage(QStringLiteral("a\n.\nb"));
  EXPECT_EQ(m.Message(), QStringLiteral("a\r\n..\r\nb"));
}

TEST(Lookups, AddressesAndOwnName) {
  SMTP_OutMail m;
  EXPECT_EQ(m.GetIPAddress(QStringLiteral("127.0.0.1")), QStringLiteral("127.0.0.1"));
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
  EXPECT_EQ(m.DecodeBase64String(QStringLiteral("VXNlcm5hbWU6")), QStringLiteral("Username:"));
  EXPECT_EQ(m.GetContentType(QStringLiteral("a.pdf"), QStringLiteral("x/y")), QStringLiteral("application/pdf"));
}

}  // namespace
