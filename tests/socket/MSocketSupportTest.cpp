// Error numbers and texts, address parsing, and lookups that must stay offline.
#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

#include "socket/MSocketSupport.h"

using namespace MSocketSupport;

TEST(MSocketSupport, EveryMappedErrnoHasAText) {
  for (int e = 1; e < 140; ++e) {
    const int code = ErrnoToWsa(e);
    EXPECT_NE(GetErrorDescription(code), "Unknown error.") << "errno " << e << " -> " << code;
  }
}

TEST(MSocketSupport, LookupFailuresTellTemporaryFromPermanent) {
  EXPECT_EQ(GaiToWsa(EAI_NONAME, 0), 11001);
  EXPECT_EQ(GaiToWsa(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(GaiToWsa(EAI_FAIL, 0), 11003);
  EXPECT_EQ(GaiToWsa(EAI_SYSTEM, ETIMEDOUT), 10060);
}

TEST(MSocketSupport, NumericHosts) {
  const struct {
    const char* host;
    int family;  // 0: not numeric
    const char* text;
  } cases[] = {
      {" 10.1.2.3 ", AF_INET, "10.1.2.3"}, {"[::1]", AF_INET6, "::1"}, {"fe80::1%lo", AF_INET6, "fe80::1"},
      {"256.1.1.1", 0, ""},               {"127.1", 0, ""},           {"[]", 0, ""},
      {"localhost", 0, ""},
  };
  for (const auto& c : cases) {
    SockAddr a;
    ASSERT_EQ(ParseNumericHost(QString::fromLatin1(c.host), &a), c.family != 0) << c.host;
    if (c.family == 0) continue;
    EXPECT_EQ(a.family(), c.family) << c.host;
    EXPECT_EQ(AddressToString(a), c.text) << c.host;
    SetPort(a, 995);
    EXPECT_EQ(PortOf(a), 995) << c.host;
  }
}

TEST(MSocketSupport, ResolveHostStaysOffline) {
  std::vector<SockAddr> out;
  // Reserved names fail without a query.
  for (const char* h : {"nohost.invalid", "a.b.invalid.", ""}) {
    EXPECT_EQ(ResolveHost(QString::fromLatin1(h), AF_UNSPEC, &out), 11001) << h;
    EXPECT_TRUE(out.empty()) << h;
  }
  EXPECT_EQ(ResolveHost(QStringLiteral("127.0.0.1"), AF_INET6, &out), 11001);
  ASSERT_EQ(ResolveHost(QStringLiteral("localhost"), AF_INET, &out), 0);  // from the hosts file
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(AddressToString(out[0]), "127.0.0.1");
}
