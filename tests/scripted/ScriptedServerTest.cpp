// The scripted server checked with plain POSIX client sockets, for what guards the protocol tests
// against false passes: every deviation from the script is reported, a connection beyond the
// script is an error, drops look as scripted, and every wait is bounded.
#include "LoopbackPeer.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

using vrltest::Scenario;
using vrltest::ScriptedServer;
using namespace std::chrono_literals;

namespace {

// A blocking loopback client whose every read is bounded.
struct Client {
  explicit Client(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  }
  ~Client() { ::close(fd); }
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
  int fd;
};

std::string Errors(const ScriptedServer& server) { return server.errors().join(QLatin1Char('\n')).toStdString(); }

TEST(ScriptedServer, DeviationsAreReportedAndDropsLookAsScripted) {
  const int kReset = ECONNRESET, kOrderly = 0;  // how the client sees the end
  const struct {
    const char* name;
    Scenario script;
    int ioTimeoutMs;
    QByteArray clientSends;
    bool shutdownWrite;
    int end;
    const char* error;  // empty: none
  } cases[] = {
      {"wrong line", Scenario().reply("220 hi").expect("EHLO example.com"), 3000, "HELO example.com\r\n", false, kReset,
       "connection 0, step 1 (expect \"EHLO example.com\"): got \"HELO example.com\""},
      {"wrong prefix", Scenario().expect("USER bob").expectPrefix("PASS "), 3000, "USER bob\r\nPAS secret\r\n", false,
       kReset, "got \"PAS secret\""},
      {"bare LF", Scenario().expect("QUIT"), 3000, "QUIT\n", false, kReset, "bare LF: \"QUIT\\n\""},
      {"client closes mid-line", Scenario().reply("+OK").expect("STAT"), 3000, "ST", true, kReset,
       "closed the connection before complete line (had \"ST\")"},
      {"body never ends", Scenario().readUntilDot(), 3000, "hello\r\n", true, kReset, "closed the connection"},
      {"data instead of close", Scenario().expectClose(), 3000, "RSET\r\n", false, kReset,
       "expected the client to close, got \"RSET\\r\\n\""},
      {"silent client", Scenario().reply("220 hi").expect("EHLO x"), 300, "", false, kReset,
       "no complete line within 300 ms"},
      {"script after close", Scenario().close().reply("never"), 3000, "", false, kOrderly, "the script goes on"},
      {"close keeps unscripted bytes", Scenario().expect("RETR 1").close(), 3000, "RETR 1\r\nNOOP\r\n", false, kOrderly, ""},
      {"reset", Scenario().expect("RETR 1").reset(), 3000, "RETR 1\r\n", false, kReset, ""},
      {"client closes as scripted", Scenario().expectClose().reply("never"), 3000, "", true, kOrderly,
       "the script goes on"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    ScriptedServer server({tc.script}, tc.ioTimeoutMs);
    Client c(server.port());
    socktest::WriteAll(c.fd, tc.clientSends);
    if (tc.shutdownWrite) ::shutdown(c.fd, SHUT_WR);
    int end = -1;
    EXPECT_FALSE(c.readToEnd(&end).contains("never")) << "a failed script sends nothing more";
    EXPECT_EQ(end, tc.end);
    ASSERT_TRUE(server.waitDone(5000)) << "every wait of the server is bounded";
    EXPECT_EQ(server.errors().size(), *tc.error ? 1 : 0) << Errors(server);
    EXPECT_TRUE(server.errors().join(u'\n').contains(QLatin1String(tc.error))) << Errors(server);
    EXPECT_EQ(server.received(0), tc.clientSends);
  }
}

TEST(ScriptedServer, ConnectionsRunTheirOwnScenariosAndAnExtraOneIsAnError) {
  ScriptedServer server({Scenario().reply("first").expect("one"), Scenario().reply("second").expect("two")}, 5000);
  EXPECT_FALSE(server.waitDone(50));
  for (const QByteArray word : {"first", "second"}) {
    Client c(server.port());
    EXPECT_EQ(socktest::ReadExactly(c.fd, word.size() + 2, 5000), word + "\r\n");
    socktest::WriteAll(c.fd, word == "first" ? "one\r\n" : "two\r\n");
    c.readToEnd();
  }
  ASSERT_TRUE(server.waitDone(5000));
  EXPECT_TRUE(server.errors().isEmpty()) << Errors(server);
  Client extra(server.port());
  EXPECT_TRUE(extra.readToEnd().isEmpty());
  EXPECT_EQ(server.connectionsAccepted(), 3);
  EXPECT_EQ(server.errors(), QStringList{"connection 2: not in the script (2 scenario(s)); closed at once"});
}

}  // namespace
