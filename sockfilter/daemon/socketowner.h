// Which user owns a local socket, asked of the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG) by the socket's addresses: the budgets of the daemon
// count users, not sockets, since one user can open as many sockets as it
// likes. One request per lookup, on the caller's thread (the I/O thread).
#pragma once

#include <optional>

#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

class CSocketOwners {
 public:
  CSocketOwners() = default;
  ~CSocketOwners();
  CSocketOwners(const CSocketOwners&) = delete;
  CSocketOwners& operator=(const CSocketOwners&) = delete;

  // The uid of the local socket of `protocol` (IPPROTO_UDP or IPPROTO_TCP)
  // whose own address is `own` and whose peer is `peer` (for a UDP socket
  // that is not connected, any peer); nothing when there is none.
  std::optional<u32> Uid(int protocol, const boost::asio::ip::udp::endpoint& own,
                         const boost::asio::ip::udp::endpoint& peer);

 private:
  int fd_ = -1;
  u32 sequence_ = 0;
};

}  // namespace hxt::sockfilter
