#include "daemon/passthrough.h"

#include "common/applog.h"
#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace {
constexpr const char* kResolve = "CPassThrough::Resolve";
constexpr const char* kReceive = "CPassThrough::receive";
}  // namespace

CPassThrough::CPassThrough(asio::io_context& io, CFilterCore& core) : io_(io), core_(core) {}

CPassThrough::~CPassThrough() {
  Stop();
}

void CPassThrough::Stop() {
  stopped_ = true;
  for (auto* upstream : {upstream4_.get(), upstream6_.get()}) {
    if (upstream == nullptr) continue;
    boost::system::error_code ignored;
    upstream->socket.close(ignored);
    for (auto& entry : upstream->pending) entry.second.timer->cancel();
    upstream->pending.clear();
  }
}

CPassThrough::Upstream* CPassThrough::upstreamFor(const udp::endpoint& resolver) {
  std::unique_ptr<Upstream>& slot = resolver.address().is_v6() ? upstream6_ : upstream4_;
  if (slot) return slot.get();
  auto upstream = std::make_unique<Upstream>(io_);
  boost::system::error_code ec;
  udp protocol = resolver.address().is_v6() ? udp::v6() : udp::v4();
  upstream->socket.open(protocol, ec);
  if (!ec) upstream->socket.bind(udp::endpoint(protocol, 0), ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, kResolve, "cannot open a socket towards %s [%d-%s]",
             EndpointText(resolver).c_str(), ec.value(), ec.message().c_str());
    return nullptr;
  }
  slot = std::move(upstream);
  receive(*slot);
  return slot.get();
}

void CPassThrough::Resolve(std::vector<u8> query, Done done) {
  const auto& resolvers = core_.config().resolvers;
  if (stopped_ || query.size() < kDnsHeaderSize || resolvers.empty()) {
    if (resolvers.empty() && throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_ERROR, kResolve, "no pass-through resolver is configured; answering SERVFAIL");
    }
    done({});
    return;
  }
  Upstream* upstream = upstreamFor(resolvers.front());
  if (upstream == nullptr || upstream->pending.size() >= 65535) {
    done({});
    return;
  }
  u16 id = upstream->nextId;
  while (upstream->pending.count(id) != 0) ++id;
  upstream->nextId = static_cast<u16>(id + 1);

  Pending pending;
  pending.clientId = static_cast<u16>((query[0] << 8) | query[1]);
  query[0] = static_cast<u8>(id >> 8);
  query[1] = static_cast<u8>(id);
  pending.query = std::move(query);
  pending.resolver = resolvers.front();
  pending.timer = std::make_unique<asio::steady_timer>(io_);
  pending.done = std::move(done);
  upstream->pending.emplace(id, std::move(pending));
  ++core_.counters().passedThrough;
  send(*upstream, id);
}

void CPassThrough::send(Upstream& upstream, u16 id) {
  Pending& pending = upstream.pending.at(id);
  auto bytes = std::make_shared<std::vector<u8>>(pending.query);
  upstream.socket.async_send_to(asio::buffer(*bytes), pending.resolver,
                                [bytes](const boost::system::error_code&, std::size_t) {});
  pending.timer->expires_after(core_.config().passThroughTimeout);
  Upstream* self = &upstream;
  pending.timer->async_wait([this, self, id](const boost::system::error_code& ec) {
    if (!ec) handleTimeout(*self, id);
  });
}

void CPassThrough::handleTimeout(Upstream& upstream, u16 id) {
  auto it = upstream.pending.find(id);
  if (it == upstream.pending.end()) return;
  Pending& pending = it->second;
  const auto& resolvers = core_.config().resolvers;
  std::size_t tries = std::min(resolvers.size(), kMaxAttempts);
  // Resolvers of the other family are skipped: this query's socket speaks one.
  while (++pending.attempt < tries) {
    const udp::endpoint& next = resolvers[pending.attempt];
    if (next.address().is_v6() == pending.resolver.address().is_v6()) {
      pending.resolver = next;
      send(upstream, id);
      return;
    }
  }
  if (throttle_.Allow()) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CPassThrough::handleTimeout",
             "no pass-through resolver answered (last tried %s); answering SERVFAIL",
             EndpointText(pending.resolver).c_str());
  }
  finish(upstream, id, {});
}

void CPassThrough::receive(Upstream& upstream) {
  Upstream* self = &upstream;
  upstream.socket.async_receive_from(
      asio::buffer(upstream.buffer), upstream.sender,
      [this, self](const boost::system::error_code& ec, std::size_t n) {
        if (ec == asio::error::operation_aborted || stopped_) return;
        if (!ec && n >= kDnsHeaderSize) {
          u16 id = static_cast<u16>((self->buffer[0] << 8) | self->buffer[1]);
          auto it = self->pending.find(id);
          if (it != self->pending.end() && it->second.resolver == self->sender) {
            std::vector<u8> answer(self->buffer.begin(),
                                   self->buffer.begin() + static_cast<std::ptrdiff_t>(n));
            answer[0] = static_cast<u8>(it->second.clientId >> 8);
            answer[1] = static_cast<u8>(it->second.clientId);
            finish(*self, id, std::move(answer));
          } else if (throttle_.Allow()) {
            HXT_LOGF(LOG_LEVEL_DEBUG, kReceive, "ignored an answer from %s that matches no query",
                     EndpointText(self->sender).c_str());
          }
        } else if (ec && throttle_.Allow()) {
          // ICMP errors of one resolver surface here; the timer moves on.
          HXT_LOGF(LOG_LEVEL_DEBUG, kReceive, "receive error [%d-%s]", ec.value(), ec.message().c_str());
        }
        receive(*self);
      });
}

void CPassThrough::finish(Upstream& upstream, u16 id, std::vector<u8> answer) {
  auto it = upstream.pending.find(id);
  if (it == upstream.pending.end()) return;
  Done done = std::move(it->second.done);
  it->second.timer->cancel();
  upstream.pending.erase(it);
  done(std::move(answer));
}

}  // namespace hxt::sockfilter
