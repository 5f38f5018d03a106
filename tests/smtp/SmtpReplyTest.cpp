// Replies and the extensions of an EHLO reply, as real servers word them.
#include "smtp/SmtpReply.h"

#include <gtest/gtest.h>

TEST(SmtpReply, CodeClassAndLines) {
  const auto r = smtp::Reply::Parse("250-mail.example.com\r\n250-SIZE 10240000\r\n250 8BITMIME\r\n");
  EXPECT_EQ(r.code, 250);
  EXPECT_TRUE(r.IsPositive());
  EXPECT_EQ(r.lines, (QList<QByteArray>{"mail.example.com", "SIZE 10240000", "8BITMIME"}));
  EXPECT_EQ(r.Text(), QStringLiteral("250-mail.example.com\r\n250-SIZE 10240000\r\n250 8BITMIME"));
  EXPECT_TRUE(smtp::Reply::Parse("421 4.3.2 bye\r\n").IsTransientFailure());
  EXPECT_TRUE(smtp::Reply::Parse("354 go on\r\n").IsIntermediate());
  EXPECT_TRUE(smtp::Reply::Parse("550 no\r\n").IsPermanentFailure());
  EXPECT_EQ(smtp::Reply::Parse("+OK\r\n").code, 0);
}

TEST(SmtpReply, ExtensionsOfEhlo) {
  const auto e = smtp::Extensions::FromEhlo(smtp::Reply::Parse(
      "250-mx.example.org Hello\r\n250-PIPELINING\r\n250-SIZE\r\n250-STARTTLS\r\n"
      "250-AUTH PLAIN LOGIN CRAM-MD5\r\n250-AUTH=LOGIN\r\n250-SMTPUTF8\r\n250 8bitmime\r\n"));
  EXPECT_EQ(e.authMechanisms, (QStringList{"PLAIN", "LOGIN", "CRAM-MD5"}));
  EXPECT_TRUE(e.HasAuth(QStringLiteral("LOGIN")));
  EXPECT_TRUE(e.authEqualsLogin);
  EXPECT_EQ(e.size, 0);
  EXPECT_TRUE(e.startTls && e.pipelining && e.eightBitMime && e.smtpUtf8);

  const auto plain = smtp::Extensions::FromEhlo(smtp::Reply::Parse("250-host\r\n250 AUTH PLAIN\r\n250 SIZE 1000\r\n"));
  EXPECT_FALSE(plain.HasAuth(QStringLiteral("LOGIN")));
  EXPECT_FALSE(plain.authEqualsLogin);
  EXPECT_FALSE(smtp::Extensions::FromEhlo(smtp::Reply::Parse("500 what?\r\n")).pipelining);
}
