// Windows: which process holds a client's socket is not looked up yet, so
// every query counts under "unknown" (the program table, its names and the
// blocked-answer log work as on Linux; IgnoredPrograms cannot match).
#include "daemon/attribution.h"

namespace hxt::sockfilter {

CSocketProcesses::CSocketProcesses(std::string procRoot, std::chrono::milliseconds minRescan,
                                   std::size_t maxSockets)
    : procRoot_(std::move(procRoot)), minRescan_(minRescan), maxSockets_(maxSockets) {}

CSocketProcesses::Found CSocketProcesses::Find(u64, u32&) {
  return Found::NotYet;
}

u64 CAttribution::ProgramOf(std::optional<u32> uid, std::optional<u64>) {
  return programs_.Row(kUnknownProgram, uid);
}

}  // namespace hxt::sockfilter
