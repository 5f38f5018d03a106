#pragma once
// Shared pieces of the send-side tests: an event recorder for SMTP_OutMail, a client set up for
// the scripted server, the common shapes of server scripts, and a fixed clock in UTC.
#include "Clock.h"
#include "LoopbackPeer.h"
#include "ScriptedServer.h"
#include "smtp/SMTP_OutMail.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

namespace smtptest {

using vrltest::Scenario;
using vrltest::ScriptedServer;

// Everything the object reports, in order.
struct Recorder {
  QStringList statuses, failures;
  QList<long> progress;
  int successes = 0;

  explicit Recorder(SMTP_OutMail& m) {
    // Connected through own_, so that nothing reaches a destroyed recorder.
    QObject::connect(&m, &SMTP_OutMail::Status, &own_, [this](const QString& s) { statuses << s; });
    QObject::connect(&m, &SMTP_OutMail::SendFailed, &own_, [this](const QString& s) { failures << s; });
    QObject::connect(&m, &SMTP_OutMail::Progress, &own_, [this](long p) { progress << p; });
    QObject::connect(&m, &SMTP_OutMail::SendSuccesful, &own_, [this] { ++successes; });
  }

 private:
  QObject own_;
};

// A loopback port with nobody listening.
inline uint16_t ClosedPort() { return socktest::Listener(false, false).port(); }

// The clock of the golden messages: Sunday 6 December 2026, 04:30:43, in UTC.
inline QDateTime FixedNow() { return QDateTime(QDate(2026, 12, 6), QTime(4, 30, 43)); }

inline void UseFixedClockInUtc() {
  setenv("TZ", "UTC", 1);
  tzset();
  vrl::SetNowForTesting([] { return FixedNow(); });
}

// A client set up as the agent sets it up, pointed at the scripted server.
inline void Configure(SMTP_OutMail& m, uint16_t port) {
  m.SetSMTPPort(port);
  m.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_NONE);
  m.SetSMTPHost(QStringLiteral("127.0.0.1"));
  m.Setfrom(QStringLiteral("sender@example.com"));
  m.SetTimeOutNSeconds(5);
}

// Greeting and HELO.
inline Scenario& Hello(Scenario& s) {
  return s.reply("220 test.example.com ESMTP").expect("HELO example.com").reply("250 test.example.com");
}

// MAIL and the accepted RCPTs, up to the DATA command (the reply to it is the caller's).
inline Scenario& UpToData(Scenario& s, const QList<QByteArray>& rcpts = {"bob@example.com"}) {
  s.expect("MAIL FROM: <sender@example.com>").reply("250 2.1.0 Ok");
  for (const auto& r : rcpts) s.expect("RCPT TO: <" + r + ">").reply("250 2.1.5 Ok");
  return s.expect("DATA");
}

// MAIL, one RCPT per address, DATA, the body, the final reply.
inline Scenario& Transaction(Scenario& s, const QList<QByteArray>& rcpts) {
  return UpToData(s, rcpts).reply("354 End data with <CR><LF>.<CR><LF>").readUntilDot().reply("250 2.0.0 Ok: queued");
}

inline Scenario& Quit(Scenario& s) { return s.expect("QUIT").reply("221 2.0.0 Bye").expectClose(); }

// The usual one-message dialogue.
inline Scenario OneMessage(const QList<QByteArray>& rcpts) {
  Scenario s;
  return Quit(Transaction(Hello(s), rcpts));
}

// A scripted server, a client set up for it (with the recipient unless that is empty), and the
// client's events.
struct Session {
  explicit Session(std::vector<Scenario> scripts, const QString& to = QStringLiteral("bob@example.com"))
      : server(std::move(scripts)) {
    Configure(m, server.port());
    if (!to.isEmpty()) m.SetRecipient(to);
  }
  void login(const QString& user, const QString& password) {
    m.SetUseAuthentication(true);
    m.SetUsername(user);
    m.SetPassword(password);
  }
  // The failures, for the message of a failed check.
  std::string failures() const { return rec.failures.join(QStringLiteral(" | ")).toStdString(); }
  // The server ran its whole script and saw nothing unexpected.
  void expectServerOk() {
    EXPECT_TRUE(server.waitDone()) << server.progress().toStdString();
    EXPECT_TRUE(server.errors().isEmpty()) << server.errors().join(u'\n').toStdString();
  }

  ScriptedServer server;
  SMTP_OutMail m;
  Recorder rec{m};
};

}  // namespace smtptest
