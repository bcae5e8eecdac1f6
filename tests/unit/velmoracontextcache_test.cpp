#include "agent/velmoracontextcache.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/redirectclient.h"

namespace hxt {
namespace {

test::Bytes Header(u32 requesterFamily) {
  return test::RedirectedMessage(
      test::FilterSocketAddress(requesterFamily, requesterFamily == kAddressFamilyIPv6 ? "::1" : "127.0.0.1",
                                4000),
      test::FilterSocketAddress(kAddressFamilyIPv4, "192.0.2.1", 53), test::DnsBytes(4));
}

TEST(ContextCache, IdsRunOnAndAreNeverReusedAndContextsAreCopiedOut) {
  CVelmoraContextCache cache;
  auto header = Header(kAddressFamilyIPv6);
  const u32 first = cache.Add(header.data(), nullptr, false);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), 2u);
  EXPECT_TRUE(cache.SetSession(2, 42));
  std::size_t remaining = 9;
  EXPECT_TRUE(cache.Erase(2, remaining));
  EXPECT_EQ(remaining, 1u);
  EXPECT_FALSE(cache.Erase(2, remaining));
  EXPECT_EQ(remaining, 1u);
  // The next context takes the finished one's place in memory, none of its fields.
  auto v4 = Header(kAddressFamilyIPv4);
  EXPECT_EQ(cache.Add(v4.data(), nullptr, true), 3u);
  RequestContext context;
  ASSERT_TRUE(cache.Find(3, context));
  EXPECT_TRUE(std::equal(context.header.begin(), context.header.end(), v4.begin()));
  EXPECT_EQ(context.session, 0u);

  ASSERT_TRUE(cache.Find(first, context));
  EXPECT_TRUE(std::equal(context.header.begin(), context.header.end(), header.begin()));
  EXPECT_EQ(context.session, 0u);
  EXPECT_FALSE(context.isUdp);
  EXPECT_TRUE(cache.SetSession(first, 555));
  EXPECT_EQ(context.session, 0u);  // a copy, not a view
  ASSERT_TRUE(cache.Find(first, context));
  EXPECT_EQ(context.session, 555u);
  EXPECT_FALSE(cache.SetSession(2, 1));
  EXPECT_FALSE(cache.Find(2, context));

  EXPECT_EQ(cache.RemoveAll(), 2u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), 4u);
}

TEST(ContextCache, RemovesOneFamilyAndCountsByTransport) {
  CVelmoraContextCache cache;
  auto v4 = Header(kAddressFamilyIPv4), v6 = Header(kAddressFamilyIPv6), other = Header(7);
  const u32 keep6 = cache.Add(v6.data(), nullptr, true);
  for (bool udp : {true, false, true}) cache.Add(v4.data(), nullptr, udp);
  const u32 keepOther = cache.Add(other.data(), nullptr, false);
  u32 tcp = 9, udp = 9;
  EXPECT_TRUE(cache.RemoveForFamily(kAddressFamilyIPv4, tcp, udp));
  EXPECT_EQ(tcp, 1u);
  EXPECT_EQ(udp, 2u);
  EXPECT_EQ(cache.Size(), 2u);
  RequestContext context;
  EXPECT_TRUE(cache.Find(keep6, context) && cache.Find(keepOther, context));
  EXPECT_FALSE(cache.RemoveForFamily(kAddressFamilyIPv4, tcp, udp));
  EXPECT_EQ(tcp + udp, 0u);
}

TEST(RedirectHeader, AddressTextRoundTrips) {
  for (const char* v4 : {"0.0.0.0", "9.10.99.100", "192.0.2.1", "255.255.255.255"})
    EXPECT_EQ(SocketAddressText(test::FilterSocketAddress(kAddressFamilyIPv4, v4, 53).data()), v4);
  EXPECT_EQ(SocketAddressText(test::FilterSocketAddress(kAddressFamilyIPv6, "2001:db8::1", 53).data()),
            "2001:db8::1");
  EXPECT_EQ(SocketAddressText(test::FilterSocketAddress(7, "0.0.0.0", 53).data()), "");
}

}  // namespace
}  // namespace hxt
