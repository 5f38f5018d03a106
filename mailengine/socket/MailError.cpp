#include "socket/MailError.h"

namespace mailerr {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::None: return "none";
    case Kind::Connection: return "connection";
    case Kind::Timeout: return "time-out";
    case Kind::Tls: return "TLS";
    case Kind::Login: return "login";
    case Kind::RefusedPermanently: return "refused permanently";
    case Kind::RefusedForNow: return "refused for now";
    case Kind::Protocol: return "protocol";
    case Kind::Input: return "input";
    case Kind::Local: return "local";
  }
  return "?";
}

}  // namespace mailerr
