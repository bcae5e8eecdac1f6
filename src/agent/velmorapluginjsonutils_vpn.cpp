// The documents the service writes for the DNS-protection plug-in: the VPN
// state and the upgrade notice.
#include <exception>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "agent/velmorapluginjsonutils.h"
#include "agent/velmoravpnconsumer.h"
#include "common/applog.h"

namespace hxt {

namespace {

namespace pt = boost::property_tree;

const char* flagText(bool value) {
  return value ? "true" : "false";
}

// Children with empty names make the writer emit an array; a list without
// entries stays a childless node, which it writes as an empty string.
pt::ptree arrayOf(const std::vector<std::string>& values) {
  pt::ptree array;
  for (const auto& value : values) array.push_back(std::make_pair(std::string(), pt::ptree(value)));
  return array;
}

pt::ptree family(const ParsedVpnState& state, const std::string& vpnType, bool splitDns,
                 const std::vector<std::string>& dnsServers, const pt::ptree& domains,
                 const pt::ptree& networks) {
  pt::ptree node;
  node.put("state", state.state);
  node.put("vpn_type", vpnType);
  node.put("tunnel_all_dns", flagText(state.tunnelAllDns));
  node.put("split_dns", flagText(splitDns));
  node.push_back(std::make_pair("dns", arrayOf(dnsServers)));
  // The family's split-DNS flag decides whether either list is told at all.
  node.push_back(std::make_pair("split_dns_domains", splitDns ? domains : pt::ptree()));
  node.push_back(std::make_pair("split_include_networks", splitDns ? networks : pt::ptree()));
  return node;
}

// Compact, with the writer's escapes ('/' as "\/" included) and its line feed.
std::string write(const pt::ptree& document) {
  std::ostringstream text;
  pt::write_json(text, document, false);
  return text.str();
}

}  // namespace

bool CVelmoraPluginJsonUtils::BuildVpnStatePayload(const ParsedVpnState& state, std::string& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::BuildVpnStatePayload";
  out.clear();
  try {
    pt::ptree root;
    root.put("version", kPayloadVersion);
    const pt::ptree networks = arrayOf(state.splitIncludeNetworks);
    const pt::ptree domains = arrayOf(state.splitDnsDomains);
    root.push_back(std::make_pair("vpn_ipv4", family(state, state.vpnTypeIpv4, state.splitDnsIpv4,
                                                     state.dnsServersIpv4, domains, networks)));
    root.push_back(std::make_pair("vpn_ipv6", family(state, state.vpnTypeIpv6, state.splitDnsIpv6,
                                                     state.dnsServersIpv6, domains, networks)));
    root.put("tnd", state.tndState);
    out = write(root);
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Failed to build JSON payload - %s", e.what());
    out.clear();
    return false;
  }
}

bool CVelmoraPluginJsonUtils::BuildUpgradeStateChangedPayload(std::string& out) {
  constexpr const char* kFunction = "CVelmoraPluginJsonUtils::BuildUpgradeStateChangedPayload";
  out.clear();
  try {
    pt::ptree root;
    root.put("version", kPayloadVersion);
    root.put("upgrade_is_ready", flagText(true));
    out = write(root);
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Failed to build JSON payload - %s", e.what());
    out.clear();
    return false;
  }
}

}  // namespace hxt
