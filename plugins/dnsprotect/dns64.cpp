#include "dns64.h"

#include <array>
#include <cstring>
#include <vector>

#include <boost/asio/ip/address_v6.hpp>

#include "dnsmessage.h"

namespace hxt::dnsprotect {

namespace {

// The IPv4 address embedded after a prefix of `prefixBytes`: RFC 6052 keeps
// bits 64 to 71 (byte 8) zero and lets the address flow around them.
bool Embedded(const std::array<unsigned char, 16>& v6, std::size_t prefixBytes,
              std::array<unsigned char, 4>& v4) {
  if (prefixBytes < 12 && v6[8] != 0) return false;
  std::size_t at = prefixBytes;
  for (auto& byte : v4) {
    if (at == 8) ++at;
    byte = v6[at++];
  }
  return true;
}

}  // namespace

std::optional<std::string> FindDns64Prefix(const std::string& answer) {
  std::vector<std::string> rdatas;
  if (Rcode(answer) != kRcodeNoError || !AnswerRdatas(answer, kTypeAaaa, rdatas)) return std::nullopt;
  // The lengths RFC 6052 allows, the common one first.
  static constexpr std::size_t kPrefixBytes[] = {12, 8, 7, 6, 5, 4};
  for (const auto& rdata : rdatas) {
    if (rdata.size() != 16) continue;
    std::array<unsigned char, 16> v6{};
    std::memcpy(v6.data(), rdata.data(), v6.size());
    for (std::size_t bytes : kPrefixBytes) {
      std::array<unsigned char, 4> v4{};
      if (!Embedded(v6, bytes, v4) || v4[0] != 192 || v4[1] != 0 || v4[2] != 0 ||
          (v4[3] != 170 && v4[3] != 171))
        continue;
      std::array<unsigned char, 16> prefix{};
      std::memcpy(prefix.data(), v6.data(), bytes);
      return boost::asio::ip::address_v6(prefix).to_string() + "/" + std::to_string(bytes * 8);
    }
  }
  return std::nullopt;
}

}  // namespace hxt::dnsprotect
