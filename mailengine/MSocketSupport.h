#pragma once
// What all sockets share: the texts of the socket error numbers and the errno mapping.
#include <QString>

namespace MSocketSupport {

// Text of a socket error number (10061 -> "Connection refused.", unknown -> "Unknown error.").
QString GetErrorDescription(int errorCode);
// The socket error number for an errno value (ECONNREFUSED -> 10061, ...).
int ErrnoToWsa(int err);
// The socket error number for a getaddrinfo() failure (EAI_NONAME -> 11001, ...).
int GaiToWsa(int gaiError);

}  // namespace MSocketSupport
