// ICMP echo to the loopback addresses (Test_Com's tests cover the unresolvable host).
#include <gtest/gtest.h>

#include <netinet/in.h>

#include "socket/IcmpEcho.h"

TEST(IcmpEcho, LoopbackAnswersWithTheSameData) {
  const struct {
    const char* host;
    int family;
    const char* address;
  } cases[] = {{"localhost", AF_INET, "127.0.0.1"}, {"::1", AF_INET6, "::1"}};
  for (const auto& c : cases) {
    if (vrl::IcmpSocketKind(c.family) == 0) continue;  // ping_group_range excludes us, no CAP_NET_RAW
    vrl::IcmpReply r;
    ASSERT_TRUE(vrl::IcmpEcho(QString::fromLatin1(c.host), 2000, &r)) << c.host;
    EXPECT_TRUE(r.success && r.dataMatched) << c.host;
    EXPECT_EQ(r.dataSize, 32) << c.host;
    EXPECT_EQ(r.address, c.address) << c.host;
  }
  EXPECT_FALSE(vrl::IcmpEcho(QString(), 200, nullptr));
}
