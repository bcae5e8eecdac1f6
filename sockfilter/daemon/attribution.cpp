#include "daemon/attribution.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

#include "daemon/dnsmessage.h"
#include "daemon/socketowner.h"

namespace hxt::sockfilter {

namespace {

constexpr u16 kTypeOpt = 41;
constexpr u16 kOptionEde = 15;
constexpr u16 kEdeBlocked = 15;
constexpr u16 kEdeFiltered = 17;

// Tabs separate the table's fields and line feeds its rows.
std::string printable(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return out;
}

u16 read16(const u8* p) {
  return static_cast<u16>((p[0] << 8) | p[1]);
}

// Moves `at` past a name (labels, maybe ending in a pointer); false when it
// runs off the message.
bool skipName(const u8* m, std::size_t size, std::size_t& at) {
  while (at < size) {
    const u8 length = m[at];
    if ((length & 0xC0) == 0xC0) {
      at += 2;
      return at <= size;
    }
    if (length == 0) {
      ++at;
      return true;
    }
    at += 1u + length;
  }
  return false;
}

}  // namespace

bool ParseSocketLink(const char* text, std::size_t size, u64& inode) {
  static constexpr char kPrefix[] = "socket:[";
  constexpr std::size_t kPrefixSize = sizeof kPrefix - 1;
  if (size < kPrefixSize + 2 || std::memcmp(text, kPrefix, kPrefixSize) != 0 || text[size - 1] != ']')
    return false;
  u64 value = 0;
  for (std::size_t i = kPrefixSize; i + 1 < size; ++i) {
    if (text[i] < '0' || text[i] > '9' || value > (~u64{0} - 9) / 10) return false;
    value = value * 10 + static_cast<u64>(text[i] - '0');
  }
  inode = value;
  return true;
}

std::string UnitOfCgroup(const std::string& procCgroupText) {
  std::istringstream lines(procCgroupText);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, 3, "0::") != 0) continue;
    const std::string path = line.substr(3);
    std::string unit;
    std::size_t start = 0;
    while (start < path.size()) {
      std::size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      const std::string part = path.substr(start, end - start);
      auto endsWith = [&](const char* suffix) {
        const std::size_t n = std::strlen(suffix);
        return part.size() > n && part.compare(part.size() - n, n, suffix) == 0;
      };
      if (endsWith(".service") || endsWith(".scope")) unit = part;
      start = end + 1;
    }
    return unit.empty() ? path : unit;
  }
  return std::string();
}

u64 CProgramTable::Row(const std::string& exe, std::optional<u32> uid) {
  const std::string key = exe + '\0' + (uid ? std::to_string(*uid) : std::string("-"));
  const auto now = std::chrono::steady_clock::now();
  u32 index = 0;
  if (auto it = byKey_.find(key); it != byKey_.end()) {
    index = it->second;
  } else {
    if (slots_.size() < maxPrograms_) {
      slots_.emplace_back();
      index = static_cast<u32>(slots_.size() - 1);
    } else {
      index = 0;
      for (u32 i = 1; i < slots_.size(); ++i) {
        if (slots_[i].row.lastSeen < slots_[index].row.lastSeen) index = i;
      }
      const ProgramRow& old = slots_[index].row;
      byKey_.erase(old.exe + '\0' + (old.uidKnown ? std::to_string(old.uid) : std::string("-")));
    }
    Slot& slot = slots_[index];
    ++slot.generation;
    slot.used = true;
    slot.nextRecent = 0;
    slot.row = ProgramRow();
    slot.row.exe = exe;
    slot.row.uid = uid.value_or(0);
    slot.row.uidKnown = uid.has_value();
    byKey_[key] = index;
  }
  slots_[index].row.lastSeen = now;
  return (u64{slots_[index].generation} << 32) | index;
}

ProgramRow* CProgramTable::Get(u64 handle) {
  const u32 index = static_cast<u32>(handle);
  if (handle == 0 || index >= slots_.size()) return nullptr;
  Slot& slot = slots_[index];
  return slot.used && slot.generation == static_cast<u32>(handle >> 32) ? &slot.row : nullptr;
}

ProgramRow* CProgramTable::Asked(u64 handle, std::string_view name) {
  const u32 index = static_cast<u32>(handle);
  ProgramRow* row = Get(handle);
  if (row == nullptr) return nullptr;
  ++row->queries;
  row->lastSeen = CoarseNow();
  if (name.empty() || recentNames_ == 0) return row;
  Slot& slot = slots_[index];
  if (row->recent.size() < recentNames_) {
    row->recent.emplace_back(name);
  } else {
    row->recent[slot.nextRecent].assign(name.data(), name.size());
    slot.nextRecent = (slot.nextRecent + 1) % recentNames_;
  }
  return row;
}

std::vector<ProgramRow> CProgramTable::Rows() const {
  std::vector<ProgramRow> rows;
  for (const Slot& slot : slots_) {
    if (!slot.used) continue;
    rows.push_back(slot.row);
    // The ring, oldest first.
    std::rotate(rows.back().recent.begin(),
                rows.back().recent.begin() +
                    static_cast<std::ptrdiff_t>(std::min(slot.nextRecent, rows.back().recent.size())),
                rows.back().recent.end());
  }
  return rows;
}

CAttribution::CAttribution(std::vector<std::string> ignoredPrograms, std::string procRoot,
                           std::size_t maxPrograms)
    : procRoot_(procRoot),
      ignored_(std::move(ignoredPrograms)),
      processes_(std::move(procRoot)),
      programs_(maxPrograms) {}

// Per query: the name is kept as it came and made text only when the
// table is asked for.
Asker CAttribution::Asked(u64 program, const u8* query, std::size_t size) {
  Asker asker;
  asker.program = program;
  if (const ProgramRow* row = programs_.Asked(program, WireQuestionName(query, size)))
    asker.ignored = row->ignored;
  return asker;
}

void CAttribution::ToAgent(u64 program) {
  if (ProgramRow* row = programs_.Get(program)) ++row->toAgent;
}

bool CAttribution::Answered(u64 program, const u8* answer, std::size_t size, std::string& name) {
  if (!AnswerSaysBlocked(answer, size)) return false;
  if (ProgramRow* row = programs_.Get(program)) ++row->blocked;
  if (!ReadQueryName(answer, size, name)) name = "?";
  return true;
}

std::vector<std::string> CAttribution::Table(bool withNames) const {
  std::vector<ProgramRow> rows = programs_.Rows();
  std::sort(rows.begin(), rows.end(),
            [](const ProgramRow& a, const ProgramRow& b) { return a.queries > b.queries; });
  const auto now = std::chrono::steady_clock::now();
  std::vector<std::string> out;
  for (const ProgramRow& row : rows) {
    std::string names;
    if (withNames) {
      for (const std::string& name : row.recent) names += (names.empty() ? "" : " ") + WireNameText(name);
    }
    const long long ago = std::chrono::duration_cast<std::chrono::seconds>(now - row.lastSeen).count();
    out.push_back(printable(row.exe) + '\t' + (row.uidKnown ? std::to_string(row.uid) : std::string("-")) +
                  '\t' + std::to_string(row.pid) + '\t' + (row.unit.empty() ? "-" : printable(row.unit)) +
                  '\t' + std::to_string(row.queries) + '\t' + std::to_string(row.toAgent) + '\t' +
                  std::to_string(row.blocked) + '\t' + std::to_string(ago) + '\t' +
                  (row.ignored ? "1" : "0") + '\t' + (withNames ? (names.empty() ? "-" : names) : "-"));
  }
  return out;
}

std::string_view WireQuestionName(const u8* message, std::size_t size) {
  if (size <= kDnsHeaderSize || read16(message + 4) == 0) return std::string_view();
  std::size_t at = kDnsHeaderSize;
  while (at < size && message[at] != 0) {
    if ((message[at] & 0xC0) != 0) return std::string_view();
    at += 1u + message[at];
  }
  if (at >= size || at - kDnsHeaderSize > 254) return std::string_view();
  return std::string_view(reinterpret_cast<const char*>(message + kDnsHeaderSize), at + 1 - kDnsHeaderSize);
}

std::string WireNameText(std::string_view wire) {
  std::string text;
  for (std::size_t at = 0; at < wire.size() && wire[at] != 0;) {
    const std::size_t length = static_cast<u8>(wire[at]);
    if (!text.empty()) text += '.';
    for (std::size_t i = at + 1; i <= at + length && i < wire.size(); ++i) {
      const char c = wire[i];
      text += c < 0x21 || c == 0x7f || c == '.'
                  ? '?'
                  : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    at += 1 + length;
  }
  return text.empty() ? "." : text;
}

bool AnswerSaysBlocked(const u8* m, std::size_t size) {
  if (size < kDnsHeaderSize) return false;
  const u16 questions = read16(m + 4);
  const u32 records = u32{read16(m + 6)} + read16(m + 8) + read16(m + 10);
  std::size_t at = kDnsHeaderSize;
  for (u16 i = 0; i < questions; ++i) {
    if (!skipName(m, size, at) || (at += 4) > size) return false;
  }
  for (u32 i = 0; i < records; ++i) {
    if (!skipName(m, size, at) || at + 10 > size) return false;
    const u16 type = read16(m + at);
    const std::size_t length = read16(m + at + 8);
    at += 10;
    if (at + length > size) return false;
    if (type == kTypeOpt) {
      for (std::size_t o = at; o + 4 <= at + length;) {
        const u16 code = read16(m + o);
        const std::size_t optionLength = read16(m + o + 2);
        if (o + 4 + optionLength > at + length) return false;
        if (code == kOptionEde && optionLength >= 2) {
          const u16 info = read16(m + o + 4);
          if (info == kEdeBlocked || info == kEdeFiltered) return true;
        }
        o += 4 + optionLength;
      }
    }
    at += length;
  }
  return false;
}

}  // namespace hxt::sockfilter
