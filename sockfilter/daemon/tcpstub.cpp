#include "daemon/tcpstub.h"

#include <algorithm>
#include <deque>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <boost/asio/ip/v6_only.hpp>

#include "common/applog.h"
#include "daemon/dnsmessage.h"
#include "daemon/dnstcpframer.h"
#include "daemon/nftables.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
constexpr std::size_t kTcpLengthPrefix = 2;
}  // namespace

class CTcpStub::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(CTcpStub& owner, tcp::socket client, u32 serial)
      : owner_(owner),
        client_(std::move(client)),
        upstream_(owner.io_),
        idle_(owner.io_),
        silence_(owner.io_),
        serial_(serial),
        clientBuffer_(16384),
        upstreamBuffer_(65536) {}

  void Start() {
    boost::system::error_code ec;
    peer_ = client_.remote_endpoint(ec);
    if (ec) {
      Close();
      return;
    }
    touch();
    readClient();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    client_.close(ignored);
    upstream_.close(ignored);
    idle_.cancel();
    silence_.cancel();
    owner_.forget(this);
  }

 private:
  CFilterCore& core() { return owner_.core_; }

  void touch() {
    idle_.expires_after(core().config().tcpIdleTimeout);
    std::weak_ptr<Connection> weak = shared_from_this();
    idle_.async_wait([weak](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (!ec && self) self->Close();
    });
  }

  // Reads while nothing waits to go upstream, so that a client that writes
  // faster than the upstream takes is held back by TCP itself.
  void readClient() {
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
                              while (self->framer_.Next(message)) self->outbox_.push_back(std::move(message));
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
  void route() {
    routed_ = true;
    const std::vector<u8>& first = outbox_.front();
    std::string name;
    bool named = ReadQueryName(first.data() + kTcpLengthPrefix, first.size() - kTcpLengthPrefix, name);
    u16 family = owner_.family_;
    resolvers_ = core().Resolvers();
    if (named && MatchesWhiteList(name, core().WhiteList(family))) {
      HXT_LOGF(LOG_LEVEL_DEBUG, "CTcpStub::route", "%s is white-listed: passing the connection through",
               name.c_str());
      connectPassThrough(0);
    } else if (core().RouteToService(family, Transport::Tcp)) {
      connectService();
    } else {
      connectPassThrough(0);
    }
  }

  void connectService() {
    asio::ip::address loopback = owner_.family_ == HXT_AF_INET6
                                     ? asio::ip::address(asio::ip::address_v6::loopback())
                                     : asio::ip::address(asio::ip::address_v4::loopback());
    tcp::endpoint service(loopback, core().ServicePort(owner_.family_, Transport::Tcp));
    auto self = shared_from_this();
    u64 generation = ++generation_;
    upstream_.async_connect(service, [self, generation](const boost::system::error_code& ec) {
      if (self->closed_ || generation != self->generation_) return;
      if (ec) {
        self->core().ServiceFailed(self->owner_.family_, "refused a connection");
        ++self->core().counters().failedOver;
        self->connectPassThrough(0);
        return;
      }
      ++self->core().counters().redirected;
      self->toService_ = true;
      self->connected_ = true;
      // An agent that takes the query and says nothing must not cost the
      // client more than the service time-out.
      self->silence_.expires_after(self->core().config().serviceTimeout);
      self->silence_.async_wait(
          [weak = std::weak_ptr<Connection>(self)](const boost::system::error_code& error) {
            auto me = weak.lock();
            if (!error && me && !me->closed_ && !me->answered_) me->serviceSilent();
          });
      self->pump();
      self->readUpstream(generation);
    });
  }

  void serviceSilent() {
    core().ServiceFailed(owner_.family_, "did not answer in time");
    core().ServiceTimedOut(owner_.family_);
    ++core().counters().failedOver;
    // What the agent was sent goes to the resolver instead, in order.
    for (auto it = sent_.rbegin(); it != sent_.rend(); ++it) outbox_.push_front(std::move(*it));
    sent_.clear();
    connectPassThrough(0);
  }

  void connectPassThrough(std::size_t attempt) {
    boost::system::error_code ignored;
    upstream_.close(ignored);
    toService_ = false;
    connected_ = false;
    writing_ = false;
    u64 generation = ++generation_;
    if (attempt >= resolvers_.size()) {
      if (owner_.throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, "CTcpStub::connectPassThrough",
                 "no pass-through resolver accepts TCP; closing the connection from %s",
                 EndpointText(asio::ip::udp::endpoint(peer_.address(), peer_.port())).c_str());
      }
      ++core().counters().dropped;
      Close();
      return;
    }
    tcp::endpoint resolver(resolvers_[attempt].address(), resolvers_[attempt].port());
    upstream_ = tcp::socket(owner_.io_);
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
      ++self->core().counters().passedThrough;
      self->connected_ = true;
      self->pump();
      self->readUpstream(generation);
    });
  }

  // Sends the next whole message upstream; reads the client again once
  // everything went.
  void pump() {
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
            BuildRedirectHeader(serial_, owner_.nonce_, peer_.address(), peer_.port(),
                                owner_.local_.address(), owner_.local_.port(), static_cast<u16>(size));
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

  void readUpstream(u64 generation) {
    auto self = shared_from_this();
    upstream_.async_read_some(asio::buffer(upstreamBuffer_),
                              [self, generation](const boost::system::error_code& ec, std::size_t n) {
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
                                  self->core().ServiceAnswered(self->owner_.family_);
                                }
                                asio::async_write(
                                    self->client_, asio::buffer(self->upstreamBuffer_.data(), n),
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

  CTcpStub& owner_;
  tcp::socket client_;
  tcp::socket upstream_;
  asio::steady_timer idle_;
  asio::steady_timer silence_;
  tcp::endpoint peer_;
  const u32 serial_;
  std::vector<u8> clientBuffer_;
  std::vector<u8> upstreamBuffer_;
  CDnsTcpFramer framer_;
  std::deque<std::vector<u8>> outbox_;  // whole messages not yet sent upstream
  std::deque<std::vector<u8>> sent_;    // sent to the agent before it said anything
  std::vector<asio::ip::udp::endpoint> resolvers_;
  u64 generation_ = 0;  // of the upstream socket; handlers of an earlier one do nothing
  bool routed_ = false;
  bool connected_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool toService_ = false;
  bool answered_ = false;
  bool closed_ = false;
};

CTcpStub::CTcpStub(asio::io_context& io, CFilterCore& core, const Nonce& nonce)
    : io_(io), core_(core), nonce_(nonce), acceptor_(io), backoff_(io) {}

CTcpStub::~CTcpStub() {
  Stop();
}

bool CTcpStub::Start(const tcp::endpoint& stub) {
  family_ = WindowsFamily(stub.address());
  boost::system::error_code ec;
  acceptor_.open(stub.protocol(), ec);
  if (!ec) acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec && stub.address().is_v6()) acceptor_.set_option(asio::ip::v6_only(true), ec);
  if (!ec) acceptor_.bind(stub, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CTcpStub::Start", "cannot listen on TCP %s [%d-%s]",
             EndpointText(asio::ip::udp::endpoint(stub.address(), stub.port())).c_str(), ec.value(),
             ec.message().c_str());
    return false;
  }
  local_ = acceptor_.local_endpoint(ec);
  accept();
  return true;
}

void CTcpStub::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  backoff_.Cancel();
  auto all = connections_;
  for (const auto& connection : all) connection->Close();
  connections_.clear();
}

void CTcpStub::accept() {
  acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (ec) {
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_ERROR, "CTcpStub::accept", "accept error [%d-%s]", ec.value(),
                 ec.message().c_str());
      }
      if (CAcceptBackoff::Calls(ec)) {
        backoff_.Wait([this] {
          if (!stopped_) accept();
        });
        return;
      }
    } else if (connections_.size() >= core_.config().maxTcpConnections) {
      ++core_.counters().dropped;
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, "CTcpStub::accept", "%zu TCP connections open already; refusing another",
                 connections_.size());
      }
      boost::system::error_code ignored;
      socket.close(ignored);
    } else {
      backoff_.Succeeded();
      auto connection = std::make_shared<Connection>(*this, std::move(socket), nextSerial_++);
      connections_.insert(connection);
      connection->Start();
    }
    accept();
  });
}

void CTcpStub::forget(Connection* connection) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      connections_.erase(it);
      return;
    }
  }
}

}  // namespace hxt::sockfilter
