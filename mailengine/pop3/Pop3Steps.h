#pragma once
// What a POP3 status line means for the command it answers (RFC 1939, RFC 2449, RFC 5034):
// "+OK" the command succeeded, "-ERR" it was refused, "+" a challenge (AUTH only); anything else
// is an answer the command cannot get.
#include <QByteArray>
#include <QString>

namespace pop3 {

enum class Verdict { Done, Continue, Refused, WrongAnswer };

Verdict Judge(const QByteArray& line, bool challengeAllowed);
// The error text for a wrong answer: "The POP3 server answered DELE with "...""; command is the
// word sent ("" for the greeting).
QString WrongAnswerText(const QByteArray& command, const QByteArray& line);

}  // namespace pop3
