#pragma once
// One ICMP echo request ("ping") with a reply time-out. Uses an unprivileged datagram ICMP socket
// where the system allows one (net.ipv4.ping_group_range) and a raw ICMP socket otherwise
// (needs root or CAP_NET_RAW). Any failure (unresolvable host, no socket, time-out, an error
// reply) counts as no answer. Blocks the calling thread for at most timeoutMs plus the name
// lookup.
#include <QString>

namespace vrl {

struct IcmpReply {
  bool success = false;      // an echo reply to our request came back
  int roundTripMs = 0;       // milliseconds from sending to the reply
  int dataSize = 0;          // bytes of data in the reply
  bool dataMatched = false;  // the reply carries exactly the data sent
  QString address;           // the address the request went to (numeric form)
};

// Sends one echo request with 32 random data bytes (values 1..255) to host (a dotted IPv4
// address, an IPv6 literal or a name, resolved with getaddrinfo, IPv4 preferred) and waits up
// to timeoutMs for the reply. out may be null. Returns out->success.
bool IcmpEcho(const QString& host, int timeoutMs = 200, IcmpReply* out = nullptr);

// Which kind of ICMP socket this process can open for the family (AF_INET or AF_INET6):
// 1 = datagram (unprivileged), 2 = raw, 0 = none. For tests and diagnostics.
int IcmpSocketKind(int family);

}  // namespace vrl
