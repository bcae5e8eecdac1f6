// hxsockfilterd in-process between a test service (the agent's listeners,
// answering 192.0.2.2) and a test resolver (answering 192.0.2.1), both on
// one loopback address, with an agent-like control peer; and a child process that acts
// as another user, for the cases about who asked or who may connect.
#pragma once

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include "common/controlproto.h"
#include "fakes/capturelogger.h"
#include "fakes/controlpeer.h"
#include "fakes/daemonrunner.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {

constexpr const char* kAgentAnswer = "192.0.2.2";
constexpr const char* kResolverAnswer = "192.0.2.1";
constexpr u32 kNobody = 65534;

// A forked child that runs `body` as user and group `id` (as this user
// without one) and exits with its result. The parent has threads, so `body`
// makes system calls only. Through Ready and Held the child can tell the
// parent it has set up and then wait until the parent releases it.
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
  bool Ready(bool ok = true) {
    const char byte = ok ? 'y' : 'n';
    return ::write(ready_[1], &byte, 1) == 1;
  }
  void Held() {
    char byte;
    while (::read(done_[0], &byte, 1) > 0) {
    }
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

class DaemonBench {
 public:
  // The service and the resolver on `loopback`, the stubs on the IPv4 one.
  explicit DaemonBench(const char* loopback = "127.0.0.1")
      : service_(loopback, kAgentAnswer), upstream_(loopback, kResolverAnswer) {}

  // Starts the daemon with `config_` as the case changed it.
  void StartDaemon() {
    daemon_ = StartDaemonRunner(config_);
    ASSERT_NE(daemon_, nullptr) << log_.Dump();
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
  // Where the filter library looks for the daemon.
  sockfilter::SockFilterConfig config_ =
      LoopbackConfig(sockfilter::DefaultControlPath(), {upstream_.endpoint()});
  std::unique_ptr<DaemonRunner> daemon_;
  std::unique_ptr<ControlPeer> agent_;
};

}  // namespace hxt::test
