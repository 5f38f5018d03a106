#include "smtp/SmtpSteps.h"

namespace smtp {
namespace {

// The positive codes each command may get (0: none more); every other 2xx or 3xx is a wrong code.
struct Codes {
  int a, b;
};

Codes Positive(Command c) {
  switch (c) {
    case Command::Greeting:
    case Command::StartTls: return {220, 0};
    case Command::Helo:
    case Command::Ehlo:
    case Command::MailFrom:
    case Command::EndOfData: return {250, 0};
    case Command::Auth: return {235, 334};
    case Command::RcptTo: return {250, 251};
    case Command::Data: return {354, 0};
    case Command::Quit: return {221, 0};
  }
  return {0, 0};
}

}  // namespace

const char* CommandName(Command c) {
  switch (c) {
    case Command::Greeting: return "the greeting";
    case Command::Helo: return "HELO";
    case Command::Ehlo: return "EHLO";
    case Command::StartTls: return "STARTTLS";
    case Command::Auth: return "AUTH";
    case Command::MailFrom: return "MAIL FROM";
    case Command::RcptTo: return "RCPT TO";
    case Command::Data: return "DATA";
    case Command::EndOfData: return "the end of the message";
    case Command::Quit: return "QUIT";
  }
  return "?";
}

Verdict Judge(Command c, const Reply& reply) {
  const int code = reply.code;
  const Codes ok = Positive(c);
  if (code != 0 && (code == ok.a || code == ok.b)) return code == 334 || code == 354 ? Verdict::Continue : Verdict::Done;
  // A refusal is known by its first digit whatever the rest (RFC 5321, section 4.2.1).
  if (code >= 400 && code < 500) return Verdict::RefusedForNow;
  if (code >= 500 && code < 600) return Verdict::RefusedPermanently;
  return Verdict::WrongCode;
}

mailerr::Error ErrorFor(Command c, Verdict verdict, const Reply& reply) {
  using mailerr::Kind;
  if (verdict == Verdict::WrongCode) {
    const QString text = QStringLiteral("The SMTP server answered ") + QLatin1String(CommandName(c)) +
                         QStringLiteral(" with \"") + reply.Text().left(200) + QStringLiteral("\"");
    return mailerr::Error::Make(Kind::Protocol, text, reply.raw);
  }
  Kind kind = verdict == Verdict::RefusedForNow ? Kind::RefusedForNow : Kind::RefusedPermanently;
  if (c == Command::Auth) kind = Kind::Login;
  return mailerr::Error::Make(kind, reply.Text(), reply.raw).Transient(verdict == Verdict::RefusedForNow);
}

}  // namespace smtp
