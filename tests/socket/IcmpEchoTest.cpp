// ICMP echo to the loopback addresses, and the failures that count as no answer.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include "socket/IcmpEcho.h"

namespace {
QString NoSocketReason(int family) {
  return QStringLiteral("neither a datagram ICMP socket (net.ipv4.ping_group_range excludes this group) nor a "
                        "raw one (needs root or CAP_NET_RAW) can be opened for family %1")
      .arg(family);
}
}  // namespace

TEST(IcmpEcho, LoopbackAnswersWithTheSameData) {
  struct Case {
    const char* host;
    int family;
    const char* address;
  } cases[] = {{"127.0.0.1", AF_INET, "127.0.0.1"}, {"localhost", AF_INET, "127.0.0.1"}, {"::1", AF_INET6, "::1"}};
  int ran = 0;
  for (const auto& c : cases) {
    if (vrl::IcmpSocketKind(c.family) == 0) continue;
    vrl::IcmpReply r;
    ASSERT_TRUE(vrl::IcmpEcho(QString::fromLatin1(c.host), 2000, &r)) << c.host;
    EXPECT_TRUE(r.success) << c.host;
    EXPECT_EQ(r.dataSize, 32) << c.host;
    EXPECT_TRUE(r.dataMatched) << c.host;
    EXPECT_GE(r.roundTripMs, 0) << c.host;
    EXPECT_LE(r.roundTripMs, 2000) << c.host;
    EXPECT_EQ(r.address, c.address) << c.host;
    ++ran;
  }
  if (ran == 0) GTEST_SKIP() << NoSocketReason(AF_INET).toStdString();
}

TEST(IcmpEcho, UnresolvableHostIsNoAnswer) {
  vrl::IcmpReply r;
  r.success = true;
  EXPECT_FALSE(vrl::IcmpEcho(QStringLiteral("nohost.invalid"), 200, &r));
  EXPECT_FALSE(r.success);
  EXPECT_FALSE(vrl::IcmpEcho(QString(), 200, nullptr));
}

TEST(IcmpEcho, WorksWithoutAReplyRecord) {
  if (vrl::IcmpSocketKind(AF_INET) == 0) GTEST_SKIP() << NoSocketReason(AF_INET).toStdString();
  EXPECT_TRUE(vrl::IcmpEcho(QStringLiteral("127.0.0.1"), 2000, nullptr));
}
