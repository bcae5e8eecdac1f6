// The TCP side of one family's stub address: accepts the clients'
// connections and relays each (see tcprelay.h), the stub address as the
// redirection header's requested destination, the pass-through resolvers as
// they were when the connection came.
//
// Connections are bounded; accepting backs off while descriptors run out.
// I/O thread only.
#pragma once

#include <memory>
#include <set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "common/acceptbackoff.h"
#include "daemon/filtercore.h"
#include "daemon/redirectheader.h"
#include "daemon/tcprelay.h"

namespace hxt::sockfilter {

class CTcpStub {
 public:
  CTcpStub(boost::asio::io_context& io, CFilterCore& core, const Nonce& nonce);
  ~CTcpStub();

  bool Start(const boost::asio::ip::tcp::endpoint& stub);
  void Stop();
  boost::asio::ip::tcp::endpoint LocalEndpoint() const { return local_; }
  std::size_t ConnectionCount() const { return connections_.size(); }

 private:
  void accept();
  // An accepted client: taken on when its user has a connection left.
  void relay(boost::asio::ip::tcp::socket socket);
  void forget(CTcpRelay* connection);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  const Nonce nonce_;
  u16 family_ = 2;
  boost::asio::ip::tcp::acceptor acceptor_;
  CAcceptBackoff backoff_;
  boost::asio::ip::tcp::endpoint local_;
  std::set<std::shared_ptr<CTcpRelay>> connections_;
  CTcpUserSlots userSlots_;
  u32 nextSerial_ = 1;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
