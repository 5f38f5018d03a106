// The scripted server checked with plain POSIX client sockets, so that a fault found here is the
// server's own and not the engine's. Dialogues that follow their script are checked by every
// protocol test; these cases cover what those cannot see: reported mismatches, bounded waits,
// exact bodies, and the server's own lifetime.
#include "LoopbackPeer.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>

using vrltest::Scenario;
using vrltest::ScriptedServer;
using namespace std::chrono_literals;

namespace {

// A blocking loopback client whose every read is bounded.
struct Client {
  explicit Client(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  ~Client() { ::close(fd); }
  void send(const QByteArray& bytes) { socktest::WriteAll(fd, bytes); }
  QByteArray read(qsizetype n) { return socktest::ReadExactly(fd, n, 5000); }
  // Until the server ends the connection; *end is 0 for an orderly end, else the errno.
  QByteArray readToEnd(int* end = nullptr) {
    QByteArray all;
    char buf[65536];
    ssize_t n;
    pollfd p{fd, POLLIN, 0};
    while ((n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, buf, sizeof buf, 0) : -2) > 0) all.append(buf, n);
    if (end) *end = n == 0 ? 0 : (n == -2 ? ETIMEDOUT : errno);
    return all;
  }
  void resetClose() {
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(std::exchange(fd, -1));
  }
  int fd;
};

std::string Errors(const ScriptedServer& server) { return server.errors().join(QLatin1Char('\n')).toStdString(); }

// A body of about `size` bytes whose lines vary and often start with "." or "..".
QByteArray MakeBody(qsizetype size) {
  static const QByteArray lines[] = {".starts with a dot\r\n", "..two dots\r\n", ".\r\n", "\r\n",
                                     "a line of the body, plain text\r\n"};
  QByteArray body;
  for (int i = 0; body.size() < size; ++i) body += lines[i % 5];
  return body;
}

TEST(ScriptedServer, FailuresAreReportedReadablyAndEndTheConnection) {
  enum Act { Stays, ShutsDownWrite, ClosesAtOnce };
  const int kReset = ECONNRESET, kOrderly = 0, kGone = -1;  // how the client sees the end
  const struct {
    const char* name;
    Scenario script;
    int ioTimeoutMs;
    QByteArray clientSends;
    Act client;
    int end;
    QStringList mustContain;
  } cases[] = {
      {"wrong line", Scenario().reply("220 hi").expect("EHLO example.com"), 3000, "HELO example.com\r\n", Stays, kReset,
       {"connection 0", "step 1", "expect \"EHLO example.com\"", "got \"HELO example.com\""}},
      {"wrong prefix", Scenario().expect("USER bob").expectPrefix("PASS "), 3000, "USER bob\r\nPAS secret\r\n", Stays,
       kReset, {"step 1", "expectPrefix \"PASS \"", "got \"PAS secret\""}},
      {"bare LF", Scenario().expect("QUIT"), 3000, "QUIT\n", Stays, kReset, {"step 0", "bare LF", "\"QUIT\\n\""}},
      {"garbage bytes", Scenario().expect("NOOP"), 3000, QByteArray("\x01\xff\r\n", 4), Stays, kReset,
       {"got \"\\x01\\xff\""}},
      {"client closes mid-line", Scenario().reply("+OK").expect("STAT"), 3000, "ST", ShutsDownWrite, kReset,
       {"step 1", "closed the connection", "had \"ST\""}},
      {"body never ends", Scenario().readUntilDot(), 3000, "Subject: x\r\n\r\nhello\r\n", ShutsDownWrite, kReset,
       {"readUntilDot", "closed the connection", "hello"}},
      {"data instead of close", Scenario().expectClose(), 3000, "RSET\r\n", Stays, kOrderly,
       {"expectClose", "expected the client to close, got \"RSET\\r\\n\""}},
      {"silent client", Scenario().reply("220 hi").expect("EHLO x"), 300, "", Stays, kReset,
       {"no complete line within 300 ms"}},
      {"client never closes", Scenario().expectClose(), 200, "", Stays, kOrderly,
       {"no close by the client within 200 ms"}},
      {"script after close", Scenario().close().reply("never"), 3000, "", Stays, kOrderly,
       {"step 1 (send \"never\\r\\n\"): the script goes on"}},
      {"client gone", Scenario().delay(100).send(QByteArray(8 * 1024 * 1024, 'x')).reply("never"), 3000, "",
       ClosesAtOnce, kGone, {"send failed"}},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedServer server({tc.script}, tc.ioTimeoutMs);
    Client c(server.port());
    c.send(tc.clientSends);
    if (tc.client == ShutsDownWrite) ::shutdown(c.fd, SHUT_WR);
    if (tc.client == ClosesAtOnce) ::close(std::exchange(c.fd, -1));
    int end = kGone;
    const QByteArray got = tc.client == ClosesAtOnce ? QByteArray() : c.readToEnd(&end);
    ASSERT_TRUE(server.waitDone(5000)) << "every wait of the server is bounded";
    const QStringList errors = server.errors();
    ASSERT_EQ(errors.size(), 1) << Errors(server);
    for (const QString& part : tc.mustContain)
      EXPECT_TRUE(errors[0].contains(part)) << errors[0].toStdString() << "\nlacks: " << part.toStdString();
    // A failed script sends nothing more; a failed read drops the connection abortively.
    EXPECT_FALSE(got.contains("never"));
    EXPECT_EQ(end, tc.end);
  }
}

TEST(ScriptedServer, ReadUntilDotKeepsTheBodyExactly) {
  const struct {
    const char* name;
    QByteArray body;
    qsizetype chunk;  // how the client cuts what it writes
  } cases[] = {
      {"empty body byte by byte", QByteArray(), 1},
      {"dot lines byte by byte", ".\r\n..\r\nx\r\n.a\r\n", 1},
      {"dot lines in pairs", ".\r\n..\r\nx\r\n.a\r\n", 2},
      {"5 MB in odd chunks", MakeBody(5 * 1024 * 1024), 65537},
      {"5 MB in one write", MakeBody(5 * 1024 * 1024), 1 << 30},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedServer server({Scenario().expect("DATA").reply("354 go").readUntilDot().reply("250 queued")}, 5000);
    Client c(server.port());
    c.send("DATA\r\n");
    EXPECT_EQ(c.read(8), "354 go\r\n");
    const QByteArray wire = Scenario::dotStuff(tc.body);
    for (qsizetype at = 0; at < wire.size(); at += tc.chunk) c.send(wire.mid(at, tc.chunk));
    EXPECT_EQ(c.read(12), "250 queued\r\n");
    ASSERT_TRUE(server.waitDone(10000));
    EXPECT_TRUE(server.errors().isEmpty()) << Errors(server);
    const auto data = server.data(0);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_TRUE(data[0] == wire.chopped(3)) << "kept as sent, without the final \".\\r\\n\"";
    EXPECT_EQ(server.received(0).size(), 6 + wire.size());
  }
}

TEST(ScriptedServer, ConnectionsRunTheirOwnScenariosAndAnExtraOneIsAnError) {
  ScriptedServer server({Scenario().reply("first").expect("one"), Scenario().reply("second").expect("two")}, 5000);
  EXPECT_FALSE(server.waitDone(50));
  for (const char* word : {"first", "second"}) {
    Client c(server.port());
    EXPECT_EQ(c.read(qsizetype(strlen(word)) + 2), QByteArray(word) + "\r\n");
    c.send(word[0] == 'f' ? "one\r\n" : "two\r\n");
    c.readToEnd();
  }
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << Errors(server);
  EXPECT_EQ(server.received(0), "one\r\n");
  EXPECT_EQ(server.received(1), "two\r\n");
  Client extra(server.port());
  EXPECT_TRUE(extra.readToEnd().isEmpty());
  EXPECT_EQ(server.connectionsAccepted(), 3);
  ASSERT_EQ(server.errors().size(), 1);
  EXPECT_TRUE(server.errors()[0].contains("connection 2: not in the script")) << Errors(server);
}

TEST(ScriptedServer, OrderlyAndAbortiveEndsOnEitherSide) {
  for (const bool abortive : {false, true}) {
    SCOPED_TRACE(abortive ? "reset" : "close");
    Scenario sc;
    sc.reply("+OK").expect("RETR 1");
    abortive ? sc.reset() : sc.close();
    ScriptedServer server({sc, Scenario().reply("+OK").expectClose()}, 3000);
    Client c(server.port());
    EXPECT_EQ(c.read(5), "+OK\r\n");
    // Unscripted bytes after the command: close() still ends in order and keeps them.
    c.send("RETR 1\r\nNOOP\r\n");
    int end = -1;
    EXPECT_TRUE(c.readToEnd(&end).isEmpty());
    EXPECT_EQ(end, abortive ? ECONNRESET : 0);
    if (!abortive) {
      EXPECT_EQ(server.received(0), "RETR 1\r\nNOOP\r\n");
    }
    Client c2(server.port());
    EXPECT_EQ(c2.read(5), "+OK\r\n");
    abortive ? c2.resetClose() : void(::close(std::exchange(c2.fd, -1)));
    ASSERT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << Errors(server);
  }
}

TEST(ScriptedServer, DestructorReturnsPromptly) {
  // A generous bound: a server stuck in accept(), a read or a pause would take the full minute.
  const auto within = [](auto&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::steady_clock::now() - start < 5s;
  };
  EXPECT_TRUE(within([] { ScriptedServer server({Scenario().reply("220 hi")}, 60000); })) << "no client";
  EXPECT_TRUE(within([] {
    ScriptedServer server({Scenario().reply("220 hi").expect("EHLO x")}, 60000);
    Client(server.port()).read(8);
  })) << "waiting for a line";
  for (const Scenario& sc : {Scenario().delay(60000).reply("late"), Scenario().send(QByteArray(32 << 20, 'x'))}) {
    EXPECT_TRUE(within([&] {
      ScriptedServer server({sc}, 60000);
      Client c(server.port());
      std::this_thread::sleep_for(20ms);
    })) << "pausing, or sending to a client that does not read";
  }
}

}  // namespace
