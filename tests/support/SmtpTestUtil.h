#pragma once
// Shared pieces of the send-side tests: an event recorder for SMTP_OutMail, the common shapes
// of server scripts, and a fixed clock in UTC.
#include "Clock.h"
#include "smtp/SMTP_OutMail.h"
#include "ScriptedServer.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <cstdlib>
#include <ctime>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace smtptest {

using vrltest::Scenario;
using vrltest::ScriptedServer;

// Everything the object reports, in order.
struct Recorder {
  QStringList statuses;
  QStringList failures;
  QList<long> progress;
  int successes = 0;

  explicit Recorder(SMTP_OutMail& m) {
    links_ << QObject::connect(&m, &SMTP_OutMail::Status, [this](const QString& s) { statuses << s; });
    links_ << QObject::connect(&m, &SMTP_OutMail::SendFailed, [this](const QString& s) { failures << s; });
    links_ << QObject::connect(&m, &SMTP_OutMail::Progress, [this](long p) { progress << p; });
    links_ << QObject::connect(&m, &SMTP_OutMail::SendSuccesful, [this] { ++successes; });
  }
  ~Recorder() {
    for (const auto& l : links_) QObject::disconnect(l);
  }
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

 private:
  QList<QMetaObject::Connection> links_;
};

// A loopback port with nobody listening.
inline uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

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
  m.SetEmailAddressValidation(SMTP_OutMail::VALIDATE_SYNTAX);
  m.SetDelimiter(QStringLiteral(";"));
  m.SetSMTPHost(QStringLiteral("127.0.0.1"));
  m.Setfrom(QStringLiteral("sender@example.com"));
  int t = 5;
  m.SetTimeOutNSeconds(t);
}

// Greeting and HELO.
inline Scenario& Hello(Scenario& s, const QByteArray& domain = "example.com") {
  return s.reply("220 test.example.com ESMTP").expect("HELO " + domain).reply("250 test.example.com");
}

// MAIL, one RCPT per address, DATA, the body, the final reply.
inline Scenario& Transaction(Scenario& s, const QList<QByteArray>& rcpts,
                             const QByteArray& from = "sender@example.com") {
  s.expect("MAIL FROM: <" + from + ">").reply("250 2.1.0 Ok");
  for (const auto& r : rcpts) s.expect("RCPT TO: <" + r + ">").reply("250 2.1.5 Ok");
  return s.expect("DATA").reply("354 End data with <CR><LF>.<CR><LF>").readUntilDot().reply("250 2.0.0 Ok: queued");
}

inline Scenario& Quit(Scenario& s) { return s.expect("QUIT").reply("221 2.0.0 Bye").expectClose(); }

// The usual one-message dialogue.
inline Scenario OneMessage(const QList<QByteArray>& rcpts) {
  Scenario s;
  Hello(s);
  Transaction(s, rcpts);
  Quit(s);
  return s;
}

}  // namespace smtptest
