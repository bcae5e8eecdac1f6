// The machine's resolvers on Windows: the DNS servers of the network adapters
// that are up, as GetAdaptersAddresses lists them. The stub's own loopback
// addresses are never among them: once the DNS client sends everything to
// the stub, a loopback entry would send pass-through queries back to it.
#include <winsock2.h>

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include "daemon/resolversource.h"

#include "common/applog.h"
#include "common/win/ipchangewatch.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace hxt::sockfilter {

namespace {

std::vector<boost::asio::ip::udp::endpoint> adapterResolvers(u16 port) {
  std::vector<boost::asio::ip::udp::endpoint> found;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = ::GetAdaptersAddresses(
        AF_UNSPEC,
        GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_FRIENDLY_NAME,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return found;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp) continue;
    for (auto* server = adapter->FirstDnsServerAddress; server != nullptr; server = server->Next) {
      const SOCKADDR* address = server->Address.lpSockaddr;
      boost::asio::ip::udp::endpoint endpoint;
      if (address == nullptr || server->Address.iSockaddrLength > static_cast<INT>(endpoint.capacity()))
        continue;
      std::memcpy(endpoint.data(), address, static_cast<std::size_t>(server->Address.iSockaddrLength));
      endpoint.resize(static_cast<std::size_t>(server->Address.iSockaddrLength));
      endpoint.port(port);
      if (endpoint.address().is_loopback() || endpoint.address().is_unspecified()) continue;
      if (std::find(found.begin(), found.end(), endpoint) == found.end()) found.push_back(endpoint);
    }
  }
  return found;
}

}  // namespace

std::string CResolverSource::fingerprint() const {
  std::string text;
  for (const auto& resolver : adapterResolvers(config_.resolvConfPort)) text += EndpointText(resolver) + ',';
  return text;
}

std::vector<boost::asio::ip::udp::endpoint> CResolverSource::readMachineList() const {
  std::vector<boost::asio::ip::udp::endpoint> list = adapterResolvers(config_.resolvConfPort);
  const std::vector<boost::asio::ip::udp::endpoint> own = stubs();
  list.erase(
      std::remove_if(list.begin(), list.end(),
                     [&own](const auto& e) { return std::find(own.begin(), own.end(), e) != own.end(); }),
      list.end());
  return list;
}

// An interface coming up or going down and a new address (a DHCP lease, a
// roam) are what bring other DNS servers; routes alone do not. The
// callbacks only raise the flag, which the next use of the list looks at.
std::shared_ptr<void> CResolverSource::watchChanges() {
  auto watch = std::make_shared<platform::CIpChangeWatch>(
      platform::CIpChangeWatch::kInterfaces | platform::CIpChangeWatch::kAddresses,
      [changed = changed_](const char*) { changed->store(true); });
  if (watch->Error() == 0) return watch;
  HXT_LOGF(LOG_LEVEL_WARNING, "CResolverSource",
           "network changes are not notified (IP helper error %lu): the adapters' DNS servers are looked at "
           "every %lld ms",
           watch->Error(), static_cast<long long>(config_.resolvConfCheckInterval.count()));
  return nullptr;
}

std::string CResolverSource::sourceName() const {
  return "the network adapters' DNS servers";
}

}  // namespace hxt::sockfilter
