// The pass-through resolvers as the machine has them now. A configured list
// stays as it is; otherwise (the configuration names a resolv.conf) the list
// follows the machine's, which a roaming machine changes on every network
// change. It is looked at, at most once per check interval, and read again
// when its fingerprint changed. Linux: resolv.conf, whose identity (inode,
// size, modification time) is the fingerprint. Windows: the DNS servers of
// the network adapters that are up (GetAdaptersAddresses), the list itself
// the fingerprint. Entries that are the stub itself, and on Windows any
// loopback address, are skipped. An empty list is said loudly, at start and on
// every change to empty, because every query that is not redirected then
// gets SERVFAIL.
//
// I/O thread only.
#pragma once

#include <chrono>
#include <string>
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
  // The platform's part: what identifies the machine's list as it is now
  // (empty when there is none), the list itself, and its name in the log.
  std::string fingerprint() const;
  std::vector<boost::asio::ip::udp::endpoint> readMachineList() const;
  std::string sourceName() const;
  std::vector<boost::asio::ip::udp::endpoint> stubs() const;

  const SockFilterConfig& config_;
  std::vector<boost::asio::ip::udp::endpoint> resolvers_;
  std::chrono::steady_clock::time_point nextCheck_{};
  std::string seen_;
};

}  // namespace hxt::sockfilter
