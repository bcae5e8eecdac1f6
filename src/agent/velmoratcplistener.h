// Accepts the DNS-over-TCP connections the socket filter redirects for one
// address family, on a loopback port the system chooses, and starts each
// connection's read loop.
//
// Owned by its listener host (CVelmoraListener), created before the host's
// I/O thread exists and destroyed after that thread ended. Accepting runs on
// the host's I/O thread only. The listener remembers every connection it
// made so that its destruction can detach the ones the orchestrator still
// holds from the I/O service that is about to go away.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "agent/velmoralistenercb.h"
#include "agent/velmoraredirectheader.h"
#include "common/acceptbackoff.h"
#include "common/hxttypes.h"

namespace hxt {

class CVelmoraTcpListenerConnection;

class CVelmoraTcpListener {
 public:
  // `ok` is true when the acceptor listens and its first accept is queued.
  CVelmoraTcpListener(IVelmoraListenerCB* callback, boost::asio::io_service& ioService, u32 family, bool& ok,
                      std::chrono::milliseconds receiveTimeout = kTcpReceiveTimeout);
  ~CVelmoraTcpListener();
  CVelmoraTcpListener(const CVelmoraTcpListener&) = delete;
  CVelmoraTcpListener& operator=(const CVelmoraTcpListener&) = delete;

  // The bound port, 0 when unknown.
  u16 LocalPort() const;

 private:
  bool startAccept();
  void handleAccept(std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                    const boost::system::error_code& error);
  void rememberConnection(const std::shared_ptr<CVelmoraTcpListenerConnection>& connection);
  std::size_t liveConnections() const;

  IVelmoraListenerCB* callback;
  boost::asio::io_service& ioService;
  u32 family;
  boost::asio::ip::tcp::acceptor acceptor;
  std::chrono::milliseconds receiveTimeout;
  std::vector<std::weak_ptr<CVelmoraTcpListenerConnection>> connections;
  std::size_t pruneThreshold;
  CAcceptBackoff acceptBackoff;
};

}  // namespace hxt
