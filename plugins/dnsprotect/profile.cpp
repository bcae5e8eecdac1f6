#include "profile.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "captiveportal.h"
#include "dnsmessage.h"

namespace hxt::dnsprotect {
namespace {

using boost::property_tree::ptree;

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Refuse(const std::string& member, const std::string& reason) {
  throw Refusal(member + ": " + reason);
}

bool IsArray(const ptree& node) {
  for (const auto& child : node) {
    if (!child.first.empty()) return false;
  }
  return true;
}

// An array of strings; a JSON empty array reads as an empty value.
std::vector<std::string> Strings(const ptree& parent, const std::string& name, const std::string& member) {
  std::vector<std::string> out;
  auto node = parent.get_child_optional(name);
  if (!node) return out;
  if (node->empty() && !node->data().empty()) Refuse(member, "expected an array of strings");
  if (!IsArray(*node)) Refuse(member, "expected an array of strings");
  for (const auto& child : *node) {
    if (!child.second.empty()) Refuse(member, "expected an array of strings");
    out.push_back(child.second.data());
  }
  return out;
}

std::uint64_t Number(const ptree& parent, const std::string& name, const std::string& member,
                     std::uint64_t low, std::uint64_t high, std::uint64_t fallback) {
  auto node = parent.get_child_optional(name);
  if (!node) return fallback;
  const std::string& text = node->data();
  if (!node->empty() || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 18) {
    Refuse(member, "expected a whole number");
  }
  std::uint64_t value = std::stoull(text);
  if (value < low || value > high) {
    Refuse(member, "out of range (" + std::to_string(low) + " to " + std::to_string(high) + ")");
  }
  return value;
}

bool Flag(const ptree& parent, const std::string& name, const std::string& member, bool fallback) {
  auto node = parent.get_child_optional(name);
  if (!node) return fallback;
  if (!node->empty() || (node->data() != "true" && node->data() != "false"))
    Refuse(member, "expected true or false");
  return node->data() == "true";
}

std::string Text(const ptree& parent, const std::string& name, const std::string& member, bool required) {
  auto node = parent.get_child_optional(name);
  if (!node) {
    if (required) Refuse(member, "missing");
    return {};
  }
  if (!node->empty()) Refuse(member, "expected a string");
  return node->data();
}

const ptree* Object(const ptree& parent, const std::string& name, const std::string& member, bool required) {
  auto node = parent.get_child_optional(name);
  if (!node) {
    if (required) Refuse(member, "missing");
    return nullptr;
  }
  if (node->empty() || IsArray(*node)) Refuse(member, "expected an object");
  return &*node;
}

std::string Resolve(const std::string& file, const std::string& profileDir) {
  if (file.empty() || file[0] == '/') return file;
  return profileDir + "/" + file;
}

UpstreamConfig Upstream(const ptree& node, const std::string& member, const std::string& profileDir) {
  if (node.empty() || IsArray(node)) Refuse(member, "expected an object");
  UpstreamConfig up;
  const std::string transport = Text(node, "transport", member + ".transport", false);
  if (transport == "tls") {
    up.tls = true;
  } else if (!transport.empty() && transport != "udp") {
    Refuse(member + ".transport", "expected \"udp\" or \"tls\"");
  }
  const std::string address = Text(node, "address", member + ".address", true);
  if (!ParseAddressPort(address, up.tls ? 853 : 53, up.address, up.port)) {
    Refuse(member + ".address", "expected an IP address with an optional port");
  }
  up.tlsName = Text(node, "tlsName", member + ".tlsName", false);
  up.caFile = Resolve(Text(node, "caFile", member + ".caFile", false), profileDir);
  if (!up.tls && (!up.tlsName.empty() || !up.caFile.empty())) {
    Refuse(member, "tlsName and caFile need \"transport\": \"tls\"");
  }
  if (!up.caFile.empty() && !std::ifstream(up.caFile)) Refuse(member + ".caFile", "cannot read " + up.caFile);
  return up;
}

void Parse(const ptree& root, const std::string& profileDir, Profile& out) {
  out.organization = Text(root, "organization", "organization", true);
  const ptree& dns = *Object(root, "dns", "dns", true);
  auto upstreams = dns.get_child_optional("upstreams");
  if (!upstreams || upstreams->empty() || !IsArray(*upstreams)) {
    Refuse("dns.upstreams", "expected a non-empty array of upstream objects");
  }
  std::size_t index = 0;
  for (const auto& child : *upstreams) {
    out.upstreams.push_back(
        Upstream(child.second, "dns.upstreams[" + std::to_string(index++) + "]", profileDir));
  }
  for (const auto& file : Strings(dns, "blockLists", "dns.blockLists")) {
    std::string path = Resolve(file, profileDir);
    if (!std::ifstream(path)) Refuse("dns.blockLists", "cannot read " + path);
    out.blockLists.push_back(path);
  }
  out.allowList = Strings(dns, "allowList", "dns.allowList");
  const std::string response = Text(dns, "blockResponse", "dns.blockResponse", false);
  if (!response.empty() && response != "nxdomain") {
    boost::system::error_code error;
    auto address = boost::asio::ip::make_address(response, error);
    if (error) Refuse("dns.blockResponse", "expected \"nxdomain\" or an IP address");
    if (address.is_v4()) {
      auto bytes = address.to_v4().to_bytes();
      out.blockAddress.assign(bytes.begin(), bytes.end());
    } else {
      auto bytes = address.to_v6().to_bytes();
      out.blockAddress.assign(bytes.begin(), bytes.end());
    }
  }
  out.blockTtl = static_cast<std::uint32_t>(Number(dns, "blockTtl", "dns.blockTtl", 0, 86400, out.blockTtl));
  out.localDomains = Strings(dns, "localDomains", "dns.localDomains");
  for (std::size_t i = 0; i < out.localDomains.size(); ++i) {
    std::string labels;
    if (!TextToLabels(out.localDomains[i], labels) || labels.empty()) {
      Refuse("dns.localDomains[" + std::to_string(i) + "]", "not a domain name");
    }
  }
  out.queryTimeoutMs = static_cast<std::uint32_t>(
      Number(dns, "queryTimeoutMs", "dns.queryTimeoutMs", 50, 60000, out.queryTimeoutMs));
  const std::string tlsProfile = Text(dns, "tlsProfile", "dns.tlsProfile", false);
  if (tlsProfile == "strict") {
    out.strictTls = true;
    bool anyTls = false;
    for (const auto& upstream : out.upstreams) anyTls = anyTls || upstream.tls;
    if (!anyTls) Refuse("dns.tlsProfile", "\"strict\" needs an upstream with \"transport\": \"tls\"");
  } else if (!tlsProfile.empty() && tlsProfile != "opportunistic") {
    Refuse("dns.tlsProfile", "expected \"strict\" or \"opportunistic\"");
  }
  out.standDownOnTrustedNetwork =
      Flag(dns, "standDownOnTrustedNetwork", "dns.standDownOnTrustedNetwork", out.standDownOnTrustedNetwork);
  if (const ptree* log = Object(dns, "blockLog", "dns.blockLog", false)) {
    out.blockLogMaxBytes =
        Number(*log, "maxBytes", "dns.blockLog.maxBytes", 1024, 1ull << 32, out.blockLogMaxBytes);
  }
  out.healthCheckIntervalMs = static_cast<std::uint32_t>(Number(
      dns, "healthCheckIntervalMs", "dns.healthCheckIntervalMs", 50, 3600000, out.healthCheckIntervalMs));
  out.tlsIdleTimeoutMs = static_cast<std::uint32_t>(
      Number(dns, "tlsIdleTimeoutMs", "dns.tlsIdleTimeoutMs", 100, 3600000, out.tlsIdleTimeoutMs));
  if (const ptree* cache = Object(dns, "cache", "dns.cache", false)) {
    out.cacheMaxEntries = static_cast<std::uint32_t>(
        Number(*cache, "maxEntries", "dns.cache.maxEntries", 0, 10000000, out.cacheMaxEntries));
    out.cacheMaxBytes = Number(*cache, "maxBytes", "dns.cache.maxBytes", 0, 1ull << 32, out.cacheMaxBytes);
    out.cacheMinTtl =
        static_cast<std::uint32_t>(Number(*cache, "minTtl", "dns.cache.minTtl", 0, 3600, out.cacheMinTtl));
    out.cacheMaxTtl =
        static_cast<std::uint32_t>(Number(*cache, "maxTtl", "dns.cache.maxTtl", 0, 604800, out.cacheMaxTtl));
    if (out.cacheMaxTtl < out.cacheMinTtl) Refuse("dns.cache.maxTtl", "smaller than dns.cache.minTtl");
    out.serveStale = Flag(*cache, "serveStale", "dns.cache.serveStale", out.serveStale);
  }
  if (const ptree* metrics = Object(dns, "metrics", "dns.metrics", false)) {
    out.metricsFile = Resolve(Text(*metrics, "file", "dns.metrics.file", true), profileDir);
    out.metricsIntervalMs = static_cast<std::uint32_t>(
        Number(*metrics, "intervalMs", "dns.metrics.intervalMs", 100, 3600000, out.metricsIntervalMs));
  }
  if (const ptree* canary = Object(dns, "canary", "dns.canary", false)) {
    out.canaryName = Text(*canary, "name", "dns.canary.name", true);
    if (!TextToLabels(out.canaryName, out.canaryLabels) || out.canaryLabels.empty())
      Refuse("dns.canary.name", "not a domain name");
    for (const bool v6 : {false, true}) {
      const std::string member = v6 ? "aaaa" : "a";
      for (const auto& text : Strings(*canary, member, "dns.canary." + member)) {
        boost::system::error_code error;
        const auto address = boost::asio::ip::make_address(text, error);
        if (error || address.is_v6() != v6)
          Refuse("dns.canary." + member, "expected IPv" + std::string(v6 ? "6" : "4") + " addresses");
        if (v6) {
          const auto bytes = address.to_v6().to_bytes();
          out.canaryAaaa.emplace_back(bytes.begin(), bytes.end());
        } else {
          const auto bytes = address.to_v4().to_bytes();
          out.canaryA.emplace_back(bytes.begin(), bytes.end());
        }
      }
    }
    if (out.canaryA.empty() && out.canaryAaaa.empty()) Refuse("dns.canary", "needs \"a\" or \"aaaa\"");
  }
  if (const ptree* portal = Object(dns, "portal", "dns.portal", false)) {
    out.portalCheck = Flag(*portal, "check", "dns.portal.check", true);
    const std::string url = Text(*portal, "checkUrl", "dns.portal.checkUrl", false);
    if (!url.empty()) out.portalCheckUrl = url;
    HttpUrl parsed;
    if (!ParseHttpUrl(out.portalCheckUrl, parsed)) Refuse("dns.portal.checkUrl", "expected an http:// URL");
    if (portal->get_child_optional("expectBody"))
      out.portalExpectBody = Text(*portal, "expectBody", "dns.portal.expectBody", false);
    const auto allow = Strings(*portal, "allow", "dns.portal.allow");
    for (std::size_t i = 0; i < allow.size(); ++i) {
      std::string labels;
      if (!TextToLabels(allow[i], labels) || labels.empty())
        Refuse("dns.portal.allow[" + std::to_string(i) + "]", "not a domain name");
      out.portalAllow.push_back(labels);
    }
    const auto resolvers = Strings(*portal, "resolvers", "dns.portal.resolvers");
    for (std::size_t i = 0; i < resolvers.size(); ++i) {
      UpstreamConfig resolver;
      if (!ParseAddressPort(resolvers[i], 53, resolver.address, resolver.port))
        Refuse("dns.portal.resolvers[" + std::to_string(i) + "]", "expected an IP address with an optional port");
      out.portalResolvers.push_back(resolver);
    }
    out.portalRecheckMs = static_cast<std::uint32_t>(
        Number(*portal, "recheckMs", "dns.portal.recheckMs", 100, 3600000, out.portalRecheckMs));
  }
  if (const ptree* swg = Object(root, "swg", "swg", false)) {
    out.swgEnabled = Flag(*swg, "enabled", "swg.enabled", false);
    out.swgProxy = Text(*swg, "proxy", "swg.proxy", out.swgEnabled);
  }
  if (const ptree* updates = Object(root, "updates", "updates", false)) {
    out.updatesLocation = Text(*updates, "location", "updates.location", true);
    out.updatesCheckIntervalSeconds =
        static_cast<std::uint32_t>(Number(*updates, "checkIntervalSeconds", "updates.checkIntervalSeconds",
                                          60, 604800, out.updatesCheckIntervalSeconds));
  }
}

}  // namespace

std::string UpstreamConfig::Text() const {
  return (address.is_v6() ? "[" + address.to_string() + "]" : address.to_string()) + ":" +
         std::to_string(port);
}

bool ParseAddressPort(const std::string& text, std::uint16_t defaultPort, boost::asio::ip::address& address,
                      std::uint16_t& port) {
  std::string host = text;
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    auto close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      portText = text.substr(close + 2);
      if (portText.empty()) return false;
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    host = text.substr(0, text.find(':'));
    portText = text.substr(text.find(':') + 1);
    if (portText.empty()) return false;
  }
  boost::system::error_code error;
  address = boost::asio::ip::make_address(host, error);
  if (error) return false;
  port = defaultPort;
  if (!portText.empty()) {
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long value = std::stoul(portText);
    if (value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
  }
  return true;
}

bool ParseProfile(const std::string& text, const std::string& profileDir, Profile& out, std::string& error) {
  out = Profile{};
  try {
    std::istringstream stream(text);
    ptree root;
    boost::property_tree::read_json(stream, root);
    if (IsArray(root) && !root.empty()) Refuse("(document)", "expected an object");
    Parse(root, profileDir, out);
    return true;
  } catch (const boost::property_tree::json_parser_error& e) {
    error = "(document): not JSON: " + e.message() + " at line " + std::to_string(e.line());
  } catch (const std::exception& e) {
    error = e.what();
  }
  return false;
}

bool LoadProfile(const std::string& path, const std::string& profileDir, Profile& out, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "(document): cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseProfile(text.str(), profileDir, out, error);
}

}  // namespace hxt::dnsprotect
