// The TCP side of one family's stub address.
//
// The client's stream is cut into whole DNS messages first (however its
// writes arrive), and each connection is routed once, on its first message:
// to the agent's TCP listener when the family is redirected and the first
// query's name is not white-listed, otherwise to the pass-through resolvers,
// tried in order. Towards the agent every message goes wrapped in the
// redirection header, split into pieces of at most kMaxTcpChunk bytes so that
// each fits one read of the agent; the agent's bytes go back to the client
// unchanged. Towards a resolver bytes are relayed as they are. An agent that
// refuses the connection, or says nothing within the service time-out, starts
// a disruption episode and the connection is passed through instead, what it
// was sent replayed to the resolver. Either side closing, an error, or the
// idle time-out closes both.
//
// Connections are bounded; accepting backs off while descriptors run out.
// Each connection holds two fixed buffers and at most one message being
// written upstream. I/O thread only.
#pragma once

#include <memory>
#include <set>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "common/acceptbackoff.h"
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
  CAcceptBackoff backoff_;
  boost::asio::ip::tcp::endpoint local_;
  std::set<std::shared_ptr<Connection>> connections_;
  u32 nextSerial_ = 1;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
