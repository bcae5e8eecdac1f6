// Pass-through of UDP queries to the machine's own resolvers: what every
// query that is not redirected, or whose redirection failed, goes through.
//
// Each query leaves with an id of the daemon's choosing (clients choose theirs
// freely and may collide) and comes back with the client's id. A resolver
// that does not answer within the configured time gives way to the next;
// when all configured resolvers (at most kMaxAttempts) failed, the owner is
// told with an empty answer and answers the client itself.
//
// I/O thread only. The owner keeps the object alive until after Stop().
#pragma once

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "daemon/filtercore.h"

namespace hxt::sockfilter {

class CPassThrough {
 public:
  // The resolver's answer with the client's id, or empty on failure.
  using Done = std::function<void(std::vector<u8> answer)>;

  CPassThrough(boost::asio::io_context& io, CFilterCore& core);
  ~CPassThrough();

  // `query` is a whole DNS message of at least a DNS header.
  void Resolve(std::vector<u8> query, Done done);
  void Stop();

 private:
  struct Pending {
    u16 clientId = 0;
    std::vector<u8> query;  // with the daemon's id
    std::size_t attempt = 0;
    boost::asio::ip::udp::endpoint resolver;
    std::unique_ptr<boost::asio::steady_timer> timer;
    Done done;
  };
  struct Upstream {
    explicit Upstream(boost::asio::io_context& io) : socket(io) {}
    boost::asio::ip::udp::socket socket;
    std::array<u8, 65536> buffer{};
    boost::asio::ip::udp::endpoint sender;
    std::map<u16, Pending> pending;
    u16 nextId = 0;
  };

  static constexpr std::size_t kMaxAttempts = 3;

  Upstream* upstreamFor(const boost::asio::ip::udp::endpoint& resolver);
  void send(Upstream& upstream, u16 id);
  void receive(Upstream& upstream);
  void handleTimeout(Upstream& upstream, u16 id);
  void finish(Upstream& upstream, u16 id, std::vector<u8> answer);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  std::unique_ptr<Upstream> upstream4_;
  std::unique_ptr<Upstream> upstream6_;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
