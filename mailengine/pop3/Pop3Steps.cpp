#include "pop3/Pop3Steps.h"

#include "mime/Codec.h"

namespace pop3 {
namespace {

// The status indicator followed by a space or nothing: "+OKAY" is no "+OK".
bool Starts(const QByteArray& line, const char* indicator) {
  const QByteArray word(indicator);
  return line.startsWith(word) && (line.size() == word.size() || line[word.size()] == ' ');
}

}  // namespace

Verdict Judge(const QByteArray& line, bool challengeAllowed) {
  if (Starts(line, "+OK")) return Verdict::Done;
  if (Starts(line, "-ERR")) return Verdict::Refused;
  if (challengeAllowed && Starts(line, "+")) return Verdict::Continue;
  return Verdict::WrongAnswer;
}

QString WrongAnswerText(const QByteArray& command, const QByteArray& line) {
  const QString what = command.isEmpty() ? QStringLiteral("the greeting") : QString::fromLatin1(command);
  return QStringLiteral("The POP3 server answered ") + what + QStringLiteral(" with \"") +
         codec::Utf8OrWindows1252(line.left(200)) + QStringLiteral("\"");
}

}  // namespace pop3
