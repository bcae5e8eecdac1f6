#include "agent/velmoracontextcache.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/redirectclient.h"

namespace hxt {
namespace {

test::Bytes Header(u32 requesterFamily) {
  auto requester = test::FilterSocketAddress(
      requesterFamily, requesterFamily == kAddressFamilyIPv6 ? "::1" : "127.0.0.1", 4000);
  auto destination = test::FilterSocketAddress(kAddressFamilyIPv4, "192.0.2.1", 53);
  return test::RedirectedMessage(requester, destination, test::DnsBytes(4));
}

TEST(ContextCache, IdsRunOnAndAreNeverReused) {
  CVelmoraContextCache cache;
  auto header = Header(kAddressFamilyIPv4);
  u32 first = cache.Add(header.data(), nullptr, true);
  u32 second = cache.Add(header.data(), nullptr, true);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, first + 1);
  std::size_t remaining = 9;
  EXPECT_TRUE(cache.Erase(first, remaining));
  EXPECT_EQ(remaining, 1u);
  EXPECT_FALSE(cache.Erase(first, remaining));
  EXPECT_EQ(remaining, 1u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), second + 1);
  EXPECT_EQ(cache.RemoveAll(), 2u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), second + 2);
}

TEST(ContextCache, StoresHeaderSessionAndKindAndCopiesThemOut) {
  CVelmoraContextCache cache;
  auto header = Header(kAddressFamilyIPv6);
  u32 id = cache.Add(header.data(), nullptr, false);
  RequestContext context;
  ASSERT_TRUE(cache.Find(id, context));
  EXPECT_TRUE(std::equal(context.header.begin(), context.header.end(), header.begin()));
  EXPECT_EQ(context.session, 0u);
  EXPECT_FALSE(context.isUdp);
  EXPECT_TRUE(cache.SetSession(id, 555));
  EXPECT_EQ(context.session, 0u);  // a copy, not a view
  ASSERT_TRUE(cache.Find(id, context));
  EXPECT_EQ(context.session, 555u);
  EXPECT_FALSE(cache.SetSession(id + 1, 1));
  EXPECT_FALSE(cache.Find(id + 1, context));
}

TEST(ContextCache, RemovesOneFamilyAndCountsByTransport) {
  CVelmoraContextCache cache;
  auto v4 = Header(kAddressFamilyIPv4);
  auto v6 = Header(kAddressFamilyIPv6);
  auto other = Header(7);
  u32 keep6 = cache.Add(v6.data(), nullptr, true);
  cache.Add(v4.data(), nullptr, true);
  cache.Add(v4.data(), nullptr, false);
  cache.Add(v4.data(), nullptr, true);
  u32 keepOther = cache.Add(other.data(), nullptr, false);
  u32 tcp = 9, udp = 9;
  EXPECT_TRUE(cache.RemoveForFamily(kAddressFamilyIPv4, tcp, udp));
  EXPECT_EQ(tcp, 1u);
  EXPECT_EQ(udp, 2u);
  EXPECT_EQ(cache.Size(), 2u);
  RequestContext context;
  EXPECT_TRUE(cache.Find(keep6, context));
  EXPECT_TRUE(cache.Find(keepOther, context));
  EXPECT_FALSE(cache.RemoveForFamily(kAddressFamilyIPv4, tcp, udp));
  EXPECT_EQ(tcp + udp, 0u);
}

}  // namespace
}  // namespace hxt
