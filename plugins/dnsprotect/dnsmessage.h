// Just enough of the DNS wire format for a forwarding resolver: the question,
// the header bits it looks at, synthesized answers for blocked names, and
// the TTLs of cached answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hxt::dnsprotect {

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeNs = 2;
constexpr std::uint16_t kTypeSoa = 6;
constexpr std::uint16_t kTypeAaaa = 28;
constexpr std::uint16_t kTypeOpt = 41;
constexpr std::uint8_t kRcodeNoError = 0;
constexpr std::uint8_t kRcodeFormErr = 1;
constexpr std::uint8_t kRcodeServFail = 2;
constexpr std::uint8_t kRcodeNxDomain = 3;

struct Question {
  std::string name;  // lower case, no trailing dot; "" for the root
  std::uint16_t type = 0;
  std::uint16_t qclass = 0;
  std::size_t end = 0;  // offset just past the question in the message
};

// The first question of a query or answer; false when the message is cut
// short or malformed.
bool ParseQuestion(const std::string& message, Question& question);

std::uint16_t MessageId(const std::string& message);
void SetMessageId(std::string& message, std::uint16_t id);
bool IsTruncated(const std::string& message);
std::uint8_t Rcode(const std::string& message);

// A query for `name` (dotted) of `type`, class IN, recursion desired.
std::string BuildQuery(const std::string& name, std::uint16_t type, std::uint16_t id);

// The answer to `query` for a blocked name. `address` empty: NXDOMAIN with a
// synthesized SOA whose TTL and minimum are `ttl`. Otherwise an A or AAAA
// record with `address` (4 or 16 bytes) when the query asks for that type,
// and an empty NOERROR answer for every other type.
std::string BuildBlockedAnswer(const std::string& query, const Question& question, const std::string& address,
                               std::uint32_t ttl);
// An answer to `query` with no records and `rcode`.
std::string BuildErrorAnswer(const std::string& query, const Question& question, std::uint8_t rcode);

// What a cache may do with an answer: how long it stays, and whether it is
// negative (NXDOMAIN or no data, its TTL from the authority's SOA).
struct CacheInfo {
  bool cacheable = false;
  bool negative = false;
  std::uint32_t ttl = 0;
};
CacheInfo CacheInfoOf(const std::string& answer);

// Lowers every record's TTL (OPT excepted) by `elapsed` seconds, not below 0.
bool AgeTtls(std::string& answer, std::uint32_t elapsed);

}  // namespace hxt::dnsprotect
