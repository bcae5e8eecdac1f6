#include "agent/velmorainfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace hxt {
namespace {

// One getter call on the IPv4 white list and what it must produce.
struct Step {
  bool first;
  u32 size;  // 0 with `null` means a null buffer
  bool truncate;
  bool result;
  const char* text;  // expected buffer content when result is true
  bool null = false;
};

TEST(VelmoraInfo, WhiteListCursorAndTruncation) {
  // "ab" is 2 bytes, "abcdef" 6, "xyz" 3.
  const std::vector<Step> steps = {
      {false, 8, false, true, "ab"},           // next before first reads from the start
      {true, 2, false, false, nullptr},        // length == size: no room for the terminator
      {false, 6, false, false, nullptr},       // the failure left the cursor on "abcdef"; 6 >= 6
      {false, 7, false, true, "abcdef"},       // length == size - 1 fits
      {false, 0, true, false, nullptr, true},  // null buffer, even with truncation
      {false, 0, true, false, nullptr},        // no room at all, even with truncation
      {false, 3, true, true, "xy"},            // truncated to size - 1
      {false, 8, true, false, nullptr},        // at the end
      {true, 8, false, true, "ab"},            // first starts over
      {true, 1, true, true, ""},               // only the terminator fits
      {false, 4, true, true, "abc"},
  };
  CVelmoraInfo info = CVelmoraInfo::WhiteLists({"ab", "abcdef", "xyz"}, {});
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    char* target = s.null ? nullptr : buffer;
    bool result = s.first ? info.GetFirstWhiteList4Entry(target, s.size, s.truncate)
                          : info.GetNextWhiteList4Entry(target, s.size, s.truncate);
    ASSERT_EQ(result, s.result);
    if (result) {
      EXPECT_STREQ(buffer, s.text);
    } else {
      EXPECT_EQ(buffer[0], '#') << "a failed read copied something";
    }
  }
  char buffer[8];
  EXPECT_FALSE(info.GetFirstWhiteList6Entry(buffer, sizeof buffer, true)) << "the IPv6 list is its own";
}

TEST(VelmoraInfo, ResolversPadIpv4AndCopyIpv6Whole) {
  IpAddressRecord v4{
      HXT_AF_INET, {192, 168, 1, 1, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};
  IpAddressRecord v6{HXT_AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}};
  CVelmoraInfo info = CVelmoraInfo::Resolvers({v4, v6}, {v6});

  IpAddressRecord out;
  std::memset(&out, 0xaa, sizeof out);
  ASSERT_TRUE(info.GetFirstResolver4(&out));
  const u8 padded[16] = {192, 168, 1, 1};
  EXPECT_EQ(out.family, HXT_AF_INET);
  EXPECT_EQ(std::memcmp(out.address, padded, sizeof padded), 0);
  EXPECT_FALSE(info.GetNextResolver4(nullptr));
  // A family other than IPv4 is copied whole, whichever list it sits in.
  ASSERT_TRUE(info.GetNextResolver4(&out));
  EXPECT_EQ(std::memcmp(&out, &v6, sizeof out), 0);
  EXPECT_FALSE(info.GetNextResolver4(&out));

  ASSERT_TRUE(info.GetFirstResolver6(&out));
  EXPECT_EQ(std::memcmp(&out, &v6, sizeof out), 0);
  EXPECT_FALSE(info.GetNextResolver6(&out));
}

TEST(VelmoraInfo, IgnoredPidsAndListenerPorts) {
  CVelmoraInfo info = CVelmoraInfo::Pids(77, {3, 5});
  u32 pid = 0;
  EXPECT_FALSE(info.GetFirstIgnoredPid(nullptr));
  EXPECT_TRUE(info.GetNextIgnoredPid(&pid) && pid == 3u);
  EXPECT_TRUE(info.GetNextIgnoredPid(&pid) && pid == 5u);
  EXPECT_FALSE(info.GetNextIgnoredPid(&pid));
  EXPECT_TRUE(info.GetFirstIgnoredPid(&pid) && pid == 3u);

  CVelmoraInfo ports = CVelmoraInfo::PortsOnly({1001, 1002, 1003, 1004});
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET, 17), 1001);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET6, 17), 1002);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET, 6), 1003);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET6, 6), 1004);
  EXPECT_EQ(ports.GetListenerPort(0, 0), 1003);
  EXPECT_EQ(ports.GetListenerPort(10, 17), 1001) << "Linux's own AF_INET6 is not the filter's 23";
}

}  // namespace
}  // namespace hxt
