#include "daemon/dnsmessage.h"

#include <algorithm>
#include <cctype>

namespace hxt::sockfilter {

namespace {

constexpr std::size_t kMaxNameLength = 255;

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Reads the question name at `offset`; `end` receives the offset after it.
// Questions are never compressed in practice, but a pointer is followed (with
// a hop limit) rather than refused.
bool readName(const u8* message, std::size_t size, std::size_t offset, std::string& name, std::size_t& end) {
  name.clear();
  bool jumped = false;
  int hops = 0;
  std::size_t pos = offset;
  while (true) {
    if (pos >= size) return false;
    u8 length = message[pos];
    if ((length & 0xC0) == 0xC0) {
      if (pos + 1 >= size || ++hops > 16) return false;
      if (!jumped) end = pos + 2;
      jumped = true;
      pos = static_cast<std::size_t>(((length & 0x3F) << 8) | message[pos + 1]);
      continue;
    }
    if ((length & 0xC0) != 0) return false;
    if (length == 0) {
      if (!jumped) end = pos + 1;
      return true;
    }
    if (pos + 1 + length > size) return false;
    for (std::size_t i = pos + 1; i <= pos + length; ++i) {
      if (message[i] == '.' || message[i] < 0x20 || message[i] == 0x7F) return false;
    }
    if (!name.empty()) name += '.';
    name.append(reinterpret_cast<const char*>(message + pos + 1), length);
    if (name.size() > kMaxNameLength) return false;
    pos += 1 + length;
  }
}

}  // namespace

bool ReadQueryName(const u8* message, std::size_t size, std::string& name) {
  if (message == nullptr || size < kDnsHeaderSize) return false;
  u16 questions = static_cast<u16>((message[4] << 8) | message[5]);
  if (questions == 0) return false;
  std::size_t end = 0;
  if (!readName(message, size, kDnsHeaderSize, name, end)) return false;
  name = lowered(name);
  return end + 4 <= size;  // type and class follow the name
}

bool SameQuestion(const u8* query, std::size_t querySize, const u8* answer, std::size_t answerSize) {
  std::string asked;
  std::string answered;
  std::size_t queryEnd = 0;
  std::size_t answerEnd = 0;
  if (query == nullptr || answer == nullptr || querySize < kDnsHeaderSize || answerSize < kDnsHeaderSize)
    return false;
  if (((query[4] << 8) | query[5]) == 0 || ((answer[4] << 8) | answer[5]) == 0) return false;
  if (!readName(query, querySize, kDnsHeaderSize, asked, queryEnd) || queryEnd + 4 > querySize) return false;
  if (!readName(answer, answerSize, kDnsHeaderSize, answered, answerEnd) || answerEnd + 4 > answerSize)
    return false;
  return lowered(asked) == lowered(answered) &&
         std::equal(query + queryEnd, query + queryEnd + 4, answer + answerEnd);
}

bool NormaliseWhiteListEntry(const std::string& raw, std::string& normalised) {
  std::string entry = lowered(raw);
  if (entry.compare(0, 2, "*.") == 0) entry.erase(0, 2);
  while (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
  while (!entry.empty() && entry.back() == '.') entry.pop_back();
  if (entry.empty() || entry.size() > kMaxNameLength) return false;
  std::size_t label = 0;
  for (char c : entry) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
    } else if (++label > 63) {
      return false;
    }
  }
  normalised = std::move(entry);
  return true;
}

bool MatchesWhiteList(const std::string& name, const std::vector<std::string>& whiteList) {
  for (const std::string& entry : whiteList) {
    if (name == entry) return true;
    if (name.size() > entry.size() && name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
        name[name.size() - entry.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

std::vector<u8> MakeErrorAnswer(const u8* query, std::size_t size, u8 rcode) {
  if (query == nullptr || size < kDnsHeaderSize) return {};
  std::size_t keep = kDnsHeaderSize;
  std::string name;
  std::size_t end = 0;
  bool hasQuestion = ((query[4] << 8) | query[5]) != 0 && readName(query, size, kDnsHeaderSize, name, end) &&
                     end + 4 <= size;
  if (hasQuestion) keep = end + 4;
  std::vector<u8> answer(query, query + keep);
  answer[2] = static_cast<u8>(0x80 | (query[2] & 0x79));  // QR, keep opcode and RD
  answer[3] = static_cast<u8>(0x80 | (rcode & 0x0F));     // RA and the code
  answer[4] = 0;
  answer[5] = hasQuestion ? 1 : 0;
  for (std::size_t i = 6; i < kDnsHeaderSize; ++i) answer[i] = 0;
  return answer;
}

}  // namespace hxt::sockfilter
