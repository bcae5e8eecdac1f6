// What the agent tells the user interface: the status, statistics and
// command documents, their frames on the wire, and the hex dump of the log.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/property_tree/json_parser.hpp>

#include "common/apidata.h"
#include "common/applog.h"
#include "common/ipcframe.h"
#include "fakes/capturelogger.h"

namespace hxt {

// Counters only move by one; the wrap at 2^32 needs a head start.
struct CIpcApiDataTestPeer {
  static void SetCounters(CIpcApiData& data, u32 value) {
    for (u32* counter :
         {&data.udpRequests4_, &data.udpRequests6_, &data.udpResponses4_, &data.udpResponses6_,
          &data.tcpRequests4_, &data.tcpRequests6_, &data.tcpResponses4_, &data.tcpResponses6_})
      *counter = value;
  }
};

namespace {

const std::string kInitialStats =
    R"({"Dns4":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
    R"("Dns6":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
    R"("SWGHTTPConnCnt":"0","SWGHTTPSConnCnt":"0","SWGBypassedConnCnt":"0","SWGTarrowProxy":"","SWGUserMsg":""})"
    "\n";

std::string Document(CIpcApiData& data, PayloadType type) {
  std::string json = "stale";
  EXPECT_TRUE(data.ToJson(type, json));
  return json;
}

TEST(IpcApiData, DocumentsAfterUpdatesAreEscapedByTheWriter) {
  CIpcApiData data;
  data.SetStatus("protected", "encrypted", "protected", true, "partial", false, "Acme/EU \"HQ\"",
                 "Zo\xc3\xab\x01", -1700000000123, true, true);
  data.SetAgentStatus("noOrginfo");
  data.SetSwgState("disabled_due_to_vpn");
  data.SetSwgStats(12, 4294967295u, 0, "http://proxy.example:3128/", "Blocked \"by\" policy");
  EXPECT_EQ(
      Document(data, PAYLOAD_TYPE_STATUS),
      R"({"Dns4":{"ProtectionState":"protected"},"Ip4":{"ProtectionState":"protected",)"
      R"("connectionError":"true"},"Dns6":{"ProtectionState":"encrypted"},"Ip6":{"ProtectionState":"partial",)"
      R"("connectionError":"false"},"LastConnectedTime":"-1700000000123","LogUploadEnabled":"true",)"
      R"("ClientName":"Acme\/EU \"HQ\"","UserName":"Zo)"
      "\xc3\xab"
      R"(\u0001","AgentStatus":"noOrginfo","SWG":{"State":"disabled_due_to_vpn","Enabled":"true"}})"
      "\n");
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS),
            kInitialStats.substr(0, kInitialStats.find("\"SWGHTTPConnCnt")) +
                R"("SWGHTTPConnCnt":"12","SWGHTTPSConnCnt":"4294967295","SWGBypassedConnCnt":"0",)"
                R"("SWGTarrowProxy":"http:\/\/proxy.example:3128\/","SWGUserMsg":"Blocked \"by\" policy"})"
                "\n");

  // A type the writer does not know leaves no stale text behind.
  test::ScopedCaptureLog log;
  std::string json = "stale";
  EXPECT_FALSE(data.ToJson(static_cast<PayloadType>('D'), json));
  EXPECT_EQ(json, "");
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Bad payload type parameter - D")) << log.Dump();
}

TEST(IpcApiData, CountersAreSelectedByFamilyAndSocketTypeAndWrapAt32Bits) {
  // Which counter pair, in document order, a family and socket type select; -1 none.
  const std::tuple<u32, u32, int> cases[] = {{kIpcFamilyIpv4, kIpcSocketDatagram, 0},
                                             {kIpcFamilyIpv4, kIpcSocketStream, 1},
                                             {kIpcFamilyIpv6, kIpcSocketDatagram, 2},
                                             {kIpcFamilyIpv6, kIpcSocketStream, 3},
                                             {kIpcFamilyIpv4, 3, -1},
                                             {kIpcFamilyIpv6, 0, -1},
                                             {10, kIpcSocketDatagram, -1},
                                             {0, kIpcSocketStream, -1}};
  const std::string zero = R"({"ReqCnt":"0","RespCnt":"0"})";
  for (const auto& [family, socketType, selected] : cases) {
    SCOPED_TRACE(std::to_string(family) + "/" + std::to_string(socketType));
    CIpcApiData data;
    data.IncrementRequestCount(family, socketType);
    data.IncrementRequestCount(family, socketType);
    data.IncrementResponseCount(family, socketType);
    std::string expected = kInitialStats;
    std::size_t at = expected.find(zero);
    for (int i = 0; i < selected; ++i) at = expected.find(zero, at + 1);
    if (selected >= 0) expected.replace(at, zero.size(), R"({"ReqCnt":"2","RespCnt":"1"})");
    EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), expected);
  }
  CIpcApiData data;
  CIpcApiDataTestPeer::SetCounters(data, 4294967295u);
  for (const auto& [family, socketType, selected] : cases) {
    data.IncrementRequestCount(family, socketType);
    data.IncrementResponseCount(family, socketType);
  }
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), kInitialStats);  // every counter wrapped
}

using Bytes = std::vector<unsigned char>;

Bytes Frame(PayloadType type, const std::string& json) {
  Bytes frame;
  EXPECT_TRUE(BuildIpcFrame(type, json, frame));
  return frame;
}

TEST(IpcFrame, LayoutIsLittleEndianLengthThenTypeThenTextAndDecodesFedByteByByte) {
  const std::string json(100, 'x');
  auto frame = Frame(PAYLOAD_TYPE_STATS, json);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{101, 0, 0, 0, 'B'}));
  EXPECT_EQ(std::string(frame.begin() + 5, frame.end()), json);
  auto large = Frame(PAYLOAD_TYPE_STATUS, std::string(0x010203, ' '));
  EXPECT_EQ(Bytes(large.begin(), large.begin() + 5), (Bytes{0x04, 0x02, 0x01, 0x00, 'A'}));
  Bytes none = {1, 2};
  EXPECT_FALSE(BuildIpcFrame(PAYLOAD_TYPE_COMMAND, "", none));
  EXPECT_TRUE(none.empty());

  // The decoder reassembles frames fed one byte at a time.
  Bytes stream = Frame(PAYLOAD_TYPE_STATUS, "{\"AgentStatus\":\"ok\"}\n");
  auto second = Frame(PAYLOAD_TYPE_COMMAND, "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  stream.insert(stream.end(), second.begin(), second.end());
  CIpcFrameDecoder decoder;
  std::vector<IpcFrame> frames;
  std::string error;
  IpcFrame decoded;
  for (unsigned char byte : stream) {
    decoder.Feed(&byte, 1);
    for (auto result = decoder.Next(decoded, error); result != CIpcFrameDecoder::kNeedMore;
         result = decoder.Next(decoded, error)) {
      ASSERT_EQ(result, CIpcFrameDecoder::kFrame) << error;
      frames.push_back(decoded);
    }
  }
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(std::tie(frames[0].type, frames[0].json, frames[1].type),
            std::make_tuple(PAYLOAD_TYPE_STATUS, "{\"AgentStatus\":\"ok\"}\n", PAYLOAD_TYPE_COMMAND));
  EXPECT_EQ(frames[0].document.get<std::string>("AgentStatus"), "ok");
  EXPECT_EQ(frames[1].document.get_child("Commands").front().second.get<std::string>("Command"),
            "NotifyExitForUpdate");
}

TEST(IpcFrameDecoder, RefusesMalformedFramesForGood) {
  auto withHeader = [](u32 length, char type, const std::string& text) {
    Bytes frame = {u8(length), u8(length >> 8), u8(length >> 16), u8(length >> 24), u8(type)};
    frame.insert(frame.end(), text.begin(), text.end());
    return frame;
  };
  const std::pair<Bytes, std::string> cases[] = {
      // the frame, the start of the error
      {withHeader(0, 'A', ""), "bad frame length 0 (expected 2 to 1024)"},
      {withHeader(1, 'A', ""), "bad frame length 1 (expected 2 to 1024)"},
      {withHeader(1025, 'A', ""), "bad frame length 1025 (expected 2 to 1024)"},  // before the body arrives
      {withHeader(3, 'D', "{}"), "unknown payload type 0x44"},
      {withHeader(5, 'B', "{\"a\""), "invalid JSON in stats payload: "},
      {withHeader(6, 'C', "hello"), "invalid JSON in command payload: "}};
  for (const auto& [bytes, expected] : cases) {
    SCOPED_TRACE(expected);
    CIpcFrameDecoder decoder(1024);
    // A good frame first: the error must not swallow what came before it.
    auto good = Frame(PAYLOAD_TYPE_STATUS, "{}\n");
    decoder.Feed(good.data(), good.size());
    decoder.Feed(bytes.data(), bytes.size());
    IpcFrame frame;
    std::string error, again;
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kFrame);
    ASSERT_EQ(decoder.Next(frame, error), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(error.substr(0, expected.size()), expected);
    // Once out of step, the stream stays refused.
    decoder.Feed(good.data(), good.size());
    EXPECT_EQ(decoder.Next(frame, again), CIpcFrameDecoder::kMalformed);
    EXPECT_EQ(again, error);
  }
}

}  // namespace
}  // namespace hxt
