#pragma once
// Scripts of the loopback mail servers the agent tests talk to, and a profile pointed at them.
#include <QByteArray>
#include <QList>

#include "ScriptedServer.h"

namespace agenttest {

using vrltest::Scenario;

// One SMTP connection that takes `replies.size()` messages, each answered at its final dot with
// the given reply, then QUIT.
inline Scenario SmtpTaking(const QList<QByteArray>& replies) {
  Scenario s;
  s.reply("220 test ESMTP").expectPrefix("HELO ").reply("250 hello");
  for (const QByteArray& r : replies)
    s.expectPrefix("MAIL FROM:")
        .reply("250 ok")
        .expectPrefix("RCPT TO:")
        .reply("250 ok")
        .expect("DATA")
        .reply("354 go on")
        .readUntilDot()
        .reply(r);
  return s.expect("QUIT").reply("221 bye");
}
inline Scenario SmtpTaking(int messages) {
  return SmtpTaking(QList<QByteArray>(messages, "250 queued"));
}

// A POP3 login of user "u" with password "p".
inline Scenario& Pop3Login(Scenario& s) {
  return s.reply("+OK ready").expect("USER u").reply("+OK").expect("PASS p").reply("+OK in");
}
// The answer to RETR: status line, the dot-stuffed message and the final ".".
inline QByteArray Retr(const QByteArray& message) {
  return "+OK\r\n" + Scenario::dotStuff(message);
}

// A mailbox session: login, STAT, then each message from the highest number down retrieved and
// deleted (DELE answered with deleReply), then QUIT.
inline Scenario Pop3Mailbox(const QList<QByteArray>& messages,
                            const QByteArray& deleReply = "+OK") {
  Scenario s;
  Pop3Login(s).expect("STAT").reply("+OK " + QByteArray::number(messages.size()) + " 1000");
  for (qsizetype i = messages.size(); i >= 1; --i) {
    s.expect("RETR " + QByteArray::number(i)).send(Retr(messages[i - 1]));
    s.expect("DELE " + QByteArray::number(i)).reply(deleReply);
    if (!deleReply.startsWith("+OK")) break;
  }
  return s.expect("QUIT").reply("+OK bye");
}

// A message from `from` with one base64 attachment.
inline QByteArray MessageWithAttachment(const QByteArray& from, const QByteArray& name,
                                        const QByteArray& content,
                                        const QByteArray& text = "Hello") {
  return "From: " + from +
         "\r\nSubject: Test\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
         "--b1\r\nContent-Type: text/plain\r\n\r\n" +
         text +
         "\r\n"
         "--b1\r\nContent-Type: application/octet-stream; name=\"" +
         name +
         "\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n" +
         content.toBase64() + "\r\n--b1--\r\n";
}

}  // namespace agenttest
