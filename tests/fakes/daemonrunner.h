// hxsockfilterd in-process on a thread of its own, for tests. Started in
// the constructor, stopped and joined in the destructor.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "daemon/sockfilterdaemon.h"

namespace hxt::test {

// The daemon on a thread of its own.
class DaemonRunner {
 public:
  explicit DaemonRunner(const sockfilter::SockFilterConfig& config) : config_(config), daemon_(io_, config_) {
    started_ = daemon_.Start();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~DaemonRunner() {
    boost::asio::post(io_, [this] {
      daemon_.Stop();
      io_.stop();
    });
    thread_.join();
  }
  // Whether every stub the configuration asks for is up.
  bool started() const {
    return started_ && (!config_.stub4 || daemon_.UdpStub(HXT_AF_INET)) &&
           (!config_.stub6 || daemon_.UdpStub(HXT_AF_INET6));
  }
  boost::asio::ip::udp::endpoint Udp(u16 family) const { return *daemon_.UdpStub(family); }
  boost::asio::ip::tcp::endpoint Tcp(u16 family) const { return *daemon_.TcpStub(family); }
  const sockfilter::DaemonCounters& counters() const { return daemon_.counters(); }
  // Runs `work` on the daemon's thread (a test holds the daemon there).
  void Post(std::function<void()> work) { boost::asio::post(io_, std::move(work)); }

 private:
  sockfilter::SockFilterConfig config_;
  boost::asio::io_context io_;
  sockfilter::CSockFilterDaemon daemon_;
  bool started_ = false;
  std::thread thread_;
};

// A stub-mode configuration on loopback: the IPv4 stub (and the IPv6 one
// with `ipv6`) on a port drawn, passing through to `resolvers`.
inline sockfilter::SockFilterConfig LoopbackConfig(const std::string& controlPath,
                                                   std::vector<boost::asio::ip::udp::endpoint> resolvers,
                                                   bool ipv6 = false) {
  namespace ip = boost::asio::ip;
  sockfilter::SockFilterConfig config;
  config.stub4 = ip::udp::endpoint(ip::make_address_v4("127.0.0.1"), 0);
  if (ipv6) config.stub6 = ip::udp::endpoint(ip::make_address_v6("::1"), 0);
  config.resolvers = std::move(resolvers);
  config.controlPath = controlPath;
  return config;
}

// A started daemon, or null. A stub on port 0 takes for TCP the port UDP got,
// which may be taken for TCP already: then another daemon draws another port.
inline std::unique_ptr<DaemonRunner> StartDaemonRunner(const sockfilter::SockFilterConfig& config) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    auto runner = std::make_unique<DaemonRunner>(config);
    if (runner->started()) return runner;
  }
  return nullptr;
}

}  // namespace hxt::test
