// The RETR answer handler without a network: bytes are handed to it as the socket would, in any
// pieces, and the records must come out the same.
#include "pop3/POP3_InMail.h"
#include "mime/Pop3MimeParser.h"
#include "Pop3TestUtil.h"

#include <gtest/gtest.h>
#include <numeric>
#include <random>

using namespace pop3test;

namespace {

struct Result {
  bool done = false;
  Pop3Mail mail;
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
    std::vector<Pop3MailAttachments> atts;
    POP3_InMailInternal::TakeMessage(client, r.mail, atts);
    r.described = Describe(r.mail, atts);
  }
  return r;
}

QString Direct(const QByteArray& message) {
  Pop3Mail m;
  std::vector<Pop3MailAttachments> atts;
  pop3mime::ParseMessage(message, m, atts);
  return Describe(m, atts);
}

TEST(Pop3Answer, AnswersComeBackUnstuffedAndWhole) {
  const struct {
    QByteArray wire;
    std::vector<qsizetype> cuts;
    QString message;
    QString subject;
  } cases[] = {
      {"+OK\r\nSubject: s\r\n\tfolded\r\n\r\n..\r\n...x\r\n.y\r\n..\r\n.\r\n", {}, ".\r\n..x\r\n.y\r\n.\r\n",
       "s\tfolded"},
      // "x.\r\n" and "..\r\n" after a cut are no end marker.
      {"+OK\r\nSubject: s\r\n\r\nx.\r\n..\r\n.\r\n", {23, 27}, "x.\r\n.\r\n", "s"},
      {"+OK 0 octets\r\n.\r\n", {}, "", ""},
      {"+OK\nSubject: lf\n\nbody\n.\n", {3, 20}, "body\r\n", "lf"},
  };
  for (const auto& c : cases) {
    const Result r = FeedPieces(c.wire, c.cuts);
    ASSERT_TRUE(r.done) << c.wire.toStdString();
    EXPECT_EQ(r.mail.Message, c.message) << c.wire.toStdString();
    EXPECT_EQ(r.mail.Subject, c.subject) << c.wire.toStdString();
  }
}

TEST(Pop3Answer, CorpusByteByByteInRandomPiecesAndWithEveryCutOfTheEndMarker) {
  std::mt19937 rng(12345);
  QList<QByteArray> messages{"From: a@example.org\r\nSubject: dots\r\n\r\n..\r\n...x\r\n.y\r\nend\r\n"};
  for (const QString& name : CorpusNames()) messages << ReadFile(CorpusPath(name, ".eml"));
  for (const QByteArray& msg : messages) {
    const QByteArray wire = RetrAnswer(msg);
    const QString want = Direct(AsRetrieved(msg));
    std::vector<std::vector<qsizetype>> cutsList(1, std::vector<qsizetype>(wire.size() - 1));
    std::iota(cutsList[0].begin(), cutsList[0].end(), 1);  // byte by byte
    for (int round = 0; round < 10; ++round) {
      cutsList.emplace_back();
      for (qsizetype at = 1 + rng() % 40; at < wire.size(); at += 1 + rng() % 40) cutsList.back().push_back(at);
    }
    for (qsizetype a = wire.size() - 6; a < wire.size(); ++a)  // "\r\n.\r\n" and the byte before
      for (qsizetype b = a + 1; b < wire.size(); ++b) cutsList.push_back({a, b});
    for (const auto& cuts : cutsList) {
      const Result r = FeedPieces(wire, cuts);
      ASSERT_TRUE(r.done) << msg.left(60).toStdString();
      ASSERT_EQ(r.described, want) << msg.left(60).toStdString() << " cuts " << cuts.size();
    }
  }
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
  EXPECT_FALSE(POP3_InMailInternal::RetrieveDone(client));
}

}  // namespace
