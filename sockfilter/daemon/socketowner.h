// Which user owns a local socket, asked of the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG) by the socket's addresses: the budgets of the daemon
// count users, not sockets, since one user can open as many sockets as it
// likes. One request per lookup, on the caller's thread (the I/O thread).
//
// Answers are kept for kOwnerCacheTtl, so that a client asking one query at
// a time (whose budget entry ends with each answer) costs one kernel round
// trip per second, not one per query. A port taken over by another user
// within that time is still counted to the first one: a budget, not an
// identity, is what the answer decides.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

constexpr std::chrono::milliseconds kOwnerCacheTtl{1000};
// Beyond this many remembered sockets the cache starts afresh.
constexpr std::size_t kOwnerCacheMaxEntries = 4096;
// A user the system would not name (no uid on Linux, ~0; no SID on Windows).
constexpr u32 kNoUser = ~u32{0};

// steady_clock's time, up to a timer tick behind, at a fraction of the cost.
std::chrono::steady_clock::time_point CoarseNow();

class CSocketOwners {
 public:
  // What the log says when the close notices cannot be had or stop.
  static constexpr const char* kLookupEverySocket = "which program asked is looked up for every new client socket";

  CSocketOwners();
  ~CSocketOwners();
  CSocketOwners(const CSocketOwners&) = delete;
  CSocketOwners& operator=(const CSocketOwners&) = delete;

  // The uid of the local socket of `protocol` (IPPROTO_UDP or IPPROTO_TCP)
  // whose own address is `own` and whose peer is `peer` (for a UDP socket
  // that is not connected, any peer); nothing when there is none.
  std::optional<u32> Uid(int protocol, const boost::asio::ip::udp::endpoint& own,
                         const boost::asio::ip::udp::endpoint& peer);
  // Requests sent to the kernel so far (tests).
  u64 KernelLookups() const { return kernelLookups_; }

  struct Identity {
    u32 uid = 0;
    u64 inode = 0;
  };
  // The same, asked of the kernel each time, with the socket's inode: who
  // listens on a port now, not a second ago.
  std::optional<Identity> Identify(int protocol, const boost::asio::ip::udp::endpoint& own,
                                   const boost::asio::ip::udp::endpoint& peer) {
    return askKernel(protocol, own, peer);
  }

  // From here on the kernel tells (on `io`'s thread) when a UDP socket
  // closes, and IdentifyLive keeps what it found for a UDP port until then.
  // False where the system has no such notices (Windows) or refuses them:
  // IdentifyLive then asks the kernel each time.
  // `queueBytes`: the notice socket's receive buffer (tests make it small).
  bool WatchClosedSockets(boost::asio::io_context& io, int queueBytes = 1 << 20);
  // Identify, for UDP from what was found for `own`'s port while its socket
  // lives: a client that asks one query at a time costs one kernel round
  // trip, not one a query, and a port that another socket takes over is
  // asked about afresh. At most kOwnerCacheTtl old, in case a notice is lost.
  // `note`, when given, points (until the next call) to a value the caller
  // may keep its own finding about the socket in: 0 when the socket was
  // looked up anew, forgotten with the socket.
  std::optional<Identity> IdentifyLive(int protocol, const boost::asio::ip::udp::endpoint& own,
                                       const boost::asio::ip::udp::endpoint& peer, u64** note = nullptr);
  // Whether IdentifyLive remembers the port (tests).
  bool RemembersPort(const boost::asio::ip::udp::endpoint& own) const {
    return live_.count(liveKey(own)) != 0;
  }

 private:
  std::optional<Identity> askKernel(int protocol, const boost::asio::ip::udp::endpoint& own,
                                    const boost::asio::ip::udp::endpoint& peer);

  static u32 liveKey(const boost::asio::ip::udp::endpoint& own) {
    return (own.address().is_v6() ? 0x10000u : 0u) | own.port();
  }
  void forgetPort(bool v6, u16 port) { live_.erase((v6 ? 0x10000u : 0u) | port); }
  void readClosed();
  void drainClosed();

  struct Known {
    std::optional<u32> uid;
    std::chrono::steady_clock::time_point until;
  };
  int fd_ = -1;
  u32 sequence_ = 0;
  u64 kernelLookups_ = 0;
  std::unordered_map<std::string, Known> known_;
  struct Live {
    boost::asio::ip::address address;
    Identity identity;
    std::chrono::steady_clock::time_point until;
    u64 note = 0;
  };
  // By family and port: a closed socket's notice names the address it was
  // bound to (often the wildcard), not the one its datagrams came from.
  std::unordered_map<u32, Live> live_;
  struct ClosedSockets;  // the platform's notice socket
  std::unique_ptr<ClosedSockets> closed_;
};

// How a listener on a loopback port of `family` (HXT_AF_INET or HXT_AF_INET6)
// is looked up: as a packet from nowhere (the family's wildcard address,
// port 0) to loopback:port would find it, so that a listener on the wildcard
// address counts as much as one on loopback.
struct ListenerKey {
  boost::asio::ip::udp::endpoint own;
  boost::asio::ip::udp::endpoint peer;
};
ListenerKey LoopbackListenerKey(u16 family, u16 port);

// Whether the socket listening on a loopback port (UDP or TCP, the address
// of `family`) is one of process `pid`'s descriptors. Nothing when no socket
// listens there: a port nobody holds receives nothing.
std::optional<bool> LoopbackListenerOwnedBy(CSocketOwners& owners, int protocol, u16 family, u16 port,
                                            u32 pid);

}  // namespace hxt::sockfilter
