// Windows: which process holds a local TCP or UDP socket, read from the
// system's owner tables (GetExtendedTcpTable / GetExtendedUdpTable with
// owner pids), and that process's program and user.
//
// A table read lists every socket of one protocol and address family, so
// one read is kept as a snapshot and answers for every port in it while it
// is fresh (kTableFresh): a burst of queries from many sockets costs one
// read. A port missing from the snapshot reads the table again, at most once
// per kTableMinRead (longer where a read is slow); until then its asker is
// not known yet. A port closed and taken by another process within
// kTableFresh of a read is still counted to the first one: the snapshot
// cannot tell.
//
// Processes are kept open while remembered (a bounded few): Windows does not
// give an open process's id to another, so a remembered pid stays the one
// that asked, and whether it has exited is one wait on its handle.
//
// One table for the process (SharedSocketTable), behind a lock: the I/O
// thread is its only regular user.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"
#include "daemon/socketowner.h"

namespace hxt::sockfilter {

constexpr std::chrono::milliseconds kTableFresh{100};
constexpr std::chrono::milliseconds kTableMinRead{20};
// Rows kept of one snapshot; the wanted socket is found whatever it holds.
constexpr std::size_t kTableMaxRows = 16384;
constexpr std::size_t kMaxOpenProcesses = 64;

// Users are numbered by the last part (RID) of their SID: users of two
// domains with the same RID share a number (kNoUser: not known).

class CSocketTable {
 public:
  CSocketTable() = default;
  ~CSocketTable();
  CSocketTable(const CSocketTable&) = delete;
  CSocketTable& operator=(const CSocketTable&) = delete;

  enum class Found { Held, Gone, NotYet };
  // The process holding the local socket of `protocol` (IPPROTO_UDP or
  // IPPROTO_TCP) with address `own`, connected to `peer` (TCP; a peer of
  // port 0 asks for a listener). `fresh` reads the table whatever the
  // snapshot and the rate limit say.
  Found Find(int protocol, const boost::asio::ip::udp::endpoint& own,
             const boost::asio::ip::udp::endpoint& peer, u32& pid, bool fresh = false);

  struct Process {
    enum class State { Running, Exited, Hidden } state = State::Hidden;
    std::string exe;  // UTF-8, full path; empty when it could not be read
    u32 user = kNoUser;
  };
  // Exited: no process has that id any more. Hidden: it runs, but may not be
  // looked into.
  Process ProcessOf(u32 pid);

  u64 TableReads() const { return reads_; }

 private:
  struct Row {
    u16 localPort = 0;
    u16 remotePort = 0;
    bool listening = false;
    bool ended = false;  // a TCP connection past its close
    u32 pid = 0;
    std::array<u8, 16> local{};
    std::array<u8, 16> remote{};
  };
  struct Snapshot {
    std::vector<Row> rows;  // by local port
    std::chrono::steady_clock::time_point readAt{};
    // Between two reads: kTableMinRead, or ten times what the last one took
    // where reading is slow (Wine: milliseconds), so that reads take at
    // most a tenth of the thread's time.
    std::chrono::steady_clock::duration gap = kTableMinRead;
    bool read = false;
  };
  struct Open {
    u32 pid = 0;
    void* handle = nullptr;
    Process process;
    std::chrono::steady_clock::time_point used{};
  };
  Found findIn(int protocol, const boost::asio::ip::udp::endpoint& own,
               const boost::asio::ip::udp::endpoint& peer, u32& pid, bool fresh);
  bool readTable(int protocol, bool v6, u16 wantedPort, Snapshot& snapshot);
  Found answer(const Row* row, u32& pid) const;
  static const Row* match(const Snapshot& snapshot, int protocol, const boost::asio::ip::udp::endpoint& own,
                          const boost::asio::ip::udp::endpoint& peer);

  std::mutex lock_;
  Snapshot snapshots_[4];  // UDP v4, UDP v6, TCP v4, TCP v6
  std::vector<unsigned char> buffer_;
  std::vector<Open> open_;
  u64 reads_ = 0;
};

CSocketTable& SharedSocketTable();

// The owner's answer carried in CSocketOwners::Identity on Windows, where a
// socket has no inode: the holding pid with this bit set, or 0 while the
// holder is not known yet.
constexpr u64 kIdentityHeld = u64{1} << 32;

// Program paths compared as Windows compares them: case does not matter.
bool SamePath(const std::string& a, const std::string& b);

}  // namespace hxt::sockfilter
