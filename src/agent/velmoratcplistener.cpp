#include "agent/velmoratcplistener.h"

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

#include "agent/velmoratcplistenerconn.h"
#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kConstructor = "CVelmoraTcpListener::CVelmoraTcpListener";
constexpr const char* kStartAccept = "CVelmoraTcpListener::startAccept";
constexpr const char* kHandleAccept = "CVelmoraTcpListener::handleAccept";

// Below this many remembered connections the list is not worth pruning.
constexpr std::size_t kMinPruneThreshold = 64;
// More connections than the socket filter ever opens (256 per family).
constexpr std::size_t kMaxConnections = 1024;

}  // namespace

CVelmoraTcpListener::CVelmoraTcpListener(IVelmoraListenerCB* callbackIn, boost::asio::io_service& ioServiceIn,
                                         u32 familyIn, bool& ok, std::chrono::milliseconds receiveTimeoutIn)
    : callback(callbackIn),
      ioService(ioServiceIn),
      family(familyIn),
      acceptor(ioServiceIn),
      receiveTimeout(receiveTimeoutIn),
      pruneThreshold(kMinPruneThreshold),
      acceptBackoff(ioServiceIn) {
  ok = false;
  if (callback == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid callback interface parameter");
    return;
  }
  if (family != kAddressFamilyIPv4 && family != kAddressFamilyIPv6) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid address family parameter");
    return;
  }
  bool v4 = family == kAddressFamilyIPv4;
  boost::system::error_code error;
  acceptor.open(v4 ? boost::asio::ip::tcp::v4() : boost::asio::ip::tcp::v6(), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor open failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  acceptor.set_option(boost::asio::socket_base::reuse_address(false), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor set_option failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  boost::asio::ip::address loopback = v4 ? boost::asio::ip::address(boost::asio::ip::address_v4::loopback())
                                         : boost::asio::ip::address(boost::asio::ip::address_v6::loopback());
  acceptor.bind(boost::asio::ip::tcp::endpoint(loopback, 0), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor bind failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "TCP acceptor listen failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  if (!startAccept()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "startAccept failed");
    return;
  }
  ok = true;
}

CVelmoraTcpListener::~CVelmoraTcpListener() {
  boost::system::error_code ignored;
  acceptor.close(ignored);
  acceptBackoff.Cancel();
  // The orchestrator may hold connections beyond the I/O service's life;
  // they must not keep sockets of a service that no longer exists.
  for (auto& weak : connections) {
    if (auto connection = weak.lock()) connection->detachFromIoService();
  }
}

u16 CVelmoraTcpListener::LocalPort() const {
  boost::system::error_code error;
  auto endpoint = acceptor.local_endpoint(error);
  return error ? 0 : endpoint.port();
}

bool CVelmoraTcpListener::startAccept() {
  auto connection = CVelmoraTcpListenerConnection::Create(callback, ioService, receiveTimeout);
  if (!connection) {
    HXT_LOGF(LOG_LEVEL_ERROR, kStartAccept, "CVelmoraTcpListenerConnection::Create failed");
    return false;
  }
  rememberConnection(connection);
  boost::asio::ip::tcp::socket& socket = connection->acceptSocket();
  acceptor.async_accept(socket, [this, connection](const boost::system::error_code& error) {
    handleAccept(connection, error);
  });
  return true;
}

void CVelmoraTcpListener::handleAccept(std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                       const boost::system::error_code& error) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleAccept, "accept error [%d-%s]", error.value(), error.message().c_str());
  } else if (liveConnections() > kMaxConnections) {
    // The socket filter bounds its own connections; more than this is not it.
    HXT_LOGF(LOG_LEVEL_WARNING, kHandleAccept, "more than %zu connections open; closing the new one",
             kMaxConnections);
    boost::system::error_code ignored;
    connection->acceptSocket().close(ignored);
  } else {
    acceptBackoff.Succeeded();
    // Each answer is written whole and at once: holding a small one back
    // until the previous segment is acknowledged (Nagle) only delays it.
    boost::system::error_code ignored;
    connection->acceptSocket().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    connection->startReceive();
  }
  connection.reset();
  if (!acceptor.is_open()) return;
  if (error && CAcceptBackoff::Calls(error)) {
    // Out of descriptors: the pending connection stays pending, so an accept
    // at once would fail (and log) again at once.
    acceptBackoff.Wait([this] {
      if (acceptor.is_open() && !startAccept())
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleAccept, "startAccept failed");
    });
    return;
  }
  if (!startAccept()) HXT_LOGF(LOG_LEVEL_ERROR, kHandleAccept, "startAccept failed");
}

std::size_t CVelmoraTcpListener::liveConnections() const {
  return static_cast<std::size_t>(std::count_if(connections.begin(), connections.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

void CVelmoraTcpListener::rememberConnection(
    const std::shared_ptr<CVelmoraTcpListenerConnection>& connection) {
  if (connections.size() >= pruneThreshold) {
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const std::weak_ptr<CVelmoraTcpListenerConnection>& weak) {
                                       return weak.expired();
                                     }),
                      connections.end());
    pruneThreshold = std::max(kMinPruneThreshold, connections.size() * 2);
  }
  connections.push_back(connection);
}

}  // namespace hxt
