#include "proxyprobe.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace hxtplugin {
namespace {

using Clock = std::chrono::steady_clock;

std::string errorText(int error) {
  char buffer[128];
  // GNU strerror_r returns the text, which need not be in the buffer.
  return strerror_r(error, buffer, sizeof buffer);
}

// 0 when connected, else the errno of the failure (ETIMEDOUT at the deadline).
int connectBefore(const addrinfo& address, Clock::time_point deadline) {
  const int fd =
      ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) return errno;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    while (error == EINPROGRESS || error == EINTR) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        error = ETIMEDOUT;
        break;
      }
      pollfd waiting{fd, POLLOUT, 0};
      const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
      if (ready < 0) {
        error = errno;  // EINTR polls again
        if (error != EINTR) break;
        continue;
      }
      if (ready == 0) continue;  // the next round sees the deadline
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    }
  }
  ::close(fd);
  return error;
}

}  // namespace

ProbeResult ProbeTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  ProbeResult result;
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    result.detail = where + ": " + ::gai_strerror(resolved);
    return result;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  const auto deadline = Clock::now() + timeout;
  int error = ETIMEDOUT;
  for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
    error = connectBefore(*address, deadline);
    if (error == 0) {
      result.reachable = true;
      result.detail = where + " accepts connections";
      return result;
    }
    if (error == ETIMEDOUT) break;  // no time left for the other addresses
  }
  result.detail = where + " does not accept connections: " + errorText(error);
  return result;
}

}  // namespace hxtplugin
