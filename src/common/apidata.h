// The data model behind the documents the service pushes to the user
// interface: the status document ('A'), the statistics document ('B') and the
// command document ('C').
//
// `CIpcApiData` keeps the latest value of every field those documents carry
// and a queue of commands waiting for the UI, and turns them into JSON text.
// It has no lock of its own: its one owner, the IPC manager, holds its mutex
// around every call, so a document is always built from one consistent set of
// values. Operations report failure by result and log it; none throws.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "common/hxttypes.h"

namespace hxt {

// The one-letter type of an IPC payload; it also travels in the frame header.
// Any other letter is possible on input and is refused.
enum PayloadType : char {
  PAYLOAD_TYPE_STATUS = 'A',
  PAYLOAD_TYPE_STATS = 'B',
  PAYLOAD_TYPE_COMMAND = 'C',
};

// "status", "stats", "command", or "unknown" for any other letter.
const char* PayloadTypeName(PayloadType type);

// Address families and socket types that select a DNS counter; they carry the
// Windows socket values on every platform.
constexpr u32 kIpcFamilyIpv4 = 2;
constexpr u32 kIpcFamilyIpv6 = 23;
constexpr u32 kIpcSocketStream = 1;
constexpr u32 kIpcSocketDatagram = 2;

// The only command the UI accepts.
constexpr const char* kIpcCommandNotifyExitForUpdate = "NotifyExitForUpdate";

// A copy of the eight DNS counters, for the statistics log line.
struct IpcRequestCounters {
  u32 udpRequests4 = 0, udpRequests6 = 0, tcpRequests4 = 0, tcpRequests6 = 0;
  u32 udpResponses4 = 0, udpResponses6 = 0, tcpResponses4 = 0, tcpResponses6 = 0;
};

class CIpcApiData {
 public:
  CIpcApiData();

  // Empties `json`, then builds the document of `type` into it. An unknown
  // letter is logged and refused with `json` left empty.
  bool ToJson(PayloadType type, std::string& json);

  // Queues "NotifyExitForUpdate" (exact text only) for the next command document.
  bool QueueCommand(const std::string& command);

  // Each of the four state strings is taken only when not empty, and a
  // connection-error flag only together with its IP state; the remaining
  // values are always taken.
  void SetStatus(const std::string& dnsState4, const std::string& dnsState6, const std::string& ipState4,
                 bool connectionError4, const std::string& ipState6, bool connectionError6,
                 const std::string& clientName, const std::string& userName, std::int64_t lastConnectedTime,
                 bool logUploadEnabled, bool enabled);
  void SetAgentStatus(const std::string& agentStatus) { agentStatus_ = agentStatus; }
  void SetSwgState(const std::string& swgState) { swgState_ = swgState; }
  void SetSwgStats(u32 httpConnections, u32 httpsConnections, u32 bypassedConnections,
                   const std::string& proxy, const std::string& userMessage);
  // Counters wrap modulo 2^32; a family or socket type without a counter is ignored.
  void IncrementRequestCount(u32 family, u32 socketType);
  void IncrementResponseCount(u32 family, u32 socketType);
  IpcRequestCounters Counters() const {
    return {udpRequests4_,  udpRequests6_,  tcpRequests4_,  tcpRequests6_,
            udpResponses4_, udpResponses6_, tcpResponses4_, tcpResponses6_};
  }

 private:
  friend struct CIpcApiDataTestPeer;

  bool generateStatusPayload(std::string& json);
  bool generateStatsPayload(std::string& json);
  // Drains the command queue; an empty queue gives an empty `json` and true.
  bool generateCommandPayload(std::string& json);

  u32* requestCounter(u32 family, u32 socketType);
  u32* responseCounter(u32 family, u32 socketType);

  std::string dnsProtectionState4_ = "open";
  std::string dnsProtectionState6_ = "open";
  std::string ipProtectionState4_ = "notProtected";
  bool connectionError4_ = false;
  std::string ipProtectionState6_ = "notProtected";
  bool connectionError6_ = false;
  std::int64_t lastConnectedTime_ = 0;
  bool logUploadEnabled_ = false;
  bool enabled_ = false;
  std::string clientName_ = "UnknownClient";
  std::string userName_ = "UnknownUser";
  std::string agentStatus_ = "ok";
  std::string swgState_ = "unprotected";
  u32 udpRequests4_ = 0;
  u32 udpRequests6_ = 0;
  u32 udpResponses4_ = 0;
  u32 udpResponses6_ = 0;
  u32 tcpRequests4_ = 0;
  u32 tcpRequests6_ = 0;
  u32 tcpResponses4_ = 0;
  u32 tcpResponses6_ = 0;
  u32 swgHttpConnections_ = 0;
  u32 swgHttpsConnections_ = 0;
  u32 swgBypassedConnections_ = 0;
  std::string swgProxy_;
  std::string swgUserMessage_;
  std::deque<std::string> commands_;
};

}  // namespace hxt
