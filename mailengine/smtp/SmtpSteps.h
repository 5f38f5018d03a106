#pragma once
// The commands of an SMTP session and what each reply means for the command it answers: the
// codes a command may get (RFC 5321, section 4.3.2), judged by the client before anything else.
#include "smtp/SmtpReply.h"
#include "socket/MailError.h"

namespace smtp {

enum class Command { Greeting, Helo, Ehlo, StartTls, Auth, MailFrom, RcptTo, Data, EndOfData, Quit };

enum class Verdict {
  Done,                // the command succeeded
  Continue,            // 334 to AUTH (a challenge), 354 to DATA (send the message)
  RefusedForNow,       // 4xx
  RefusedPermanently,  // 5xx
  WrongCode,           // a code this command cannot get, or no code at all
};

Verdict Judge(Command command, const Reply& reply);
// The command as the server sees it ("MAIL FROM", "the greeting").
const char* CommandName(Command command);
// The error for a reply that is not Done or Continue; the description is the reply's text, or
// for a wrong code a sentence naming the command and the reply.
mailerr::Error ErrorFor(Command command, Verdict verdict, const Reply& reply);

}  // namespace smtp
