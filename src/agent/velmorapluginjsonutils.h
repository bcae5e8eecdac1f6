// Parsers of the JSON documents the plug-ins hand the service.
//
// Every value is read as text (numbers keep their digits, true/false their
// words); a yes/no member is true exactly when its text is "true"; only
// version 1 is accepted. The parsers never throw; they log only the few lines
// documented with each one and leave the reason of a failure in `error` for
// the caller to log. Stateless: any thread may call them.
#pragma once

#include <string>
#include <vector>

#include "common/hxttypes.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt {

constexpr u32 kPayloadVersion = 1;

struct ParsedRedirect {
  bool valid = false;
  std::string error;
  std::vector<std::string> whitelist4;
  std::vector<std::string> whitelist6;
  std::vector<IpAddressRecord> resolvers4;
  std::vector<IpAddressRecord> resolvers6;
  bool justWhiteLists = false;
  bool justResolvers = false;
  std::vector<u32> ignorePids;
  bool justPids = false;
  bool redirect4 = false;
  bool redirect6 = false;
};

struct ParsedProtectionState {
  bool valid = false;
  std::string error;
  std::string dnsProtectionState4;
  std::string dnsProtectionState6;
  std::string ipProtectionState4;
  bool connectionError4 = false;
  std::string ipProtectionState6;
  bool connectionError6 = false;
  std::string clientDisplayName;
  std::string userName;
  bool logUploadEnabled = false;
  std::int64_t lastPolicySyncTime = 0;
  bool swgEnabled = false;
};

struct ParsedSwgState {
  bool valid = false;
  std::string error;
  std::string swgState;
};

struct ParsedSwgStats {
  bool valid = false;
  std::string error;
  u32 httpConnections = 0;
  u32 httpsConnections = 0;
  u32 bypassedConnections = 0;
  std::string proxy;
  std::string userMessage;  // empty when the document has none
};

struct ParsedUpgradeDetails {
  bool valid = false;
  std::string error;
  std::string manifestUrl;
  std::string downloadUrl;
  bool upgradeWindowIsOpen = false;
  u32 upgradeCheckInterval = 0;
};
struct ParsedVpnState;  // agent/velmoravpnconsumer.h

class CVelmoraPluginJsonUtils {
 public:
  // The documents the service writes for the DNS-protection plug-in: compact,
  // every leaf a string, one line feed after. Both empty `out` first and fill
  // it only with a whole document; false after logging when writing failed.
  static bool BuildVpnStatePayload(const ParsedVpnState& state, std::string& out);
  static bool BuildUpgradeStateChangedPayload(std::string& out);

  static bool ParseRedirectPayload(const char* payload, ParsedRedirect& out);
  static bool ParseProtectionStatePayload(const char* payload, ParsedProtectionState& out);
  // The SWG plug-in's state and web-connection statistics.
  static bool ParseSWGStatePayload(const char* payload, ParsedSwgState& out);
  static bool ParseSWGStatsPayload(const char* payload, ParsedSwgStats& out);
  // Where and when the cloud downloader looks for upgrades.
  static bool ParseUpgradeDetailsChangedPayload(const char* payload, ParsedUpgradeDetails& out);
  static bool IsValidDnsProtectionState(const std::string& state);
  static bool IsValidIpProtectionState(const std::string& state);
  static bool IsValidSwgState(const std::string& state);
};

}  // namespace hxt
