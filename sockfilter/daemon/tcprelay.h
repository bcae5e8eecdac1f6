// One client's DNS-over-TCP connection, relayed: what the stub's TCP side and
// transparent mode's both do with a connection they accepted.
//
// The client's stream is cut into whole DNS messages first (however its
// writes arrive), and the connection is routed once, on its first message:
// to the agent's TCP listener when the family is redirected (its breaker
// closed or due for a probe) and the first query's name is not
// white-listed, otherwise to the pass-through resolvers, tried in order.
// Towards the agent every message goes wrapped in the redirection header,
// split into pieces of at most kMaxTcpChunk bytes so that each fits one read
// of the agent; the agent's bytes go back to the client unchanged, each of
// its answers looked at in place for the blocked count. Every message counts
// as a query of the connection's program. Towards a
// resolver bytes are relayed as they are. An agent that refuses the
// connection, or says nothing within the service time-out, starts a
// disruption episode (and counts towards the breaker) and the connection is
// passed through instead, what it was sent replayed to the resolver. Either
// side closing, an error, or the idle time-out closes both.
//
// Each connection holds two fixed buffers and at most one message being
// written upstream. I/O thread only.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/acceptbackoff.h"
#include "daemon/dnstcpframer.h"
#include "daemon/filtercore.h"
#include "daemon/redirectheader.h"
#include "daemon/socketowner.h"

namespace hxt::sockfilter {

// Where a relayed connection goes, and what it reports.
struct TcpRelayRoute {
  u16 family = 2;
  Nonce nonce{};
  // The header's "requested destination": the stub address, or in
  // transparent mode the resolver the program asked.
  boost::asio::ip::tcp::endpoint requested;
  // Pass-through, tried in order.
  std::vector<boost::asio::ip::udp::endpoint> resolvers;
  // Transparent mode's counters of the family, or none.
  TransparentCounters* counters = nullptr;
  // The user of the client's socket (see CTcpUserSlots).
  u32 user = 0;
};

// TCP connections counted per user of the client's socket: a user who keeps
// connections open (a byte now and then defeats the idle time-out) must not
// take every one from the others.
class CTcpUserSlots {
 public:
  // Takes a slot for the client at `peer`, connected to `asked`, unless its
  // user holds `limit` already; its user goes in `user`. A socket whose
  // user cannot be told counts for one user of its own kind.
  bool Take(CSocketOwners& owners, const boost::asio::ip::tcp::endpoint& peer,
            const boost::asio::ip::tcp::endpoint& asked, u32 limit, u32& user);
  void Give(u32 user);

 private:
  std::map<u32, u32> inUse_;
};

class CTcpRelay : public std::enable_shared_from_this<CTcpRelay> {
 public:
  using Closed = std::function<void(CTcpRelay*)>;

  CTcpRelay(boost::asio::io_context& io, CFilterCore& core, boost::asio::ip::tcp::socket client, u32 serial,
            TcpRelayRoute route, CLogThrottle& throttle, Closed closed);

  // Reads the client's first message. `peer` is the client's address.
  void Start(const boost::asio::ip::tcp::endpoint& peer);
  void Close();
  u32 User() const { return route_.user; }

 private:
  void touch();
  void readClient();
  void route();
  void connectService();
  void serviceSilent();
  void connectPassThrough(std::size_t attempt);
  void pump();
  void readUpstream(u64 generation);
  // Counts a message after the first for the connection's program.
  void asked(const std::vector<u8>& message);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  boost::asio::ip::tcp::socket client_;
  boost::asio::ip::tcp::socket upstream_;
  boost::asio::steady_timer idle_;
  boost::asio::steady_timer silence_;
  boost::asio::ip::tcp::endpoint peer_;
  const u32 serial_;
  const TcpRelayRoute route_;
  CLogThrottle& throttle_;
  Closed onClosed_;
  std::vector<u8> clientBuffer_;
  std::vector<u8> upstreamBuffer_;
  CDnsTcpFramer framer_;
  CDnsTcpScanner answers_;  // the agent's answers, looked at in place
  Asker asker_;             // the connection's program
  std::deque<std::vector<u8>> outbox_;  // whole messages not yet sent upstream
  std::deque<std::vector<u8>> sent_;    // sent to the agent before it said anything
  u64 generation_ = 0;                  // of the upstream socket; handlers of an earlier one do nothing
  bool routed_ = false;
  bool connected_ = false;
  bool reading_ = false;
  bool writing_ = false;
  bool toService_ = false;
  bool agentRoute_ = false;  // routed to the agent, and not passed through since
  bool answered_ = false;
  bool closed_ = false;
};

// What one completed accept of a relay's listener (the stub's or transparent
// mode's) comes to. Errors are logged (throttled); those that a later accept
// may get past (descriptors running out) ask for a back-off; a connection
// past the daemon's cap is closed and counted as dropped.
enum class AcceptOutcome {
  Relay,       // relay the socket, then accept again
  Refused,     // closed and counted; accept again
  Failed,      // logged; accept again
  BackingOff,  // re-arm the accept only after the back-off
  Stopped,     // the listener is going: do not accept again
};
AcceptOutcome ScreenAccept(const boost::system::error_code& error, boost::asio::ip::tcp::socket& socket,
                           bool stopped, std::size_t openConnections, CFilterCore& core,
                           CLogThrottle& throttle, CAcceptBackoff& backoff, const char* function);

}  // namespace hxt::sockfilter
