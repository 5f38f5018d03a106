#pragma once
// What all sockets share: the texts of the socket error numbers, the errno and getaddrinfo
// mappings, name resolution, and the host checks of the mail clients.
#include <QByteArray>
#include <QString>
#include <sys/socket.h>
#include <vector>

namespace MSocketSupport {

// Text of a socket error number (10061 -> "Connection refused.", unknown -> "Unknown error.").
QString GetErrorDescription(int errorCode);
// The socket error number for an errno value (ECONNREFUSED -> 10061, ...). An errno without a
// counterpart maps to 10107 ("System call failure.").
int ErrnoToWsa(int err);
// The socket error number for a getaddrinfo() failure (EAI_NONAME -> 11001, ...). EAI_SYSTEM
// maps through the errno value given.
int GaiToWsa(int gaiError, int sysErrno = 0);

// One socket address as getaddrinfo returns it.
struct SockAddr {
  sockaddr_storage ss{};
  socklen_t len = 0;
  int family() const { return ss.ss_family; }
};

// Numeric form of an address ("127.0.0.1", "::1"), without port.
QString AddressToString(const SockAddr& addr);
// Sets the port of an IPv4 or IPv6 address.
void SetPort(SockAddr& addr, quint16 port);
quint16 PortOf(const SockAddr& addr);

// Parses a numeric IPv4 (dotted) or IPv6 address, brackets allowed ("[::1]"); no lookup.
bool ParseNumericHost(const QString& host, SockAddr* out);

// Blocking lookup of a host's addresses in the order getaddrinfo gives them (family AF_UNSPEC,
// AF_INET or AF_INET6). Names under the reserved top-level domain "invalid" fail at once without
// asking any name server. Returns 0 or a socket error number (11001 for an unknown host).
// Safe to call from any thread.
int ResolveHost(const QString& host, int family, std::vector<SockAddr>* out);

// The host checks of the mail clients. IsValidHostSyntax: a dotted IPv4 address (first part
// below 240), or a name whose last label is a known top-level domain. FirstAddress: blocking
// lookup, the first IPv4 address, else the first address, "" on failure. LocalHostName: this
// machine's name, "" when it has none.
bool IsValidHostSyntax(const QString& host);
QString FirstAddress(const QString& host);
QString LocalHostName();

// Tests replace the lookup (called on the resolving thread; returns 0 or a socket error number).
// Null restores getaddrinfo.
using ResolverHook = int (*)(const QByteArray& host, std::vector<SockAddr>* out);
void SetResolverForTesting(ResolverHook hook);

// Background name lookups of sockets that have not finished yet (for tests).
int ResolutionsInFlight();

}  // namespace MSocketSupport
