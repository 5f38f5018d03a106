// Error numbers and texts, address parsing, and lookups that must stay offline.
#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>

#include "socket/MSocketSupport.h"

using namespace MSocketSupport;

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
