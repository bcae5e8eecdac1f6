// Windows: a socket's holder comes from the system's owner tables (see
// sockettable_win.h), its user from the holder's token. A socket has no
// inode here; Identity::inode carries the holding pid instead (with
// kIdentityHeld), or 0 while the holder is not known yet, for
// CAttribution::ProgramOf to take from there.
#include "daemon/socketowner.h"

#include <winsock2.h>

#include "daemon/sockettable_win.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {

// No notices of closed sockets here: IdentifyLive asks the socket table each time.
struct CSocketOwners::ClosedSockets {};

CSocketOwners::CSocketOwners() = default;
CSocketOwners::~CSocketOwners() = default;

bool CSocketOwners::WatchClosedSockets(boost::asio::io_context&, int) {
  return false;
}

std::optional<CSocketOwners::Identity> CSocketOwners::askKernel(int protocol,
                                                                const boost::asio::ip::udp::endpoint& own,
                                                                const boost::asio::ip::udp::endpoint& peer) {
  ++kernelLookups_;
  CSocketTable& table = SharedSocketTable();
  u32 pid = 0;
  switch (table.Find(protocol, own, peer, pid)) {
    case CSocketTable::Found::Gone:
      return std::nullopt;
    case CSocketTable::Found::NotYet:
      return Identity{kNoUser, 0};
    case CSocketTable::Found::Held:
      break;
  }
  return Identity{table.ProcessOf(pid).user, kIdentityHeld | pid};
}

std::optional<bool> LoopbackListenerOwnedBy(CSocketOwners&, int protocol, u16 family, u16 port, u32 pid) {
  // Who listens now, not at the last snapshot. A table that cannot be read
  // (or names no holder) says nothing against the announced port.
  u32 holder = 0;
  const ListenerKey key = LoopbackListenerKey(family, port);
  if (SharedSocketTable().Find(protocol, key.own, key.peer, holder, true) != CSocketTable::Found::Held)
    return std::nullopt;
  return pid != 0 && holder == pid;
}

}  // namespace hxt::sockfilter
