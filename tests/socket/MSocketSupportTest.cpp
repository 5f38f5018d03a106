// Error texts, errno and getaddrinfo mappings, address helpers and the offline lookups.
#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

#include "socket/MSocketSupport.h"

using namespace MSocketSupport;

TEST(MSocketSupport, ErrorTexts) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {10004, "Interrupted function call."},
      {10013, "Permission denied."},
      {10035, "Resource temporarily unavailable."},
      {10047, "Address family not supported by protocol family."},
      {10049, "Cannot assign requested address."},
      {10053, "Software caused connection abort."},
      {10054, "Connection reset by peer."},
      {10058, "Cannot send after socket shutdown."},
      {10060, "Connection timed out."},
      {10061, "Connection refused."},
      {10065, "No route to host."},
      {10092, "Winsock.dll version out of range."},
      {10109, "Class type not found."},
      {11001, "Host not found."},
      {11002, "Nonauthoritative host not found."},
      {11003, "This is a nonrecoverable error."},
      {11004, "Valid name, no data record of requested type."},
      {0, "Unknown error."},
      {10059, "Unknown error."},
      {40006, "Unknown error."},
      {-1, "Unknown error."},
  };
  for (const auto& c : cases) EXPECT_EQ(GetErrorDescription(c.code), c.text) << c.code;
}

TEST(MSocketSupport, EveryMappedErrnoHasAText) {
  for (int e = 1; e < 140; ++e) {
    const int code = ErrnoToWsa(e);
    EXPECT_NE(GetErrorDescription(code), "Unknown error.") << "errno " << e << " -> " << code;
  }
}

TEST(MSocketSupport, ErrnoMapping) {
  struct Case {
    int err;
    int code;
  } cases[] = {
      {0, 0},
      {EINTR, 10004},         {EACCES, 10013},       {EPERM, 10013},         {EINVAL, 10022},
      {EMFILE, 10024},        {EAGAIN, 10035},       {EWOULDBLOCK, 10035},   {EINPROGRESS, 10036},
      {EALREADY, 10037},      {EBADF, 10038},        {ENOTSOCK, 10038},      {EMSGSIZE, 10040},
      {EAFNOSUPPORT, 10047},  {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
      {ENETUNREACH, 10051},   {ENETRESET, 10052},    {ECONNABORTED, 10053},  {ECONNRESET, 10054},
      {ENOBUFS, 10055},       {EISCONN, 10056},      {ENOTCONN, 10057},      {EPIPE, 10058},
      {ESHUTDOWN, 10058},     {ETIMEDOUT, 10060},    {ECONNREFUSED, 10061},  {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},  {ENOENT, 10107},       {EIO, 10107},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrnoToWsa(c.err), c.code) << "errno " << c.err;
}

TEST(MSocketSupport, LookupFailureMapping) {
  struct Case {
    int gai;
    int sysErrno;
    int code;
  } cases[] = {
      {0, 0, 0},
      {EAI_NONAME, 0, 11001},
      {EAI_NODATA, 0, 11001},
      {EAI_ADDRFAMILY, 0, 11001},
      {EAI_AGAIN, 0, 11002},
      {EAI_FAIL, 0, 11003},
      {EAI_MEMORY, 0, 10055},
      {EAI_FAMILY, 0, 10047},
      {EAI_SERVICE, 0, 10109},
      {EAI_SYSTEM, ETIMEDOUT, 10060},
      {EAI_SYSTEM, 0, 10107},
      {-12345, 0, 11003},
  };
  for (const auto& c : cases) EXPECT_EQ(GaiToWsa(c.gai, c.sysErrno), c.code) << "gai " << c.gai;
}

TEST(MSocketSupport, NumericHosts) {
  struct Case {
    const char* host;
    bool numeric;
    int family;
    const char* text;
  } cases[] = {
      {"127.0.0.1", true, AF_INET, "127.0.0.1"},
      {" 10.1.2.3 ", true, AF_INET, "10.1.2.3"},
      {"::1", true, AF_INET6, "::1"},
      {"[::1]", true, AF_INET6, "::1"},
      {"fe80::1%lo", true, AF_INET6, "fe80::1"},
      {"256.1.1.1", false, 0, ""},
      {"127.1", false, 0, ""},
      {"localhost", false, 0, ""},
      {"", false, 0, ""},
      {"[]", false, 0, ""},
      {"mail.example.org", false, 0, ""},
  };
  for (const auto& c : cases) {
    SockAddr a;
    ASSERT_EQ(ParseNumericHost(QString::fromLatin1(c.host), &a), c.numeric) << c.host;
    if (!c.numeric) continue;
    EXPECT_EQ(a.family(), c.family) << c.host;
    EXPECT_EQ(AddressToString(a), c.text) << c.host;
    SetPort(a, 995);
    EXPECT_EQ(PortOf(a), 995) << c.host;
  }
}

TEST(MSocketSupport, ResolveHostStaysOffline) {
  std::vector<SockAddr> out;
  // Reserved names fail without a query.
  for (const char* h : {"nohost.invalid", "INVALID", "a.b.invalid.", ""}) {
    EXPECT_EQ(ResolveHost(QString::fromLatin1(h), AF_UNSPEC, &out), 11001) << h;
    EXPECT_TRUE(out.empty()) << h;
  }
  EXPECT_EQ(ResolveHost(QStringLiteral("127.0.0.1"), AF_UNSPEC, &out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(AddressToString(out[0]), "127.0.0.1");
  EXPECT_EQ(ResolveHost(QStringLiteral("127.0.0.1"), AF_INET6, &out), 11001);
  // localhost comes from the hosts file.
  ASSERT_EQ(ResolveHost(QStringLiteral("localhost"), AF_INET, &out), 0);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(AddressToString(out[0]), "127.0.0.1");
}
