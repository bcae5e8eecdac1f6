#include "dnsmessage.h"

#include <algorithm>
#include <cctype>

namespace hxt::dnsprotect {
namespace {

std::uint16_t Read16(const std::string& m, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(m[at]) << 8) |
                                    static_cast<unsigned char>(m[at + 1]));
}
std::uint32_t Read32(const std::string& m, std::size_t at) {
  return (std::uint32_t{Read16(m, at)} << 16) | Read16(m, at + 2);
}
void Write16(std::string& m, std::size_t at, std::uint16_t v) {
  m[at] = static_cast<char>(v >> 8);
  m[at + 1] = static_cast<char>(v & 0xff);
}
void Write32(std::string& m, std::size_t at, std::uint32_t v) {
  Write16(m, at, static_cast<std::uint16_t>(v >> 16));
  Write16(m, at + 2, static_cast<std::uint16_t>(v & 0xffff));
}
void Append16(std::string& m, std::uint16_t v) {
  m.push_back(static_cast<char>(v >> 8));
  m.push_back(static_cast<char>(v & 0xff));
}
void Append32(std::string& m, std::uint32_t v) {
  Append16(m, static_cast<std::uint16_t>(v >> 16));
  Append16(m, static_cast<std::uint16_t>(v & 0xffff));
}

// Moves `at` past an encoded name (labels, possibly ending in a pointer).
bool SkipName(const std::string& m, std::size_t& at) {
  for (int labels = 0; labels < 128; ++labels) {
    if (at >= m.size()) return false;
    auto length = static_cast<unsigned char>(m[at]);
    if (length == 0) {
      ++at;
      return true;
    }
    if ((length & 0xc0) == 0xc0) {
      if (at + 2 > m.size()) return false;
      at += 2;
      return true;
    }
    if ((length & 0xc0) != 0) return false;
    at += 1 + length;
  }
  return false;
}

std::uint16_t Count(const std::string& m, int section) {
  return Read16(m, 4 + 2 * static_cast<std::size_t>(section));
}

// The common start of every answer made here: the query's id, opcode and RD,
// QR and RA set, one question copied from the query.
std::string AnswerHeader(const std::string& query, const Question& question, std::uint8_t rcode,
                         std::uint16_t answers, std::uint16_t authorities) {
  std::string out(query, 0, question.end);
  out[2] = static_cast<char>(0x80 | (query[2] & 0x79));  // QR, opcode, RD
  out[3] = static_cast<char>(0x80 | rcode);              // RA
  Write16(out, 4, 1);
  Write16(out, 6, answers);
  Write16(out, 8, authorities);
  Write16(out, 10, 0);
  return out;
}

}  // namespace

bool ParseQuestion(const std::string& m, Question& q) {
  if (m.size() < kHeaderSize || Count(m, 0) == 0) return false;
  std::size_t at = kHeaderSize;
  q.name.clear();
  while (true) {
    if (at >= m.size()) return false;
    auto length = static_cast<unsigned char>(m[at]);
    if (length == 0) break;
    if (length > 63 || at + 1 + length > m.size()) return false;
    if (!q.name.empty()) q.name.push_back('.');
    for (std::size_t i = 0; i < length; ++i) {
      q.name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(m[at + 1 + i]))));
    }
    if (q.name.size() > 253) return false;
    at += 1 + length;
  }
  ++at;
  if (at + 4 > m.size()) return false;
  q.type = Read16(m, at);
  q.qclass = Read16(m, at + 2);
  q.end = at + 4;
  return true;
}

std::uint16_t MessageId(const std::string& m) {
  return m.size() >= 2 ? Read16(m, 0) : 0;
}
void SetMessageId(std::string& m, std::uint16_t id) {
  if (m.size() >= 2) Write16(m, 0, id);
}
bool IsTruncated(const std::string& m) {
  return m.size() >= 3 && (m[2] & 0x02) != 0;
}
std::uint8_t Rcode(const std::string& m) {
  return m.size() >= 4 ? static_cast<std::uint8_t>(m[3] & 0x0f) : 0;
}

std::string BuildQuery(const std::string& name, std::uint16_t type, std::uint16_t id) {
  std::string m;
  Append16(m, id);
  Append16(m, 0x0100);  // RD
  Append16(m, 1);
  Append16(m, 0);
  Append16(m, 0);
  Append16(m, 0);
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    m.push_back(static_cast<char>(dot - start));
    m.append(name, start, dot - start);
    start = dot + 1;
  }
  m.push_back('\0');
  Append16(m, type);
  Append16(m, 1);
  return m;
}

std::string BuildBlockedAnswer(const std::string& query, const Question& question, const std::string& address,
                               std::uint32_t ttl) {
  if (address.empty()) {
    std::string out = AnswerHeader(query, question, kRcodeNxDomain, 0, 1);
    Append16(out, 0xc00c);  // the question's name
    Append16(out, kTypeSoa);
    Append16(out, 1);
    Append32(out, ttl);
    Append16(out, 22);
    out.push_back('\0');  // MNAME: the root
    out.push_back('\0');  // RNAME
    for (std::uint32_t value : {1u, 3600u, 600u, 86400u}) Append32(out, value);
    Append32(out, ttl);
    return out;
  }
  const std::uint16_t type = address.size() == 4 ? kTypeA : kTypeAaaa;
  if (question.type != type) return AnswerHeader(query, question, kRcodeNoError, 0, 0);
  std::string out = AnswerHeader(query, question, kRcodeNoError, 1, 0);
  Append16(out, 0xc00c);
  Append16(out, type);
  Append16(out, 1);
  Append32(out, ttl);
  Append16(out, static_cast<std::uint16_t>(address.size()));
  out += address;
  return out;
}

std::string BuildErrorAnswer(const std::string& query, const Question& question, std::uint8_t rcode) {
  return AnswerHeader(query, question, rcode, 0, 0);
}

CacheInfo CacheInfoOf(const std::string& m) {
  CacheInfo info;
  Question q;
  if (!ParseQuestion(m, q) || IsTruncated(m) || (m[2] & 0x80) == 0 || Count(m, 0) != 1) return info;
  const std::uint8_t rcode = Rcode(m);
  if (rcode != kRcodeNoError && rcode != kRcodeNxDomain) return info;
  const std::uint16_t answers = Count(m, 1);
  const std::uint16_t authorities = Count(m, 2);
  info.negative = rcode == kRcodeNxDomain || answers == 0;
  std::size_t at = q.end;
  bool haveTtl = false;
  std::uint32_t ttl = 0;
  for (std::uint32_t i = 0; i < std::uint32_t{answers} + authorities; ++i) {
    if (!SkipName(m, at) || at + 10 > m.size()) return CacheInfo{};
    const std::uint16_t type = Read16(m, at);
    std::uint32_t recordTtl = Read32(m, at + 4);
    const std::uint16_t length = Read16(m, at + 8);
    const std::size_t rdata = at + 10;
    if (rdata + length > m.size()) return CacheInfo{};
    const bool inAnswer = i < answers;
    if (info.negative && !inAnswer && type == kTypeSoa) {
      // The negative TTL is the smaller of the SOA's own TTL and its minimum.
      std::size_t field = rdata;
      if (!SkipName(m, field) || !SkipName(m, field) || field + 20 > rdata + length) return CacheInfo{};
      recordTtl = std::min(recordTtl, Read32(m, field + 16));
      ttl = haveTtl ? std::min(ttl, recordTtl) : recordTtl;
      haveTtl = true;
    } else if (!info.negative && inAnswer) {
      ttl = haveTtl ? std::min(ttl, recordTtl) : recordTtl;
      haveTtl = true;
    }
    at = rdata + length;
  }
  // A negative answer without a SOA says nothing about how long it holds.
  if (!haveTtl) return CacheInfo{};
  info.cacheable = true;
  info.ttl = ttl;
  return info;
}

bool AgeTtls(std::string& m, std::uint32_t elapsed) {
  Question q;
  if (!ParseQuestion(m, q)) return false;
  const std::uint32_t records = std::uint32_t{Count(m, 1)} + Count(m, 2) + Count(m, 3);
  std::size_t at = q.end;
  for (std::uint32_t i = 0; i < records; ++i) {
    if (!SkipName(m, at) || at + 10 > m.size()) return false;
    const std::uint16_t type = Read16(m, at);
    const std::uint32_t ttl = Read32(m, at + 4);
    if (type != kTypeOpt) Write32(m, at + 4, ttl > elapsed ? ttl - elapsed : 0);
    at += 10 + Read16(m, at + 8);
    if (at > m.size()) return false;
  }
  return true;
}

}  // namespace hxt::dnsprotect
