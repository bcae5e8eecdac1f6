#include "fakednsresponder.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <cctype>

#include "fakes/dnswire.h"

namespace hxt::fake {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr unsigned char kFlagResponse = 0x80;            // QR, first flags byte
constexpr unsigned char kFlagRecursionAvailable = 0x80;  // RA, second flags byte
constexpr unsigned char kRcodeFormatError = 1;
constexpr unsigned char kRcodeNameError = 3;
constexpr unsigned kTypeA = 1;
constexpr unsigned kTypeAaaa = 28;
constexpr unsigned kClassIn = 1;
constexpr unsigned kTtlSeconds = 60;

unsigned read16(const std::string& s, std::size_t at) {
  return (static_cast<unsigned char>(s[at]) << 8) | static_cast<unsigned char>(s[at + 1]);
}

void put16(std::string& s, unsigned value) {
  s.push_back(static_cast<char>((value >> 8) & 0xff));
  s.push_back(static_cast<char>(value & 0xff));
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// The reply header: the query's id, opcode and RD bit, QR and RA set.
std::string replyHeader(const std::string& query, unsigned char rcode, unsigned questions, unsigned answers) {
  std::string out;
  out.push_back(query[0]);
  out.push_back(query[1]);
  out.push_back(static_cast<char>((static_cast<unsigned char>(query[2]) & 0x79) | kFlagResponse));
  out.push_back(static_cast<char>(kFlagRecursionAvailable | rcode));
  put16(out, questions);
  put16(out, answers);
  put16(out, 0);
  put16(out, 0);
  return out;
}

}  // namespace

bool FakeDnsResponder::AddRecord(const std::string& name, const std::string& address) {
  unsigned char bytes[16];
  if (::inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    records_[lower(name)].push_back({kTypeA, std::string(bytes, bytes + 4)});
  } else if (::inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
    records_[lower(name)].push_back({kTypeAaaa, std::string(bytes, bytes + 16)});
  } else {
    return false;
  }
  return true;
}

void FakeDnsResponder::Clear() {
  mode_ = DnsAnswerMode::Silent;
  records_.clear();
}

std::string FakeDnsResponder::Answer(const std::string& query) const {
  if (mode_ == DnsAnswerMode::Records) return fromRecords(query);
  if (mode_ != DnsAnswerMode::Echo) return {};
  std::string reply = query;
  if (reply.size() >= 4) {
    reply[2] = static_cast<char>(static_cast<unsigned char>(reply[2]) | kFlagResponse);
    reply[3] = static_cast<char>(static_cast<unsigned char>(reply[3]) | kFlagRecursionAvailable);
  }
  return reply;
}

std::string FakeDnsResponder::fromRecords(const std::string& query) const {
  if (query.size() < kHeaderSize) return {};
  std::string name;
  std::size_t end = read16(query, 4) == 1 ? test::dnswire::ReadName(query, kHeaderSize, name) : 0;
  if (end == 0 || end + 4 > query.size()) return replyHeader(query, kRcodeFormatError, 0, 0);
  const unsigned type = read16(query, end);
  const unsigned klass = read16(query, end + 2);
  const std::string question = query.substr(kHeaderSize, end + 4 - kHeaderSize);

  auto found = records_.find(lower(name));
  if (found == records_.end()) return replyHeader(query, kRcodeNameError, 1, 0) + question;
  std::vector<const Record*> matching;
  if (klass == kClassIn) {
    for (const auto& record : found->second)
      if (record.type == type) matching.push_back(&record);
  }
  std::string reply = replyHeader(query, 0, 1, static_cast<unsigned>(matching.size())) + question;
  for (const Record* record : matching) {
    put16(reply, 0xC000 | kHeaderSize);  // the name: a pointer to the question's
    put16(reply, record->type);
    put16(reply, kClassIn);
    put16(reply, kTtlSeconds >> 16);
    put16(reply, kTtlSeconds & 0xffff);
    put16(reply, static_cast<unsigned>(record->data.size()));
    reply += record->data;
  }
  return reply;
}

}  // namespace hxt::fake
