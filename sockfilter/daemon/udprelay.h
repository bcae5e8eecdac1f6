// The UDP side of one family's stub address, or of transparent mode's
// listener for one family: the same relay serves both, so that what one
// mode fixes the other gets too.
//
// Stub mode: clients send their queries to the stub socket, and a query
// that is not sent to the agent goes to the pass-through resolvers.
// Transparent mode: nftables rules redirect the machine's DNS to the
// listener, the connection tracking entry of each datagram names the
// resolver the program asked (its original destination), and a query that
// is not sent to the agent goes on to that resolver. Either way the answer
// leaves from the socket the query reached; in transparent mode the same
// conntrack entry turns its source back into the resolver's address.
//
// A query for a white-listed name, and every query while the family is not
// redirected, is passed through. Otherwise it goes to the agent's UDP
// listener, wrapped in the redirection header (requested destination: the
// stub, or the original destination), through a relay socket connected to
// that listener: the header names the relay's port as the requester's,
// because the agent sends its answer to loopback at that port. The answer
// comes back on the relay, is matched to its query by the header's serial,
// and goes to the client without the header.
//
// A query the agent does not answer in time, or that it refuses (its port is
// closed), is passed through and starts a disruption episode; a few time-outs
// in a row open the family's breaker (CFilterCore). An oversized query and
// one that no resolver answered get an error answer; a query over the budget
// is dropped and counted (an error answer would invite a flooding client to
// retry at once); input too short to answer is logged.
//
// Both sockets are drained in batches when readable, and what a batch
// produced goes out in one send; the records of queries in flight live in a
// pool of slots reused from query to query, found by serial through a flat
// table, and time out in the order they were sent, under one timer.
//
// I/O thread only.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "daemon/datagrambatch.h"
#include "daemon/filtercore.h"
#include "daemon/flatmap.h"
#include "daemon/passthrough.h"
#include "daemon/redirectheader.h"
#include "daemon/transparenthost.h"

namespace hxt::sockfilter {

class CUdpRelay {
 public:
  // Stub mode without `transparent`; transparent mode counts into it.
  CUdpRelay(boost::asio::io_context& io, CFilterCore& core, CPassThrough& passThrough, const Nonce& nonce,
            TransparentCounters* transparent = nullptr);
  ~CUdpRelay();
  CUdpRelay(const CUdpRelay&) = delete;
  CUdpRelay& operator=(const CUdpRelay&) = delete;

  // False with the reason when the socket (or, transparent, the conntrack
  // lookup) cannot be opened.
  bool Start(const boost::asio::ip::udp::endpoint& bind, std::string& why);
  void Stop();
  // The agent's ports or flags changed: queries waiting on the old listener
  // are passed through, and the relay follows the new port.
  void RoutingChanged();
  boost::asio::ip::udp::endpoint LocalEndpoint() const { return local_; }

 private:
  static constexpr u32 kNone = ~u32{0};
  struct Pending {
    boost::asio::ip::udp::endpoint client;
    boost::asio::ip::udp::endpoint original;  // transparent: the resolver the program asked
    std::vector<u8> query;                    // keeps its capacity from one use of the slot to the next
    std::chrono::steady_clock::time_point deadline;
    u32 serial = 0;
    u32 older = kNone;  // the time-out order: oldest first
    u32 newer = kNone;
  };
  // Consecutive serials would fill one contiguous run of the table, which
  // every erasure scans to its end; an odd multiplier spreads them out while
  // keeping any window of them collision-free.
  struct SerialHash {
    std::size_t operator()(u32 serial) const {
      return static_cast<std::size_t>(serial * 0x9E3779B97F4A7C15ull);
    }
  };

  void waitClient();
  void drainClient();
  void handleClient(std::size_t i);
  void toService(const boost::asio::ip::udp::endpoint& client, const boost::asio::ip::udp::endpoint& original,
                 u8* room, std::size_t size);
  void toPassThrough(const boost::asio::ip::udp::endpoint& client,
                     const boost::asio::ip::udp::endpoint& original, std::vector<u8> query);
  bool ensureRelay(u16 servicePort);
  void closeRelay();
  void waitRelay(u64 generation);
  void drainRelay(u64 generation);
  void handleRelay(std::size_t i);
  void flushRelay();
  void flushStub();
  void relayRefused();
  void failOver(u32 slot);
  void failOverAll(const char* what);
  void expire();
  u32 takeSlot();
  void releaseSlot(u32 slot);
  void answer(const boost::asio::ip::udp::endpoint& client, const u8* bytes, std::size_t size);
  void sendLater(boost::asio::ip::udp::socket& socket, u32& backlog, const u8* bytes, std::size_t size,
                 const boost::asio::ip::udp::endpoint* to);
  void answerError(const boost::asio::ip::udp::endpoint& client, const u8* query, std::size_t size, u8 rcode);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  CPassThrough& passThrough_;
  const Nonce nonce_;
  TransparentCounters* const transparent_;
  CConntrackLookup conntrack_;
  u16 family_ = 2;
  u32 scope_ = 0;  // the interface of a listener on a link-local address
  boost::asio::ip::udp::socket stub_;
  boost::asio::ip::udp::endpoint local_;
  CReceiveBatch clientIn_;
  CSendBatch clientOut_;
  u32 stubBacklog_ = 0;  // answers waiting for the stub socket to take them
  boost::asio::ip::udp::socket relay_;
  u16 relayServicePort_ = 0;
  u16 relayPort_ = 0;
  u64 relayGeneration_ = 0;
  CReceiveBatch relayIn_;
  CSendBatch relayOut_;
  u32 relayBacklog_ = 0;
  std::vector<Pending> slots_;
  std::vector<u32> freeSlots_;
  CFlatMap<u32, u32, SerialHash> bySerial_;
  u32 oldest_ = kNone;
  u32 newest_ = kNone;
  boost::asio::steady_timer expiry_;
  bool expiryArmed_ = false;
  u32 nextSerial_ = 1;
  std::string name_;
  CLogThrottle inputThrottle_;
  CLogThrottle relayThrottle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
