// hxsockfilterd's configuration: the registry key
// HKEY_LOCAL_MACHINE\SOFTWARE\Truvane\Truvane Helixor Client\SocketFilter,
// then the command line on top (README: "Socket filter").
//
// Durations and limits have defaults fit for a machine's resolver; tests
// build a configuration directly and shorten them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

constexpr const char* kConfigKey = "SOFTWARE\\Truvane\\Truvane Helixor Client\\SocketFilter";
constexpr const char* kModeStub = "stub";
constexpr const char* kModeTransparent = "transparent";
constexpr u16 kDnsPort = 53;

struct SockFilterConfig {
  std::string mode = kModeStub;
  // Where clients send their queries; absent disables the family.
  std::optional<boost::asio::ip::udp::endpoint> stub4;
  std::optional<boost::asio::ip::udp::endpoint> stub6;
  // Where queries go when they are not redirected (UDP and TCP, same port).
  std::vector<boost::asio::ip::udp::endpoint> resolvers;
  std::string controlPath;
  // Transparent mode: cgroups whose DNS is never redirected, besides the
  // agent's own and the ignore list's (those that do not exist are skipped).
  std::vector<std::string> exemptCgroups{"/system.slice/hxtarrowagent.service"};
  // How long the agent's listener may take before a query fails over.
  std::chrono::milliseconds serviceTimeout{1500};
  // How long one pass-through resolver may take before the next is tried.
  std::chrono::milliseconds passThroughTimeout{2000};
  std::chrono::milliseconds tcpIdleTimeout{30000};
  // How long a control peer may take to say HELLO.
  std::chrono::milliseconds handshakeTimeout{5000};
  u32 maxPendingQueries = 1024;
  u32 maxPendingPerClient = 64;
  u32 maxTcpConnections = 256;
  u32 maxControlPeers = 16;
};

// "1.2.3.4", "1.2.3.4:53", "::1", "[::1]:53"; `defaultPort` when none is given.
bool ParseEndpoint(const std::string& text, u16 defaultPort, boost::asio::ip::udp::endpoint& endpoint);
// A list separated by commas, semicolons or white space; false (with the
// offending item in `bad`) when an item does not parse.
bool ParseEndpointList(const std::string& text, std::vector<boost::asio::ip::udp::endpoint>& endpoints,
                       std::string& bad);
// The name servers of a resolv.conf text (port 53), skipping `exclude`.
std::vector<boost::asio::ip::udp::endpoint> ResolversFromResolvConf(
    const std::string& text, const std::vector<boost::asio::ip::udp::endpoint>& exclude);

// The defaults, the registry key over them and, when no resolvers are
// configured, the name servers of `resolvConfPath` that are not a stub
// address. False with a reason for a value that makes no sense.
bool LoadConfig(SockFilterConfig& config, std::string& error,
                const std::string& resolvConfPath = "/etc/resolv.conf");

std::string EndpointText(const boost::asio::ip::udp::endpoint& endpoint);

}  // namespace hxt::sockfilter
