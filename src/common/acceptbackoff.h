// What an acceptor does when accepting fails for want of resources (the
// descriptor table is full): it waits before it tries again, doubling the
// wait up to a limit, instead of spinning (and logging) on a listening socket
// that stays readable while the pending connection cannot be taken. Other
// accept errors concern one connection and are retried at once.
//
// The thread of the acceptor's I/O service only.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace hxt {

class CAcceptBackoff {
 public:
  static constexpr std::chrono::milliseconds kFirst{50};
  static constexpr std::chrono::milliseconds kMost{2000};

  explicit CAcceptBackoff(boost::asio::io_context& io) : timer_(io) {}

  // Whether `error` calls for a pause before the next accept.
  static bool Calls(const boost::system::error_code& error) {
    if (error.category() != boost::system::system_category()) return false;
    int code = error.value();
    return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
  }
  // Runs `retry` after the pause, and doubles the next one.
  void Wait(std::function<void()> retry) {
    timer_.expires_after(delay_);
    delay_ = std::min(delay_ * 2, kMost);
    timer_.async_wait([retry = std::move(retry)](const boost::system::error_code& ec) {
      if (!ec) retry();
    });
  }
  void Succeeded() { delay_ = kFirst; }
  void Cancel() { timer_.cancel(); }

 private:
  boost::asio::steady_timer timer_;
  std::chrono::milliseconds delay_ = kFirst;
};

}  // namespace hxt
