// DNS64 discovery (RFC 7050): a resolver that synthesizes AAAA records
// answers `ipv4only.arpa` AAAA, a name with A records only (192.0.0.170 and
// 192.0.0.171), with those addresses embedded in its NAT64 prefix as RFC 6052
// places them. Such a network reaches IPv4-only names only through
// synthesized answers, which the plug-in passes on unchanged.
#pragma once

#include <optional>
#include <string>

namespace hxt::dnsprotect {

constexpr const char* kDns64ProbeName = "ipv4only.arpa";

// The NAT64 prefix ("64:ff9b::/96") an answer to the probe reveals, or none
// when no AAAA record in it embeds one of the well-known addresses.
std::optional<std::string> FindDns64Prefix(const std::string& answer);

}  // namespace hxt::dnsprotect
