#include "daemon/udpstub.h"

#include <boost/asio/ip/v6_only.hpp>

#include "common/applog.h"
#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace {
constexpr const char* kHandleClient = "CUdpStub::handleClient";
constexpr const char* kHandleRelay = "CUdpStub::handleRelay";

asio::ip::address loopbackOf(u16 family) {
  if (family == HXT_AF_INET6) return asio::ip::address_v6::loopback();
  return asio::ip::address_v4::loopback();
}
}  // namespace

CUdpStub::CUdpStub(asio::io_context& io, CFilterCore& core, CPassThrough& passThrough, const Nonce& nonce)
    : io_(io), core_(core), passThrough_(passThrough), nonce_(nonce), stub_(io), relay_(io) {}

CUdpStub::~CUdpStub() {
  Stop();
}

bool CUdpStub::Start(const udp::endpoint& stub) {
  family_ = WindowsFamily(stub.address());
  boost::system::error_code ec;
  stub_.open(stub.protocol(), ec);
  if (!ec && stub.address().is_v6()) stub_.set_option(asio::ip::v6_only(true), ec);
  if (!ec) stub_.bind(stub, ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CUdpStub::Start", "cannot listen on UDP %s [%d-%s]",
             EndpointText(stub).c_str(), ec.value(), ec.message().c_str());
    return false;
  }
  local_ = stub_.local_endpoint(ec);
  receiveClient();
  return true;
}

void CUdpStub::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ignored;
  stub_.close(ignored);
  closeRelay();
  for (auto& entry : pending_) entry.second.timer->cancel();
  pending_.clear();
}

void CUdpStub::receiveClient() {
  stub_.async_receive_from(asio::buffer(clientBuffer_), sender_,
                           [this](const boost::system::error_code& ec, std::size_t n) {
                             if (ec == asio::error::operation_aborted || stopped_) return;
                             if (ec) {
                               if (inputThrottle_.Allow()) {
                                 HXT_LOGF(LOG_LEVEL_ERROR, kHandleClient, "receive error [%d-%s]", ec.value(),
                                          ec.message().c_str());
                               }
                             } else {
                               handleClient(n);
                             }
                             receiveClient();
                           });
}

void CUdpStub::handleClient(std::size_t size) {
  const udp::endpoint client = sender_;
  if (size < kDnsHeaderSize) {
    ++core_.counters().dropped;
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient,
               "dropped a %zu-byte datagram from %s: too short for a DNS query", size,
               EndpointText(client).c_str());
    }
    return;
  }
  std::vector<u8> query(clientBuffer_.begin(), clientBuffer_.begin() + static_cast<std::ptrdiff_t>(size));
  if (size > kMaxUdpPayload) {
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient, "refused a %zu-byte query from %s (at most %zu bytes)", size,
               EndpointText(client).c_str(), kMaxUdpPayload);
    }
    answerError(client, query, kRcodeFormErr);
    return;
  }
  if (!core_.AcquireQuery(client)) {
    // Dropped, as a resolver does: an error answer would only invite the
    // flooding client to retry at once.
    ++core_.counters().overBudget;
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient,
               "too many queries in flight (client %s); dropping the excess", EndpointText(client).c_str());
    }
    return;
  }
  std::string name;
  bool named = ReadQueryName(query.data(), query.size(), name);
  if (named && MatchesWhiteList(name, core_.WhiteList(family_))) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandleClient, "%s is white-listed: passing it through", name.c_str());
    toPassThrough(client, std::move(query));
  } else if (core_.RouteToService(family_, Transport::Udp)) {
    toService(client, std::move(query));
  } else {
    toPassThrough(client, std::move(query));
  }
}

bool CUdpStub::ensureRelay(u16 servicePort) {
  if (relay_.is_open() && relayServicePort_ == servicePort) return true;
  closeRelay();
  boost::system::error_code ec;
  asio::ip::address loopback = loopbackOf(family_);
  relay_.open(loopback.is_v6() ? udp::v6() : udp::v4(), ec);
  if (!ec) relay_.bind(udp::endpoint(loopback, 0), ec);
  // Connected, so that the listener's port being closed comes back as an
  // error on the next receive instead of silence.
  if (!ec) relay_.connect(udp::endpoint(loopback, servicePort), ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CUdpStub::ensureRelay", "cannot open the relay to the agent's port %u [%d-%s]",
             servicePort, ec.value(), ec.message().c_str());
    closeRelay();
    return false;
  }
  relayServicePort_ = servicePort;
  relayPort_ = relay_.local_endpoint(ec).port();
  receiveRelay(++relayGeneration_);
  return true;
}

void CUdpStub::closeRelay() {
  boost::system::error_code ignored;
  relay_.close(ignored);
  relayServicePort_ = 0;
  relayPort_ = 0;
  ++relayGeneration_;
}

void CUdpStub::toService(const udp::endpoint& client, std::vector<u8> query) {
  if (!ensureRelay(core_.ServicePort(family_, Transport::Udp))) {
    core_.ServiceFailed(family_, "cannot be reached");
    toPassThrough(client, std::move(query));
    return;
  }
  u32 serial = nextSerial_++;
  RedirectHeader header = BuildRedirectHeader(serial, nonce_, client.address(), relayPort_, local_.address(),
                                              local_.port(), static_cast<u16>(query.size()));
  auto datagram = std::make_shared<std::vector<u8>>(WithHeader(header, query.data(), query.size()));
  relay_.async_send(asio::buffer(*datagram), [datagram](const boost::system::error_code&, std::size_t) {});

  Pending pending;
  pending.client = client;
  pending.query = std::move(query);
  pending.timer = std::make_unique<asio::steady_timer>(io_);
  pending.timer->expires_after(core_.config().serviceTimeout);
  pending.timer->async_wait([this, serial](const boost::system::error_code& ec) {
    if (ec || stopped_) return;
    core_.ServiceFailed(family_, "did not answer in time");
    core_.ServiceTimedOut(family_);
    failOver(serial);
  });
  pending_.emplace(serial, std::move(pending));
  ++core_.counters().redirected;
}

void CUdpStub::toPassThrough(const udp::endpoint& client, std::vector<u8> query) {
  std::vector<u8> copy = query;
  passThrough_.Resolve(std::move(query), [this, client, copy](std::vector<u8> answerBytes) {
    if (stopped_) return;
    if (answerBytes.empty()) {
      answerError(client, copy, kRcodeServFail);
    } else {
      answer(client, std::move(answerBytes));
    }
    core_.ReleaseQuery(client);
  });
}

void CUdpStub::receiveRelay(u64 generation) {
  relay_.async_receive(asio::buffer(relayBuffer_), [this, generation](const boost::system::error_code& ec,
                                                                      std::size_t n) {
    if (ec == asio::error::operation_aborted || stopped_ || generation != relayGeneration_) {
      return;
    }
    if (ec == asio::error::connection_refused) {
      failOverAll("refused the query (its port is closed)");
    } else if (ec) {
      if (relayThrottle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleRelay, "receive error [%d-%s]", ec.value(), ec.message().c_str());
      }
    } else {
      handleRelay(n);
    }
    receiveRelay(generation);
  });
}

void CUdpStub::handleRelay(std::size_t size) {
  u32 serial = 0;
  auto it = pending_.end();
  if (ParseServiceAnswer(relayBuffer_.data(), size, nonce_, serial)) it = pending_.find(serial);
  if (it == pending_.end()) {
    ++core_.counters().unmatched;
    if (relayThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleRelay,
               "ignored a %zu-byte answer from the agent that matches no query", size);
    }
    return;
  }
  core_.ServiceAnswered(family_);
  udp::endpoint client = it->second.client;
  it->second.timer->cancel();
  pending_.erase(it);
  answer(client, std::vector<u8>(relayBuffer_.begin() + kRedirectHeaderSize,
                                 relayBuffer_.begin() + static_cast<std::ptrdiff_t>(size)));
  core_.ReleaseQuery(client);
}

void CUdpStub::failOver(u32 serial) {
  auto it = pending_.find(serial);
  if (it == pending_.end()) return;
  udp::endpoint client = it->second.client;
  std::vector<u8> query = std::move(it->second.query);
  it->second.timer->cancel();
  pending_.erase(it);
  ++core_.counters().failedOver;
  toPassThrough(client, std::move(query));
}

void CUdpStub::failOverAll(const char* what) {
  if (!pending_.empty()) core_.ServiceFailed(family_, what);
  while (!pending_.empty()) failOver(pending_.begin()->first);
}

void CUdpStub::RoutingChanged() {
  if (stopped_) return;
  u16 port = core_.Redirected(family_, Transport::Udp) ? core_.ServicePort(family_, Transport::Udp) : 0;
  if (port == relayServicePort_) return;
  while (!pending_.empty()) failOver(pending_.begin()->first);
  closeRelay();
}

void CUdpStub::answer(const udp::endpoint& client, std::vector<u8> bytes) {
  auto shared = std::make_shared<std::vector<u8>>(std::move(bytes));
  stub_.async_send_to(asio::buffer(*shared), client,
                      [shared](const boost::system::error_code&, std::size_t) {});
}

void CUdpStub::answerError(const udp::endpoint& client, const std::vector<u8>& query, u8 rcode) {
  std::vector<u8> bytes = MakeErrorAnswer(query.data(), query.size(), rcode);
  if (bytes.empty()) return;
  ++core_.counters().answeredLocally;
  answer(client, std::move(bytes));
}

}  // namespace hxt::sockfilter
