// Windows: the holder of a client's socket comes with its identity (see
// socketowner_win.cpp); its program is the process's image path. Processes
// are not grouped in units here.
#include "daemon/attribution.h"

#include <algorithm>

#include "daemon/sockettable_win.h"

namespace hxt::sockfilter {

// Not used on Windows: the owner tables name the holding process directly.
CSocketProcesses::CSocketProcesses(std::string procRoot, std::chrono::milliseconds minRescan,
                                   std::size_t maxSockets)
    : procRoot_(std::move(procRoot)), minRescan_(minRescan), maxSockets_(maxSockets) {}

CSocketProcesses::Found CSocketProcesses::Find(u64, u32&) {
  return Found::NotYet;
}

u64 CAttribution::ProgramOf(std::optional<u32> uid, std::optional<u64> inode) {
  if (uid && *uid == kNoUser) uid.reset();
  if (!inode) return programs_.Row(kExitedProgram, uid);
  if ((*inode & kIdentityHeld) == 0) return programs_.Row(kUnknownProgram, uid);
  const u32 pid = static_cast<u32>(*inode);
  const CSocketTable::Process process = SharedSocketTable().ProcessOf(pid);
  if (process.state == CSocketTable::Process::State::Exited) return programs_.Row(kExitedProgram, uid);
  if (process.exe.empty()) return programs_.Row(kUnknownProgram, uid);
  const u64 handle = programs_.Row(process.exe, uid);
  if (ProgramRow* row = programs_.Get(handle)) {
    row->pid = pid;
    row->ignored = std::any_of(ignored_.begin(), ignored_.end(),
                               [&](const std::string& path) { return SamePath(path, process.exe); });
  }
  return handle;
}

}  // namespace hxt::sockfilter
