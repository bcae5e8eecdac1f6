// The socket filter's pure pieces: DNS name reading and white lists, error
// answers, endpoint and resolv.conf parsing, and the control protocol's
// framing and parameter records.
#include <gtest/gtest.h>

#include <tuple>

#include "common/controlproto.h"
#include "daemon/dnsmessage.h"
#include "daemon/sockfilterconfig.h"
#include "fakes/dnstestkit.h"

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
  Bytes answer = MakeErrorAnswer(query.data(), query.size(), kRcodeServFail);
  Bytes expected = MakeQuery("x.test", 0xBEEF);
  expected[2] = 0x81;                   // response, recursion desired kept
  expected[3] = 0x80 | kRcodeServFail;  // recursion available
  EXPECT_EQ(answer, expected);
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
  ASSERT_EQ(resolvers.size(), 2u);
  EXPECT_EQ(EndpointText(resolvers[0]), "192.0.2.53:53");
  EXPECT_EQ(EndpointText(resolvers[1]), "[2001:db8::53]:53");
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
  EXPECT_EQ(frame.type, kMsgClear);
  EXPECT_EQ(frame.sequence, 7u);
  EXPECT_EQ(frame.body.size(), 4u);
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

TEST(ControlProtocolTest, EachUpdateKindTakesOverOnlyItsFields) {
  FilterParameters base, update;
  base.whiteList4 = {"keep.test"};
  base.udpPort4 = 1111;
  base.ignoredPids = {5};
  base.redirect4 = true;
  update.whiteList4 = {"new.test"};
  update.udpPort4 = 2222;
  update.agentPid = 9;
  update.ignoredPids = {6};
  FilterParameters ports = base, pids = base, all = base, unknown = base;
  ASSERT_TRUE(ports.Apply(FILTER_UPDATE_PORTS, update));
  EXPECT_EQ(std::tie(ports.udpPort4, ports.whiteList4, ports.redirect4),
            std::tie(update.udpPort4, base.whiteList4, base.redirect4));
  ASSERT_TRUE(pids.Apply(FILTER_UPDATE_PIDS, update));
  EXPECT_EQ(std::tie(pids.ignoredPids, pids.agentPid, pids.udpPort4),
            std::tie(update.ignoredPids, update.agentPid, base.udpPort4));
  ASSERT_TRUE(all.Apply(FILTER_UPDATE_ALL, update));
  EXPECT_FALSE(all.redirect4);
  EXPECT_FALSE(unknown.Apply(5, update));
  EXPECT_EQ(unknown.udpPort4, 1111);
}

}  // namespace
}  // namespace hxt::test
