// Transparent mode intercepts the machine's DNS with nftables: Linux only.
// On Windows the DNS client is steered to the stub instead, and a
// configuration that asks for transparent mode gets the same answer as a
// Linux daemon without the capability: OpenPlugin is answered 40.
#include "daemon/transparentmode.h"

#include "daemon/transparenthost.h"

namespace hxt::sockfilter {

struct CTransparentMode::Family {};
struct CTransparentMode::Links {};

bool MarkOwnTraffic(int) {
  return false;
}

CNftTable::~CNftTable() = default;

CConntrackLookup::~CConntrackLookup() = default;

bool CConntrackLookup::Open(std::string& error) {
  error = "transparent mode is not available on Windows";
  return false;
}

bool CConntrackLookup::OriginalDestination(const boost::asio::ip::udp::endpoint&,
                                           const boost::asio::ip::udp::endpoint&,
                                           boost::asio::ip::udp::endpoint&) {
  return false;
}

CTransparentMode::CTransparentMode(boost::asio::io_context& io, CFilterCore& core, CPassThrough& passThrough,
                                   const Nonce& nonce)
    : io_(io), core_(core), passThrough_(passThrough), nonce_(nonce) {}

CTransparentMode::~CTransparentMode() = default;

bool CTransparentMode::Start(std::string& why) {
  why = "transparent mode is not available on Windows (the DNS client is steered to the stub instead)";
  return false;
}

void CTransparentMode::Stop() {
  stopped_ = true;
}

void CTransparentMode::ParametersChanged() {}

const TransparentCounters& CTransparentMode::Counters(u16 family) const {
  return counters_[family == HXT_AF_INET6 ? 1 : 0];
}

std::string CTransparentMode::Describe() const {
  return "transparent mode is not available on Windows";
}

}  // namespace hxt::sockfilter
