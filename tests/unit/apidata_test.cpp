#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include <boost/property_tree/json_parser.hpp>

#include "common/apidata.h"
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

const std::string kInitialStatus =
    R"({"Dns4":{"ProtectionState":"open"},"Ip4":{"ProtectionState":"notProtected","connectionError":"false"},)"
    R"("Dns6":{"ProtectionState":"open"},"Ip6":{"ProtectionState":"notProtected","connectionError":"false"},)"
    R"("LastConnectedTime":"0","LogUploadEnabled":"false","ClientName":"UnknownClient","UserName":"UnknownUser",)"
    R"("AgentStatus":"ok","SWG":{"State":"unprotected","Enabled":"false"}})"
    "\n";
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

TEST(IpcApiData, InitialDocumentsAndUnknownType) {
  test::ScopedCaptureLog log;
  CIpcApiData data;
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATUS), kInitialStatus);
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), kInitialStats);
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
  std::string json = "stale";
  EXPECT_FALSE(data.ToJson(static_cast<PayloadType>('D'), json));
  EXPECT_EQ(json, "");
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Bad payload type parameter - D")) << log.Dump();
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
}

TEST(IpcApiData, EmptyStateArgumentsKeepTheStoredState) {
  // Given dns4, dns6, ip4, ip6; then Dns4, Dns6, Ip4 and its error, Ip6 and its error.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"", "", "", ""}, "protected protected inProgress true inProgress true"},
      {{"open", "open", "partial", ""}, "open open partial false inProgress true"},
      {{"", "disabled", "", "protected"}, "protected disabled inProgress true protected false"},
      {{"behindVA", "open", "notProtected", "notProtected"},
       "behindVA open notProtected false notProtected false"},
  };
  for (const auto& [in, want] : cases) {
    SCOPED_TRACE(want);
    CIpcApiData data;
    data.SetStatus("protected", "protected", "inProgress", true, "inProgress", true, "c", "u", 7, true, true);
    data.SetStatus(in[0], in[1], in[2], false, in[3], false, "client", "user", 9, false, false);
    std::istringstream json(Document(data, PAYLOAD_TYPE_STATUS));
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(json, tree);
    std::string got;
    for (const char* path : {"Dns4.ProtectionState", "Dns6.ProtectionState", "Ip4.ProtectionState",
                             "Ip4.connectionError", "Ip6.ProtectionState", "Ip6.connectionError"})
      got += (got.empty() ? "" : " ") + tree.get<std::string>(path);
    EXPECT_EQ(got, want);
    // The other values are taken whatever the states are.
    EXPECT_EQ(tree.get<std::string>("ClientName") + tree.get<std::string>("UserName") +
                  tree.get<std::string>("LastConnectedTime") + tree.get<std::string>("LogUploadEnabled") +
                  tree.get<std::string>("SWG.Enabled"),
              "clientuser9falsefalse");
  }
}

TEST(IpcApiData, CountersAreSelectedByFamilyAndSocketTypeAndWrapAt32Bits) {
  // Which counter pair, in document order, a family and socket type select; -1 none.
  const std::tuple<u32, u32, int> cases[] = {
      {kIpcFamilyIpv4, kIpcSocketDatagram, 0},
      {kIpcFamilyIpv4, kIpcSocketStream, 1},
      {kIpcFamilyIpv6, kIpcSocketDatagram, 2},
      {kIpcFamilyIpv6, kIpcSocketStream, 3},
      {kIpcFamilyIpv4, 3, -1},
      {kIpcFamilyIpv6, 0, -1},
      {10, kIpcSocketDatagram, -1},
      {0, kIpcSocketStream, -1},
  };
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

TEST(IpcApiData, OnlyTheExactUpdateCommandIsQueued) {
  for (const std::string& command :
       {std::string("notifyexitforupdate"), std::string("NotifyExitForUpdateNow"),
        std::string("NotifyExitFor"), std::string(), std::string("NotifyExitForUpdate\0", 20)}) {
    SCOPED_TRACE(command);
    test::ScopedCaptureLog log;
    CIpcApiData data;
    EXPECT_FALSE(data.QueueCommand(command));
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Invalid command - " + std::string(command.c_str()))) << log.Dump();
    EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
  }
  // Queued commands are taken by the document that carries them.
  test::ScopedCaptureLog log;
  CIpcApiData data;
  ASSERT_TRUE(data.QueueCommand("NotifyExitForUpdate"));
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
  EXPECT_TRUE(log.Records().empty()) << log.Dump();
}

}  // namespace
}  // namespace hxt
