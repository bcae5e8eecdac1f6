#include "daemon/tcpstub.h"

#include <boost/asio/ip/v6_only.hpp>

#include "common/applog.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

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
    switch (ScreenAccept(ec, socket, stopped_, connections_.size(), core_, throttle_, backoff_,
                         "CTcpStub::accept")) {
      case AcceptOutcome::Stopped:
        return;
      case AcceptOutcome::BackingOff:
        backoff_.Wait([this] {
          if (!stopped_) accept();
        });
        return;
      case AcceptOutcome::Relay:
        relay(std::move(socket));
        break;
      case AcceptOutcome::Refused:
      case AcceptOutcome::Failed:
        break;
    }
    accept();
  });
}

void CTcpStub::relay(tcp::socket socket) {
  boost::system::error_code peerError;
  tcp::endpoint peer = socket.remote_endpoint(peerError);
  if (peerError) return;
  u32 user = 0;
  if (!userSlots_.Take(core_.SocketOwners(), peer, local_, core_.config().maxTcpConnectionsPerUser, user)) {
    ++core_.counters().dropped;
    if (throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTcpStub::accept",
               "user %u has %u TCP connections open already; refusing another", user,
               core_.config().maxTcpConnectionsPerUser);
    }
    socket.close(peerError);
    return;
  }
  TcpRelayRoute route;
  route.user = user;
  route.family = family_;
  route.nonce = nonce_;
  route.requested = local_;
  route.resolvers = core_.Resolvers();
  auto connection =
      std::make_shared<CTcpRelay>(io_, core_, std::move(socket), nextSerial_++, std::move(route), throttle_,
                                  [this](CTcpRelay* closed) { forget(closed); });
  connections_.insert(connection);
  connection->Start(peer);
}

void CTcpStub::forget(CTcpRelay* connection) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      userSlots_.Give(connection->User());
      connections_.erase(it);
      return;
    }
  }
}

}  // namespace hxt::sockfilter
