#include "socket/IcmpEcho.h"

#include "socket/MSocketSupport.h"

#include <QRandomGenerator>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vrl {

namespace {

constexpr int kDataSize = 32;
constexpr int kHeaderSize = 8;  // type, code, checksum, identifier, sequence
constexpr uint8_t kEchoRequest4 = 8, kEchoReply4 = 0;
constexpr uint8_t kEchoRequest6 = 128, kEchoReply6 = 129;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

uint16_t Checksum(const uint8_t* data, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += (uint32_t(data[i]) << 8) | data[i + 1];
  if (len & 1) sum += uint32_t(data[len - 1]) << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Opens an ICMP socket of the family: the unprivileged datagram kind first, raw as fallback.
// kind receives 1 (datagram) or 2 (raw).
int OpenIcmpSocket(int family, int* kind) {
  const int proto = family == AF_INET6 ? int(IPPROTO_ICMPV6) : int(IPPROTO_ICMP);
  int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, proto);
  if (fd >= 0) {
    *kind = 1;
    return fd;
  }
  fd = ::socket(family, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, proto);
  if (fd >= 0) {
    *kind = 2;
    return fd;
  }
  *kind = 0;
  return -1;
}

bool SameHost(const sockaddr_storage& a, const MSocketSupport::SockAddr& b) {
  if (a.ss_family != b.family()) return false;
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b.ss).sin_addr.s_addr;
  return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                     &reinterpret_cast<const sockaddr_in6&>(b.ss).sin6_addr, sizeof(in6_addr)) == 0;
}

}  // namespace

int IcmpSocketKind(int family) {
  int kind = 0;
  Fd s{OpenIcmpSocket(family, &kind)};
  return kind;
}

bool IcmpEcho(const QString& host, int timeoutMs, IcmpReply* out) {
  IcmpReply local;
  IcmpReply& r = out ? *out : local;
  r = IcmpReply();
  if (timeoutMs < 1) timeoutMs = 1;

  std::vector<MSocketSupport::SockAddr> addrs;
  if (MSocketSupport::ResolveHost(host, AF_UNSPEC, &addrs) != 0 || addrs.empty()) return false;
  // IPv4 first: the address a mail server is most likely to answer pings on.
  MSocketSupport::SockAddr target = addrs.front();
  for (const auto& a : addrs)
    if (a.family() == AF_INET) {
      target = a;
      break;
    }
  MSocketSupport::SetPort(target, 0);
  r.address = MSocketSupport::AddressToString(target);
  const bool v6 = target.family() == AF_INET6;

  int kind = 0;
  Fd s{OpenIcmpSocket(target.family(), &kind)};
  if (s.fd < 0) return false;

  auto* rng = QRandomGenerator::global();
  const uint16_t ident = static_cast<uint16_t>(rng->bounded(1, 65536));
  const uint16_t seq = static_cast<uint16_t>(rng->bounded(1, 65536));
  uint8_t packet[kHeaderSize + kDataSize] = {};
  packet[0] = v6 ? kEchoRequest6 : kEchoRequest4;
  packet[4] = ident >> 8;
  packet[5] = ident & 0xff;
  packet[6] = seq >> 8;
  packet[7] = seq & 0xff;
  for (int i = 0; i < kDataSize; ++i) packet[kHeaderSize + i] = static_cast<uint8_t>(rng->bounded(1, 256));
  if (!v6) {  // the kernel fills in the ICMPv6 checksum itself
    const uint16_t sum = Checksum(packet, sizeof packet);
    packet[2] = sum >> 8;
    packet[3] = sum & 0xff;
  }

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(timeoutMs);
  ssize_t sent;
  do {
    sent = ::sendto(s.fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&target.ss), target.len);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof packet)) return false;

  uint8_t buf[2048];
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    const int waitMs = static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    pollfd p{s.fd, POLLIN, 0};
    const int pr = ::poll(&p, 1, waitMs);
    if (pr < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (pr == 0) return false;

    sockaddr_storage from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = ::recvfrom(s.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    const uint8_t* icmp = buf;
    ssize_t len = n;
    if (kind == 2 && !v6) {  // raw IPv4 sockets hand over the IP header too
      if (len < 20) continue;
      const int ihl = (buf[0] & 0x0f) * 4;
      if (ihl < 20 || len < ihl) continue;
      icmp += ihl;
      len -= ihl;
    }
    if (len < kHeaderSize) continue;
    if (icmp[0] != (v6 ? kEchoReply6 : kEchoReply4) || icmp[1] != 0) continue;
    const uint16_t rseq = static_cast<uint16_t>((icmp[6] << 8) | icmp[7]);
    if (rseq != seq) continue;
    if (kind == 2) {  // a raw socket sees every reply of the machine: keep only ours
      const uint16_t rid = static_cast<uint16_t>((icmp[4] << 8) | icmp[5]);
      if (rid != ident || !SameHost(from, target)) continue;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    r.success = true;
    r.roundTripMs = static_cast<int>(elapsed.count());
    r.dataSize = static_cast<int>(len - kHeaderSize);
    r.dataMatched = r.dataSize == kDataSize && std::memcmp(icmp + kHeaderSize, packet + kHeaderSize, kDataSize) == 0;
    return true;
  }
}

}  // namespace vrl
