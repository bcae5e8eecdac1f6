#include "daemon/tcprelay.h"

#include <algorithm>
#include <iterator>
#include <string>

#include <boost/asio/write.hpp>

#include "common/applog.h"
#include "daemon/dnsmessage.h"
#include "daemon/nftables.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
constexpr std::size_t kTcpLengthPrefix = 2;
constexpr std::size_t kClientBuffer = 16384;
constexpr std::size_t kUpstreamBuffer = 65536;
}  // namespace

CTcpRelay::CTcpRelay(asio::io_context& io, CFilterCore& core, tcp::socket client, u32 serial,
                     TcpRelayRoute route, CLogThrottle& throttle, Closed closed)
    : io_(io),
      core_(core),
      client_(std::move(client)),
      upstream_(io),
      idle_(io),
      silence_(io),
      serial_(serial),
      route_(std::move(route)),
      throttle_(throttle),
      onClosed_(std::move(closed)),
      clientBuffer_(kClientBuffer),
      upstreamBuffer_(kUpstreamBuffer) {}

void CTcpRelay::Start(const tcp::endpoint& peer) {
  peer_ = peer;
  touch();
  readClient();
}

void CTcpRelay::Close() {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  client_.close(ignored);
  upstream_.close(ignored);
  idle_.cancel();
  silence_.cancel();
  if (onClosed_) onClosed_(this);
}

void CTcpRelay::touch() {
  idle_.expires_after(core_.config().tcpIdleTimeout);
  std::weak_ptr<CTcpRelay> weak = shared_from_this();
  idle_.async_wait([weak](const boost::system::error_code& ec) {
    auto self = weak.lock();
    if (!ec && self) self->Close();
  });
}

// Reads while nothing waits to go upstream, so that a client that writes
// faster than the upstream takes is held back by TCP itself.
void CTcpRelay::readClient() {
  if (reading_ || closed_) return;
  reading_ = true;
  auto self = shared_from_this();
  client_.async_read_some(asio::buffer(clientBuffer_),
                          [self](const boost::system::error_code& ec, std::size_t n) {
                            self->reading_ = false;
                            if (self->closed_) return;
                            if (ec) {
                              self->Close();
                              return;
                            }
                            self->touch();
                            self->framer_.Feed(self->clientBuffer_.data(), n);
                            std::vector<u8> message;
                            while (self->framer_.Next(message)) {
                              // The first is counted when the connection is routed.
                              if (self->routed_) self->asked(message);
                              self->outbox_.push_back(std::move(message));
                            }
                            if (self->outbox_.empty()) {
                              self->readClient();  // not a whole message yet
                            } else if (!self->routed_) {
                              self->route();
                            } else {
                              self->pump();
                            }
                          });
}

// Routes the connection on its first whole message.
void CTcpRelay::route() {
  routed_ = true;
  const std::vector<u8>& first = outbox_.front();
  std::string name;
  bool named = ReadQueryName(first.data() + kTcpLengthPrefix, first.size() - kTcpLengthPrefix, name);
  asker_ = core_.AttributeConnection(asio::ip::udp::endpoint(peer_.address(), peer_.port()),
                                     asio::ip::udp::endpoint(route_.requested.address(), route_.requested.port()),
                                     first.data() + kTcpLengthPrefix, first.size() - kTcpLengthPrefix);
  if (named && MatchesWhiteList(name, core_.WhiteList(route_.family))) {
    HXT_LOGF(LOG_LEVEL_DEBUG, "CTcpRelay::route", "%s is white-listed: passing the connection through",
             name.c_str());
    if (route_.counters != nullptr) ++route_.counters->whiteListed;
  } else {
    agentRoute_ = core_.RouteToService(route_.family, Transport::Tcp, asker_);
  }
  // Messages that came with the first are the connection's too.
  for (auto it = std::next(outbox_.begin()); it != outbox_.end(); ++it) asked(*it);
  if (agentRoute_) {
    connectService();
  } else {
    connectPassThrough(0);
  }
}

void CTcpRelay::asked(const std::vector<u8>& message) {
  core_.ConnectionAsked(asker_, message.data() + kTcpLengthPrefix, message.size() - kTcpLengthPrefix,
                        agentRoute_);
}

void CTcpRelay::connectService() {
  asio::ip::address loopback = route_.family == HXT_AF_INET6
                                   ? asio::ip::address(asio::ip::address_v6::loopback())
                                   : asio::ip::address(asio::ip::address_v4::loopback());
  tcp::endpoint service(loopback, core_.ServicePort(route_.family, Transport::Tcp));
  auto self = shared_from_this();
  u64 generation = ++generation_;
  upstream_.async_connect(service, [self, generation](const boost::system::error_code& ec) {
    if (self->closed_ || generation != self->generation_) return;
    if (ec) {
      self->core_.ServiceFailed(self->route_.family, "refused a connection");
      ++self->core_.counters().failedOver;
      self->connectPassThrough(0);
      return;
    }
    ++self->core_.counters().redirected;
    if (self->route_.counters != nullptr) ++self->route_.counters->redirected;
    self->toService_ = true;
    self->connected_ = true;
    // An agent that takes the query and says nothing (a stopped agent still
    // completes the handshake from its backlog) must not cost the client
    // more than the service time-out.
    self->silence_.expires_after(self->core_.config().serviceTimeout);
    self->silence_.async_wait(
        [weak = std::weak_ptr<CTcpRelay>(self)](const boost::system::error_code& error) {
          auto me = weak.lock();
          if (!error && me && !me->closed_ && !me->answered_) me->serviceSilent();
        });
    self->pump();
    self->readUpstream(generation);
  });
}

void CTcpRelay::serviceSilent() {
  ++core_.counters().failedOver;
  // What the agent was sent goes to the resolver instead, in order.
  for (auto it = sent_.rbegin(); it != sent_.rend(); ++it) outbox_.push_front(std::move(*it));
  sent_.clear();
  connectPassThrough(0);
  core_.ServiceFailed(route_.family, "did not answer in time");
  core_.ServiceTimedOut(route_.family);
}

void CTcpRelay::connectPassThrough(std::size_t attempt) {
  boost::system::error_code ignored;
  upstream_.close(ignored);
  toService_ = false;
  agentRoute_ = false;
  connected_ = false;
  writing_ = false;
  u64 generation = ++generation_;
  if (attempt >= route_.resolvers.size()) {
    if (throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTcpRelay::connectPassThrough",
               "no pass-through resolver accepts TCP; closing the connection from %s",
               EndpointText(asio::ip::udp::endpoint(peer_.address(), peer_.port())).c_str());
    }
    ++core_.counters().dropped;
    Close();
    return;
  }
  tcp::endpoint resolver(route_.resolvers[attempt].address(), route_.resolvers[attempt].port());
  upstream_ = tcp::socket(io_);
  // Transparent mode must not catch the daemon's own pass-through; a socket
  // that cannot open here fails in async_connect and the next resolver is tried.
  boost::system::error_code openError;
  upstream_.open(resolver.protocol(), openError);
  if (!openError) MarkOwnTraffic(upstream_.native_handle());
  auto self = shared_from_this();
  upstream_.async_connect(resolver, [self, attempt, generation](const boost::system::error_code& ec) {
    if (self->closed_ || generation != self->generation_) return;
    if (ec) {
      self->connectPassThrough(attempt + 1);
      return;
    }
    ++self->core_.counters().passedThrough;
    if (self->route_.counters != nullptr) ++self->route_.counters->passedThrough;
    self->connected_ = true;
    self->pump();
    self->readUpstream(generation);
  });
}

// Sends the next whole message upstream; reads the client again once
// everything went.
void CTcpRelay::pump() {
  if (!connected_ || writing_ || closed_) return;
  if (outbox_.empty()) {
    readClient();
    return;
  }
  std::vector<u8> message = std::move(outbox_.front());
  outbox_.pop_front();
  auto bytes = std::make_shared<std::vector<u8>>();
  if (toService_) {
    // A message larger than one read of the agent goes as several, the
    // first as large as a read.
    for (std::size_t offset = 0; offset < message.size(); offset += kMaxTcpChunk) {
      std::size_t size = std::min(kMaxTcpChunk, message.size() - offset);
      RedirectHeader header =
          BuildRedirectHeader(serial_, route_.nonce, peer_.address(), peer_.port(),
                              route_.requested.address(), route_.requested.port(), static_cast<u16>(size));
      std::vector<u8> piece = WithHeader(header, message.data() + offset, size);
      bytes->insert(bytes->end(), piece.begin(), piece.end());
    }
    if (!answered_) sent_.push_back(std::move(message));
  } else {
    *bytes = std::move(message);
  }
  writing_ = true;
  auto self = shared_from_this();
  u64 generation = generation_;
  asio::async_write(upstream_, asio::buffer(*bytes),
                    [self, bytes, generation](const boost::system::error_code& ec, std::size_t) {
                      if (self->closed_ || generation != self->generation_) return;
                      self->writing_ = false;
                      if (ec) {
                        self->Close();
                        return;
                      }
                      self->pump();
                    });
}

void CTcpRelay::readUpstream(u64 generation) {
  auto self = shared_from_this();
  upstream_.async_read_some(
      asio::buffer(upstreamBuffer_), [self, generation](const boost::system::error_code& ec, std::size_t n) {
        if (self->closed_ || generation != self->generation_) return;
        if (ec) {
          self->Close();
          return;
        }
        self->touch();
        if (self->toService_ && !self->answered_) {
          self->answered_ = true;
          self->silence_.cancel();
          self->sent_.clear();
          self->core_.ServiceAnswered(self->route_.family);
        }
        // Each of the agent's answers is looked at where it lies (a blocked
        // one is counted for the program); the bytes go on unchanged.
        if (self->toService_ && self->core_.Attributing()) {
          self->answers_.Feed(self->upstreamBuffer_.data(), n, [&self](const u8* answer, std::size_t size) {
            self->core_.AgentAnswered(self->asker_, answer, size);
          });
        }
        asio::async_write(self->client_, asio::buffer(self->upstreamBuffer_.data(), n),
                          [self, generation](const boost::system::error_code& ec, std::size_t) {
                            if (self->closed_ || generation != self->generation_) return;
                            if (ec) {
                              self->Close();
                              return;
                            }
                            self->readUpstream(generation);
                          });
      });
}

bool CTcpUserSlots::Take(CSocketOwners& owners, const tcp::endpoint& peer, const tcp::endpoint& asked,
                         u32 limit, u32& user) {
  user = owners
             .Uid(IPPROTO_TCP, asio::ip::udp::endpoint(peer.address(), peer.port()),
                  asio::ip::udp::endpoint(asked.address(), asked.port()))
             .value_or(~u32{0});
  u32& held = inUse_[user];
  if (held >= limit) {
    if (held == 0) inUse_.erase(user);
    return false;
  }
  ++held;
  return true;
}

void CTcpUserSlots::Give(u32 user) {
  auto it = inUse_.find(user);
  if (it == inUse_.end()) return;
  if (--it->second == 0) inUse_.erase(it);
}

AcceptOutcome ScreenAccept(const boost::system::error_code& error, boost::asio::ip::tcp::socket& socket,
                           bool stopped, std::size_t openConnections, CFilterCore& core,
                           CLogThrottle& throttle, CAcceptBackoff& backoff, const char* function) {
  if (error == boost::asio::error::operation_aborted || stopped) return AcceptOutcome::Stopped;
  if (error) {
    if (throttle.Allow()) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "accept error [%d-%s]", error.value(), error.message().c_str());
    }
    return CAcceptBackoff::Calls(error) ? AcceptOutcome::BackingOff : AcceptOutcome::Failed;
  }
  if (openConnections >= core.config().maxTcpConnections) {
    ++core.counters().dropped;
    if (throttle.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, function, "%zu TCP connections open already; refusing another",
               openConnections);
    }
    boost::system::error_code ignored;
    socket.close(ignored);
    return AcceptOutcome::Refused;
  }
  backoff.Succeeded();
  return AcceptOutcome::Relay;
}

}  // namespace hxt::sockfilter
