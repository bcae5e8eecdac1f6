// Transparent mode's pure pieces: the rule script, and reading capabilities,
// cgroups and mounts from /proc texts.
#include <gtest/gtest.h>

#include "daemon/nftables.h"
#include "daemon/transparenthost.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;

TEST(TransparentRulesTest, ScriptsRedirectOnlyWhatIsAskedAndExemptFirst) {
  const std::string flush = "flush chain inet hxsockfilterd output\n";
  const std::string add = "add rule inet hxsockfilterd output ";
  const std::string own = add + "meta mark 0x48584454 return\n";
  NftRules udp4;
  udp4.v4 = {true, false, 4000, 4001, {}, {}};
  udp4.exempt = {{2, "system.slice/a.service"}};
  NftRules both = udp4;
  both.v6 = {true, true, 5000, 5001, {"2001:db8::53"}, {}};
  both.v4.resolvers = {"192.0.2.53", "198.51.100.53"};
  // Link-local DNS goes to the machine's own address on the interface; a
  // name nft or the kernel would not take is left out.
  NftRules linkLocal;
  linkLocal.v6 = {true, false, 5000, 5001, {}, {{"wlan0", {0xfe, 0x80}, 6000, 6001}}};
  linkLocal.v6.linkLocal[0].address[15] = 0x53;
  for (const char* bad : {"a\" return", "a b", "a/b", "..", "sixteen-bytes-xx"})
    linkLocal.v6.linkLocal.push_back({bad, {}, 1, 1});
  NftRules exemptOnly;
  exemptOnly.exempt = udp4.exempt;
  const struct {
    const char* what;
    NftRules rules;
    std::string script;
  } cases[] = {
      {"nothing redirected: an empty chain", NftRules(), flush},
      {"exemptions without a redirection are left out", exemptOnly, flush},
      {"one family, one transport; resolvers on loopback are not taken", udp4,
       flush + own + add + "socket cgroupv2 level 2 \"system.slice/a.service\" return\n" + add +
           "meta nfproto ipv4 ip daddr 127.0.0.0/8 return\n" + add +
           "meta nfproto ipv4 udp dport 53 redirect to :4000\n"},
      {"resolvers to include narrow the redirection; loopback and link-local ones never are", both,
       flush + own + add + "socket cgroupv2 level 2 \"system.slice/a.service\" return\n" + add +
           "meta nfproto ipv4 ip daddr 127.0.0.0/8 return\n" + add +
           "meta nfproto ipv4 ip daddr { 192.0.2.53, 198.51.100.53 } udp dport 53 redirect to :4000\n" + add +
           "meta nfproto ipv6 ip6 daddr ::1 return\n" + add +
           "meta nfproto ipv6 ip6 daddr fe80::/10 return\n" + add +
           "meta nfproto ipv6 ip6 daddr { 2001:db8::53 } udp dport 53 redirect to :5000\n" + add +
           "meta nfproto ipv6 ip6 daddr { 2001:db8::53 } tcp dport 53 redirect to :5001\n"},
      {"link-local resolvers are taken to the listeners on the interface's own address", linkLocal,
       flush + own + add + "meta nfproto ipv6 ip6 daddr ::1 return\n" + add +
           "meta nfproto ipv6 oifname \"wlan0\" ip6 daddr fe80::/10 udp dport 53 dnat ip6 to "
           "[fe80::53]:6000\n" +
           add + "meta nfproto ipv6 ip6 daddr fe80::53 udp dport 53 dnat ip6 to [fe80::53]:6000\n" + add +
           "meta nfproto ipv6 ip6 daddr fe80::/10 return\n" + add +
           "meta nfproto ipv6 udp dport 53 redirect to :5000\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildRuleScript(c.rules), c.script) << c.what;
  // An exemption nft cannot quote would let a cgroup's name write rules; the
  // chain stays empty instead.
  NftRules hostile = udp4;
  hostile.exempt.push_back({1, "x\" return; add table ip evil { }; #"});
  EXPECT_EQ(BuildRuleScript(hostile), flush);
  EXPECT_NE(BuildTableScript().find("add table inet hxsockfilterd { flags owner; }"), std::string::npos);
}

TEST(TransparentHostTest, CgroupsMapToLevelAndNftPathAndTheRootIsRefused) {
  const struct {
    const char* mount;
    const char* path;
    u32 level;  // 0: refused
    const char* nftPath;
  } cases[] = {
      {"/sys/fs/cgroup", "/system.slice/hxtarrowagent.service", 2, "system.slice/hxtarrowagent.service"},
      {"/sys/fs/cgroup/unified", "/a//b/", 2, "unified/a/b"},
      {"/mnt/cg2", "/a", 1, "../../../mnt/cg2/a"},
      {"/sys/fs/cgroup", "/", 0, ""},
      {"/sys/fs/cgroup", "", 0, ""},
      {"/sys/fs/cgroup", "/a/../b", 0, ""},
      // Names the kernel allows but nft cannot take between quotes.
      {"/sys/fs/cgroup", "/user.slice/x\" return\nadd table ip evil { }\n\"", 0, ""},
      {"/sys/fs/cgroup", "/a\"b", 0, ""},
      {"/sys/fs/cgroup", "/tab\there", 0, ""},
      {"/mnt/c\"g", "/a", 0, ""},
      {"/sys/fs/cgroup", "/odd 'name' $x {y}", 1, "odd 'name' $x {y}"},
  };
  for (const auto& c : cases) {
    auto cgroup = CgroupExemption(c.mount, c.path);
    ASSERT_EQ(cgroup.has_value(), c.level != 0) << c.path;
    if (cgroup) {
      EXPECT_EQ(cgroup->level, c.level) << c.path;
      EXPECT_EQ(cgroup->nftPath, c.nftPath) << c.path;
    }
  }
}

TEST(TransparentHostTest, ProcTextsGiveCgroupMountAndCapability) {
  EXPECT_EQ(CgroupFromProcText("12:pids:/x\n0::/user.slice/s.scope\n"),
            std::optional<std::string>("/user.slice/s.scope"));
  EXPECT_EQ(CgroupFromProcText("4:memory:/x\n"), std::nullopt);
  const std::string hybrid =
      "30 24 0:26 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
      "41 30 0:36 / /sys/fs/cgroup/unified rw,nosuid - cgroup2 cgroup2 rw\n";
  EXPECT_EQ(Cgroup2MountFromMountinfo(hybrid), std::optional<std::string>("/sys/fs/cgroup/unified"));
  EXPECT_EQ(Cgroup2MountFromMountinfo("30 24 0:26 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"), std::nullopt);
  EXPECT_TRUE(StatusHasNetAdmin("Name:\tx\nCapEff:\t000001ffffffffff\n"));
  EXPECT_FALSE(StatusHasNetAdmin("CapEff:\t0000000000000400\n"));  // CAP_NET_BIND_SERVICE only
  EXPECT_FALSE(StatusHasNetAdmin("Name:\tx\n"));
}

}  // namespace
}  // namespace hxt::test
