// Faults found in review of the POP3 client, each pinned by the dialogue that showed it.
#include "pop3/POP3_InMail.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

using vrltest::Scenario;
using vrltest::ScriptedServer;

namespace {

// A line break inside a user name or password must not reach the server as a line of its own:
// it would run a command of the caller's choosing (here "DELE 1") in the logged-in session.
TEST(Pop3Review, LineBreaksInCredentialsSendNoExtraCommand) {
  struct Case {
    const char* name;
    QString user;
    QString password;
  };
  const Case cases[] = {
      {"CR LF in user", QStringLiteral("u\r\nDELE 1"), QStringLiteral("p")},
      {"LF in password", QStringLiteral("u"), QStringLiteral("p\nDELE 1")},
      {"CR in password", QStringLiteral("u"), QStringLiteral("p\rDELE 1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scenario s;
    s.reply("+OK ready").expectPrefix("USER ").reply("+OK").expectPrefix("PASS ").reply("-ERR denied");
    ScriptedServer server({s});
    POP3_InMail client;
    quint16 port = server.port();
    EXPECT_FALSE(client.ConnectToPop3Server(c.user, c.password, QStringLiteral("127.0.0.1"), port));
    EXPECT_TRUE(server.waitDone(5000));
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(QLatin1Char('\n')).toStdString();
    const QByteArray wire = server.received(0);
    EXPECT_FALSE(wire.contains("\nDELE") || wire.contains("\rDELE")) << wire.toStdString();
    // Two commands, two line ends: nothing else was cut into lines.
    EXPECT_EQ(wire.count("\r\n"), 2) << wire.toStdString();
  }
}

}  // namespace
