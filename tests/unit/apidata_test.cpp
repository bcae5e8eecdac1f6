#include <gtest/gtest.h>

#include <sstream>

#include <boost/property_tree/json_parser.hpp>

#include "common/apidata.h"
#include "fakes/capturelogger.h"

namespace hxt {

// Counters only move by one; the wrap at 2^32 needs a head start.
struct CIpcApiDataTestPeer {
  static void SetCounters(CIpcApiData& data, u32 value) {
    for (u32* counter :
         {&data.udpRequests4_, &data.udpRequests6_, &data.udpResponses4_, &data.udpResponses6_,
          &data.tcpRequests4_, &data.tcpRequests6_, &data.tcpResponses4_, &data.tcpResponses6_}) {
      *counter = value;
    }
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

boost::property_tree::ptree Parsed(CIpcApiData& data, PayloadType type) {
  std::istringstream in(Document(data, type));
  boost::property_tree::ptree tree;
  boost::property_tree::read_json(in, tree);
  return tree;
}

TEST(IpcApiData, InitialDocuments) {
  CIpcApiData data;
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATUS), kInitialStatus);
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), kInitialStats);
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
}

TEST(IpcApiData, StatusAfterUpdatesIsEscapedByTheWriter) {
  CIpcApiData data;
  data.SetStatus("protected", "encrypted", "protected", true, "partial", false, "Acme/EU \"HQ\"",
                 "Zo\xc3\xab\x01", -1700000000123, true, true);
  data.SetAgentStatus("noOrginfo");
  data.SetSwgState("disabled_due_to_vpn");
  EXPECT_EQ(
      Document(data, PAYLOAD_TYPE_STATUS),
      R"({"Dns4":{"ProtectionState":"protected"},"Ip4":{"ProtectionState":"protected",)"
      R"("connectionError":"true"},"Dns6":{"ProtectionState":"encrypted"},"Ip6":{"ProtectionState":"partial",)"
      R"("connectionError":"false"},"LastConnectedTime":"-1700000000123","LogUploadEnabled":"true",)"
      R"("ClientName":"Acme\/EU \"HQ\"","UserName":"Zo)"
      "\xc3\xab"
      R"(\u0001","AgentStatus":"noOrginfo","SWG":{"State":"disabled_due_to_vpn","Enabled":"true"}})"
      "\n");
}

TEST(IpcApiData, EmptyStateArgumentsKeepTheStoredState) {
  struct Case {
    const char* name;
    std::string dns4, dns6, ip4, ip6;
    bool error4, error6;
    const char *wantDns4, *wantDns6, *wantIp4, *wantError4, *wantIp6, *wantError6;
  };
  // Stored before each case: protected/protected, inProgress+true / inProgress+true.
  const Case cases[] = {
      {"all empty", "", "", "", "", false, false, "protected", "protected", "inProgress", "true",
       "inProgress", "true"},
      {"ipv6 ip empty keeps its flag", "open", "open", "partial", "", false, false, "open", "open", "partial",
       "false", "inProgress", "true"},
      {"ipv4 ip empty keeps its flag", "", "disabled", "", "protected", false, false, "protected", "disabled",
       "inProgress", "true", "protected", "false"},
      {"all given", "behindVA", "open", "notProtected", "notProtected", false, false, "behindVA", "open",
       "notProtected", "false", "notProtected", "false"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CIpcApiData data;
    data.SetStatus("protected", "protected", "inProgress", true, "inProgress", true, "c", "u", 7, true, true);
    data.SetStatus(c.dns4, c.dns6, c.ip4, c.error4, c.ip6, c.error6, "client", "user", 9, false, false);
    auto tree = Parsed(data, PAYLOAD_TYPE_STATUS);
    EXPECT_EQ(tree.get<std::string>("Dns4.ProtectionState"), c.wantDns4);
    EXPECT_EQ(tree.get<std::string>("Dns6.ProtectionState"), c.wantDns6);
    EXPECT_EQ(tree.get<std::string>("Ip4.ProtectionState"), c.wantIp4);
    EXPECT_EQ(tree.get<std::string>("Ip4.connectionError"), c.wantError4);
    EXPECT_EQ(tree.get<std::string>("Ip6.ProtectionState"), c.wantIp6);
    EXPECT_EQ(tree.get<std::string>("Ip6.connectionError"), c.wantError6);
    // The other values are taken whatever the states are.
    EXPECT_EQ(tree.get<std::string>("ClientName"), "client");
    EXPECT_EQ(tree.get<std::string>("UserName"), "user");
    EXPECT_EQ(tree.get<std::string>("LastConnectedTime"), "9");
    EXPECT_EQ(tree.get<std::string>("LogUploadEnabled"), "false");
    EXPECT_EQ(tree.get<std::string>("SWG.Enabled"), "false");
  }
}

TEST(IpcApiData, CountersAreSelectedByFamilyAndSocketType) {
  struct Case {
    u32 family, socketType;
    const char* path;  // null: no counter
  };
  const Case cases[] = {
      {kIpcFamilyIpv4, kIpcSocketDatagram, "Dns4.Udp"},
      {kIpcFamilyIpv4, kIpcSocketStream, "Dns4.Tcp"},
      {kIpcFamilyIpv6, kIpcSocketDatagram, "Dns6.Udp"},
      {kIpcFamilyIpv6, kIpcSocketStream, "Dns6.Tcp"},
      {kIpcFamilyIpv4, 3, nullptr},
      {kIpcFamilyIpv6, 0, nullptr},
      {10, kIpcSocketDatagram, nullptr},
      {0, kIpcSocketStream, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.family) + "/" + std::to_string(c.socketType));
    CIpcApiData data;
    data.IncrementRequestCount(c.family, c.socketType);
    data.IncrementRequestCount(c.family, c.socketType);
    data.IncrementResponseCount(c.family, c.socketType);
    if (c.path == nullptr) {
      EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), kInitialStats);
      continue;
    }
    auto tree = Parsed(data, PAYLOAD_TYPE_STATS);
    for (const char* dns : {"Dns4", "Dns6"}) {
      for (const char* transport : {"Udp", "Tcp"}) {
        const std::string prefix = std::string(dns) + "." + transport;
        const bool selected = prefix == c.path;
        EXPECT_EQ(tree.get<std::string>(prefix + ".ReqCnt"), selected ? "2" : "0") << prefix;
        EXPECT_EQ(tree.get<std::string>(prefix + ".RespCnt"), selected ? "1" : "0") << prefix;
      }
    }
  }
}

TEST(IpcApiData, CountersWrapAt32Bits) {
  CIpcApiData data;
  CIpcApiDataTestPeer::SetCounters(data, 4294967295u);
  for (u32 family : {kIpcFamilyIpv4, kIpcFamilyIpv6}) {
    for (u32 type : {kIpcSocketDatagram, kIpcSocketStream}) {
      data.IncrementRequestCount(family, type);
      data.IncrementResponseCount(family, type);
    }
  }
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS), kInitialStats);
}

TEST(IpcApiData, SwgStatistics) {
  CIpcApiData data;
  data.SetSwgStats(12, 4294967295u, 0, "http://proxy.example:3128/", "Blocked \"by\" policy");
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_STATS),
            R"({"Dns4":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
            R"("Dns6":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
            R"("SWGHTTPConnCnt":"12","SWGHTTPSConnCnt":"4294967295","SWGBypassedConnCnt":"0",)"
            R"("SWGTarrowProxy":"http:\/\/proxy.example:3128\/","SWGUserMsg":"Blocked \"by\" policy"})"
            "\n");
}

TEST(IpcApiData, OnlyTheExactUpdateCommandIsQueued) {
  struct Case {
    std::string command;
    bool accepted;
  };
  const Case cases[] = {
      {"NotifyExitForUpdate", true},
      {"notifyexitforupdate", false},
      {"NotifyExitForUpdateNow", false},
      {"NotifyExitFor", false},
      {"", false},
      {std::string("NotifyExitForUpdate\0", 20), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    test::ScopedCaptureLog log;
    CIpcApiData data;
    EXPECT_EQ(data.QueueCommand(c.command), c.accepted);
    if (c.accepted) {
      EXPECT_TRUE(log.Records().empty()) << log.Dump();
      EXPECT_NE(Document(data, PAYLOAD_TYPE_COMMAND), "");
    } else {
      EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Invalid command - " + std::string(c.command.c_str())))
          << log.Dump();
      EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
    }
  }
}

TEST(IpcApiData, CommandDocumentDrainsTheQueueInOrder) {
  CIpcApiData data;
  ASSERT_TRUE(data.QueueCommand("NotifyExitForUpdate"));
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");

  ASSERT_TRUE(data.QueueCommand("NotifyExitForUpdate"));
  ASSERT_TRUE(data.QueueCommand("NotifyExitForUpdate"));
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND),
            "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"},{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  EXPECT_EQ(Document(data, PAYLOAD_TYPE_COMMAND), "");
}

TEST(IpcApiData, UnknownPayloadTypeIsRefused) {
  test::ScopedCaptureLog log;
  CIpcApiData data;
  std::string json = "stale";
  EXPECT_FALSE(data.ToJson(static_cast<PayloadType>('D'), json));
  EXPECT_EQ(json, "");
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Bad payload type parameter - D")) << log.Dump();
  EXPECT_STREQ(PayloadTypeName(static_cast<PayloadType>('D')), "unknown");
  EXPECT_STREQ(PayloadTypeName(PAYLOAD_TYPE_STATS), "stats");
}

}  // namespace
}  // namespace hxt
