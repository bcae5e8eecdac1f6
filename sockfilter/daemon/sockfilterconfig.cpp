#include "daemon/sockfilterconfig.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "common/controlproto.h"
#include "common/registry.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;

bool ParseEndpoint(const std::string& text, u16 defaultPort, udp::endpoint& endpoint) {
  std::string host = text;
  std::string port;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port = text.substr(close + 2);
    }
  } else if (std::count(text.begin(), text.end(), ':') == 1) {
    std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  boost::system::error_code ec;
  asio::ip::address address = asio::ip::make_address(host, ec);
  if (ec) return false;
  unsigned long number = defaultPort;
  if (!port.empty()) {
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5) return false;
    number = std::stoul(port);
    if (number > 65535) return false;
  }
  endpoint = udp::endpoint(address, static_cast<u16>(number));
  return true;
}

bool ParseEndpointList(const std::string& text, std::vector<udp::endpoint>& endpoints, std::string& bad) {
  std::string normalised = text;
  for (char& c : normalised) {
    if (c == ',' || c == ';') c = ' ';
  }
  std::istringstream items(normalised);
  std::string item;
  std::vector<udp::endpoint> parsed;
  while (items >> item) {
    udp::endpoint endpoint;
    if (!ParseEndpoint(item, kDnsPort, endpoint)) {
      bad = item;
      return false;
    }
    parsed.push_back(endpoint);
  }
  endpoints = std::move(parsed);
  return true;
}

std::vector<udp::endpoint> ResolversFromResolvConf(const std::string& text,
                                                   const std::vector<udp::endpoint>& exclude, u16 port) {
  std::vector<udp::endpoint> resolvers;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string keyword;
    std::string value;
    if (!(words >> keyword >> value) || keyword != "nameserver") continue;
    // A scoped link-local address ("fe80::1%eth0") keeps its scope.
    boost::system::error_code ec;
    asio::ip::address address = asio::ip::make_address(value, ec);
    if (ec) continue;
    udp::endpoint endpoint(address, port);
    if (std::find(exclude.begin(), exclude.end(), endpoint) != exclude.end()) continue;
    resolvers.push_back(endpoint);
  }
  return resolvers;
}

std::string EndpointText(const udp::endpoint& endpoint) {
  std::string host = endpoint.address().to_string();
  if (endpoint.address().is_v6()) host = "[" + host + "]";
  return host + ":" + std::to_string(endpoint.port());
}

namespace {

bool readString(const platform::CRegistryKey& key, const char* name, std::string& value) {
  return key.QueryString(name, 4096, value) == platform::kRegOk;
}

bool readStub(const platform::CRegistryKey& key, const char* name, std::optional<udp::endpoint>& stub,
              bool wantV6, std::string& error) {
  std::string text;
  if (!readString(key, name, text)) return true;
  if (text.empty()) {
    stub.reset();  // an empty value switches the family off
    return true;
  }
  udp::endpoint endpoint;
  if (!ParseEndpoint(text, kDnsPort, endpoint) || endpoint.address().is_v6() != wantV6) {
    error = std::string("bad ") + name + " \"" + text + "\"";
    return false;
  }
  stub = endpoint;
  return true;
}

void readMilliseconds(const platform::CRegistryKey& key, const char* name, std::chrono::milliseconds& value) {
  u32 number = 0;
  if (key.QueryDword(name, number) == platform::kRegOk && number > 0)
    value = std::chrono::milliseconds(number);
}

void readLimit(const platform::CRegistryKey& key, const char* name, u32& value) {
  u32 number = 0;
  if (key.QueryDword(name, number) == platform::kRegOk && number > 0) value = number;
}

}  // namespace

bool LoadConfig(SockFilterConfig& config, std::string& error, const std::string& resolvConfPath) {
  config.stub4 = udp::endpoint(asio::ip::make_address("127.0.0.1"), kDnsPort);
  config.stub6 = udp::endpoint(asio::ip::make_address("::1"), kDnsPort);
  config.controlPath = DefaultControlPath();
  bool resolversConfigured = false;
  std::string resolvConf = resolvConfPath;

  platform::CRegistryKey key;
  if (key.Open(kConfigKey) == platform::kRegOk) {
    std::string text;
    if (readString(key, "Mode", text) && !text.empty()) config.mode = text;
    if (!readStub(key, "StubAddress4", config.stub4, false, error)) return false;
    if (!readStub(key, "StubAddress6", config.stub6, true, error)) return false;
    if (readString(key, "PassThroughResolvers", text)) {
      std::string bad;
      if (!ParseEndpointList(text, config.resolvers, bad)) {
        error = "bad PassThroughResolvers entry \"" + bad + "\"";
        return false;
      }
      resolversConfigured = !config.resolvers.empty();
    }
    if (readString(key, "ExemptCgroups", text)) {
      std::istringstream paths(text);
      config.exemptCgroups.clear();
      for (std::string path; paths >> path;) config.exemptCgroups.push_back(path);
    }
    readMilliseconds(key, "ServiceTimeoutMs", config.serviceTimeout);
    readMilliseconds(key, "PassThroughTimeoutMs", config.passThroughTimeout);
    readMilliseconds(key, "TcpIdleTimeoutMs", config.tcpIdleTimeout);
    readLimit(key, "MaxPendingQueries", config.maxPendingQueries);
    readLimit(key, "MaxPendingPerClient", config.maxPendingPerClient);
    readLimit(key, "MaxPendingPerUser", config.maxPendingPerUser);
    readLimit(key, "MaxTcpConnections", config.maxTcpConnections);
    readLimit(key, "MaxTcpConnectionsPerUser", config.maxTcpConnectionsPerUser);
    u32 flag = 0;
    if (key.QueryDword("StubNonLoopback", flag) == platform::kRegOk) config.nonLoopbackStub = flag == 1;
    if (key.QueryDword("Attribution", flag) == platform::kRegOk) config.attribution = flag != 0;
    if (readString(key, "IgnoredPrograms", text)) config.ignoredPrograms = ParsePathList(text);
    if (readString(key, "ControlGroup", text)) config.controlGroup = text;
    if (readString(key, "ResolvConf", text) && !text.empty()) resolvConf = text;
  }
  if (config.mode != kModeStub && config.mode != kModeTransparent) {
    error = "unsupported Mode \"" + config.mode + "\" (this build offers \"stub\" and \"transparent\")";
    return false;
  }
  if (!resolversConfigured) {
    // Once the stub has taken over, resolv.conf may name the stub itself:
    // passing queries through to it would loop.
    std::vector<udp::endpoint> stubs;
    if (config.stub4) stubs.push_back(*config.stub4);
    if (config.stub6) stubs.push_back(*config.stub6);
    std::ifstream in(resolvConf);
    std::stringstream text;
    text << in.rdbuf();
    config.resolvers = ResolversFromResolvConf(text.str(), stubs);
    config.resolvConfPath = resolvConf;
  }
  return CheckStubAddresses(config, error);
}

std::vector<std::string> ParsePathList(const std::string& text) {
  std::vector<std::string> paths;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(";\n", start);
    if (end == std::string::npos) end = text.size();
    std::string path = text.substr(start, end - start);
    while (!path.empty() && std::isspace(static_cast<unsigned char>(path.back()))) path.pop_back();
    std::size_t first = 0;
    while (first < path.size() && std::isspace(static_cast<unsigned char>(path[first]))) ++first;
    path.erase(0, first);
    if (!path.empty()) paths.push_back(path);
    start = end + 1;
  }
  return paths;
}

bool CheckStubAddresses(const SockFilterConfig& config, std::string& error) {
  for (const auto& stub : {config.stub4, config.stub6}) {
    if (stub && !stub->address().is_loopback() && !config.nonLoopbackStub) {
      error = "stub address " + EndpointText(*stub) +
              " is not loopback: it would answer other machines (set StubNonLoopback to 1 to allow it)";
      return false;
    }
  }
  return true;
}

}  // namespace hxt::sockfilter
