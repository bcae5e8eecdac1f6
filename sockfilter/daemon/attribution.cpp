#include "daemon/attribution.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <sstream>

#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

namespace {

constexpr std::size_t kRecentAskers = 64;
// Descriptor numbers tried on a process before its whole list is read.
constexpr int kProbes = 4;
constexpr u16 kTypeOpt = 41;
constexpr u16 kOptionEde = 15;
constexpr u16 kEdeBlocked = 15;
constexpr u16 kEdeFiltered = 17;

bool parsePid(const char* text, u32& pid) {
  if (*text == '\0') return false;
  u64 value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<u64>(*c - '0');
    if (value > 0xFFFFFFFFull) return false;
  }
  pid = static_cast<u32>(value);
  return pid != 0;
}

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

CSocketProcesses::CSocketProcesses(std::string procRoot, std::chrono::milliseconds minRescan,
                                   std::size_t maxSockets)
    : procRoot_(std::move(procRoot)), minRescan_(minRescan), maxSockets_(maxSockets) {}

std::vector<u32> CSocketProcesses::listPids() const {
  std::vector<u32> pids;
  DIR* folder = ::opendir(procRoot_.c_str());
  if (folder == nullptr) return pids;
  while (const dirent* entry = ::readdir(folder)) {
    u32 pid = 0;
    if (parsePid(entry->d_name, pid)) pids.push_back(pid);
  }
  ::closedir(folder);
  return pids;
}

bool CSocketProcesses::scanProcess(u32 pid, u64 wanted, SeenFds* seenFds) {
  const std::string folder = procRoot_ + "/" + std::to_string(pid) + "/fd";
  std::vector<bool>* seen = seenFds != nullptr ? &seenFds->numbers : nullptr;
  DIR* fds = nullptr;
  std::vector<int> known;
  char target[64];
  bool exists = false;
  auto look = [&](int fd) {
    // Probes go by path: opening the folder costs three system calls more.
    const std::string name = std::to_string(fd);
    const ssize_t n = fds != nullptr ? ::readlinkat(::dirfd(fds), name.c_str(), target, sizeof target)
                                     : ::readlink((folder + "/" + name).c_str(), target, sizeof target);
    exists = n > 0;
    u64 inode = 0;
    if (n <= 0 || !ParseSocketLink(target, static_cast<std::size_t>(n), inode)) return false;
    // The bound keeps memory in check on a machine of very many sockets;
    // the wanted one is found whatever it holds.
    if (byInode_.size() < maxSockets_ || inode == wanted) byInode_[inode] = pid;
    return inode == wanted;
  };
  bool found = false;
  if (seen != nullptr) {
    // A new socket takes the lowest free descriptor number: while the
    // numbers read before stay open, that is one of the first not read
    // yet. Trying a few of them spares listing thousands of descriptors.
    int tried = 0;
    std::size_t& first = seenFds->firstUnseen;
    while (first < seen->size() && (*seen)[first]) ++first;
    for (std::size_t fd = first; fd < seen->size() + kProbes && tried < kProbes && !found; ++fd) {
      if (fd < seen->size() && (*seen)[fd]) continue;
      ++tried;
      found = look(static_cast<int>(fd));
      if (exists) {
        if (seen->size() <= fd) seen->resize(fd + 1);
        (*seen)[fd] = true;
      }
    }
    if (found) return true;
  }
  fds = ::opendir(folder.c_str());
  if (fds == nullptr) return false;
  while (const dirent* entry = ::readdir(fds)) {
    u32 number = 0;
    if (entry->d_name[0] == '0' && entry->d_name[1] == '\0') {
      number = 0;
    } else if (!parsePid(entry->d_name, number) || number > (1u << 20)) {
      continue;
    }
    const int fd = static_cast<int>(number);
    if (seen != nullptr && static_cast<std::size_t>(fd) < seen->size() &&
        (*seen)[static_cast<std::size_t>(fd)]) {
      known.push_back(fd);
      continue;
    }
    if (seen != nullptr) {
      if (seen->size() <= static_cast<std::size_t>(fd)) seen->resize(static_cast<std::size_t>(fd) + 1);
      (*seen)[static_cast<std::size_t>(fd)] = true;
    }
    if (look(fd)) found = true;
  }
  // A number read before may now be another socket (closed, then reused).
  for (std::size_t i = 0; i < known.size() && !found; ++i) found = look(known[i]);
  ::closedir(fds);
  return found;
}

CSocketProcesses::Found CSocketProcesses::Find(u64 inode, u32& pid) {
  auto remember = [&](u32 who) {
    pid = who;
    auto it = std::find(recentAskers_.begin(), recentAskers_.end(), who);
    if (it != recentAskers_.end()) recentAskers_.erase(it);
    recentAskers_.push_back(who);
    if (recentAskers_.size() > kRecentAskers) {
      seenFds_.erase(recentAskers_.front());
      recentAskers_.erase(recentAskers_.begin());
    }
    return Found::Held;
  };
  if (auto it = byInode_.find(inode); it != byInode_.end()) return remember(it->second);
  // Cheap first: a program that asked before opened another socket, or a
  // process started since the last look asks.
  for (auto it = recentAskers_.rbegin(); it != recentAskers_.rend(); ++it) {
    if (scanProcess(*it, inode, &seenFds_[*it])) return remember(*it);
  }
  const std::vector<u32> pids = listPids();
  if (scanned_) {
    for (u32 candidate : pids) {
      if (knownPids_.count(candidate) != 0) continue;
      if (scanProcess(candidate, inode)) {
        knownPids_.insert(candidate);
        return remember(candidate);
      }
    }
  }
  const auto now = std::chrono::steady_clock::now();
  if (scanned_ && now - lastFullScan_ < minRescan_) return Found::NotYet;
  // Everyone: the map starts afresh, so that sockets closed since are
  // forgotten.
  scanned_ = true;
  lastFullScan_ = now;
  ++fullScans_;
  byInode_.clear();
  knownPids_.clear();
  seenFds_.clear();
  u32 holder = 0;
  for (u32 candidate : pids) {
    knownPids_.insert(candidate);
    if (scanProcess(candidate, inode) && holder == 0) holder = candidate;
  }
  return holder != 0 ? remember(holder) : Found::Gone;
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
  row->lastSeen = std::chrono::steady_clock::now();
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

u64 CAttribution::ProgramOf(std::optional<u32> uid, std::optional<u64> inode) {
  if (!inode) return programs_.Row(kExitedProgram, uid);
  u32 pid = 0;
  switch (processes_.Find(*inode, pid)) {
    case CSocketProcesses::Found::Gone:
      return programs_.Row(kExitedProgram, uid);
    case CSocketProcesses::Found::NotYet:
      return programs_.Row(kUnknownProgram, uid);
    case CSocketProcesses::Found::Held:
      break;
  }
  const std::string folder = procRoot_ + "/" + std::to_string(pid);
  char target[4096];
  const ssize_t n = ::readlink((folder + "/exe").c_str(), target, sizeof target);
  // Gone between the two looks: it exited.
  if (n <= 0)
    return programs_.Row(::access(folder.c_str(), F_OK) == 0 ? kUnknownProgram : kExitedProgram, uid);
  std::string exe(target, static_cast<std::size_t>(n));
  // A program replaced while it runs still asks as itself.
  static constexpr char kDeleted[] = " (deleted)";
  if (exe.size() > sizeof kDeleted - 1 &&
      exe.compare(exe.size() - (sizeof kDeleted - 1), std::string::npos, kDeleted) == 0)
    exe.resize(exe.size() - (sizeof kDeleted - 1));
  const u64 handle = programs_.Row(exe, uid);
  if (ProgramRow* row = programs_.Get(handle)) {
    if (row->pid != pid || row->unit.empty()) {
      std::ifstream cgroup(folder + "/cgroup");
      std::stringstream text;
      text << cgroup.rdbuf();
      row->unit = UnitOfCgroup(text.str());
    }
    row->pid = pid;
    row->ignored = std::find(ignored_.begin(), ignored_.end(), exe) != ignored_.end();
  }
  return handle;
}

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
