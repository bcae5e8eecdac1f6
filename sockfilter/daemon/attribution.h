// Which program asked: the process behind the socket a query came from, and
// per program what it asked and what became of it.
//
// The kernel's socket diagnostics tell a socket's owner uid and inode (see
// socketowner.h); which process holds that inode is read from /proc/PID/fd,
// kept as an inode → pid map and read again only on a miss: first the
// processes that asked before and those started since the last look, then,
// at most once per rescan interval, every process. A socket no process holds
// (its program has exited, or closed it) is counted under "exited", never
// dropped. A socket's program (the process's executable) is read again only
// after kProgramRecheck: only an exec that keeps the socket changes it, and a
// client asking one query at a time would otherwise cost a readlink each.
//
// The program table is bounded (the least recently seen program makes room
// for a new one) and so is each program's ring of recent names. I/O thread
// only.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

// "socket:[12345]" (a /proc/PID/fd link) → 12345; false for anything else.
bool ParseSocketLink(const char* text, std::size_t size, u64& inode);
// The unit (systemd service or scope) of a /proc/PID/cgroup text: the last
// component of the cgroup v2 path that ends in ".service" or ".scope"; else
// the path itself; empty when there is no v2 line.
std::string UnitOfCgroup(const std::string& procCgroupText);

// inode → pid, read from <procRoot>/PID/fd.
class CSocketProcesses {
 public:
  explicit CSocketProcesses(std::string procRoot = "/proc",
                            std::chrono::milliseconds minRescan = std::chrono::milliseconds(200),
                            std::size_t maxSockets = 65536);

  enum class Found { Held, Gone, NotYet };
  // Held: `pid` holds the socket. Gone: a full look found no process
  // holding it. NotYet: the full look is rate-limited and nothing cheaper
  // found it.
  Found Find(u64 inode, u32& pid);
  std::size_t Size() const { return byInode_.size(); }
  u64 FullScans() const { return fullScans_; }

 private:
  // Adds the sockets of one process; true when `wanted` is among them.
  // With `seen` (descriptor numbers read before), the new numbers are read
  // first and the others only when the wanted socket is not among them: a
  // program that keeps thousands of sockets open and opens one more costs
  // one readlink, not thousands.
  struct SeenFds {
    std::vector<bool> numbers;
    std::size_t firstUnseen = 0;  // numbers are only ever added
  };
  bool scanProcess(u32 pid, u64 wanted, SeenFds* seen = nullptr);
  std::vector<u32> listPids() const;

  std::string procRoot_;
  std::chrono::milliseconds minRescan_;
  std::size_t maxSockets_;
  std::unordered_map<u64, u32> byInode_;
  std::unordered_set<u32> knownPids_;
  // Processes that held an asking socket lately: looked at first on a miss.
  std::vector<u32> recentAskers_;
  // Their descriptor numbers read so far.
  std::unordered_map<u32, SeenFds> seenFds_;
  std::chrono::steady_clock::time_point lastFullScan_{};
  bool scanned_ = false;
  u64 fullScans_ = 0;
};

// What a program asked and what became of it.
struct ProgramRow {
  std::string exe;  // "exited" when the socket's process was gone
  u32 uid = 0;
  bool uidKnown = false;
  u32 pid = 0;  // the last process seen asking
  std::string unit;
  bool ignored = false;
  u64 queries = 0;
  u64 toAgent = 0;
  u64 blocked = 0;
  std::vector<std::string> recent;  // oldest first
  std::chrono::steady_clock::time_point lastSeen{};
};

constexpr const char* kExitedProgram = "exited";
constexpr const char* kUnknownProgram = "unknown";

class CProgramTable {
 public:
  explicit CProgramTable(std::size_t maxPrograms = 256, std::size_t recentNames = 8)
      : maxPrograms_(maxPrograms == 0 ? 1 : maxPrograms), recentNames_(recentNames) {}

  // A handle of the row of (exe, uid), made (evicting the least recently
  // seen row when full) if needed. Handles of an evicted row count nothing.
  u64 Row(const std::string& exe, std::optional<u32> uid);
  ProgramRow* Get(u64 handle);
  // Counts a query of the row and remembers its name (when not empty), in
  // whatever form the caller keeps names.
  ProgramRow* Asked(u64 handle, std::string_view name);
  std::vector<ProgramRow> Rows() const;
  std::size_t Size() const { return byKey_.size(); }

 private:
  struct Slot {
    u32 generation = 0;
    bool used = false;
    ProgramRow row;
    std::size_t nextRecent = 0;
  };
  std::size_t maxPrograms_;
  std::size_t recentNames_;
  std::vector<Slot> slots_;
  std::unordered_map<std::string, u32> byKey_;
};

// The process of an asking socket.
struct Asker {
  u64 program = 0;  // handle in the program table; 0: none
  bool ignored = false;
};

// How long the program found for a socket is taken as it is.
constexpr std::chrono::milliseconds kProgramRecheck{1000};
// Beyond this many sockets the memory of their programs starts afresh.
constexpr std::size_t kProgramCacheMaxSockets = 4096;

class CAttribution {
 public:
  explicit CAttribution(std::vector<std::string> ignoredPrograms, std::string procRoot = "/proc",
                        std::size_t maxPrograms = 256);

  // The program of the socket the kernel knows as (uid, inode); nothing:
  // the socket is gone.
  u64 ProgramOf(std::optional<u32> uid, std::optional<u64> inode);
  // Counts a query of `program` (the first question's name of `query`).
  Asker Asked(u64 program, const u8* query, std::size_t size);
  void ToAgent(u64 program);
  // The agent's answer to a query of `program`; true when it says blocked
  // (the name is written to `name`).
  bool Answered(u64 program, const u8* answer, std::size_t size, std::string& name);
  const ProgramRow* Row(u64 program) { return programs_.Get(program); }
  void SetIgnored(std::vector<std::string> ignoredPrograms) {
    ignored_ = std::move(ignoredPrograms);
    programOfSocket_.clear();  // whether a program is ignored is decided when it is found
  }

  // "exe\tuid\tpid\tunit\tqueries\ttoAgent\tblocked\tsecondsAgo\tignored\tnames" rows,
  // most queries first; names joined by spaces, or "-" when `withNames` is
  // false. Tabs and control bytes in the text become '?'.
  std::vector<std::string> Table(bool withNames) const;

  const CSocketProcesses& Processes() const { return processes_; }

 private:
  struct ProcessInfo {
    std::string exe;
    std::string unit;
  };
  std::string procRoot_;
  std::vector<std::string> ignored_;
  CSocketProcesses processes_;
  CProgramTable programs_;
  struct SocketProgram {
    u32 pid = 0;
    u64 program = 0;
    std::chrono::steady_clock::time_point until{};
  };
  std::unordered_map<u64, SocketProgram> programOfSocket_;  // by socket inode (Linux)
};

// The first question's name as it stands in a message (length-prefixed
// labels and the root's zero), which the hot path copies as it is; empty
// when there is none or it uses a pointer.
std::string_view WireQuestionName(const u8* message, std::size_t size);
// Such a name as text: lower case, labels joined by dots, bytes that are
// not printable (and dots inside a label) as '?'.
std::string WireNameText(std::string_view wire);

// Whether an answer says its name was blocked: an Extended DNS Error 15
// ("Blocked") or 17 ("Filtered") in its OPT record.
bool AnswerSaysBlocked(const u8* answer, std::size_t size);

}  // namespace hxt::sockfilter
