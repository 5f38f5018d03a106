// The RETR answer handler without a network: bytes are handed to it as the socket would, in any
// pieces, and the records must come out the same.
#include "pop3/POP3_InMail.h"
#include "mime/Pop3MimeParser.h"
#include "Pop3TestUtil.h"

#include <gtest/gtest.h>
#include <random>

using namespace pop3test;

namespace {

struct Result {
  bool done = false;
  Pop3Mail mail;
  std::vector<Pop3MailAttachments> atts;
  QString described;
};

Result FeedPieces(const QByteArray& wire, const std::vector<qsizetype>& cuts) {
  POP3_InMail client;
  POP3_InMailInternal::BeginRetrieve(client);
  qsizetype from = 0;
  for (qsizetype cut : cuts) {
    POP3_InMailInternal::Feed(client, QByteArrayView(wire).sliced(from, cut - from));
    from = cut;
  }
  POP3_InMailInternal::Feed(client, QByteArrayView(wire).sliced(from));
  Result r;
  r.done = POP3_InMailInternal::RetrieveDone(client);
  if (r.done) {
    POP3_InMailInternal::TakeMessage(client, r.mail, r.atts);
    r.described = Describe(r.mail, r.atts);
  }
  return r;
}

QString Direct(const QByteArray& message) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(message, m, atts);
  return Describe(m, atts);
}

const QByteArray kSmall =
    "From: a@example.org\r\nSubject: dots\r\n\r\n..\r\n...x\r\n.y\r\nend\r\n";

TEST(Pop3Answer, DotStuffedLinesLoseOneDot) {
  const Result r = FeedPieces("+OK\r\nSubject: s\r\n\r\n..\r\n...x\r\n.y\r\n..\r\n.\r\n", {});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.mail.Message, QStringLiteral(".\r\n..x\r\n.y\r\n.\r\n"));
}

TEST(Pop3Answer, StuffedMessageComesBackAsSent) {
  const Result r = FeedPieces(RetrAnswer(kSmall), {});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.mail.Message, QStringLiteral("..\r\n...x\r\n.y\r\nend\r\n"));
  EXPECT_EQ(r.mail.Size, kSmall.size());
}

TEST(Pop3Answer, StatusAndDataInOneRead) {
  const Result r = FeedPieces("+OK\r\nSubject: one read\r\n\r\nbody\r\n.\r\n", {});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.mail.Subject, QStringLiteral("one read"));
  EXPECT_EQ(r.mail.Message, QStringLiteral("body\r\n"));
}

TEST(Pop3Answer, EmptyMessage) {
  const Result r = FeedPieces("+OK 0 octets\r\n.\r\n", {});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.mail.Size, 0);
}

TEST(Pop3Answer, EveryCutIntoTwoPiecesGivesTheSameRecords) {
  for (const QString& name : {QStringLiteral("alternative_inside_mixed"), QStringLiteral("uuencoded_in_plain_body")}) {
    const QByteArray msg = ReadFile(CorpusPath(name, ".eml"));
    const QByteArray wire = RetrAnswer(msg);
    const QString want = Direct(AsRetrieved(msg));
    for (qsizetype cut = 1; cut < wire.size(); ++cut) {
      const Result r = FeedPieces(wire, {cut});
      ASSERT_TRUE(r.done) << name.toStdString() << " cut " << cut;
      ASSERT_EQ(r.described, want) << name.toStdString() << " cut " << cut;
    }
  }
}

TEST(Pop3Answer, EveryCutOfTheEndMarkerIntoThreePieces) {
  const QByteArray wire = RetrAnswer(kSmall);
  const QString want = Direct(kSmall);
  const qsizetype tail = wire.size() - 6;  // covers "\r\n.\r\n" and the byte before it
  for (qsizetype a = tail; a < wire.size(); ++a)
    for (qsizetype b = a + 1; b < wire.size(); ++b) {
      const Result r = FeedPieces(wire, {a, b});
      ASSERT_TRUE(r.done) << a << "," << b;
      EXPECT_EQ(r.described, want) << a << "," << b;
    }
}

TEST(Pop3Answer, ByteByByte) {
  const QByteArray msg = ReadFile(CorpusPath(QStringLiteral("rfc2231_names"), ".eml"));
  const QByteArray wire = RetrAnswer(msg);
  std::vector<qsizetype> cuts;
  for (qsizetype i = 1; i < wire.size(); ++i) cuts.push_back(i);
  const Result r = FeedPieces(wire, cuts);
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.described, Direct(msg));
}

TEST(Pop3Answer, WholeCorpusInRandomPieces) {
  std::mt19937 rng(12345);
  for (const QString& name : CorpusNames()) {
    const QByteArray msg = ReadFile(CorpusPath(name, ".eml"));
    const QByteArray wire = RetrAnswer(msg);
    for (int round = 0; round < 20; ++round) {
      std::vector<qsizetype> cuts;
      for (qsizetype at = 0;;) {
        at += 1 + static_cast<qsizetype>(rng() % 40);
        if (at >= wire.size()) break;
        cuts.push_back(at);
      }
      const Result r = FeedPieces(wire, cuts);
      ASSERT_TRUE(r.done) << name.toStdString();
      ASSERT_EQ(r.described, Direct(AsRetrieved(msg))) << name.toStdString();
    }
  }
}

TEST(Pop3Answer, DotLineInsideALineIsNotTheEnd) {
  // "x.\r\n" and ".\r\n" not after a line break must not end the answer.
  POP3_InMail client;
  POP3_InMailInternal::BeginRetrieve(client);
  POP3_InMailInternal::Feed(client, "+OK\r\nSubject: s\r\n\r\nx.\r\n");
  POP3_InMailInternal::Feed(client, "..\r\n");
  EXPECT_FALSE(POP3_InMailInternal::RetrieveDone(client));
  POP3_InMailInternal::Feed(client, ".\r\n");
  ASSERT_TRUE(POP3_InMailInternal::RetrieveDone(client));
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  POP3_InMailInternal::TakeMessage(client, m, atts);
  EXPECT_EQ(m.Message, QStringLiteral("x.\r\n.\r\n"));
}

TEST(Pop3Answer, LfOnlyEndMarkerIsAccepted) {
  const Result r = FeedPieces("+OK\nSubject: lf\n\nbody\n.\n", {3, 20});
  ASSERT_TRUE(r.done);
  EXPECT_EQ(r.mail.Subject, QStringLiteral("lf"));
}

TEST(Pop3Answer, ErrorAnswerSplitAcrossReads) {
  POP3_InMail client;
  Events events(client);
  POP3_InMailInternal::BeginRetrieve(client);
  POP3_InMailInternal::Feed(client, "-ER");
  POP3_InMailInternal::Feed(client, "R no such mess");
  EXPECT_TRUE(events.failed.isEmpty());
  POP3_InMailInternal::Feed(client, "age\r\n");
  EXPECT_EQ(events.failed, QStringList{QStringLiteral("no such message")});
  EXPECT_EQ(client.GetLastError(), QStringLiteral("no such message"));
  EXPECT_FALSE(POP3_InMailInternal::RetrieveDone(client));
}

TEST(Pop3Answer, BufferGrowsGeometrically) {
  POP3_InMail client;
  POP3_InMailInternal::BeginRetrieve(client);
  POP3_InMailInternal::Feed(client, "+OK\r\nSubject: big\r\n\r\n");
  const QByteArray line = QByteArray(1022, 'a') + "\r\n";
  int growths = 0;
  qsizetype capacity = POP3_InMailInternal::RetrieveCapacity(client);
  for (int i = 0; i < 8192; ++i) {  // 8 MB in 1 kB reads
    POP3_InMailInternal::Feed(client, line);
    const qsizetype c = POP3_InMailInternal::RetrieveCapacity(client);
    if (c != capacity) ++growths;
    capacity = c;
  }
  EXPECT_LE(growths, 20);
  POP3_InMailInternal::Feed(client, ".\r\n");
  ASSERT_TRUE(POP3_InMailInternal::RetrieveDone(client));
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  POP3_InMailInternal::TakeMessage(client, m, atts);
  EXPECT_EQ(m.Size, 8192 * 1024 + 16);
}

}  // namespace
