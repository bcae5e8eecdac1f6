// The socket filter's pure pieces: DNS name reading and white lists, error
// answers, endpoint and resolv.conf parsing, and the control protocol's
// framing and parameter records.
#include <gtest/gtest.h>

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
  Bytes query = MakeQuery("WWW.Example.COM", 1);
  ASSERT_TRUE(ReadQueryName(query.data(), query.size(), name));
  EXPECT_EQ(name, "www.example.com");

  Bytes truncated(query.begin(), query.end() - 3);  // type and class cut
  EXPECT_FALSE(ReadQueryName(truncated.data(), truncated.size(), name));
  Bytes noQuestion = query;
  noQuestion[5] = 0;
  EXPECT_FALSE(ReadQueryName(noQuestion.data(), noQuestion.size(), name));
  Bytes selfPointer = MakeQuery("a", 1);
  selfPointer[12] = 0xC0;  // a pointer to itself must not loop
  selfPointer[13] = 12;
  EXPECT_FALSE(ReadQueryName(selfPointer.data(), selfPointer.size(), name));
  Bytes labelPastEnd = query;
  labelPastEnd[12] = 60;
  EXPECT_FALSE(ReadQueryName(labelPastEnd.data(), labelPastEnd.size(), name));
  EXPECT_FALSE(ReadQueryName(query.data(), 11, name));
}

TEST(DnsMessageTest, WhiteListEntriesCoverTheNameAndWhatLiesBelowIt) {
  struct Case {
    const char* name;
    std::vector<std::string> list;
    bool matches;
  };
  const Case cases[] = {
      {"example.com", {"example.com"}, true},
      {"www.example.com", {"EXAMPLE.com."}, true},
      {"a.b.example.com", {"*.example.com"}, true},
      {"example.com", {".example.com"}, true},
      {"badexample.com", {"example.com"}, false},
      {"example.com.evil", {"example.com"}, false},
      {"com", {"example.com"}, false},
      {"anything", {"", "*.", "."}, false},
      {"b.test", {"a.test", "b.test"}, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesWhiteList(c.name, c.list), c.matches) << c.name;
  }
}

TEST(DnsMessageTest, ErrorAnswersKeepTheIdAndQuestionAndDropTheRest) {
  Bytes query = MakeQuery("x.test", 0xBEEF);
  query[11] = 1;  // an additional record count the answer must not repeat
  query.insert(query.end(), {0, 0, 41, 16, 0, 0, 0, 0, 0, 0, 0});
  Bytes answer = MakeErrorAnswer(query.data(), query.size(), kRcodeServFail);
  EXPECT_EQ(IdOf(answer), 0xBEEF);
  EXPECT_EQ(answer[2], 0x81);  // response, recursion desired kept
  EXPECT_EQ(RcodeOf(answer), kRcodeServFail);
  EXPECT_EQ(answer.size(), MakeQuery("x.test", 0xBEEF).size());
  EXPECT_EQ(answer[11], 0);
  EXPECT_TRUE(MakeErrorAnswer(query.data(), 11, kRcodeServFail).empty());
  Bytes headerOnly(query.begin(), query.begin() + 12);
  EXPECT_EQ(MakeErrorAnswer(headerOnly.data(), headerOnly.size(), kRcodeFormErr).size(), 12u);
}

TEST(SockFilterConfigTest, EndpointsParseWithAndWithoutPorts) {
  struct Case {
    const char* text;
    bool ok;
    const char* address;
    u16 port;
  };
  const Case cases[] = {
      {"127.0.0.1", true, "127.0.0.1", 53},
      {"127.0.0.1:5353", true, "127.0.0.1", 5353},
      {"::1", true, "::1", 53},
      {"[::1]:5353", true, "::1", 5353},
      {"[::1]", true, "::1", 53},
      {"[::1]5353", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:", true, "127.0.0.1", 53},
      {"localhost:53", false, "", 0},
      {"127.0.0.1:5x", false, "", 0},
      {"", false, "", 0},
  };
  for (const Case& c : cases) {
    asio::ip::udp::endpoint endpoint;
    ASSERT_EQ(ParseEndpoint(c.text, 53, endpoint), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(endpoint.address().to_string(), c.address) << c.text;
    EXPECT_EQ(endpoint.port(), c.port) << c.text;
  }
  std::vector<asio::ip::udp::endpoint> list;
  std::string bad;
  EXPECT_TRUE(ParseEndpointList("192.0.2.1, [2001:db8::1]:5353;192.0.2.2  ", list, bad));
  EXPECT_EQ(list.size(), 3u);
  EXPECT_FALSE(ParseEndpointList("192.0.2.1,nonsense", list, bad));
  EXPECT_EQ(bad, "nonsense");
}

TEST(SockFilterConfigTest, ResolvConfNameServersSkipTheStubItself) {
  std::vector<asio::ip::udp::endpoint> stubs = {
      asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 53)};
  auto resolvers = ResolversFromResolvConf(
      "# comment\nsearch example.com\nnameserver 127.0.0.1\nnameserver 192.0.2.53\n"
      "nameserver 2001:db8::53\nnameserver not-an-address\nnameserver\n",
      stubs);
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
  p.agentPid = 77;
  p.ignoredPids = {1, 2, 3};
  p.redirect4 = true;
  FrameWriter w(0, 0);
  EncodeParameters(w, FILTER_UPDATE_ALL, p);
  std::vector<u8> bytes = w.Finish();
  std::vector<u8> body(bytes.begin() + kFrameHeaderSize, bytes.end());

  FrameReader r(body.data(), body.size());
  u32 kind = 99;
  FilterParameters back;
  ASSERT_TRUE(DecodeParameters(r, kind, back));
  EXPECT_EQ(kind, 0u);
  EXPECT_EQ(back.whiteList4, p.whiteList4);
  EXPECT_EQ(back.whiteList6, p.whiteList6);
  ASSERT_EQ(back.resolvers4.size(), 1u);
  EXPECT_EQ(back.resolvers4[0].address[3], 1);
  EXPECT_EQ(back.udpPort4, 40000);
  EXPECT_EQ(back.tcpPort6, 40001);
  EXPECT_EQ(back.ignoredPids, p.ignoredPids);
  EXPECT_TRUE(back.redirect4);
  EXPECT_FALSE(back.redirect6);

  std::vector<u8> trailing = body;
  trailing.push_back(0);
  std::vector<u8> cut(body.begin(), body.end() - 1);
  std::vector<u8> hugeCount = body;
  hugeCount[4] = 0xFF;  // the IPv4 white list claims far more entries than the frame holds
  hugeCount[7] = 0x7F;
  std::vector<u8> badKind = body;
  badKind[0] = 5;
  for (const auto& forged : {trailing, cut, hugeCount, badKind}) {
    FrameReader fr(forged.data(), forged.size());
    EXPECT_FALSE(DecodeParameters(fr, kind, back));
  }
}

TEST(ControlProtocolTest, EachUpdateKindTakesOverOnlyItsFields) {
  FilterParameters base;
  base.whiteList4 = {"keep.test"};
  base.udpPort4 = 1111;
  base.ignoredPids = {5};
  base.redirect4 = true;
  FilterParameters update;
  update.whiteList4 = {"new.test"};
  update.udpPort4 = 2222;
  update.agentPid = 9;
  update.ignoredPids = {6};

  FilterParameters ports = base;
  ASSERT_TRUE(ports.Apply(FILTER_UPDATE_PORTS, update));
  EXPECT_EQ(ports.udpPort4, 2222);
  EXPECT_EQ(ports.whiteList4, base.whiteList4);
  EXPECT_TRUE(ports.redirect4);

  FilterParameters pids = base;
  ASSERT_TRUE(pids.Apply(FILTER_UPDATE_PIDS, update));
  EXPECT_EQ(pids.ignoredPids, update.ignoredPids);
  EXPECT_EQ(pids.agentPid, 9u);
  EXPECT_EQ(pids.udpPort4, 1111);

  FilterParameters all = base;
  ASSERT_TRUE(all.Apply(FILTER_UPDATE_ALL, update));
  EXPECT_FALSE(all.redirect4);
  FilterParameters unknown = base;
  EXPECT_FALSE(unknown.Apply(5, update));
  EXPECT_EQ(unknown.udpPort4, 1111);
}

}  // namespace
}  // namespace hxt::test
