// The pass-through resolvers as the machine has them now. A configured list
// stays as it is; a list taken from resolv.conf follows the file, which a
// roaming machine rewrites on every network change: the file's identity
// (inode, size, modification time) is looked at, at most once per check
// interval, and the file read again when it changed. Entries that are the
// stub itself are skipped. An empty list is said loudly, at start and on
// every change to empty, because every query that is not redirected then
// gets SERVFAIL.
//
// I/O thread only.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "daemon/sockfilterconfig.h"

namespace hxt::sockfilter {

class CResolverSource {
 public:
  explicit CResolverSource(const SockFilterConfig& config);

  // The list now, read again first when the file changed.
  const std::vector<boost::asio::ip::udp::endpoint>& Current();
  // The list as last read, without looking at the file.
  const std::vector<boost::asio::ip::udp::endpoint>& Known() const { return resolvers_; }
  // Logs the list, or the warning that there is none.
  void LogState(bool changed) const;

 private:
  bool fileChanged();

  const SockFilterConfig& config_;
  std::vector<boost::asio::ip::udp::endpoint> resolvers_;
  std::chrono::steady_clock::time_point nextCheck_{};
  struct stat seen_ {};
  bool seenValid_ = false;
};

}  // namespace hxt::sockfilter
