// What transparent mode asks of the machine: the capability, the cgroup a
// process runs in, and the destination a redirected query was meant for.
//
// The text parsers are pure and take the file's content, so they are tested
// without a machine to match; the rest reads /proc and netlink.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"
#include "daemon/nftables.h"

namespace hxt::sockfilter {

// Whether the CapEff line of a /proc/<pid>/status text holds CAP_NET_ADMIN.
bool StatusHasNetAdmin(const std::string& statusText);
bool HasNetAdmin();

// The cgroup v2 path ("/system.slice/x.service") of a /proc/<pid>/cgroup text.
std::optional<std::string> CgroupFromProcText(const std::string& text);
// Where the cgroup v2 hierarchy is mounted, from a /proc/self/mountinfo text
// ("/sys/fs/cgroup", or "/sys/fs/cgroup/unified" on a hybrid machine).
std::optional<std::string> Cgroup2MountFromMountinfo(const std::string& text);
// The exemption of cgroup `path` under `mount`: its depth, and the path nft
// resolves relative to /sys/fs/cgroup. Empty for the root cgroup, which
// holds everything that was never put anywhere else and cannot be exempted
// on its own, and for a path nft cannot take (see NftQuotable).
std::optional<NftCgroup> CgroupExemption(const std::string& mount, const std::string& path);

// The exemption for process `pid`, or nothing with the reason in `why`.
std::optional<NftCgroup> ExemptionForPid(u32 pid, std::string& why);
// The exemption for a cgroup path, when that cgroup exists.
std::optional<NftCgroup> ExemptionForCgroup(const std::string& path, std::string& why);

// The machine's own link-local IPv6 address on each interface that is up
// (the first the kernel lists), loopback left out.
struct LinkLocalAddress {
  std::string interface;
  u32 index = 0;
  boost::asio::ip::address_v6 address;  // with the interface as its scope
};
std::vector<LinkLocalAddress> LinkLocalAddresses();

// The destination a connection accepted on a redirected port was opened to.
bool OriginalDestination(boost::asio::ip::tcp::socket& socket, boost::asio::ip::tcp::endpoint& original);

// Looks up the connection tracking entry of a redirected datagram: the
// kernel rewrote its destination to `local` and keeps the original. One
// netlink request per datagram, on the caller's thread.
class CConntrackLookup {
 public:
  CConntrackLookup() = default;
  ~CConntrackLookup();
  CConntrackLookup(const CConntrackLookup&) = delete;
  CConntrackLookup& operator=(const CConntrackLookup&) = delete;

  bool Open(std::string& error);
  bool OriginalDestination(const boost::asio::ip::udp::endpoint& local,
                           const boost::asio::ip::udp::endpoint& client,
                           boost::asio::ip::udp::endpoint& original);

 private:
  int fd_ = -1;
  u32 sequence_ = 0;
};

}  // namespace hxt::sockfilter
