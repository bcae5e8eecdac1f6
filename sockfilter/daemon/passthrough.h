// Pass-through of UDP queries to the machine's own resolvers: what every
// query that is not redirected, or whose redirection failed, goes through.
//
// The resolvers are tried in the order the machine lists them, across both
// address families, until one answers: a resolver that refuses (its port is
// closed), whose socket cannot be opened, or that does not answer within
// the configured time gives way to the next. When every one failed, the
// owner is told with an empty answer and answers the client itself.
//
// Answers cannot be forged by a guess: every attempt leaves from a socket of
// its own, on a port the system draws at random, connected to the resolver
// asked (so that nobody else's datagrams are read), with a random id, and an
// answer counts only when it carries that id, the response bit and the
// query's question. The client's id goes back on the answer.
//
// I/O thread only. The owner keeps the object alive until after Stop().
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <random>
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

  // `query` is a whole DNS message of at least a DNS header; it goes to the
  // machine's resolvers.
  void Resolve(std::vector<u8> query, Done done);
  // The same, to `resolvers` (transparent mode: the one the program asked).
  void ResolveAt(std::vector<boost::asio::ip::udp::endpoint> resolvers, std::vector<u8> query, Done done);
  void Stop();
  std::size_t InFlight() const { return queries_.size(); }

 private:
  struct Query {
    explicit Query(boost::asio::io_context& io) : socket(io), timer(io) {}
    std::vector<u8> query;  // with the id of the current attempt
    u16 clientId = 0;
    std::vector<boost::asio::ip::udp::endpoint> resolvers;  // as they were when the query came
    std::size_t next = 0;
    boost::asio::ip::udp::endpoint resolver;
    boost::asio::ip::udp::socket socket;
    boost::asio::steady_timer timer;
    u64 attempt = 0;
    std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now();
    Done done;
  };

  void tryNext(u64 key);
  void receive(u64 key, u64 attempt);
  void finish(u64 key, std::vector<u8> answer);
  Query* find(u64 key, u64 attempt);

  boost::asio::io_context& io_;
  CFilterCore& core_;
  std::map<u64, std::unique_ptr<Query>> queries_;
  u64 nextKey_ = 1;
  u64 nextAttempt_ = 1;
  std::mt19937 random_;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
