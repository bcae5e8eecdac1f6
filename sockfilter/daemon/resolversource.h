// The pass-through resolvers as the machine has them now. A configured list
// stays as it is; otherwise (the configuration names a resolv.conf) the list
// follows the machine's, which a roaming machine changes on every network
// change. It is looked at, at most once per check interval, and read again
// when its fingerprint changed. Linux: resolv.conf, whose identity (inode,
// size, modification time) is the fingerprint. Windows: the DNS servers of
// the network adapters that are up (GetAdaptersAddresses), the list itself
// the fingerprint; looked at on the next use after the IP helper reported an
// interface or address change, and otherwise only every kWatchedCheckInterval
// (a DNS server set by hand changes neither). Entries that are the stub itself, and on Windows any
// loopback address, are skipped. An empty list is said loudly, at start and on
// every change to empty, because every query that is not redirected then
// gets SERVFAIL.
//
// I/O thread only.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
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
  // Starts the platform's change notifications, which set `changed_`; null
  // where there are none (Linux polls resolv.conf's identity).
  std::shared_ptr<void> watchChanges();
  std::chrono::milliseconds checkInterval() const;

  const SockFilterConfig& config_;
  std::vector<boost::asio::ip::udp::endpoint> resolvers_;
  std::chrono::steady_clock::time_point nextCheck_{};
  std::string seen_;
  std::shared_ptr<std::atomic<bool>> changed_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<void> watch_;  // last: its callbacks set changed_
};

// How often a list whose changes are notified is looked at all the same.
constexpr std::chrono::seconds kWatchedCheckInterval{30};

}  // namespace hxt::sockfilter
