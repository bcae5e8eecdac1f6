// The per-socket cache in front of each platform's kernel lookup
// (socketowner_linux.cpp, socketowner_win.cpp).
#include "daemon/socketowner.h"

#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {

std::optional<u32> CSocketOwners::Uid(int protocol, const boost::asio::ip::udp::endpoint& own,
                                      const boost::asio::ip::udp::endpoint& peer) {
  std::string key(1, static_cast<char>(protocol));
  key.append(reinterpret_cast<const char*>(own.data()), own.size());
  key.append(reinterpret_cast<const char*>(peer.data()), peer.size());
  const auto now = std::chrono::steady_clock::now();
  auto found = known_.find(key);
  if (found != known_.end() && found->second.until > now) return found->second.uid;
  std::optional<u32> uid;
  if (auto identity = askKernel(protocol, own, peer); identity && identity->uid != kNoUser)
    uid = identity->uid;
  if (known_.size() >= kOwnerCacheMaxEntries) known_.clear();
  known_[key] = Known{uid, now + kOwnerCacheTtl};
  return uid;
}

ListenerKey LoopbackListenerKey(u16 family, u16 port) {
  namespace ip = boost::asio::ip;
  if (family == HXT_AF_INET6)
    return {ip::udp::endpoint(ip::address_v6::loopback(), port), ip::udp::endpoint(ip::address_v6::any(), 0)};
  return {ip::udp::endpoint(ip::address_v4::loopback(), port), ip::udp::endpoint(ip::address_v4::any(), 0)};
}

}  // namespace hxt::sockfilter
