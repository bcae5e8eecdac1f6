// The UDP side of one family's stub address.
//
// Clients send their queries to the stub socket. A query for a white-listed
// name, and every query while the family is not redirected, goes to the
// pass-through resolvers. Otherwise it goes to the agent's UDP listener,
// wrapped in the redirection header, through a relay socket connected to that
// listener: the header names the relay's port as the requester's, because the
// agent sends its answer to loopback at that port. The answer comes back on
// the relay, is matched to its query by the header's serial, and goes to the
// client from the stub socket without the header.
//
// A query the agent does not answer in time, or that it refuses (its port is
// closed), is passed through and starts a disruption episode; a few time-outs
// in a row open the family's breaker (CFilterCore). An oversized query and
// one that no resolver answered get an error answer; a query over the budget
// is dropped and counted (an error answer would invite a flooding client to
// retry at once); input too short to answer is logged.
//
// I/O thread only.
#pragma once

#include <array>
#include <map>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "daemon/filtercore.h"
#include "daemon/passthrough.h"
#include "daemon/redirectheader.h"

namespace hxt::sockfilter {

class CUdpStub {
 public:
  CUdpStub(boost::asio::io_context& io, CFilterCore& core, CPassThrough& passThrough, const Nonce& nonce);
  ~CUdpStub();

  bool Start(const boost::asio::ip::udp::endpoint& stub);
  void Stop();
  // The agent's ports or flags changed: queries waiting on the old listener
  // are passed through, and the relay follows the new port.
  void RoutingChanged();
  boost::asio::ip::udp::endpoint LocalEndpoint() const { return local_; }

 private:
  struct Pending {
    boost::asio::ip::udp::endpoint client;
    std::vector<u8> query;
    std::unique_ptr<boost::asio::steady_timer> timer;
  };

  void receiveClient();
  void handleClient(std::size_t size);
  void toService(const boost::asio::ip::udp::endpoint& client, std::vector<u8> query);
  void toPassThrough(const boost::asio::ip::udp::endpoint& client, std::vector<u8> query);
  bool ensureRelay(u16 servicePort);
  void closeRelay();
  void receiveRelay(u64 generation);
  void handleRelay(std::size_t size);
  void failOver(u32 serial);
  void failOverAll(const char* what);
  void answer(const boost::asio::ip::udp::endpoint& client, std::vector<u8> bytes);
  void answerError(const boost::asio::ip::udp::endpoint& client, const std::vector<u8>& query, u8 rcode);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  CPassThrough& passThrough_;
  const Nonce nonce_;
  u16 family_ = 2;
  boost::asio::ip::udp::socket stub_;
  boost::asio::ip::udp::endpoint local_;
  boost::asio::ip::udp::endpoint sender_;
  std::array<u8, 65536> clientBuffer_{};
  boost::asio::ip::udp::socket relay_;
  u16 relayServicePort_ = 0;
  u16 relayPort_ = 0;
  u64 relayGeneration_ = 0;
  std::array<u8, 65536> relayBuffer_{};
  std::map<u32, Pending> pending_;
  u32 nextSerial_ = 1;
  CLogThrottle inputThrottle_;
  CLogThrottle relayThrottle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
