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
  // What is not numeric goes to the resolver ("127.1" too); the connect tests cover the rest.
  SockAddr a;
  for (const char* host : {"256.1.1.1", "127.1", "[]", "localhost"})
    EXPECT_FALSE(ParseNumericHost(QString::fromLatin1(host), &a)) << host;
  ASSERT_TRUE(ParseNumericHost(QStringLiteral(" fe80::1%lo "), &a));
  EXPECT_EQ(AddressToString(a), "fe80::1");
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
