// hxsockfilterd in-process on a thread of its own, between a test service (the agent's listeners, answering
// 192.0.2.2) and a test resolver (answering 192.0.2.1), both on one loopback address, with an agent-like
// control peer; and a child process that acts as another user, for the cases about who asked or who may
// connect.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>

#include "common/controlproto.h"
#include "daemon/sockfilterdaemon.h"
#include "fakes/capturelogger.h"
#include "fakes/controlpeer.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {

constexpr const char* kAgentAnswer = "192.0.2.2";
constexpr const char* kResolverAnswer = "192.0.2.1";
constexpr u32 kNobody = 65534;

// A forked child that runs `body` as user and group `id` (as this user without one) and exits with its
// result. The parent has threads, so `body` makes system calls only. Through Ready and Held the child can
// tell the parent it has set up and then wait until the parent releases it.
class ChildAs {
 public:
  ChildAs(std::optional<u32> id, const std::function<int(ChildAs&)>& body) {
    if (::pipe(ready_) != 0 || ::pipe(done_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready_[0]);
      ::close(done_[1]);
      if (id && (::setgroups(0, nullptr) != 0 || ::setgid(*id) != 0 || ::setuid(*id) != 0)) ::_exit(254);
      ::_exit(body(*this));
    }
    ::close(ready_[1]);
    ::close(done_[0]);
  }
  ~ChildAs() { Release(); }
  ChildAs(const ChildAs&) = delete;
  ChildAs& operator=(const ChildAs&) = delete;

  // In the child.
  bool Ready(bool ok = true) { return ::write(ready_[1], ok ? "y" : "n", 1) == 1; }
  void Held() {
    for (char byte; ::read(done_[0], &byte, 1) > 0;) continue;
  }
  // In the parent: whether the child said it is ready.
  bool WaitReady() {
    char byte = 0;
    return ::read(ready_[0], &byte, 1) == 1 && byte == 'y';
  }
  // Lets the child go on and waits for it; its exit code, -1 when it died of a signal.
  int Release() {
    if (pid_ <= 0) return -1;
    ::close(done_[1]);
    ::close(ready_[0]);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int ready_[2] = {-1, -1}, done_[2] = {-1, -1};
};

// The exit code of `body` run as user and group `id`.
inline int RunAs(u32 id, const std::function<int()>& body) {
  return ChildAs(id, [&](ChildAs&) { return body(); }).Release();
}

// The daemon on a thread of its own: started in the constructor, stopped and joined in the destructor.
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
  sockfilter::CSockFilterDaemon& Daemon() { return daemon_; }  // on its thread only

 private:
  sockfilter::SockFilterConfig config_;
  boost::asio::io_context io_;
  sockfilter::CSockFilterDaemon daemon_;
  bool started_ = false;
  std::thread thread_;
};

class DaemonBench {
 public:
  // The service and the resolver on `loopback`, the stubs on the IPv4 one, passing through to that resolver.
  explicit DaemonBench(const char* loopback = "127.0.0.1")
      : service_(loopback, kAgentAnswer), upstream_(loopback, kResolverAnswer) {
    config_.stub4 = boost::asio::ip::udp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0);
    config_.resolvers = {upstream_.endpoint()};
    config_.controlPath = sockfilter::DefaultControlPath();  // where the filter library looks
  }

  // Starts the daemon with `config_` as the case changed it.
  void StartDaemon() {
    daemon_ = std::make_unique<DaemonRunner>(config_);
    if (!daemon_->started()) {
      daemon_.reset();
      FAIL() << log_.Dump();
    }
  }
  // An agent that redirects IPv4 to the service (its TCP to `tcpPort` when given).
  void Redirect(u16 tcpPort = 0) {
    const u16 tcp = tcpPort != 0 ? tcpPort : service_.tcpPort();
    agent_ = OpenAndRedirect(config_.controlPath, RedirectTo(service_.udpPort(), tcp, 0, 0));
  }
  ScopedCaptureLog log_;
  TestRoot root_;
  TestService service_;
  TestResolver upstream_;
  sockfilter::SockFilterConfig config_;
  std::unique_ptr<DaemonRunner> daemon_;
  std::unique_ptr<ControlPeer> agent_;
};

}  // namespace hxt::test
