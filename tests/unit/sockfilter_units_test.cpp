// The socket filter's pure pieces: DNS name reading and white lists, error answers, endpoint and resolv.conf
// parsing, the control protocol's framing and parameter records, transparent mode's rule script and its
// reading of capabilities, cgroups and mounts from /proc texts, and who asked: the /proc socket-link parser,
// the inode -> pid map over a made-up /proc, the bounded program table and the blocked-answer test, over UDP
// and in a TCP stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <tuple>

#include "common/controlproto.h"
#include "daemon/attribution.h"
#include "daemon/dnsmessage.h"
#include "daemon/dnstcpframer.h"
#include "daemon/nftables.h"
#include "daemon/socketowner.h"
#include "daemon/sockfilterconfig.h"
#include "daemon/transparenthost.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;
namespace asio = boost::asio;

TEST(DnsMessageTest, ReadsTheQuestionNameAndRefusesWhatIsNotOne) {
  std::string name;
  const Bytes query = MakeQuery("WWW.Example.COM", 1);
  ASSERT_TRUE(ReadQueryName(query.data(), query.size(), name));
  EXPECT_EQ(name, "www.example.com");
  Bytes noQuestion = query, labelPastEnd = query, selfPointer = MakeQuery("a", 1);
  noQuestion[5] = 0;
  labelPastEnd[12] = 60;
  selfPointer[12] = 0xC0;  // a pointer to itself must not loop
  selfPointer[13] = 12;
  const Bytes typeAndClassCut(query.begin(), query.end() - 3), headerCut(query.begin(), query.begin() + 11);
  // A label holding a dot or a control byte could pose as another name.
  Bytes dotted = MakeQuery("ab.test", 1), control = dotted;
  dotted[14] = '.';
  control[14] = 0x01;
  for (const Bytes& bad :
       {noQuestion, labelPastEnd, selfPointer, typeAndClassCut, headerCut, dotted, control})
    EXPECT_FALSE(ReadQueryName(bad.data(), bad.size(), name));
}

TEST(DnsMessageTest, AnAnswerCountsOnlyForTheSameQuestion) {
  const Bytes query = MakeQuery("a.test", 1);
  Bytes otherType = query, otherName = MakeQuery("b.test", 1), noQuestion = query;
  otherType[otherType.size() - 3] = 28;
  noQuestion[5] = 0;
  const std::pair<Bytes, bool> cases[] = {
      {MakeQuery("A.TEST", 2), true}, {otherType, false}, {otherName, false}, {noQuestion, false}};
  for (const auto& [answer, same] : cases)
    EXPECT_EQ(SameQuestion(query.data(), query.size(), answer.data(), answer.size()), same);
}

TEST(DnsMessageTest, WhiteListEntriesCoverTheNameAndWhatLiesBelowIt) {
  const std::tuple<const char*, std::vector<std::string>, bool> cases[] = {
      {"example.com", {"example.com"}, true},
      {"www.example.com", {"EXAMPLE.com."}, true},
      {"a.b.example.com", {"*.example.com"}, true},
      {"example.com", {".example.com"}, true},
      {"badexample.com", {"example.com"}, false},
      {"example.com.evil", {"example.com"}, false},
      {"com", {"example.com"}, false},
      {"anything", {"", "*.", ".", "a..b", "bad\x01.test"}, false},
      {"b.test", {"a.test", "b.test"}, true}};
  for (const auto& [name, list, matches] : cases) {
    std::vector<std::string> normalised;
    for (const auto& entry : list) {
      std::string n;
      if (NormaliseWhiteListEntry(entry, n)) normalised.push_back(n);
    }
    EXPECT_EQ(MatchesWhiteList(name, normalised), matches) << name;
  }
}

TEST(DnsMessageTest, ErrorAnswersKeepTheIdAndQuestionAndDropTheRest) {
  Bytes query = MakeQuery("x.test", 0xBEEF);
  query[11] = 1;  // an additional record count the answer must not repeat
  query.insert(query.end(), {0, 0, 41, 16, 0, 0, 0, 0, 0, 0, 0});
  // A response, recursion desired kept and available, with the question alone.
  EXPECT_EQ(MakeErrorAnswer(query.data(), query.size(), kRcodeServFail),
            dnswire::Reply(MakeQuery("x.test", 0xBEEF), kRcodeServFail));
  EXPECT_TRUE(MakeErrorAnswer(query.data(), 11, kRcodeServFail).empty());
  EXPECT_EQ(MakeErrorAnswer(query.data(), 12, kRcodeFormErr).size(), 12u);
}

TEST(SockFilterConfigTest, EndpointsParseWithAndWithoutPortsAndResolvConfSkipsTheStub) {
  // The text, and the endpoint or "" when it is refused.
  // clang-format off
  const std::tuple<const char*, const char*> cases[] = {
      {"127.0.0.1", "127.0.0.1:53"}, {"127.0.0.1:5353", "127.0.0.1:5353"}, {"127.0.0.1:", "127.0.0.1:53"},
      {"::1", "[::1]:53"}, {"[::1]:5353", "[::1]:5353"}, {"[::1]", "[::1]:53"}, {"[::1]5353", ""},
      {"127.0.0.1:65536", ""}, {"localhost:53", ""}, {"127.0.0.1:5x", ""}, {"", ""}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    asio::ip::udp::endpoint endpoint;
    EXPECT_EQ(ParseEndpoint(text, 53, endpoint) ? EndpointText(endpoint) : "", expected) << text;
  }
  std::vector<asio::ip::udp::endpoint> list;
  std::string bad;
  EXPECT_TRUE(ParseEndpointList("192.0.2.1, [2001:db8::1]:5353;192.0.2.2  ", list, bad));
  EXPECT_EQ(list.size(), 3u);
  EXPECT_FALSE(ParseEndpointList("192.0.2.1,nonsense", list, bad));
  EXPECT_EQ(bad, "nonsense");

  auto resolvers = ResolversFromResolvConf(
      "# comment\nsearch example.com\nnameserver 127.0.0.1\nnameserver 192.0.2.53\n"
      "nameserver 2001:db8::53\nnameserver not-an-address\nnameserver\n",
      {asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 53)});
  std::vector<std::string> texts;
  for (const auto& resolver : resolvers) texts.push_back(EndpointText(resolver));
  EXPECT_EQ(texts, (std::vector<std::string>{"192.0.2.53:53", "[2001:db8::53]:53"}));
}

TEST(ControlProtocolTest, FramesAreTakenWholeAndBadLengthsAreRefused) {
  FrameWriter w(kMsgClear, 7);
  w.U32(0xDEADBEEF);
  std::vector<u8> bytes = w.Finish();
  std::vector<u8> buffer(bytes.begin(), bytes.end() - 1);
  Frame frame;
  EXPECT_EQ(TakeFrame(buffer, frame), TakeResult::NeedMore);
  buffer.push_back(bytes.back());
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());  // a second frame behind
  ASSERT_EQ(TakeFrame(buffer, frame), TakeResult::Frame);
  EXPECT_EQ(
      std::tie(frame.type, frame.sequence, frame.body),
      std::make_tuple(u16{kMsgClear}, 7u, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end())));
  EXPECT_EQ(buffer, bytes);
  for (u32 length : {0u, 7u, kMaxFrameLength + 1}) {
    std::vector<u8> bad = {static_cast<u8>(length), static_cast<u8>(length >> 8),
                           static_cast<u8>(length >> 16), static_cast<u8>(length >> 24)};
    bad.resize(16, 0);
    EXPECT_EQ(TakeFrame(bad, frame), TakeResult::Malformed) << length;
  }
}

TEST(ControlProtocolTest, ParameterRecordsRoundTripAndForgeriesAreRefused) {
  FilterParameters p;
  p.whiteList4 = {"a.test", "b.test"};
  p.whiteList6 = {"c.test"};
  p.resolvers4 = {IpAddressRecord{2, {192, 0, 2, 1}}};
  p.udpPort4 = 40000;
  p.tcpPort6 = 40001;
  p.ignoredPids = {1, 2, 3};
  p.redirect4 = true;
  FrameWriter w(0, 0);
  EncodeParameters(w, FILTER_UPDATE_ALL, p);
  std::vector<u8> bytes = w.Finish();
  const std::vector<u8> body(bytes.begin() + kFrameHeaderSize, bytes.end());
  FrameReader r(body.data(), body.size());
  u32 kind = 99;
  FilterParameters back;
  ASSERT_TRUE(DecodeParameters(r, kind, back));
  EXPECT_EQ(kind, 0u);
  EXPECT_EQ(std::tie(back.whiteList4, back.whiteList6, back.udpPort4, back.tcpPort6, back.ignoredPids),
            std::tie(p.whiteList4, p.whiteList6, p.udpPort4, p.tcpPort6, p.ignoredPids));
  ASSERT_EQ(back.resolvers4.size(), 1u);
  EXPECT_EQ(back.resolvers4[0].address[3], 1);
  EXPECT_TRUE(back.redirect4 && !back.redirect6);

  std::vector<u8> trailing = body, cut(body.begin(), body.end() - 1), hugeCount = body, badKind = body;
  trailing.push_back(0);
  hugeCount[4] = 0xFF;  // the IPv4 white list claims far more entries than the frame holds
  hugeCount[7] = 0x7F;
  badKind[0] = 5;
  for (const auto& forged : {trailing, cut, hugeCount, badKind}) {
    FrameReader fr(forged.data(), forged.size());
    EXPECT_FALSE(DecodeParameters(fr, kind, back));
  }
}

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
  const std::tuple<const char*, NftRules, std::string> cases[] = {
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
           "meta nfproto ipv6 udp dport 53 redirect to :5000\n"}};
  for (const auto& [what, rules, script] : cases) EXPECT_EQ(BuildRuleScript(rules), script) << what;
  // An exemption nft cannot quote would let a cgroup's name write rules; the chain stays empty instead.
  NftRules hostile = udp4;
  hostile.exempt.push_back({1, "x\" return; add table ip evil { }; #"});
  EXPECT_EQ(BuildRuleScript(hostile), flush);
  EXPECT_NE(BuildTableScript().find("add table inet hxsockfilterd { flags owner; }"), std::string::npos);
}

TEST(TransparentHostTest, CgroupsMapToLevelAndNftPathAndTheRootIsRefused) {
  // The mount, the path, the level (0: refused) and the path for nft.
  const std::tuple<const char*, const char*, u32, const char*> cases[] = {
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
      {"/sys/fs/cgroup", "/odd 'name' $x {y}", 1, "odd 'name' $x {y}"}};
  for (const auto& [mount, path, level, nftPath] : cases) {
    auto cgroup = CgroupExemption(mount, path);
    EXPECT_EQ(cgroup ? std::make_pair(cgroup->level, cgroup->nftPath) : std::make_pair(0u, std::string()),
              std::make_pair(level, std::string(nftPath)))
        << path;
  }
}

TEST(AttributionTest, ParsesSocketLinksAndCgroupUnits) {
  // The inode a link names; 0: refused.
  // clang-format off
  const std::pair<const char*, u64> links[] = {
      {"socket:[123]", 123}, {"socket:[1]", 1}, {"socket:[]", 0}, {"pipe:[123]", 0}, {"socket:[12a]", 0},
      {"socket:[123", 0}, {"socket:[99999999999999999999]", 0}, {"anon_inode:[eventfd]", 0}};
  // clang-format on
  for (const auto& [link, expected] : links) {
    u64 inode = 0;
    EXPECT_EQ(ParseSocketLink(link, std::strlen(link), inode) ? inode : 0, expected) << link;
  }
  const std::pair<const char*, const char*> cgroups[] = {
      {"0::/system.slice/dnsmasq.service\n", "dnsmasq.service"},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-firefox-1.scope\n",
       "app-firefox-1.scope"},
      {"12:cpu:/x\n0::/custom/group\n", "/custom/group"},
      {"12:cpu:/only-v1\n", ""}};
  for (const auto& [text, unit] : cgroups) EXPECT_EQ(UnitOfCgroup(text), unit) << text;
  Bytes query = MakeQuery("WWW.Ex.test", 1);
  EXPECT_EQ(WireNameText(WireQuestionName(query.data(), query.size())), "www.ex.test");
  query[13] = '\t';  // tabs and line feeds separate the table's fields and rows
  EXPECT_EQ(WireNameText(WireQuestionName(query.data(), query.size())), "?ww.ex.test");
  query[12] = 0xC0;
  EXPECT_TRUE(WireQuestionName(query.data(), query.size()).empty());
  query.resize(17);  // the name cut
  EXPECT_TRUE(WireQuestionName(query.data(), query.size()).empty());
  EXPECT_EQ(ParsePathList(" /usr/bin/a b ;/opt/c\n;;\n"),
            (std::vector<std::string>{"/usr/bin/a b", "/opt/c"}));
}

// A /proc of symbolic links in a root of its own.
struct FakeProc {
  void Socket(u32 pid, int fd, const std::string& target) {
    const std::string folder = root.path() + "/proc/" + std::to_string(pid) + "/fd";
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::symlink(target.c_str(), (folder + "/" + std::to_string(fd)).c_str()), 0);
  }
  std::string path() const { return root.path() + "/proc"; }
  TestRoot root;
};

TEST(AttributionTest, FindsTheProcessOfASocketAndLooksCheaplyBeforeLookingEverywhere) {
  FakeProc proc;
  proc.Socket(100, 3, "socket:[555]");
  proc.Socket(200, 4, "socket:[777]");
  proc.Socket(200, 5, "pipe:[9]");
  proc.Socket(500, 3, "socket:[888]");
  // Every full look is rate-limited away after the first.
  CSocketProcesses processes(proc.path(), std::chrono::hours(1));
  using Found = CSocketProcesses::Found;
  u32 pid = 0;
  // The pid of the socket's process when Find holds it, 0 otherwise.
  auto heldBy = [&](u64 inode) { return processes.Find(inode, pid) == Found::Held ? pid : 0u; };
  EXPECT_EQ(heldBy(555), 100u);
  EXPECT_EQ(heldBy(777), 200u);
  EXPECT_EQ(processes.Size(), 3u);      // sockets only
  proc.Socket(300, 3, "socket:[999]");  // a process started since
  EXPECT_EQ(heldBy(999), 300u);
  proc.Socket(100, 4, "socket:[1000]");  // an asker's new socket
  EXPECT_EQ(heldBy(1000), 100u);
  // A descriptor number read before, now another socket.
  std::filesystem::remove(proc.path() + "/100/fd/3");
  proc.Socket(100, 3, "socket:[3000]");
  EXPECT_EQ(heldBy(3000), 100u);
  EXPECT_EQ(processes.FullScans(), 1u);
  // Not an asker, not new, and no full look allowed yet: not told, not "gone".
  proc.Socket(500, 4, "socket:[2000]");
  EXPECT_EQ(processes.Find(2000, pid), Found::NotYet);
  CSocketProcesses unlimited(proc.path(), std::chrono::milliseconds(0));
  EXPECT_EQ(unlimited.Find(2000, pid), Found::Held);
  EXPECT_EQ(unlimited.Find(4242, pid), Found::Gone);
}

TEST(AttributionTest, TheProgramTableEvictsTheLeastRecentAndKeepsTheLastNames) {
  CProgramTable table(2, 3);
  const u64 a = table.Row("/usr/bin/a", 1000u);
  const u64 b = table.Row("/usr/bin/b", std::nullopt);
  EXPECT_EQ(table.Row("/usr/bin/a", 1000u), a);
  EXPECT_NE(table.Row("/usr/bin/a", 1001u), a);  // another user: another row, b evicted
  EXPECT_EQ(table.Get(b), nullptr);
  table.Asked(b, "stale.test");  // a handle of an evicted row counts nothing
  for (const char* name : {"1.test", "2.test", "3.test", "4.test", ""}) table.Asked(a, name);
  ASSERT_NE(table.Get(a), nullptr);
  EXPECT_EQ(table.Get(a)->queries, 5u);
  EXPECT_EQ(table.Size(), 2u);
  for (const ProgramRow& r : table.Rows()) {
    if (r.exe == "/usr/bin/a" && r.uid == 1000) {
      EXPECT_EQ(r.recent, (std::vector<std::string>{"2.test", "3.test", "4.test"}));
    }
    EXPECT_NE(r.exe, "/usr/bin/b");
  }
}

// An answer to a.test with an OPT record holding `options`.
Bytes WithOpt(const Bytes& options) {
  Bytes m = MakeAnswer(MakeQuery("a.test", 7), "192.0.2.1");
  m[11] = 1;  // one additional record
  const Bytes opt = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, static_cast<u8>(options.size())};
  m.insert(m.end(), opt.begin(), opt.end());
  m.insert(m.end(), options.begin(), options.end());
  return m;
}

TEST(AttributionTest, AnAnswerSaysBlockedByItsExtendedError) {
  const Bytes padding = {0, 12, 0, 2, 0, 0};
  const std::pair<Bytes, bool> cases[] = {
      {WithOpt({0, 15, 0, 2, 0, 15}), true},                     // Blocked
      {WithOpt({0, 15, 0, 2, 0, 17}), true},                     // Filtered
      {WithOpt({0, 15, 0, 2, 0, 18}), false},                    // Prohibited: not the agent's word
      {WithOpt({0, 12, 0, 2, 0, 0, 0, 15, 0, 2, 0, 15}), true},  // after padding
      {WithOpt(padding), false},
      {MakeAnswer(MakeQuery("a.test", 7), "192.0.2.1"), false},  // no OPT
  };
  for (const auto& [answer, blocked] : cases)
    EXPECT_EQ(AnswerSaysBlocked(answer.data(), answer.size()), blocked);
  Bytes cut = WithOpt({0, 15, 0, 2, 0, 15});
  cut.resize(cut.size() - 3);
  EXPECT_FALSE(AnswerSaysBlocked(cut.data(), cut.size()));
}

// The agent's TCP answers are looked at in place however its writes are
// cut: every message found once, whole, and only a split one copied.
TEST(AttributionTest, AnswersInATcpStreamAreFoundWholeWhereverTheReadsAreCut) {
  const std::vector<Bytes> answers = {MakeAnswer(MakeQuery("a.test", 1), "192.0.2.1"),
                                      WithOpt({0, 15, 0, 2, 0, 15}),
                                      MakeAnswer(MakeQuery("c.test", 3), "192.0.2.3")};
  Bytes stream;
  for (const Bytes& answer : answers) {
    const Bytes framed = WithLength(answer);
    stream.insert(stream.end(), framed.begin(), framed.end());
  }
  for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, stream.size()}) {
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
      CDnsTcpScanner scanner;
      std::vector<Bytes> found;
      int blocked = 0;
      std::size_t inPlace = 0;
      // The first read ends at `cut`, the rest come `piece` bytes at a time.
      for (std::size_t at = 0; at < stream.size();) {
        const std::size_t size = at == 0 && cut > 0 ? cut : std::min(piece, stream.size() - at);
        const u8* read = stream.data() + at;
        scanner.Feed(read, size, [&](const u8* m, std::size_t n) {
          found.emplace_back(m, m + n);
          blocked += AnswerSaysBlocked(m, n) ? 1 : 0;
          inPlace += m >= read && m + n <= read + size ? 1 : 0;
        });
        at += size;
      }
      EXPECT_EQ(found, answers) << piece << " " << cut;
      EXPECT_EQ(blocked, 1) << piece << " " << cut;
      EXPECT_TRUE(cut < stream.size() || inPlace == answers.size())
          << piece << ": " << inPlace << " in place";
    }
  }
}

// A socket's program is read once and then taken as it is, but a handle of a
// row evicted since is never returned: that would count nothing.
TEST(AttributionTest, ASocketsProgramIsReadOnceButFoundAnewWhenItsRowWasEvicted) {
  FakeProc proc;
  proc.Socket(100, 3, "socket:[555]");
  proc.Socket(200, 3, "socket:[777]");
  ASSERT_EQ(::symlink("/usr/bin/a", (proc.path() + "/100/exe").c_str()), 0);
  ASSERT_EQ(::symlink("/usr/bin/b", (proc.path() + "/200/exe").c_str()), 0);
  CAttribution attribution({}, proc.path(), 1);  // room for one program
  const u64 a = attribution.ProgramOf(1000u, 555);
  ASSERT_NE(attribution.Row(a), nullptr);
  std::filesystem::remove(proc.path() + "/100/exe");
  ASSERT_EQ(::symlink("/usr/bin/c", (proc.path() + "/100/exe").c_str()), 0);
  EXPECT_EQ(attribution.ProgramOf(1000u, 555), a);  // not read again
  EXPECT_EQ(attribution.Row(attribution.ProgramOf(1000u, 777))->exe, "/usr/bin/b");
  EXPECT_EQ(attribution.Row(a), nullptr);
  const ProgramRow* again = attribution.Row(attribution.ProgramOf(1000u, 555));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->exe, "/usr/bin/c");
}

// A UDP socket's owner is kept until the kernel says the socket closed; when the notices overflowed their
// queue (made as small as it gets in the second watcher), every port is forgotten.
TEST(SocketOwnersTest, AnOwnerIsKeptUntilItsSocketClosesOrNoticesWereLost) {
  asio::io_context io;
  CSocketOwners owners, overflowing;
  if (!owners.WatchClosedSockets(io) || !overflowing.WatchClosedSockets(io, 1))
    GTEST_SKIP() << "no notices of closed sockets here";
  const asio::ip::udp::endpoint stub(asio::ip::make_address("127.0.0.1"), 53);
  auto open = [&] {
    return std::make_unique<asio::ip::udp::socket>(io, asio::ip::udp::endpoint(stub.address(), 0));
  };
  auto kept = open(), closing = open();
  const auto keptAt = kept->local_endpoint(), closingAt = closing->local_endpoint();
  for (const auto& at : {keptAt, closingAt}) {
    for (CSocketOwners* o : {&owners, &overflowing}) ASSERT_TRUE(o->IdentifyLive(IPPROTO_UDP, at, stub));
  }
  const u64 lookups = owners.KernelLookups();
  EXPECT_TRUE(owners.IdentifyLive(IPPROTO_UDP, keptAt, stub));
  EXPECT_EQ(owners.KernelLookups(), lookups);
  closing.reset();
  EXPECT_TRUE(WaitFor([&] { return io.poll(), !owners.RemembersPort(closingAt); }));
  EXPECT_TRUE(owners.RemembersPort(keptAt));
  // More closes than the smallest queue holds, none read in between.
  for (int i = 0; i < 200; ++i) open();
  EXPECT_TRUE(WaitFor([&] { return io.poll(), !overflowing.RemembersPort(keptAt); }));
}

}  // namespace
}  // namespace hxt::test
