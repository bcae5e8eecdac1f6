#include "daemon/tcpstub.h"

#include <algorithm>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <boost/asio/ip/v6_only.hpp>

#include "common/applog.h"
#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {
constexpr std::size_t kMaxPassThroughAttempts = 3;
constexpr std::size_t kTcpLengthPrefix = 2;
}  // namespace

class CTcpStub::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(CTcpStub& owner, tcp::socket client, u32 serial)
      : owner_(owner),
        client_(std::move(client)),
        upstream_(owner.io_),
        idle_(owner.io_),
        serial_(serial),
        clientBuffer_(kMaxTcpChunk),
        upstreamBuffer_(65536) {}

  void Start() {
    boost::system::error_code ec;
    peer_ = client_.remote_endpoint(ec);
    if (ec) {
      Close();
      return;
    }
    touch();
    auto self = shared_from_this();
    client_.async_read_some(asio::buffer(clientBuffer_),
                            [self](const boost::system::error_code& ec, std::size_t n) {
                              if (ec) {
                                self->Close();
                                return;
                              }
                              self->route(n);
                            });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    client_.close(ignored);
    upstream_.close(ignored);
    idle_.cancel();
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

  void route(std::size_t n) {
    first_.assign(clientBuffer_.begin(), clientBuffer_.begin() + static_cast<std::ptrdiff_t>(n));
    std::string name;
    bool named =
        n > kTcpLengthPrefix && ReadQueryName(first_.data() + kTcpLengthPrefix, n - kTcpLengthPrefix, name);
    u16 family = owner_.family_;
    if (named && MatchesWhiteList(name, core().WhiteList(family))) {
      HXT_LOGF(LOG_LEVEL_DEBUG, "CTcpStub::route", "%s is white-listed: passing the connection through",
               name.c_str());
      connectPassThrough(0);
    } else if (core().Redirected(family, Transport::Tcp)) {
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
    upstream_.async_connect(service, [self](const boost::system::error_code& ec) {
      if (self->closed_) return;
      if (ec) {
        self->core().ServiceFailed(self->owner_.family_, "refused a connection");
        ++self->core().counters().failedOver;
        boost::system::error_code ignored;
        self->upstream_.close(ignored);
        self->connectPassThrough(0);
        return;
      }
      ++self->core().counters().redirected;
      self->toService_ = true;
      self->forward(std::move(self->first_));
      self->readUpstream();
    });
  }

  void connectPassThrough(std::size_t attempt) {
    const auto& resolvers = core().config().resolvers;
    if (attempt >= std::min(resolvers.size(), kMaxPassThroughAttempts)) {
      if (owner_.throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, "CTcpStub::connectPassThrough",
                 "no pass-through resolver accepts TCP; closing the connection from %s",
                 EndpointText(asio::ip::udp::endpoint(peer_.address(), peer_.port())).c_str());
      }
      ++core().counters().dropped;
      Close();
      return;
    }
    tcp::endpoint resolver(resolvers[attempt].address(), resolvers[attempt].port());
    auto self = shared_from_this();
    upstream_.async_connect(resolver, [self, attempt](const boost::system::error_code& ec) {
      if (self->closed_) return;
      if (ec) {
        boost::system::error_code ignored;
        self->upstream_.close(ignored);
        self->connectPassThrough(attempt + 1);
        return;
      }
      ++self->core().counters().passedThrough;
      self->forward(std::move(self->first_));
      self->readUpstream();
    });
  }

  // Sends one chunk of the client's to the upstream, then reads the next.
  void forward(std::vector<u8> chunk) {
    auto bytes = std::make_shared<std::vector<u8>>();
    if (toService_) {
      RedirectHeader header =
          BuildRedirectHeader(serial_, owner_.nonce_, peer_.address(), peer_.port(), owner_.local_.address(),
                              owner_.local_.port(), static_cast<u16>(chunk.size()));
      *bytes = WithHeader(header, chunk.data(), chunk.size());
    } else {
      *bytes = std::move(chunk);
    }
    auto self = shared_from_this();
    asio::async_write(upstream_, asio::buffer(*bytes),
                      [self, bytes](const boost::system::error_code& ec, std::size_t) {
                        if (ec) {
                          self->Close();
                          return;
                        }
                        self->readClient();
                      });
  }

  void readClient() {
    auto self = shared_from_this();
    client_.async_read_some(
        asio::buffer(clientBuffer_), [self](const boost::system::error_code& ec, std::size_t n) {
          if (ec) {
            self->Close();
            return;
          }
          self->touch();
          self->forward(std::vector<u8>(self->clientBuffer_.begin(),
                                        self->clientBuffer_.begin() + static_cast<std::ptrdiff_t>(n)));
        });
  }

  void readUpstream() {
    auto self = shared_from_this();
    upstream_.async_read_some(
        asio::buffer(upstreamBuffer_), [self](const boost::system::error_code& ec, std::size_t n) {
          if (ec) {
            self->Close();
            return;
          }
          self->touch();
          if (self->toService_) self->core().ServiceAnswered(self->owner_.family_);
          asio::async_write(self->client_, asio::buffer(self->upstreamBuffer_.data(), n),
                            [self](const boost::system::error_code& ec, std::size_t) {
                              if (ec) {
                                self->Close();
                                return;
                              }
                              self->readUpstream();
                            });
        });
  }

  CTcpStub& owner_;
  tcp::socket client_;
  tcp::socket upstream_;
  asio::steady_timer idle_;
  tcp::endpoint peer_;
  const u32 serial_;
  std::vector<u8> clientBuffer_;
  std::vector<u8> upstreamBuffer_;
  std::vector<u8> first_;
  bool toService_ = false;
  bool closed_ = false;
};

CTcpStub::CTcpStub(asio::io_context& io, CFilterCore& core, const Nonce& nonce)
    : io_(io), core_(core), nonce_(nonce), acceptor_(io) {}

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
    } else if (connections_.size() >= core_.config().maxTcpConnections) {
      ++core_.counters().dropped;
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, "CTcpStub::accept", "%zu TCP connections open already; refusing another",
                 connections_.size());
      }
      boost::system::error_code ignored;
      socket.close(ignored);
    } else {
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
