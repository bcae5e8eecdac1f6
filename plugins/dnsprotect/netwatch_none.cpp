// Platforms without an event source of their own here (neither Linux nor
// Windows): only the resolver file and resume from sleep are followed
// (CNetWatch's own timer), and the health check catches the rest.
#include "netwatch.h"

namespace hxt::dnsprotect {

std::unique_ptr<INetSource> MakeNetSource(boost::asio::io_context&, CNetWatch&) {
  return nullptr;
}

}  // namespace hxt::dnsprotect
