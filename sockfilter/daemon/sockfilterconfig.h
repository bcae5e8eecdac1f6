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
  // Where queries go when they are not redirected (UDP and TCP, same port),
  // tried in order across both families.
  std::vector<boost::asio::ip::udp::endpoint> resolvers;
  // Where `resolvers` came from when no list was configured: the file is
  // read again when it changes (a roaming machine rewrites it on every
  // network change), checked at most once per interval. Empty: fixed list.
  std::string resolvConfPath;
  std::chrono::milliseconds resolvConfCheckInterval{1000};
  // The port of its name servers: 53 (tests run their resolvers elsewhere).
  u16 resolvConfPort = kDnsPort;
  // Stub addresses other than loopback make an open resolver; only an
  // explicit StubNonLoopback = 1 allows them.
  bool nonLoopbackStub = false;
  std::string controlPath;
  // A group admitted to the control socket besides its owner (mode 0660),
  // so that the agent can run as a user of that group.
  std::string controlGroup;
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
  u32 maxPendingPerClient = 256;
  u32 maxPendingPerUser = 256;
  u32 maxTcpConnections = 256;
  u32 maxTcpConnectionsPerUser = 64;
  u32 maxControlPeers = 16;
  // Frames queued to one control peer that does not read; more close it.
  u32 maxControlQueue = 256;
  // After this many time-outs in a row of the agent's listener of one
  // family, that family's queries go straight to the pass-through resolvers
  // (the agent hangs); one query per probe interval still tries the agent.
  u32 breakerThreshold = 3;
  std::chrono::milliseconds breakerProbeInterval{5000};
  // How often the agent's listener ports are looked at again while queries
  // go to them: a port the agent let go and another process took gets at
  // most this long of queries.
  std::chrono::milliseconds portCheckInterval{1000};
  // Which program asked each query, counted per program for `hxtarrowctl
  // top` and named in the log of blocked answers. Off: no process is looked
  // at, and IgnoredPrograms cannot work.
  bool attribution = true;
  // Executables (full paths) whose queries never go to the agent: passed
  // through in stub mode, sent to the resolver they asked in transparent mode.
  std::vector<std::string> ignoredPrograms;
};

// "1.2.3.4", "1.2.3.4:53", "::1", "[::1]:53"; `defaultPort` when none is given.
bool ParseEndpoint(const std::string& text, u16 defaultPort, boost::asio::ip::udp::endpoint& endpoint);
// A list separated by commas, semicolons or white space; false (with the
// offending item in `bad`) when an item does not parse.
bool ParseEndpointList(const std::string& text, std::vector<boost::asio::ip::udp::endpoint>& endpoints,
                       std::string& bad);
// The name servers of a resolv.conf text (at `port`), skipping `exclude`.
std::vector<boost::asio::ip::udp::endpoint> ResolversFromResolvConf(
    const std::string& text, const std::vector<boost::asio::ip::udp::endpoint>& exclude, u16 port = kDnsPort);

// Paths separated by semicolons or line feeds (a path may hold spaces),
// white space around each trimmed, empty ones skipped.
std::vector<std::string> ParsePathList(const std::string& text);

// The defaults, the registry key over them and, when no resolvers are
// configured, the name servers of `resolvConfPath` (or of the key's
// ResolvConf) that are not a stub address. False with a reason for a value that makes no sense.
bool LoadConfig(SockFilterConfig& config, std::string& error,
                const std::string& resolvConfPath = "/etc/resolv.conf");

// Refuses a stub address that is not loopback unless the configuration
// opted in.
bool CheckStubAddresses(const SockFilterConfig& config, std::string& error);

std::string EndpointText(const boost::asio::ip::udp::endpoint& endpoint);

}  // namespace hxt::sockfilter
