#include "daemon/acceptbackoff.h"

#include <cerrno>

#include <boost/asio/error.hpp>

namespace hxt::sockfilter {

bool CAcceptBackoff::Failed(const boost::system::error_code& error) {
  switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return error.category() == boost::system::system_category();
    default:
      return false;
  }
}

void CAcceptBackoff::Wait(std::function<void()> retry) {
  std::chrono::milliseconds delay = delay_;
  delay_ = std::min(delay_ * 2, kMost);
  timer_.expires_after(delay);
  timer_.async_wait([retry = std::move(retry)](const boost::system::error_code& ec) {
    if (!ec) retry();
  });
}

}  // namespace hxt::sockfilter
