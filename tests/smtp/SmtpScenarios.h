#pragma once
// Pieces of the SMTP dialogue tests: a configured client against a scripted server, and the
// script prefixes most dialogues share.
#include "SmtpTestUtil.h"

#include <vector>

namespace smtptest {

// A scripted server, a client set up for it (with the recipient unless that is empty), and the
// client's events.
struct Session {
  explicit Session(std::vector<Scenario> scripts, const QString& to = QStringLiteral("bob@example.com"))
      : server(std::move(scripts)) {
    Configure(m, server.port());
    if (!to.isEmpty()) m.SetRecipient(to);
  }
  // The failures, for the message of a failed check.
  std::string failures() const { return rec.failures.join(QStringLiteral(" | ")).toStdString(); }
  void login(const QString& user, const QString& password) {
    m.SetUseAuthentication(true);
    m.SetUsername(user);
    m.SetPassword(password);
  }

  ScriptedServer server;
  SMTP_OutMail m;
  Recorder rec{m};
};

// Greeting, EHLO with the given reply, and AUTH LOGIN up to the password (the reply to it is
// the caller's).
inline Scenario& EhloAndLogin(Scenario& s, const QByteArray& ehloReply, const QByteArray& user,
                              const QByteArray& password) {
  return s.reply("220 test ESMTP")
      .expect("EHLO example.com")
      .send(ehloReply)
      .expect("AUTH Login")
      .reply("334 VXNlcm5hbWU6")
      .expect(user.toBase64())
      .reply("334 UGFzc3dvcmQ6")
      .expect(password.toBase64());
}

// MAIL and the accepted RCPTs, up to the DATA command (the reply to it is the caller's).
inline Scenario& UpToData(Scenario& s, const QList<QByteArray>& rcpts = {"bob@example.com"}) {
  s.expect("MAIL FROM: <sender@example.com>").reply("250 ok");
  for (const auto& r : rcpts) s.expect("RCPT TO: <" + r + ">").reply("250 ok");
  return s.expect("DATA");
}

}  // namespace smtptest
