#include "common/apidata.h"

#include <exception>
#include <sstream>
#include <string>
#include <utility>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "common/applog.h"

namespace hxt {

namespace pt = boost::property_tree;

namespace {

// The UI reads every leaf as a string, flags and numbers included.
std::string flagText(bool value) {
  return value ? "true" : "false";
}

// Compact layout, every leaf quoted, one line feed after the document; the
// writer also escapes '/' as "\/", which the UI's parser accepts.
std::string serialise(const pt::ptree& document) {
  std::ostringstream out;
  pt::write_json(out, document, false);
  return out.str();
}

struct FamilyKeys {
  const char* dns;
  const char* ip;
};
constexpr FamilyKeys kFamilyKeys[] = {{"Dns4", "Ip4"}, {"Dns6", "Ip6"}};

}  // namespace

const char* PayloadTypeName(PayloadType type) {
  switch (type) {
    case PAYLOAD_TYPE_STATUS:
      return "status";
    case PAYLOAD_TYPE_STATS:
      return "stats";
    case PAYLOAD_TYPE_COMMAND:
      return "command";
  }
  return "unknown";
}

CIpcApiData::CIpcApiData() = default;

bool CIpcApiData::ToJson(PayloadType type, std::string& json) {
  json.clear();
  switch (type) {
    case PAYLOAD_TYPE_STATUS:
      return generateStatusPayload(json);
    case PAYLOAD_TYPE_STATS:
      return generateStatsPayload(json);
    case PAYLOAD_TYPE_COMMAND:
      return generateCommandPayload(json);
  }
  HXT_LOGF(LOG_LEVEL_ERROR, "CIpcApiData::ToJson", "Bad payload type parameter - %c",
           static_cast<char>(type));
  return false;
}

bool CIpcApiData::QueueCommand(const std::string& command) {
  if (command != kIpcCommandNotifyExitForUpdate) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CIpcApiData::QueueCommand", "Invalid command - %s", command.c_str());
    return false;
  }
  commands_.push_back(command);
  return true;
}

void CIpcApiData::SetStatus(const std::string& dnsState4, const std::string& dnsState6,
                            const std::string& ipState4, bool connectionError4, const std::string& ipState6,
                            bool connectionError6, const std::string& clientName, const std::string& userName,
                            std::int64_t lastConnectedTime, bool logUploadEnabled, bool enabled) {
  if (!dnsState4.empty()) dnsProtectionState4_ = dnsState4;
  if (!dnsState6.empty()) dnsProtectionState6_ = dnsState6;
  // A connection error only means something next to the IP state it explains.
  if (!ipState4.empty()) {
    ipProtectionState4_ = ipState4;
    connectionError4_ = connectionError4;
  }
  if (!ipState6.empty()) {
    ipProtectionState6_ = ipState6;
    connectionError6_ = connectionError6;
  }
  clientName_ = clientName;
  userName_ = userName;
  lastConnectedTime_ = lastConnectedTime;
  logUploadEnabled_ = logUploadEnabled;
  enabled_ = enabled;
}

void CIpcApiData::SetSwgStats(u32 httpConnections, u32 httpsConnections, u32 bypassedConnections,
                              const std::string& proxy, const std::string& userMessage) {
  swgHttpConnections_ = httpConnections;
  swgHttpsConnections_ = httpsConnections;
  swgBypassedConnections_ = bypassedConnections;
  swgProxy_ = proxy;
  swgUserMessage_ = userMessage;
}

u32* CIpcApiData::requestCounter(u32 family, u32 socketType) {
  if (family == kIpcFamilyIpv4) {
    if (socketType == kIpcSocketDatagram) return &udpRequests4_;
    if (socketType == kIpcSocketStream) return &tcpRequests4_;
  } else if (family == kIpcFamilyIpv6) {
    if (socketType == kIpcSocketDatagram) return &udpRequests6_;
    if (socketType == kIpcSocketStream) return &tcpRequests6_;
  }
  return nullptr;
}

u32* CIpcApiData::responseCounter(u32 family, u32 socketType) {
  if (family == kIpcFamilyIpv4) {
    if (socketType == kIpcSocketDatagram) return &udpResponses4_;
    if (socketType == kIpcSocketStream) return &tcpResponses4_;
  } else if (family == kIpcFamilyIpv6) {
    if (socketType == kIpcSocketDatagram) return &udpResponses6_;
    if (socketType == kIpcSocketStream) return &tcpResponses6_;
  }
  return nullptr;
}

void CIpcApiData::IncrementRequestCount(u32 family, u32 socketType) {
  if (u32* counter = requestCounter(family, socketType)) ++*counter;
}

void CIpcApiData::IncrementResponseCount(u32 family, u32 socketType) {
  if (u32* counter = responseCounter(family, socketType)) ++*counter;
}

bool CIpcApiData::generateStatusPayload(std::string& json) {
  try {
    const struct {
      const std::string& dns;
      const std::string& ip;
      bool connectionError;
    } families[] = {{dnsProtectionState4_, ipProtectionState4_, connectionError4_},
                    {dnsProtectionState6_, ipProtectionState6_, connectionError6_}};
    pt::ptree document;
    for (std::size_t i = 0; i < 2; ++i) {
      const std::string dns = kFamilyKeys[i].dns;
      const std::string ip = kFamilyKeys[i].ip;
      document.put(dns + ".ProtectionState", families[i].dns);
      document.put(ip + ".ProtectionState", families[i].ip);
      document.put(ip + ".connectionError", flagText(families[i].connectionError));
    }
    document.put("LastConnectedTime", std::to_string(lastConnectedTime_));
    document.put("LogUploadEnabled", flagText(logUploadEnabled_));
    document.put("ClientName", clientName_);
    document.put("UserName", userName_);
    document.put("AgentStatus", agentStatus_);
    document.put("SWG.State", swgState_);
    document.put("SWG.Enabled", flagText(enabled_));
    json = serialise(document);
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CIpcApiData::generateStatusPayload", "Failed to build status payload - %s",
             e.what());
    return false;
  }
}

bool CIpcApiData::generateStatsPayload(std::string& json) {
  try {
    const u32 counters[2][2][2] = {
        {{udpRequests4_, udpResponses4_}, {tcpRequests4_, tcpResponses4_}},
        {{udpRequests6_, udpResponses6_}, {tcpRequests6_, tcpResponses6_}},
    };
    const char* const transports[2] = {"Udp", "Tcp"};
    pt::ptree document;
    for (std::size_t family = 0; family < 2; ++family) {
      for (std::size_t transport = 0; transport < 2; ++transport) {
        const std::string prefix = std::string(kFamilyKeys[family].dns) + "." + transports[transport];
        document.put(prefix + ".ReqCnt", std::to_string(counters[family][transport][0]));
        document.put(prefix + ".RespCnt", std::to_string(counters[family][transport][1]));
      }
    }
    document.put("SWGHTTPConnCnt", std::to_string(swgHttpConnections_));
    document.put("SWGHTTPSConnCnt", std::to_string(swgHttpsConnections_));
    document.put("SWGBypassedConnCnt", std::to_string(swgBypassedConnections_));
    document.put("SWGTarrowProxy", swgProxy_);
    document.put("SWGUserMsg", swgUserMessage_);
    json = serialise(document);
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CIpcApiData::generateStatsPayload", "Failed to build stats payload - %s",
             e.what());
    return false;
  }
}

bool CIpcApiData::generateCommandPayload(std::string& json) {
  // Swapped out first: a command goes out at most once, even if the document
  // then cannot be built.
  std::deque<std::string> commands;
  commands.swap(commands_);
  if (commands.empty()) return true;
  try {
    pt::ptree list;
    for (const auto& command : commands) {
      pt::ptree entry;
      entry.put("Command", command);
      list.push_back(std::make_pair(std::string(), entry));
    }
    pt::ptree document;
    document.add_child("Commands", list);
    json = serialise(document);
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CIpcApiData::generateCommandPayload", "Failed to build command payload - %s",
             e.what());
    return false;
  }
}

}  // namespace hxt
