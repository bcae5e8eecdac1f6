// Windows tells no socket's user the way Linux's socket diagnostics do: every
// client counts as one unknown user (the per-client and overall budgets
// still hold), and a loopback port's holder is not known, so the agent's
// listener ports are taken as they are announced.
#include "daemon/socketowner.h"

namespace hxt::sockfilter {

CSocketOwners::~CSocketOwners() = default;

std::optional<u32> CSocketOwners::Uid(int, const boost::asio::ip::udp::endpoint&,
                                      const boost::asio::ip::udp::endpoint&) {
  return std::nullopt;
}

std::optional<CSocketOwners::Identity> CSocketOwners::askKernel(int, const boost::asio::ip::udp::endpoint&,
                                                                const boost::asio::ip::udp::endpoint&) {
  return std::nullopt;
}

std::optional<bool> LoopbackListenerOwnedBy(CSocketOwners&, int, u16, u16, u32) {
  return std::nullopt;
}

}  // namespace hxt::sockfilter
