// Which process holds a socket, and its program, read from /proc.
#include "daemon/attribution.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hxt::sockfilter {

namespace {

constexpr std::size_t kRecentAskers = 64;
// Descriptor numbers tried on a process before its whole list is read.
constexpr int kProbes = 4;

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

}  // namespace

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
  const auto now = std::chrono::steady_clock::now();
  if (auto known = programOfSocket_.find(*inode); known != programOfSocket_.end()) {
    const SocketProgram& seen = known->second;
    // An evicted row's handle counts nothing: found again below.
    if (seen.pid == pid && seen.until > now && programs_.Get(seen.program) != nullptr) return seen.program;
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
  if (programOfSocket_.size() >= kProgramCacheMaxSockets) programOfSocket_.clear();
  programOfSocket_[*inode] = SocketProgram{pid, handle, now + kProgramRecheck};
  return handle;
}

}  // namespace hxt::sockfilter
