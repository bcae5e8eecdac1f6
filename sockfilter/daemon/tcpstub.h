// The TCP side of one family's stub address.
//
// Each client connection is routed once, on its first chunk: to the agent's
// TCP listener when the family is redirected and the first query's name is
// not white-listed, otherwise to a pass-through resolver. Towards the agent
// every chunk the client sends becomes one message, the redirection header
// followed by the chunk (at most kMaxTcpChunk bytes, so that one message fits
// one read of the agent); the agent's bytes go back to the client unchanged.
// Towards a resolver bytes are relayed as they are. Either side closing, an
// error, or the idle time-out closes both. An agent that refuses the
// connection starts a disruption episode and the connection is passed
// through instead.
//
// Connections are bounded; each holds two fixed buffers and has at most one
// read and one write pending per direction. I/O thread only.
#pragma once

#include <memory>
#include <set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "daemon/filtercore.h"
#include "daemon/redirectheader.h"

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
  class Connection;
  friend class Connection;

  void accept();
  void forget(Connection* connection);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  const Nonce nonce_;
  u16 family_ = 2;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::ip::tcp::endpoint local_;
  std::set<std::shared_ptr<Connection>> connections_;
  u32 nextSerial_ = 1;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
