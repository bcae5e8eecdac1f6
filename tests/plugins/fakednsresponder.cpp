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

constexpr unsigned kTypeA = 1;
constexpr unsigned kTypeAaaa = 28;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

bool FakeDnsResponder::AddRecord(const std::string& name, const std::string& address) {
  unsigned char bytes[16];
  const bool v4 = ::inet_pton(AF_INET, address.c_str(), bytes) == 1;
  if (!v4 && ::inet_pton(AF_INET6, address.c_str(), bytes) != 1) return false;
  records_[lower(name)].push_back({v4 ? kTypeA : kTypeAaaa, std::string(bytes, bytes + (v4 ? 4 : 16))});
  return true;
}

std::string FakeDnsResponder::Answer(const std::string& query) const {
  if (mode_ == DnsAnswerMode::Records) return fromRecords(query);
  if (mode_ != DnsAnswerMode::Echo) return {};
  std::string reply = query;
  if (reply.size() >= 4)
    reply[2] = static_cast<char>(reply[2] | 0x80), reply[3] = static_cast<char>(reply[3] | 0x80);
  return reply;
}

std::string FakeDnsResponder::fromRecords(const std::string& query) const {
  using test::dnswire::Reply;
  std::string name;
  const std::size_t end = test::dnswire::QuestionEnd(query);
  if (end == 0 || query[4] != 0 || query[5] != 1) return Reply(query.substr(0, 12), 1);  // FORMERR
  test::dnswire::ReadName(query, 12, name);
  auto found = records_.find(lower(name));
  if (found == records_.end()) return Reply(query, 3);  // NXDOMAIN
  const unsigned type =
      static_cast<unsigned char>(query[end - 4]) << 8 | static_cast<unsigned char>(query[end - 3]);
  const bool in = query[end - 2] == 0 && query[end - 1] == 1;
  std::string records;
  unsigned count = 0;
  for (const auto& record : found->second)
    if (in && record.type == type) records += test::dnswire::Record(record.type, record.data), ++count;
  return Reply(query, 0, records, count);
}

}  // namespace hxt::fake
