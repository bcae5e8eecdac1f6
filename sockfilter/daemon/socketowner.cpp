// The per-socket cache in front of each platform's kernel lookup
// (socketowner_linux.cpp, socketowner_win.cpp).
#include "daemon/socketowner.h"

#include <time.h>

#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {

// Taken with every query: on Linux the coarse clock (the last timer tick, a
// few milliseconds behind, the same origin as steady_clock) is a read of
// memory the kernel keeps, where steady_clock reads the time-stamp counter;
// that alone was 1 % of the daemon's time at saturation. Milliseconds are
// more than a second's expiry or a least-recently-seen order needs.
std::chrono::steady_clock::time_point CoarseNow() {
#ifdef CLOCK_MONOTONIC_COARSE
  timespec t{};
  if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &t) == 0)
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::seconds(t.tv_sec) +
                                                                        std::chrono::nanoseconds(t.tv_nsec)));
#endif
  return std::chrono::steady_clock::now();
}

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

std::optional<CSocketOwners::Identity> CSocketOwners::IdentifyLive(int protocol,
                                                                   const boost::asio::ip::udp::endpoint& own,
                                                                   const boost::asio::ip::udp::endpoint& peer,
                                                                   u64** note) {
  if (note != nullptr) *note = nullptr;
  if (protocol != IPPROTO_UDP || !closed_) return askKernel(protocol, own, peer);
  const auto now = CoarseNow();
  Live& live = live_[liveKey(own)];
  if (live.until > now && live.address == own.address()) {
    if (note != nullptr) *note = &live.note;
    return live.identity;
  }
  auto identity = askKernel(protocol, own, peer);
  if (!identity || live_.size() > kOwnerCacheMaxEntries) {
    // Gone: asked again, never remembered. Full: all start afresh.
    if (identity)
      live_.clear();
    else
      live_.erase(liveKey(own));
    return identity;
  }
  live = Live{own.address(), *identity, now + kOwnerCacheTtl, 0};
  if (note != nullptr) *note = &live.note;
  return identity;
}

ListenerKey LoopbackListenerKey(u16 family, u16 port) {
  namespace ip = boost::asio::ip;
  if (family == HXT_AF_INET6)
    return {ip::udp::endpoint(ip::address_v6::loopback(), port), ip::udp::endpoint(ip::address_v6::any(), 0)};
  return {ip::udp::endpoint(ip::address_v4::loopback(), port), ip::udp::endpoint(ip::address_v4::any(), 0)};
}

}  // namespace hxt::sockfilter
