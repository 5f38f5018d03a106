// The scripted server checked with plain POSIX client sockets, so that a fault found here is the
// server's own and not the engine's.
#include "ScriptedServer.h"

#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using vrltest::Scenario;
using vrltest::ScriptedServer;
using namespace std::chrono_literals;

namespace {

// A blocking loopback client whose every read is bounded.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() { close(); }
  bool connected() const { return connected_; }

  bool send(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += n;
    }
    return true;
  }
  // One recv after waiting at most timeoutMs: >0 bytes, 0 at the end, -1 with errno, -2 time-out.
  ssize_t readSome(QByteArray& into, size_t max = 64 * 1024, int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -2;
    QByteArray buf(static_cast<qsizetype>(max), Qt::Uninitialized);
    const ssize_t n = ::recv(fd_, buf.data(), max, 0);
    if (n > 0) into.append(buf.constData(), n);
    return n;
  }
  // Reads up to and including the next LF (empty on time-out or end).
  QByteArray readLine() {
    for (int i = 0; i < 1000; ++i) {
      const qsizetype nl = buf_.indexOf('\n');
      if (nl >= 0) {
        const QByteArray line = buf_.left(nl + 1);
        buf_.remove(0, nl + 1);
        return line;
      }
      if (readSome(buf_) <= 0) return {};
    }
    return {};
  }
  // Reads until the server ends the connection; errnoAtEnd tells an orderly end (0) from a reset.
  QByteArray readToEnd(int* errnoAtEnd = nullptr) {
    QByteArray all = buf_;
    buf_.clear();
    for (int i = 0; i < 100000; ++i) {
      const ssize_t n = readSome(all);
      if (n > 0) continue;
      if (errnoAtEnd) *errnoAtEnd = n == 0 ? 0 : (n == -2 ? ETIMEDOUT : errno);
      break;
    }
    return all;
  }
  void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
  void resetClose() {
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close();
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  QByteArray buf_;
};

QString joined(const ScriptedServer& server) { return server.errors().join(QLatin1Char('\n')); }

// A body of about `size` bytes whose lines vary and often start with "." or "..".
QByteArray makeBody(qsizetype size) {
  QByteArray body;
  body.reserve(size + 100);
  for (int i = 0; body.size() < size; ++i) {
    switch (i % 7) {
      case 0: body += ".starts with a dot\r\n"; break;
      case 1: body += "..two dots\r\n"; break;
      case 2: body += ".\r\n"; break;  // a lone dot inside the body
      case 3: body += "\r\n"; break;
      default: body += "line " + QByteArray::number(i) + " of the body, plain text\r\n";
    }
  }
  return body;
}

TEST(ScriptedServer, MatchingDialogueProducesNoErrors) {
  Scenario sc;
  sc.reply("220 mail.example.com ready")
      .expect("EHLO example.com")
      .send("250-mail.example.com\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n")
      .expect("AUTH Login")
      .reply("334 VXNlcm5hbWU6")
      .expectPrefix("dXNl")
      .reply("334 UGFzc3dvcmQ6")
      .expectAnyLine()
      .reply("235 ok")
      .expect("QUIT")
      .reply("221 bye")
      .close();
  ScriptedServer server({sc}, 5000);
  Client c(server.port());
  ASSERT_TRUE(c.connected());
  EXPECT_EQ(c.readLine(), "220 mail.example.com ready\r\n");
  c.send("EHLO example.com\r\n");
  EXPECT_EQ(c.readLine(), "250-mail.example.com\r\n");
  EXPECT_EQ(c.readLine(), "250-AUTH LOGIN PLAIN\r\n");
  EXPECT_EQ(c.readLine(), "250 8BITMIME\r\n");
  c.send("AUTH Login\r\n");
  EXPECT_EQ(c.readLine(), "334 VXNlcm5hbWU6\r\n");
  c.send("dXNlcg==\r\n");
  EXPECT_EQ(c.readLine(), "334 UGFzc3dvcmQ6\r\n");
  c.send("c2VjcmV0\r\n");
  EXPECT_EQ(c.readLine(), "235 ok\r\n");
  c.send("QUIT\r\n");
  int end = -1;
  EXPECT_EQ(c.readToEnd(&end), "221 bye\r\n");
  EXPECT_EQ(end, 0) << "close() ends the connection in order";
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  EXPECT_EQ(server.received(0), "EHLO example.com\r\nAUTH Login\r\ndXNlcg==\r\nc2VjcmV0\r\nQUIT\r\n");
  EXPECT_EQ(server.connectionsAccepted(), 1);
  EXPECT_TRUE(server.received(1).isEmpty());
  EXPECT_TRUE(server.data(7).empty());
}

// Mismatches: what the client sends, and what the error text must name.
struct MismatchCase {
  const char* name;
  Scenario script;
  QByteArray clientSends;
  bool clientCloses;
  QStringList mustContain;
};

TEST(ScriptedServer, MismatchesAreReportedReadably) {
  const std::vector<MismatchCase> cases = {
      {"wrong line", Scenario().reply("220 hi").expect("EHLO example.com"), "HELO example.com\r\n", false,
       {"connection 0", "step 1", "expect \"EHLO example.com\"", "got \"HELO example.com\""}},
      {"wrong prefix", Scenario().expect("USER bob").expectPrefix("PASS "), "USER bob\r\nPAS secret\r\n", false,
       {"step 1", "expectPrefix \"PASS \"", "got \"PAS secret\""}},
      {"bare LF", Scenario().expect("QUIT"), "QUIT\n", false, {"step 0", "bare LF", "\"QUIT\\n\""}},
      {"client closes mid-line", Scenario().reply("+OK").expect("STAT"), "ST", true,
       {"step 1", "closed the connection", "had \"ST\""}},
      {"garbage bytes", Scenario().expect("NOOP"), QByteArray("\x01\xff\r\n", 4), false, {"got \"\\x01\\xff\""}},
      {"data instead of close", Scenario().expectClose(), "RSET\r\n", false,
       {"expectClose", "expected the client to close, got \"RSET\\r\\n\""}},
      {"body never ends", Scenario().readUntilDot(), "Subject: x\r\n\r\nhello\r\n", true,
       {"readUntilDot", "closed the connection", "hello"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedServer server({tc.script}, 3000);
    Client c(server.port());
    ASSERT_TRUE(c.connected());
    c.send(tc.clientSends);
    if (tc.clientCloses) c.shutdownWrite();
    c.readToEnd();  // the server drops the connection after a mismatch
    ASSERT_TRUE(server.waitDone(5000));
    const QStringList errors = server.errors();
    ASSERT_EQ(errors.size(), 1) << joined(server).toStdString();
    for (const QString& part : tc.mustContain)
      EXPECT_TRUE(errors[0].contains(part)) << errors[0].toStdString() << "\nlacks: " << part.toStdString();
  }
}

TEST(ScriptedServer, SilentClientTimesOut) {
  ScriptedServer server({Scenario().reply("220 hi").expect("EHLO x").reply("250 ok")}, 300);
  Client c(server.port());
  EXPECT_EQ(c.readLine(), "220 hi\r\n");
  ASSERT_TRUE(server.waitDone(5000)) << "the read must be bounded by the io time-out";
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("no complete line within 300 ms")) << joined(server).toStdString();
  int end = 0;
  EXPECT_TRUE(c.readToEnd(&end).isEmpty()) << "nothing after the failed step is sent";
  EXPECT_EQ(end, ECONNRESET) << "a failed script drops the connection abortively";
}

TEST(ScriptedServer, SplitSendArrivesInPieces) {
  const QByteArray answer = "+OK 2 320\r\n";
  ScriptedServer server({Scenario().sendSplit(answer, {1, 5}, 80).expect("QUIT")}, 5000);
  Client c(server.port());
  QByteArray got;
  int reads = 0;
  for (int i = 0; i < 100 && got.size() < answer.size(); ++i) {
    if (c.readSome(got) <= 0) break;
    ++reads;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(got, answer);
  EXPECT_GE(reads, 2) << "pieces must arrive separately";
  c.send("QUIT\r\n");
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
}

TEST(ScriptedServer, SplitAnswerWithOddCutsStaysWhole) {
  // Cuts out of order, repeated, or outside the bytes are tolerated.
  const QByteArray answer = "250-one\r\n250 two\r\n";
  ScriptedServer server({Scenario().sendSplit(answer, {40, 9, 0, 3, 3, -2}, 1)}, 5000);
  Client c(server.port());
  EXPECT_EQ(c.readToEnd(), answer);
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
}

// DATA bodies: the body, and how the client cuts what it writes.
struct BodyCase {
  const char* name;
  QByteArray body;
  qsizetype chunk;  // 0: one write
};

TEST(ScriptedServer, ReadUntilDotKeepsTheBodyExactly) {
  const std::vector<BodyCase> cases = {
      {"empty body", QByteArray(), 0},
      {"empty body byte by byte", QByteArray(), 1},
      {"one line", "hello\r\n", 1},
      {"dot lines byte by byte", ".\r\n..\r\nx\r\n.a\r\n", 1},
      {"dot lines in pairs", ".\r\n..\r\nx\r\n.a\r\n", 2},
      {"empty lines", "\r\n\r\n", 3},
      {"5 MB in odd chunks", makeBody(5 * 1024 * 1024), 65537},
      {"5 MB in one write", makeBody(5 * 1024 * 1024), 0},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    Scenario sc;
    sc.expect("DATA").reply("354 go").readUntilDot().reply("250 queued").expect("QUIT").reply("221 bye");
    ScriptedServer server({sc}, 5000);
    Client c(server.port());
    c.send("DATA\r\n");
    EXPECT_EQ(c.readLine(), "354 go\r\n");
    const QByteArray wire = Scenario::dotStuff(tc.body);
    if (tc.chunk == 0) {
      c.send(wire);
    } else {
      for (qsizetype at = 0; at < wire.size(); at += tc.chunk) c.send(wire.mid(at, tc.chunk));
    }
    EXPECT_EQ(c.readLine(), "250 queued\r\n");
    c.send("QUIT\r\n");
    EXPECT_EQ(c.readToEnd(), "221 bye\r\n");
    ASSERT_TRUE(server.waitDone(10000));
    EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
    const auto data = server.data(0);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_TRUE(data[0] == wire.chopped(3)) << "kept as sent, without the final \".\\r\\n\"";
    EXPECT_TRUE(Scenario::dotUnstuff(data[0]) == tc.body);
    EXPECT_EQ(server.received(0).size(), 6 + wire.size() + 6);
  }
}

TEST(ScriptedServer, BodiesAndCommandsInOneWrite) {
  // A client that pipelines: the end of a body and the next command arrive together.
  Scenario sc;
  sc.readUntilDot().expect("NEXT").readUntilDot().expect("QUIT").close();
  ScriptedServer server({sc}, 5000);
  Client c(server.port());
  c.send("a\r\n..b\r\n.\r\nNEXT\r\n.\r\nQUIT\r\n");
  c.readToEnd();
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  const auto data = server.data(0);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0], "a\r\n..b\r\n");
  EXPECT_EQ(data[1], "");
}

TEST(ScriptedServer, DotStuffing) {
  const struct {
    QByteArray body, wire;
  } cases[] = {
      {"", ".\r\n"},
      {"a", "a\r\n.\r\n"},
      {"a\r\n", "a\r\n.\r\n"},
      {".\r\n", "..\r\n.\r\n"},
      {"..x\r\n.y", "...x\r\n..y\r\n.\r\n"},
      {"x.\r\n\r\n.", "x.\r\n\r\n..\r\n.\r\n"},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(Scenario::dotStuff(tc.body), tc.wire) << tc.body.toStdString();
    const QByteArray kept = tc.wire.chopped(3);
    EXPECT_EQ(Scenario::dotUnstuff(kept), tc.body.isEmpty() || tc.body.endsWith("\r\n") ? tc.body : tc.body + "\r\n");
  }
}

TEST(ScriptedServer, ExtraConnectionIsRecorded) {
  ScriptedServer server({Scenario().reply("+OK ready").close()}, 5000);
  {
    Client first(server.port());
    EXPECT_EQ(first.readToEnd(), "+OK ready\r\n");
  }
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty());
  Client second(server.port());
  EXPECT_TRUE(second.readToEnd().isEmpty());
  EXPECT_EQ(server.connectionsAccepted(), 2);
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("connection 1: not in the script")) << joined(server).toStdString();
}

TEST(ScriptedServer, ConnectionsRunTheirOwnScenarios) {
  ScriptedServer server({Scenario().reply("first").expect("one"), Scenario().reply("second").expect("two")}, 5000);
  EXPECT_FALSE(server.waitDone(50));
  for (const QByteArray& word : {QByteArray("first"), QByteArray("second")}) {
    Client c(server.port());
    EXPECT_EQ(c.readLine(), word + "\r\n");
    c.send(word == "first" ? "one\r\n" : "two\r\n");
    c.readToEnd();
  }
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  EXPECT_EQ(server.received(0), "one\r\n");
  EXPECT_EQ(server.received(1), "two\r\n");
}

TEST(ScriptedServer, ProgressTellsWhereTheScriptStands) {
  ScriptedServer server({Scenario(), Scenario().reply("+OK").expect("USER bob").reply("+OK")}, 5000);
  EXPECT_EQ(server.progress(), "waiting for connection 0 of 2");
  { Client first(server.port()); first.readToEnd(); }  // a scenario without steps just closes
  Client c(server.port());
  EXPECT_EQ(c.readLine(), "+OK\r\n");
  QString seen;
  for (int i = 0; i < 500 && !seen.contains("step 1"); ++i) {
    seen = server.progress();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(seen, "connection 1 of 2, step 1 (expect \"USER bob\")");
  c.send("USER bob\r\n");
  c.readToEnd();
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_EQ(server.progress(), "all 2 scenario(s) done");
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
}

TEST(ScriptedServer, NoScenariosIsDoneAtOnce) {
  ScriptedServer server({}, 5000);
  EXPECT_TRUE(server.waitDone(0));
  EXPECT_TRUE(server.errors().isEmpty());
}

TEST(ScriptedServer, DestructorReturnsPromptly) {
  // A generous bound: a server stuck in accept(), a read or a pause would take the full minute.
  const auto within = [](auto&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::steady_clock::now() - start < 5s;
  };
  EXPECT_TRUE(within([] { ScriptedServer server({Scenario().reply("220 hi")}, 60000); }))
      << "no client ever connects";
  EXPECT_TRUE(within([] {
    ScriptedServer server({Scenario().reply("220 hi").expect("EHLO x")}, 60000);
    Client c(server.port());
    c.readLine();
  })) << "waiting for a line";
  EXPECT_TRUE(within([] {
    ScriptedServer server({Scenario().delay(60000).reply("late")}, 60000);
    Client c(server.port());
    std::this_thread::sleep_for(20ms);
  })) << "pausing";
  EXPECT_TRUE(within([] {
    ScriptedServer server({Scenario().send(QByteArray(32 * 1024 * 1024, 'x'))}, 60000);
    Client c(server.port());
    std::this_thread::sleep_for(20ms);
  })) << "sending to a client that does not read";
}

TEST(ScriptedServer, ExpectCloseAcceptsOrderlyAndAbortiveEnds) {
  for (const bool abortive : {false, true}) {
    SCOPED_TRACE(abortive ? "reset" : "orderly");
    ScriptedServer server({Scenario().reply("+OK").expectClose()}, 3000);
    Client c(server.port());
    EXPECT_EQ(c.readLine(), "+OK\r\n");
    if (abortive)
      c.resetClose();
    else
      c.close();
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  }
}

TEST(ScriptedServer, ExpectCloseTimesOutWhenTheClientStays) {
  ScriptedServer server({Scenario().expectClose()}, 200);
  Client c(server.port());
  ASSERT_TRUE(server.waitDone(5000));
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("no close by the client within 200 ms")) << joined(server).toStdString();
}

TEST(ScriptedServer, ResetIsSeenAsResetAndCloseAsEnd) {
  for (const bool abortive : {false, true}) {
    SCOPED_TRACE(abortive ? "reset" : "close");
    Scenario sc;
    sc.reply("+OK").expect("RETR 1");
    if (abortive)
      sc.reset();
    else
      sc.close();
    ScriptedServer server({sc}, 3000);
    Client c(server.port());
    EXPECT_EQ(c.readLine(), "+OK\r\n");
    // Unscripted bytes after the command: close() still ends in order and keeps them.
    c.send("RETR 1\r\nNOOP\r\n");
    int end = -1;
    EXPECT_TRUE(c.readToEnd(&end).isEmpty());
    EXPECT_EQ(end, abortive ? ECONNRESET : 0);
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
    if (!abortive) {
      EXPECT_EQ(server.received(0), "RETR 1\r\nNOOP\r\n");
    }
  }
}

TEST(ScriptedServer, ScriptAfterCloseIsAnError) {
  ScriptedServer server({Scenario().close().reply("never")}, 3000);
  Client c(server.port());
  c.readToEnd();
  ASSERT_TRUE(server.waitDone(5000));
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("step 1 (send \"never\\r\\n\"): the script goes on")) << joined(server).toStdString();
}

TEST(ScriptedServer, LargeAnswersReachASlowReaderWhole) {
  QByteArray big = makeBody(16 * 1024 * 1024);
  QTemporaryFile file;
  ASSERT_TRUE(file.open());
  ASSERT_EQ(file.write(big), big.size());
  file.close();

  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "sendFile" : "send");
    Scenario sc;
    sc.expect("RETR 1").reply("+OK");
    if (fromFile)
      sc.sendFile(file.fileName());
    else
      sc.send(big);
    sc.send(".\r\n").expect("QUIT").close();
    ScriptedServer server({sc}, 5000);
    Client c(server.port());
    c.send("RETR 1\r\n");
    QByteArray got;
    const QByteArray want = "+OK\r\n" + big + ".\r\n";
    for (int i = 0; i < 100000 && got.size() < want.size(); ++i) {
      if (c.readSome(got, 1024 * 1024) <= 0) break;
      if (i % 64 == 0) std::this_thread::sleep_for(1ms);  // let the server meet a full buffer
    }
    EXPECT_TRUE(got == want) << got.size() << " of " << want.size() << " bytes";
    c.send("QUIT\r\n");
    c.readToEnd();
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  }
}

TEST(ScriptedServer, SendFileWithoutTheFileIsAnError) {
  ScriptedServer server({Scenario().sendFile("/nonexistent/answer.eml").reply("never")}, 3000);
  Client c(server.port());
  EXPECT_TRUE(c.readToEnd().isEmpty());
  ASSERT_TRUE(server.waitDone(5000));
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("cannot open the file")) << joined(server).toStdString();
}

TEST(ScriptedServer, SendToAGoneClientIsAnError) {
  ScriptedServer server({Scenario().delay(100).send(QByteArray(8 * 1024 * 1024, 'x')).reply("never")}, 3000);
  {
    Client c(server.port());
  }
  ASSERT_TRUE(server.waitDone(5000));
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("send failed")) << joined(server).toStdString();
}

TEST(ScriptedServer, ResultsCanBeReadWhileTheServerRuns) {
  // The test thread reads the results while the server thread writes them.
  ScriptedServer server({Scenario().readUntilDot().reply("250 ok")}, 5000);
  Client c(server.port());
  const QByteArray wire = Scenario::dotStuff(makeBody(2 * 1024 * 1024));
  std::thread writer([&] {
    for (qsizetype at = 0; at < wire.size(); at += 4096) c.send(wire.mid(at, 4096));
  });
  qsizetype last = 0;
  for (int i = 0; i < 10000 && !server.waitDone(1); ++i) {
    const qsizetype now = server.received(0).size();
    EXPECT_GE(now, last);
    last = now;
    EXPECT_LE(server.data(0).size(), 1u);
    EXPECT_TRUE(server.errors().isEmpty());
  }
  writer.join();
  EXPECT_EQ(c.readLine(), "250 ok\r\n");
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << joined(server).toStdString();
  EXPECT_EQ(server.received(0), wire);
}

}  // namespace
