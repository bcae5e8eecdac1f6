// The organisation profile, OrgInfo.json, as this plug-in reads it. The
// schema is documented in docs/plugins.md. A profile that cannot be used is
// refused as a whole, with the member at fault and the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace hxt::dnsprotect {

struct UpstreamConfig {
  boost::asio::ip::address address;
  std::uint16_t port = 53;
  bool tls = false;
  std::string tlsName;       // the name the certificate must carry; "" checks the address
  std::string caFile;        // "" uses the system's trust store
  std::string Text() const;  // "address:port" as configured
};

struct Profile {
  std::string organization;
  std::vector<UpstreamConfig> upstreams;
  std::vector<std::string> blockLists;  // absolute paths
  std::vector<std::string> allowList;
  std::string blockAddress;  // 4 or 16 bytes; "" answers NXDOMAIN
  std::uint32_t blockTtl = 60;
  std::vector<std::string> localDomains;
  std::uint32_t queryTimeoutMs = 2000;
  // RFC 8310 usage profile. Strict: queries go only to the TLS upstreams,
  // never in clear text. Opportunistic: plain upstreams stand in when the
  // TLS ones fail.
  bool strictTls = false;
  bool standDownOnTrustedNetwork = false;
  std::uint64_t blockLogMaxBytes = 1u << 20;
  std::uint32_t healthCheckIntervalMs = 10000;
  std::uint32_t tlsIdleTimeoutMs = 30000;
  std::uint32_t cacheMaxEntries = 10000;
  std::uint64_t cacheMaxBytes = 8u << 20;
  std::uint32_t cacheMinTtl = 5;
  std::uint32_t cacheMaxTtl = 86400;
  bool serveStale = false;  // expired answers stand in when every upstream failed
  std::string metricsFile;  // where to write the plug-in's counters; "" writes none
  std::uint32_t metricsIntervalMs = 15000;
  // Interference: a name whose answers the organisation knows (wire-form
  // labels; "" checks nothing) and its A and AAAA addresses (4 or 16 bytes
  // each). A plain upstream that answers otherwise is not the one asked.
  std::string canaryLabels;
  std::string canaryName;
  std::vector<std::string> canaryA, canaryAaaa;
  // Captive portals: the plain HTTP URL checked when no upstream answers (the
  // check is asked for by the profile: it sends a query and a request out of
  // the protected path, to whatever the network offers), the
  // body it must answer with, names the portal needs besides the check and
  // login hosts (wire-form labels, with the names below them), the network's
  // resolvers (none: the nameserver lines of the system's resolver file that
  // are not loopback) and how often a portal is checked again.
  bool portalCheck = false;  // on when the profile has a "portal" member
  std::string portalCheckUrl = "http://portal-check.truvane.net/check";
  std::string portalExpectBody = "OK";
  std::vector<std::string> portalAllow;
  std::vector<UpstreamConfig> portalResolvers;
  std::uint32_t portalRecheckMs = 5000;
  bool swgEnabled = false;
  std::string swgProxy;
  std::string updatesLocation;
  std::uint32_t updatesCheckIntervalSeconds = 3600;
};

// Parses `text`; relative file names are taken from `profileDir`. On failure
// `error` reads "<member>: <reason>".
bool ParseProfile(const std::string& text, const std::string& profileDir, Profile& out, std::string& error);
bool LoadProfile(const std::string& path, const std::string& profileDir, Profile& out, std::string& error);

// "1.2.3.4:53", "[::1]:853" or a bare address (then `defaultPort`).
bool ParseAddressPort(const std::string& text, std::uint16_t defaultPort, boost::asio::ip::address& address,
                      std::uint16_t& port);

}  // namespace hxt::dnsprotect
