#include "dnsmessage.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <random>

namespace hxt::dnsprotect {
namespace {

constexpr std::uint16_t kOptionEde = 15;
constexpr std::uint16_t kOptionPadding = 12;
constexpr std::size_t kMaxWireName = 255;

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

// The name at `at` as lower-case wire labels, following compression
// pointers (each must point backwards, so that they cannot loop).
bool ReadName(const std::string& m, std::size_t at, std::string& labels) {
  labels.clear();
  while (true) {
    if (at >= m.size()) return false;
    const auto length = static_cast<unsigned char>(m[at]);
    if (length == 0) return true;
    if ((length & 0xc0) == 0xc0) {
      if (at + 2 > m.size()) return false;
      const std::size_t target = Read16(m, at) & 0x3fff;
      if (target >= at) return false;
      at = target;
      continue;
    }
    if ((length & 0xc0) != 0 || at + 1 + length > m.size()) return false;
    labels.push_back(static_cast<char>(length));
    for (std::size_t i = 0; i < length; ++i) {
      labels.push_back(AsciiLower(m[at + 1 + i]));
    }
    if (labels.size() + 1 > kMaxWireName) return false;
    at += 1 + length;
  }
}

std::uint16_t Count(const std::string& m, int section) {
  return Read16(m, 4 + 2 * static_cast<std::size_t>(section));
}

// One resource record's place in a message.
struct Record {
  std::size_t start = 0;  // its owner name
  std::uint16_t type = 0;
  std::uint16_t rclass = 0;
  std::uint32_t ttl = 0;
  std::size_t rdata = 0;
  std::size_t end = 0;
};

bool NextRecord(const std::string& m, std::size_t& at, Record& r) {
  r.start = at;
  if (!SkipName(m, at) || at + 10 > m.size()) return false;
  r.type = Read16(m, at);
  r.rclass = Read16(m, at + 2);
  r.ttl = Read32(m, at + 4);
  r.rdata = at + 10;
  r.end = r.rdata + Read16(m, at + 8);
  if (r.end > m.size()) return false;
  at = r.end;
  return true;
}

// Our OPT record: the UDP size we take, `dnssecOk`, and an EDE option.
void AppendOpt(std::string& out, bool dnssecOk, std::uint16_t ede, std::uint8_t extendedRcode = 0) {
  out.push_back('\0');
  Append16(out, kTypeOpt);
  Append16(out, kEdnsPayload);
  out.push_back(static_cast<char>(extendedRcode));
  out.push_back('\0');  // version 0
  Append16(out, dnssecOk ? 0x8000 : 0);
  if (ede == kEdeNone) {
    Append16(out, 0);
    return;
  }
  Append16(out, 6);
  Append16(out, kOptionEde);
  Append16(out, 2);
  Append16(out, ede);
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

void AppendSoa(std::string& out, std::size_t ownerOffset, std::uint32_t ttl) {
  Append16(out, static_cast<std::uint16_t>(0xc000 | ownerOffset));
  Append16(out, kTypeSoa);
  Append16(out, 1);
  Append32(out, ttl);
  Append16(out, 22);
  out.push_back('\0');  // MNAME: the root
  out.push_back('\0');  // RNAME
  for (std::uint32_t value : {1u, 3600u, 600u, 86400u}) Append32(out, value);
  Append32(out, ttl);
}

}  // namespace

bool QuestionEnd(const std::string& m, std::size_t& end) {
  if (m.size() < kHeaderSize || Count(m, 0) == 0) return false;
  std::size_t at = kHeaderSize;
  while (true) {
    if (at >= m.size()) return false;
    auto length = static_cast<unsigned char>(m[at]);
    if (length == 0) break;
    if (length > 63 || at + 1 + length > m.size()) return false;
    at += 1 + length;
    if (at - kHeaderSize + 1 > kMaxWireName) return false;
  }
  ++at;
  if (at + 4 > m.size()) return false;
  end = at + 4;
  return true;
}

bool ParseQuestion(const std::string& m, Question& q, bool withName) {
  std::size_t end = 0;
  if (!QuestionEnd(m, end)) return false;
  // The name in wire form, lower-cased at once (length bytes are below 'A').
  q.labels.assign(m, kHeaderSize, end - 5 - kHeaderSize);
  for (char& c : q.labels) c = AsciiLower(c);
  q.type = Read16(m, end - 4);
  q.qclass = Read16(m, end - 2);
  q.end = end;
  if (withName) q.name = LabelsToText(q.labels);
  return true;
}

bool SameQuestion(const std::string& a, const std::string& b) {
  if (a.size() < kHeaderSize || b.size() < kHeaderSize || Count(a, 0) == 0 || Count(b, 0) == 0) return false;
  std::size_t at = kHeaderSize;
  while (true) {
    if (at >= a.size() || at >= b.size() || a[at] != b[at]) return false;
    auto length = static_cast<unsigned char>(a[at]);
    if (length == 0) break;
    if (length > 63 || at + 1 + length > a.size() || at + 1 + length > b.size()) return false;
    for (std::size_t i = at + 1; i <= at + length; ++i) {
      if (AsciiLower(a[i]) != AsciiLower(b[i]))
        return false;
    }
    at += 1 + length;
    if (at - kHeaderSize + 1 > kMaxWireName) return false;
  }
  ++at;
  return at + 4 <= a.size() && at + 4 <= b.size() && a.compare(at, 4, b, at, 4) == 0;
}

QueryVerdict ParseQuery(const std::string& m, ClientQuery& q) {
  q = ClientQuery{};
  if (m.size() < kHeaderSize || (m[2] & 0x80) != 0) return QueryVerdict::Drop;
  const bool haveQuestion = Count(m, 0) == 1 && ParseQuestion(m, q.question, false);
  if (!haveQuestion) q.question.end = 0;
  bool wellFormed = haveQuestion;
  std::uint8_t version = 0;
  if (haveQuestion) {
    std::size_t at = q.question.end;
    const std::uint32_t before = std::uint32_t{Count(m, 1)} + Count(m, 2);
    const std::uint32_t records = before + Count(m, 3);
    Record r;
    for (std::uint32_t i = 0; i < records && wellFormed; ++i) {
      if (!NextRecord(m, at, r)) {
        wellFormed = false;
      } else if (r.type == kTypeOpt) {
        // One OPT, owned by the root, in the additional section (RFC 6891 6.1.1).
        if (q.edns || i < before || m[r.start] != '\0') {
          wellFormed = false;
        } else {
          q.edns = true;
          q.udpSize = std::max<std::uint16_t>(512, r.rclass);
          version = static_cast<std::uint8_t>(r.ttl >> 16);
          q.dnssecOk = (r.ttl & 0x8000) != 0;
        }
      }
    }
  }
  q.checkingDisabled = (m[3] & 0x10) != 0;
  if (((m[2] >> 3) & 0x0f) != 0) return QueryVerdict::NotImp;
  if (!wellFormed) return QueryVerdict::FormErr;
  if (version > 0) return QueryVerdict::BadVers;
  return QueryVerdict::Answer;
}

std::string CacheKey(const ClientQuery& q) {
  std::string key;
  key.reserve(q.question.labels.size() + 6);
  key = q.question.labels;
  key.push_back('\0');  // ends the name: wire labels are prefix-free
  Append16(key, q.question.type);
  Append16(key, q.question.qclass);
  key.push_back(static_cast<char>((q.dnssecOk ? 2 : 0) | (q.checkingDisabled ? 1 : 0)));
  return key;
}

std::string BuildUpstreamQuery(const std::string& raw, const ClientQuery& q) {
  std::string out;
  out.reserve(q.question.end + 11);
  Append16(out, 0);
  // RD whatever the client asked: an answer to RD=0 may be a referral or
  // whatever the upstream had cached, and the cache would give it to clients
  // that want recursion.
  out.push_back(0x01);
  out.push_back(static_cast<char>(0x20 | (q.checkingDisabled ? 0x10 : 0)));  // AD, CD
  Append16(out, 1);
  Append16(out, 0);
  Append16(out, 0);
  Append16(out, 1);
  out.append(raw, kHeaderSize, q.question.end - kHeaderSize);
  AppendOpt(out, q.dnssecOk, kEdeNone);
  return out;
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

bool PadQuery(std::string& m) {
  std::size_t end = 0;
  if (!QuestionEnd(m, end)) return false;
  std::size_t at = end;
  const std::uint32_t records = std::uint32_t{Count(m, 1)} + Count(m, 2) + Count(m, 3);
  Record r;
  bool haveOpt = false;
  for (std::uint32_t i = 0; i < records; ++i) {
    // The option goes at the end of the message: an OPT record elsewhere is
    // not one of ours.
    if (haveOpt || !NextRecord(m, at, r)) return false;
    haveOpt = r.type == kTypeOpt;
  }
  if (at != m.size()) return false;
  if (!haveOpt) {
    // Without an OPT record there is nowhere to pad; the query gets ours.
    if (Count(m, 3) == 0xffff) return false;
    Write16(m, 10, static_cast<std::uint16_t>(Count(m, 3) + 1));
    r.start = m.size();
    AppendOpt(m, false, kEdeNone);
    r.rdata = m.size();
  }
  // The OPT record is the last one: the option goes at the end.
  const std::size_t unpadded = m.size() + 4;
  const std::size_t padding = (kTlsPaddingBlock - unpadded % kTlsPaddingBlock) % kTlsPaddingBlock;
  Append16(m, kOptionPadding);
  Append16(m, static_cast<std::uint16_t>(padding));
  m.append(padding, '\0');
  Write16(m, r.rdata - 2, static_cast<std::uint16_t>(m.size() - r.rdata));
  return true;
}

bool StripOpt(std::string& m) {
  std::size_t end = 0;
  if (!QuestionEnd(m, end) || (m[2] & 0x80) == 0 || Count(m, 0) != 1) return false;
  std::size_t at = end;
  const std::uint32_t before = std::uint32_t{Count(m, 1)} + Count(m, 2);
  const std::uint32_t records = before + Count(m, 3);
  Record r, opt;
  bool haveOpt = false;
  for (std::uint32_t i = 0; i < records; ++i) {
    if (!NextRecord(m, at, r)) return false;
    if (r.type != kTypeOpt) continue;
    if (haveOpt || i < before) return false;
    haveOpt = true;
    opt = r;
  }
  if (!haveOpt) return true;
  // An extended RCODE (BADVERS, BADCOOKIE, ...) is about our query, not an answer.
  if ((opt.ttl >> 24) != 0) return false;
  m.erase(opt.start, opt.end - opt.start);
  Write16(m, 10, static_cast<std::uint16_t>(Count(m, 3) - 1));
  return true;
}

std::size_t AnswerLimit(const ClientQuery& q, bool tcp) {
  if (tcp) return 65535;
  if (!q.edns) return 512;
  return std::min<std::size_t>(q.udpSize, kEdnsPayload);
}

std::string FinishAnswer(const std::string& stored, const std::string& raw, const ClientQuery& q,
                         std::size_t limit, std::uint16_t ede) {
  std::string out;
  FinishAnswerInto(out, stored, raw, q, limit, ede);
  return out;
}

void FinishAnswerInto(std::string& out, const std::string& stored, const std::string& raw, const ClientQuery& q,
                      std::size_t limit, std::uint16_t ede) {
  std::size_t storedEnd = 0;
  if (!QuestionEnd(stored, storedEnd) || storedEnd != q.question.end) {
    return FinishAnswerInto(out, BuildErrorAnswer(raw, q.question, kRcodeServFail), raw, q, limit, ede);
  }
  out.reserve(stored.size() + (q.edns ? 17 : 0));
  out.assign(stored, 0, kHeaderSize);
  out[0] = raw[0];
  out[1] = raw[1];
  out[2] = static_cast<char>(0x80 | (stored[2] & 0x04) | (raw[2] & 0x01));  // QR, AA, RD; opcode QUERY
  const bool adWanted = q.dnssecOk || (raw[3] & 0x20) != 0;
  out[3] = static_cast<char>((stored[3] & 0x8f) | (adWanted ? stored[3] & 0x20 : 0) | (raw[3] & 0x10));
  out.append(raw, kHeaderSize, q.question.end - kHeaderSize);
  out.append(stored, storedEnd, std::string::npos);
  const std::size_t optSize = q.edns ? (ede == kEdeNone ? 11u : 17u) : 0u;
  if (out.size() + optSize > limit) {
    // Whole records or none: a client that sees TC asks again over TCP.
    out.resize(q.question.end);
    out[2] = static_cast<char>(out[2] | 0x02);
    Write16(out, 6, 0);
    Write16(out, 8, 0);
    Write16(out, 10, 0);
  }
  if (q.edns) {
    Write16(out, 10, static_cast<std::uint16_t>(Count(out, 3) + 1));
    AppendOpt(out, q.dnssecOk, ede);
  }
}

std::string BuildBlockedAnswer(const std::string& query, const Question& question, std::size_t apex,
                               const std::string& address, std::uint32_t ttl) {
  const std::size_t apexOffset = kHeaderSize + apex;
  if (address.empty()) {
    std::string out = AnswerHeader(query, question, kRcodeNxDomain, 0, 1);
    AppendSoa(out, apexOffset, ttl);
    return out;
  }
  const std::uint16_t type = address.size() == 4 ? kTypeA : kTypeAaaa;
  if (question.type != type) {
    std::string out = AnswerHeader(query, question, kRcodeNoError, 0, 1);
    AppendSoa(out, apexOffset, ttl);
    return out;
  }
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

std::string BuildRefusal(const std::string& raw, const ClientQuery& q, QueryVerdict verdict) {
  if (verdict == QueryVerdict::Drop || verdict == QueryVerdict::Answer) return {};
  std::string out(raw, 0, kHeaderSize);
  out[2] = static_cast<char>(0x80 | (raw[2] & 0x79));  // QR, opcode, RD
  out[3] = static_cast<char>(0x80 | (raw[3] & 0x10));  // RA, CD
  for (std::size_t at = 4; at < kHeaderSize; ++at) out[at] = '\0';
  if (verdict == QueryVerdict::FormErr) {
    // What is malformed cannot be echoed: the header alone.
    out[3] = static_cast<char>(out[3] | kRcodeFormErr);
    return out;
  }
  if (q.question.end != 0) {
    Write16(out, 4, 1);
    out.append(raw, kHeaderSize, q.question.end - kHeaderSize);
  }
  if (verdict == QueryVerdict::NotImp) out[3] = static_cast<char>(out[3] | kRcodeNotImp);
  if (q.edns) {
    Write16(out, 10, 1);
    // BADVERS is 16: its upper eight bits (1) travel in the OPT record.
    AppendOpt(out, q.dnssecOk, kEdeNone, verdict == QueryVerdict::BadVers ? 1 : 0);
  }
  return out;
}

std::uint16_t RandomId() {
  // Drawn from OpenSSL's generator a batch at a time: a call per id cost more
  // than the rest of choosing a socket and sending. The bytes stay with the
  // thread that drew them and are used once.
  static thread_local unsigned char bytes[128];
  static thread_local std::size_t used = sizeof bytes;
  if (used == sizeof bytes) {
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
      // OpenSSL's generator failed to seed, which it reports rather than
      // giving weak bytes; the system's source stands in.
      static thread_local std::random_device fallback;
      return static_cast<std::uint16_t>(fallback());
    }
    used = 0;
  }
  const auto id = static_cast<std::uint16_t>(bytes[used] << 8 | bytes[used + 1]);
  used += 2;
  return id;
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

bool AliasTargets(const std::string& m, std::vector<std::string>& targets) {
  targets.clear();
  std::size_t end = 0;
  if (!QuestionEnd(m, end)) return false;
  std::size_t at = end;
  Record r;
  std::string target;
  for (std::uint32_t i = 0; i < Count(m, 1); ++i) {
    if (!NextRecord(m, at, r)) return false;
    if (r.type != kTypeCname && r.type != kTypeDname) continue;
    if (!ReadName(m, r.rdata, target)) return false;
    targets.push_back(target);
  }
  return true;
}

bool AnswerRdatas(const std::string& m, std::uint16_t type, std::vector<std::string>& rdatas) {
  rdatas.clear();
  std::size_t end = 0;
  if (!QuestionEnd(m, end)) return false;
  std::size_t at = end;
  Record r;
  for (std::uint32_t i = 0; i < Count(m, 1); ++i) {
    if (!NextRecord(m, at, r)) return false;
    if (r.type == type) rdatas.push_back(m.substr(r.rdata, r.end - r.rdata));
  }
  return true;
}

CacheInfo CacheInfoOf(const std::string& m) {
  CacheInfo info;
  std::size_t end = 0;
  if (!QuestionEnd(m, end) || IsTruncated(m) || (m[2] & 0x80) == 0 || Count(m, 0) != 1) return info;
  const std::uint8_t rcode = Rcode(m);
  if (rcode != kRcodeNoError && rcode != kRcodeNxDomain) return info;
  const std::uint16_t answers = Count(m, 1);
  const std::uint16_t authorities = Count(m, 2);
  info.negative = rcode == kRcodeNxDomain || answers == 0;
  std::size_t at = end;
  bool haveTtl = false;
  std::uint32_t ttl = 0;
  Record r;
  for (std::uint32_t i = 0; i < std::uint32_t{answers} + authorities; ++i) {
    if (!NextRecord(m, at, r)) return CacheInfo{};
    std::uint32_t recordTtl = r.ttl;
    const bool inAnswer = i < answers;
    if (info.negative && !inAnswer && r.type == kTypeSoa) {
      // The negative TTL is the smaller of the SOA's own TTL and its minimum.
      std::size_t field = r.rdata;
      if (!SkipName(m, field) || !SkipName(m, field) || field + 20 > r.end) return CacheInfo{};
      recordTtl = std::min(recordTtl, Read32(m, field + 16));
      ttl = haveTtl ? std::min(ttl, recordTtl) : recordTtl;
      haveTtl = true;
    } else if (!info.negative && inAnswer) {
      ttl = haveTtl ? std::min(ttl, recordTtl) : recordTtl;
      haveTtl = true;
    }
  }
  // A negative answer without a SOA says nothing about how long it holds.
  if (!haveTtl) return CacheInfo{};
  info.cacheable = true;
  info.ttl = ttl;
  return info;
}

namespace {

// Gives every record but OPT the TTL `change` makes of its own.
template <typename Change>
bool ChangeTtls(std::string& m, Change change) {
  std::size_t at = 0;
  if (!QuestionEnd(m, at)) return false;
  const std::uint32_t records = std::uint32_t{Count(m, 1)} + Count(m, 2) + Count(m, 3);
  Record r;
  for (std::uint32_t i = 0; i < records; ++i) {
    if (!NextRecord(m, at, r)) return false;
    if (r.type != kTypeOpt) Write32(m, r.rdata - 6, change(r.ttl));
  }
  return true;
}

}  // namespace

bool AgeTtls(std::string& m, std::uint32_t elapsed) {
  return ChangeTtls(m, [elapsed](std::uint32_t ttl) { return ttl > elapsed ? ttl - elapsed : 0; });
}

bool SetTtls(std::string& m, std::uint32_t ttl) {
  return ChangeTtls(m, [ttl](std::uint32_t) { return ttl; });
}

std::string LabelsToText(std::string_view labels) {
  std::string out;
  out.reserve(labels.size());
  std::size_t at = 0;
  while (at < labels.size()) {
    const std::size_t length = static_cast<unsigned char>(labels[at]);
    if (at != 0) out.push_back('.');
    for (std::size_t i = at + 1; i <= at + length && i < labels.size(); ++i) {
      const auto c = static_cast<unsigned char>(labels[i]);
      if (c == '.' || c == '\\') {
        out.push_back('\\');
        out.push_back(static_cast<char>(c));
      } else if (c < 0x21 || c > 0x7e) {
        out.push_back('\\');
        out.push_back(static_cast<char>('0' + c / 100));
        out.push_back(static_cast<char>('0' + c / 10 % 10));
        out.push_back(static_cast<char>('0' + c % 10));
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
    at += 1 + length;
  }
  return out;
}

bool TextToLabels(std::string_view text, std::string& labels) {
  labels.clear();
  if (text.empty() || text == ".") return true;  // the root
  std::string label;
  auto endLabel = [&] {
    if (label.empty() || label.size() > 63) return false;
    labels.push_back(static_cast<char>(label.size()));
    labels += label;
    label.clear();
    return labels.size() + 1 <= kMaxWireName;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.') {
      if (!endLabel()) return false;
      continue;
    }
    if (c == '\\') {
      if (++i >= text.size()) return false;
      c = text[i];
      if (std::isdigit(static_cast<unsigned char>(c))) {
        if (i + 2 >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isdigit(static_cast<unsigned char>(text[i + 2]))) {
          return false;
        }
        const int value = (c - '0') * 100 + (text[i + 1] - '0') * 10 + (text[i + 2] - '0');
        if (value > 255) return false;
        c = static_cast<char>(value);
        i += 2;
      }
    }
    label.push_back(AsciiLower(c));
  }
  // A final dot has ended the last label already.
  return label.empty() ? !labels.empty() : endLabel();
}

}  // namespace hxt::dnsprotect
