#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/controlchannel.h"

namespace hxt::sockfilter {

namespace {

int remainingMs(CControlChannel::Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CControlChannel::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct CControlChannel::Native {
  int fd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
};

CControlChannel::CControlChannel() : native_(std::make_unique<Native>()) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0) {
    native_->wakeRead = pipeFds[0];
    native_->wakeWrite = pipeFds[1];
  }
}

CControlChannel::~CControlChannel() {
  closeFd(native_->fd);
  closeFd(native_->wakeRead);
  closeFd(native_->wakeWrite);
}

ngc_error_t CControlChannel::Connect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    connectError_ = "path too long";
    return kErrInvalidArgument;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    connectError_ = std::strerror(errno);
    return kErrConnectionLost;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    connectError_ = std::strerror(error);
    // The socket is there but its mode keeps this user out: not the same
    // trouble as a daemon that is not running.
    return error == EACCES || error == EPERM ? kErrRefused : kErrNoDaemon;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  native_->fd = fd;
  return HXT_NGC_OK;
}

bool CControlChannel::Connected() const {
  return native_->fd >= 0;
}

void CControlChannel::Disconnect() {
  closeFd(native_->fd);
}

ngc_error_t CControlChannel::Send(const std::vector<u8>& frame, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(native_->fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{native_->fd, POLLOUT, 0};
      if (::poll(&p, 1, remainingMs(deadline)) > 0) continue;
      return kErrTimeout;
    }
    return kErrConnectionLost;
  }
  return HXT_NGC_OK;
}

bool CControlChannel::WaitReadable(int ms) {
  while (true) {
    pollfd p{native_->fd, POLLIN, 0};
    int ready = ms > 0 ? ::poll(&p, 1, ms) : 0;
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
}

bool CControlChannel::ReadAvailable(std::vector<u8>& rx) {
  u8 buffer[16384];
  while (true) {
    ssize_t n = ::recv(native_->fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      rx.insert(rx.end(), buffer, buffer + n);
      if (static_cast<std::size_t>(n) < sizeof buffer) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // end of stream or a broken connection
  }
}

CControlChannel::Token CControlChannel::Watched() const {
  return native_->fd >= 0 ? native_->fd : kNone;
}

CControlChannel::Event CControlChannel::WaitIdle(Token token, int ms) {
  pollfd fds[2] = {{native_->wakeRead, POLLIN, 0}, {static_cast<int>(token), POLLIN, 0}};
  int ready = ::poll(fds, token != kNone ? 2 : 1, ms);
  if (ready < 0) return errno == EINTR ? Event::Woken : Event::Failed;
  if (fds[0].revents != 0) {
    char drain[64];
    while (::read(native_->wakeRead, drain, sizeof drain) > 0) {
    }
    return Event::Woken;
  }
  if (token != kNone && fds[1].revents != 0) return Event::Readable;
  return Event::TimedOut;
}

void CControlChannel::Wake() {
  if (native_->wakeWrite < 0) return;
  char byte = 1;
  ssize_t ignored = ::write(native_->wakeWrite, &byte, 1);
  (void)ignored;  // a full pipe already wakes the thread
}

u32 CControlChannel::ProcessId() {
  return static_cast<u32>(::getpid());
}

}  // namespace hxt::sockfilter
