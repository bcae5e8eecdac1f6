#include "agent/velmorapluginjsonutils.h"

#include <boost/asio/ip/address.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/system/system_error.hpp>
#include <cstring>
#include <exception>
#include <functional>
#include <set>
#include <sstream>
#include <type_traits>

#include "common/applog.h"

namespace hxt {

namespace {

namespace pt = boost::property_tree;

constexpr u32 kFamilyIpv4 = 2;
constexpr u32 kFamilyIpv6 = 23;

// A failure that ends a parse with its text as the record's error.
struct ParseFailure {
  std::string text;
};

// The JSON reader descends recursively; a document nested deeper than any
// plug-in writes would exhaust the stack, so it is refused before parsing.
constexpr std::size_t kMaxJsonNesting = 64;

bool nestingWithinLimit(const char* text) {
  std::size_t depth = 0;
  bool inString = false;
  for (const char* p = text; *p != '\0'; ++p) {
    char c = *p;
    if (inString) {
      if (c == '\\' && p[1] != '\0') {
        ++p;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > kMaxJsonNesting) return false;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return true;
}

bool isTrue(const pt::ptree& node) { return node.data() == "true"; }

// The lexical conversion alone reads "-1" as an unsigned number's maximum; a
// count or an id with a sign is not a number of that type.
template <typename T>
T toNumber(const std::string& text) {
  if (std::is_unsigned<T>::value && !text.empty() && text[0] == '-') throw boost::bad_lexical_cast();
  return boost::lexical_cast<T>(text);
}

IpAddressRecord toAddressRecord(const std::string& text) {
  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address(text, ec);
  if (ec) throw boost::system::system_error(ec);
  IpAddressRecord record {};
  if (address.is_v4()) {
    record.family = kFamilyIpv4;
    auto bytes = address.to_v4().to_bytes();
    std::memcpy(record.address, bytes.data(), bytes.size());
  } else {
    record.family = kFamilyIpv6;
    auto bytes = address.to_v6().to_bytes();
    std::memcpy(record.address, bytes.data(), bytes.size());
  }
  return record;
}

// The frame every parser shares: null check, the payload line, the JSON
// reader, the version, and turning every failure into `error`.
template <typename Record>
bool parseFramed(const char* payload, Record& out, const char* function,
                 const std::function<void(const pt::ptree&, Record&)>& body) {
  if (payload == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "bad json payload parameter");
    out.error = "NULL payload";
    return false;
  }
  HXT_LOGF(LOG_LEVEL_INFO, function, "parsing payload\n%s", payload);
  if (!nestingWithinLimit(payload)) {
    out.error = "JSON nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    return false;
  }
  try {
    pt::ptree tree;
    std::istringstream in(payload);
    pt::read_json(in, tree);
    auto version = tree.get_optional<std::string>("version");
    if (!version || toNumber<u32>(*version) != kPayloadVersion) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "missing or unsupported payload version, expected %u", kPayloadVersion);
      out.error = "unsupported payload version";
      return false;
    }
    body(tree, out);
  } catch (const ParseFailure& failure) {
    out.error = failure.text;
    return false;
  } catch (const std::exception& e) {
    out.error = e.what();
    return false;
  }
  out.valid = true;
  return true;
}

// Reads one dnsN object of a redirect payload into its lists.
struct FamilyNotes {
  bool whitelist = false;
  bool resolvers = false;
  bool redirect = false;
};

FamilyNotes readRedirectFamily(const pt::ptree& family, std::vector<std::string>& whitelist,
                               std::vector<IpAddressRecord>& resolvers, bool& redirect) {
  FamilyNotes notes;
  for (const auto& member : family) {
    if (member.first == "whitelist") {
      notes.whitelist = true;
      for (const auto& element : member.second) whitelist.push_back(element.second.data());
    } else if (member.first == "resolvers") {
      notes.resolvers = true;
      for (const auto& element : member.second) resolvers.push_back(toAddressRecord(element.second.data()));
    } else if (member.first == "redirect") {
      notes.redirect = true;
      redirect = isTrue(member.second);
    }
  }
  return notes;
}

void readProtectionFamily(const pt::ptree* family, bool (*valid)(const std::string&), const char* failure,
                          const char* stateMember, std::string& state, bool* connectionError) {
  if (family == nullptr) return;
  for (const auto& member : *family) {
    if (member.first == stateMember) {
      if (!valid(member.second.data())) throw ParseFailure {failure};
      state = member.second.data();
    } else if (connectionError != nullptr && member.first == "connection_error") {
      *connectionError = isTrue(member.second);
    }
  }
}

const pt::ptree* child(const pt::ptree& tree, const char* name) {
  auto found = tree.get_child_optional(name);
  return found ? &*found : nullptr;
}

const pt::ptree& required(const pt::ptree& tree, const char* name, const char* logLine, const char* failure,
                          const char* function) {
  auto found = tree.get_child_optional(name);
  if (!found) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "%s", logLine);
    throw ParseFailure {failure};
  }
  return *found;
}

}  // namespace

bool CVelmoraPluginJsonUtils::ParseRedirectPayload(const char* payload, ParsedRedirect& out) {
  return parseFramed<ParsedRedirect>(
      payload, out, "CVelmoraPluginJsonUtils::ParseRedirectPayload", [](const pt::ptree& tree, ParsedRedirect& r) {
        const pt::ptree* dns4 = child(tree, "dns4");
        const pt::ptree* dns6 = child(tree, "dns6");
        const pt::ptree* pids = child(tree, "ignore_pids");
        if (pids != nullptr) {
          for (const auto& element : *pids) r.ignorePids.push_back(toNumber<u32>(element.second.data()));
        }
        FamilyNotes n4, n6;
        if (dns4 != nullptr) n4 = readRedirectFamily(*dns4, r.whitelist4, r.resolvers4, r.redirect4);
        if (dns6 != nullptr) n6 = readRedirectFamily(*dns6, r.whitelist6, r.resolvers6, r.redirect6);

        bool hasPids = pids != nullptr;
        bool anyWhitelist = n4.whitelist || n6.whitelist;
        bool anyResolvers = n4.resolvers || n6.resolvers;
        bool anyRedirect = n4.redirect || n6.redirect;
        if (hasPids && dns4 == nullptr && dns6 == nullptr) {
          r.justPids = true;
        } else if (n4.whitelist && n6.whitelist && !hasPids && !anyResolvers && !anyRedirect) {
          r.justWhiteLists = true;
        } else if (n4.resolvers && n6.resolvers && !hasPids && !anyWhitelist && !anyRedirect) {
          r.justResolvers = true;
        } else if (!(hasPids && n4.whitelist && n4.resolvers && n4.redirect && n6.whitelist && n6.resolvers &&
                     n6.redirect)) {
          throw ParseFailure {"invalid format: expected just PIDs, just white lists, just resolvers or all properties"};
        }
      });
}

bool CVelmoraPluginJsonUtils::ParseProtectionStatePayload(const char* payload, ParsedProtectionState& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::ParseProtectionStatePayload";
  return parseFramed<ParsedProtectionState>(
      payload, out, kFunction, [kFunction](const pt::ptree& tree, ParsedProtectionState& r) {
        readProtectionFamily(child(tree, "dns4"), &IsValidDnsProtectionState, "unexpected IPv4 protection state",
                             "protection_state", r.dnsProtectionState4, nullptr);
        readProtectionFamily(child(tree, "dns6"), &IsValidDnsProtectionState, "unexpected IPv6 protection state",
                             "protection_state", r.dnsProtectionState6, nullptr);
        readProtectionFamily(child(tree, "ip4"), &IsValidIpProtectionState, "unexpected IPv4 blocking state",
                             "protection_state", r.ipProtectionState4, &r.connectionError4);
        readProtectionFamily(child(tree, "ip6"), &IsValidIpProtectionState, "unexpected IPv6 blocking state",
                             "protection_state", r.ipProtectionState6, &r.connectionError6);
        if (const pt::ptree* swg = child(tree, "swg")) {
          if (const pt::ptree* enabled = child(*swg, "enabled")) r.swgEnabled = isTrue(*enabled);
        }
        r.clientDisplayName = required(tree, "client_display_name", "missing client name attribute",
                                       "no client name attribute", kFunction)
                                  .data();
        r.userName =
            required(tree, "user_name", "missing user name attribute", "no user name attribute", kFunction).data();
        r.lastPolicySyncTime = toNumber<std::int64_t>(required(tree, "last_policy_sync_time",
                                                               "missing last sync time attribute",
                                                               "no last sync time attribute", kFunction)
                                                          .data());
        r.logUploadEnabled = isTrue(required(tree, "log_upload_enabled", "missing log upload enabled attribute",
                                             "no log upload enabled attribute", kFunction));
      });
}

bool CVelmoraPluginJsonUtils::ParseSWGStatePayload(const char* payload, ParsedSwgState& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::ParseSWGStatePayload";
  return parseFramed<ParsedSwgState>(
      payload, out, kFunction, [kFunction](const pt::ptree& tree, ParsedSwgState& r) {
        const std::string& state =
            required(tree, "swg_protection_state", "missing state attribute", "no state attribute", kFunction)
                .data();
        if (!IsValidSwgState(state)) throw ParseFailure{"unexpected SWG state"};
        r.swgState = state;
      });
}

bool CVelmoraPluginJsonUtils::ParseSWGStatsPayload(const char* payload, ParsedSwgStats& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::ParseSWGStatsPayload";
  return parseFramed<ParsedSwgStats>(
      payload, out, kFunction, [kFunction](const pt::ptree& tree, ParsedSwgStats& r) {
        const pt::ptree& info =
            required(tree, "web_connections_info", "missing web connection info attributes",
                     "no web connection info attributes", kFunction);
        // Members are counted, not names: a counter sent twice hides a missing one.
        constexpr u32 kCounters = 3;
        u32 found = 0;
        for (const auto& member : info) {
          u32* field = member.first == "http_connections"       ? &r.httpConnections
                       : member.first == "https_connections"    ? &r.httpsConnections
                       : member.first == "bypassed_connections" ? &r.bypassedConnections
                                                                : nullptr;
          if (field == nullptr) continue;
          *field = toNumber<u32>(member.second.data());
          ++found;
        }
        if (found != kCounters) {
          HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "found %u web connection info attributes, expected %u", found,
                   kCounters);
          throw ParseFailure{"incomplete web connection info attributes"};
        }
        r.proxy =
            required(tree, "tarrow_proxy", "missing proxy attribute", "no proxy attribute", kFunction).data();
        if (const pt::ptree* message = child(tree, "user_message")) r.userMessage = message->data();
      });
}

bool CVelmoraPluginJsonUtils::ParseUpgradeDetailsChangedPayload(const char* payload,
                                                                ParsedUpgradeDetails& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::ParseUpgradeDetailsChangedPayload";
  return parseFramed<ParsedUpgradeDetails>(
      payload, out, kFunction, [kFunction](const pt::ptree& tree, ParsedUpgradeDetails& r) {
        r.manifestUrl = required(tree, "manifest_url", "missing manifest URL attribute",
                                 "no manifest URL attribute", kFunction)
                            .data();
        r.downloadUrl = required(tree, "download_url", "missing download URL attribute",
                                 "no download URL attribute", kFunction)
                            .data();
        r.upgradeCheckInterval =
            toNumber<u32>(required(tree, "upgrade_check_interval", "missing upgrade check interval attribute",
                                   "no upgrade check interval attribute", kFunction)
                              .data());
        r.upgradeWindowIsOpen =
            isTrue(required(tree, "upgrade_window_is_open", "missing 'upgrade windows open' attribute",
                            "no 'upgrade windows open' attribute", kFunction));
      });
}

bool CVelmoraPluginJsonUtils::IsValidDnsProtectionState(const std::string& state) {
  static const std::set<std::string> kStates = {"disabled",
                                                "reserved",
                                                "encrypted",
                                                "protected",
                                                "behind_va",
                                                "protected_network",
                                                "tnd_network",
                                                "velm_trusted_network",
                                                "disabled_due_to_vpn",
                                                "open",
                                                "open_interference_detected_A",
                                                "open_interference_detected_AAAA",
                                                "open_interference_detected_A_and_AAAA",
                                                "encrypted_limited_dns64_detected",
                                                "protected_limited_dns64_detected",
                                                "open_not_required",
                                                "open_not_available",
                                                "disabled_no_network_stack"};
  return kStates.count(state) != 0;
}

bool CVelmoraPluginJsonUtils::IsValidIpProtectionState(const std::string& state) {
  static const std::set<std::string> kStates = {"not_protected", "in_progress", "partial", "protected"};
  return kStates.count(state) != 0;
}

bool CVelmoraPluginJsonUtils::IsValidSwgState(const std::string& state) {
  static const std::set<std::string> kStates = {"protected",
                                                "unprotected",
                                                "config_error",
                                                "cloud_service_unavailable",
                                                "disabled",
                                                "disabled_due_to_vpn",
                                                "disabled_due_to_trusted_network"};
  return kStates.count(state) != 0;
}

}  // namespace hxt
