// Just enough of the DNS wire format for a forwarding resolver: the query and
// its EDNS wishes, the query sent upstream, the answer each client gets
// (its own OPT record, its size limit), synthesized answers for blocked
// names and failures, and the TTLs of cached answers.
//
// Names are compared as label sequences in wire form ("\3www\7example"), never
// as dotted text: a label may itself contain a dot, and `www\.example` under
// `com` is not `www.example.com`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hxt::dnsprotect {

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeNs = 2;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeSoa = 6;
constexpr std::uint16_t kTypeAaaa = 28;
constexpr std::uint16_t kTypeDname = 39;
constexpr std::uint16_t kTypeOpt = 41;
constexpr std::uint8_t kRcodeNoError = 0;
constexpr std::uint8_t kRcodeFormErr = 1;
constexpr std::uint8_t kRcodeServFail = 2;
constexpr std::uint8_t kRcodeNxDomain = 3;
constexpr std::uint8_t kRcodeNotImp = 4;
constexpr std::uint8_t kRcodeRefused = 5;

// Extended DNS Error codes (RFC 8914) this plug-in gives.
constexpr std::uint16_t kEdeNone = 0xffff;
constexpr std::uint16_t kEdeStaleAnswer = 3;
constexpr std::uint16_t kEdeBlocked = 15;
constexpr std::uint16_t kEdeProhibited = 18;
constexpr std::uint16_t kEdeStaleNxDomain = 19;
constexpr std::uint16_t kEdeNoReachableAuthority = 22;
constexpr std::uint16_t kEdeNetworkError = 23;

// The largest UDP answer given to an EDNS client, and the size offered to
// upstreams: the value that avoids IP fragmentation on common paths
// (DNS flag day 2020).
constexpr std::uint16_t kEdnsPayload = 1232;
// RFC 8467: queries over TLS are padded to a multiple of this.
constexpr std::size_t kTlsPaddingBlock = 128;

// DNS names compare case-blind in ASCII only, whatever the process's locale.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

struct Question {
  std::string labels;  // wire form, lower case, without the root's empty label
  std::string name;    // presentation form for logs: "www.example", "a\.b.example", "" for the root
  std::uint16_t type = 0;
  std::uint16_t qclass = 0;
  std::size_t end = 0;  // offset just past the question in the message
};

// Where the first question of a message ends, checked as ParseQuestion
// does, without building its name; false when there is none.
bool QuestionEnd(const std::string& m, std::size_t& end);

// Whether both messages have a first question and it is the same (names
// compared without regard to case), as ParseQuestion would tell, without
// building either.
bool SameQuestion(const std::string& a, const std::string& b);

// The first question of a query or answer; false when the message is cut
// short or malformed. Without `withName` the presentation name stays empty.
bool ParseQuestion(const std::string& message, Question& question, bool withName = true);

// What a client asked and how it wants its answer.
struct ClientQuery {
  Question question;  // its `name` left empty: most queries are never logged
  bool edns = false;            // it sent an OPT record
  std::uint16_t udpSize = 512;  // the UDP answer size it takes
  bool dnssecOk = false;
  bool checkingDisabled = false;
};

enum class QueryVerdict {
  Answer,   // a query to answer
  Drop,     // not a query at all (too short, or QR set): no answer
  FormErr,  // malformed
  NotImp,   // an opcode other than QUERY
  BadVers,  // EDNS version above 0
};
QueryVerdict ParseQuery(const std::string& message, ClientQuery& query);

// The key an answer is cached under: name (case-folded), type, class, DO, CD.
std::string CacheKey(const ClientQuery& query);

// The query sent upstream for `query` (the client's raw message `raw`): the
// client's question spelling and CD, RD and AD set (RFC 6840), and an OPT record
// of our own offering kEdnsPayload with the client's DO bit. Id 0.
std::string BuildUpstreamQuery(const std::string& raw, const ClientQuery& query);
// A query for `name` (dotted) of `type`, class IN, recursion desired.
std::string BuildQuery(const std::string& name, std::uint16_t type, std::uint16_t id);
// Adds an RFC 7830 padding option so that the query fills whole
// kTlsPaddingBlock blocks; false when the message is not one built here.
bool PadQuery(std::string& query);

// An upstream answer made fit for the cache and for any client: its OPT
// record removed. False (and an answer not to be used) when the answer is
// malformed or carries an extended RCODE.
bool StripOpt(std::string& answer);

// The answer `stored` (OPT stripped) for the client's `raw` query: its id,
// question spelling, RD and CD; AD only for a client that asked with DO or
// AD; its own OPT record when it sent one (with `ede` when not kEdeNone);
// and, when longer than `limit`, cut to no records with TC set.
std::string FinishAnswer(const std::string& stored, const std::string& raw, const ClientQuery& query,
                         std::size_t limit, std::uint16_t ede = kEdeNone);
// The same, into `out`, whose buffer a caller answering many queries keeps.
void FinishAnswerInto(std::string& out, const std::string& stored, const std::string& raw,
                      const ClientQuery& query, std::size_t limit, std::uint16_t ede = kEdeNone);
// The answer size allowed for `query` over UDP (512 without EDNS) or TCP.
std::size_t AnswerLimit(const ClientQuery& query, bool tcp);

// The answer for a blocked name (OPT-less; give it through FinishAnswer).
// `apex` is the offset in question.labels of the listed name that matched.
// `address` empty: NXDOMAIN with a SOA owned by that listed name. Otherwise
// an A or AAAA record with `address` (4 or 16 bytes) when the query asks
// for that type, and NODATA with the same SOA for every other type. TTLs
// are `ttl`.
std::string BuildBlockedAnswer(const std::string& query, const Question& question, std::size_t apex,
                               const std::string& address, std::uint32_t ttl);
// An answer to `query` with no records and `rcode` (OPT-less).
std::string BuildErrorAnswer(const std::string& query, const Question& question, std::uint8_t rcode);
// The reply to a query ParseQuery refused (FormErr, NotImp, BadVers); ""
// when there is nothing to say (Drop).
std::string BuildRefusal(const std::string& raw, const ClientQuery& query, QueryVerdict verdict);

// An id for a query sent upstream, from the cryptographic generator: an
// off-path forger must guess it (RFC 5452).
std::uint16_t RandomId();
std::uint16_t MessageId(const std::string& message);
void SetMessageId(std::string& message, std::uint16_t id);
bool IsTruncated(const std::string& message);
std::uint8_t Rcode(const std::string& message);

// The names an answer leads to by CNAME or DNAME records in its answer
// section, each as wire labels; false when the answer is malformed.
bool AliasTargets(const std::string& answer, std::vector<std::string>& targets);
// The RDATA of each record of `type` in an answer's answer section; false
// when the answer is malformed.
bool AnswerRdatas(const std::string& answer, std::uint16_t type, std::vector<std::string>& rdatas);

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
// Sets every record's TTL (OPT excepted) to `ttl`.
bool SetTtls(std::string& answer, std::uint32_t ttl);

// Presentation text of wire labels: dots between labels, "\." and "\\" for
// those characters inside a label, "\DDD" for other unprintable bytes.
std::string LabelsToText(std::string_view labels);
// Wire labels (lower case) of a dotted name; "\." and "\\" escape. A final
// dot is allowed; "" and "." are the root (no labels). False for an empty label, a label above 63 bytes or a
// name above 255.
bool TextToLabels(std::string_view text, std::string& labels);

}  // namespace hxt::dnsprotect
