// What an acceptor does when accepting fails for want of resources (the
// descriptor table is full): it waits before it tries again, doubling the
// wait up to a limit, instead of spinning on a listening socket that stays
// readable while the pending connection cannot be taken. Other accept errors
// concern one connection and are retried at once.
//
// I/O thread only.
#pragma once

#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace hxt::sockfilter {

class CAcceptBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{50};
  static constexpr std::chrono::milliseconds kMost{2000};

  explicit CAcceptBackoff(boost::asio::io_context& io) : timer_(io) {}

  // Whether `error` calls for a pause before the next accept.
  bool Failed(const boost::system::error_code& error);
  // Runs `retry` after the pause.
  void Wait(std::function<void()> retry);
  void Succeeded() { delay_ = kFirst; }
  void Cancel() { timer_.cancel(); }
  std::chrono::milliseconds delay() const { return delay_; }

 private:
  boost::asio::steady_timer timer_;
  std::chrono::milliseconds delay_ = kFirst;
};

}  // namespace hxt::sockfilter
