#include "lib/controlclient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace hxt::sockfilter {

namespace {

using Clock = std::chrono::steady_clock;

// The daemon answers from memory; a reply that takes longer means it hangs.
constexpr auto kReplyTimeout = std::chrono::seconds(5);
// Reconnect attempts start fast (a restart under systemd takes a moment) and
// back off so that a daemon that stays away costs next to nothing.
constexpr int kFirstRetryMs = 50;
constexpr int kMaxRetryMs = 2000;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

CControlClient::CControlClient(ApiInterface which, bool reconnect) : which_(which), reconnect_(reconnect) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0) {
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
  }
  thread_ = std::thread([this] { run(); });
}

CControlClient::~CControlClient() {
  {
    std::lock_guard<std::mutex> io(ioMutex_);
    stop_ = true;
  }
  wake();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // released from its own callback: misuse, but do not deadlock
    } else {
      thread_.join();
    }
  }
  std::lock_guard<std::mutex> io(ioMutex_);
  disconnectLocked(false);
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

void CControlClient::wake() {
  if (wakeWrite_ < 0) return;
  char byte = 1;
  ssize_t ignored = ::write(wakeWrite_, &byte, 1);
  (void)ignored;  // a full pipe already wakes the thread
}

ngc_error_t CControlClient::connectLocked() {
  if (fd_ >= 0) return HXT_NGC_OK;
  std::string path = DefaultControlPath();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return kErrInvalidArgument;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kErrConnectionLost;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    // The socket is there but its mode keeps this user out: not the same
    // trouble as a daemon that is not running.
    return error == EACCES || error == EPERM ? kErrRefused : kErrNoDaemon;
  }
  int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  fd_ = fd;
  rx_.clear();

  u32 sequence = nextSequence_++;
  FrameWriter hello(kMsgHello, sequence);
  hello.U32(kProtocolVersion);
  hello.U32(static_cast<u32>(::getpid()));
  hello.String(InterfaceName(which_));
  Frame reply;
  ngc_error_t code = exchangeLocked(hello.Finish(), sequence, kMsgHelloReply, reply);
  if (code != HXT_NGC_OK) return code;
  FrameReader r(reply.body.data(), reply.body.size());
  u32 status = 0;
  u32 version = 0;
  if (!r.U32(status) || !r.U32(version)) {
    disconnectLocked(false);
    return kErrBadRequest;
  }
  if (status != HXT_NGC_OK || version != kProtocolVersion) {
    disconnectLocked(false);
    return status == HXT_NGC_OK ? kErrVersionMismatch : status;
  }
  established_ = true;
  wake();  // the watching thread now has a connection to watch
  return HXT_NGC_OK;
}

void CControlClient::disconnectLocked(bool lost) {
  if (fd_ < 0) return;
  closeFd(fd_);
  rx_.clear();
  bool wasEstablished = established_;
  established_ = false;
  // Only a working connection that breaks is a disruption; a failed attempt
  // to reconnect is not a new one.
  if (lost && open_ && wasEstablished) ++pendingDisruptions_;
  // A thread blocked in poll() on a descriptor that another thread closes
  // is not woken by the close.
  wake();
}

ngc_error_t CControlClient::exchangeLocked(std::vector<u8> frame, u32 sequence, u16 replyType, Frame& reply) {
  if (fd_ < 0) return kErrConnectionLost;
  Clock::time_point deadline = Clock::now() + kReplyTimeout;
  std::size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, remainingMs(deadline)) > 0) continue;
      disconnectLocked(true);
      return kErrTimeout;
    }
    disconnectLocked(true);
    return kErrConnectionLost;
  }
  while (true) {
    Frame frameIn;
    TakeResult taken = TakeFrame(rx_, frameIn);
    if (taken == TakeResult::Malformed) {
      disconnectLocked(true);
      return kErrConnectionLost;
    }
    if (taken == TakeResult::Frame) {
      if (frameIn.type == kMsgDisruption) {
        ++pendingDisruptions_;
        wake();
      } else if (frameIn.sequence == sequence && (frameIn.type == replyType || frameIn.type == kMsgResult)) {
        reply = std::move(frameIn);
        if (reply.type != replyType && replyType == kMsgHelloReply) {
          // A daemon that refuses HELLO answers with a plain result.
          FrameReader r(reply.body.data(), reply.body.size());
          u32 status = kErrBadRequest;
          r.U32(status);
          disconnectLocked(false);
          return status == HXT_NGC_OK ? kErrBadRequest : status;
        }
        return HXT_NGC_OK;
      }
      continue;  // a stale reply of an exchange that timed out
    }
    int wait = remainingMs(deadline);
    pollfd p{fd_, POLLIN, 0};
    int ready = wait > 0 ? ::poll(&p, 1, wait) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      // Whatever comes later belongs to an abandoned exchange: start afresh.
      disconnectLocked(true);
      return kErrTimeout;
    }
    if (!readAvailableLocked()) {
      disconnectLocked(true);
      return kErrConnectionLost;
    }
  }
}

bool CControlClient::readAvailableLocked() {
  u8 buffer[16384];
  while (true) {
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      rx_.insert(rx_.end(), buffer, buffer + n);
      if (static_cast<std::size_t>(n) < sizeof buffer) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;  // end of stream or a broken connection
  }
}

void CControlClient::takeNoticesLocked() {
  Frame frame;
  while (true) {
    TakeResult taken = TakeFrame(rx_, frame);
    if (taken == TakeResult::NeedMore) return;
    if (taken == TakeResult::Malformed) {
      disconnectLocked(true);
      return;
    }
    if (frame.type == kMsgDisruption) ++pendingDisruptions_;
  }
}

ngc_error_t CControlClient::simpleRequestLocked(u16 type, const std::vector<u8>& body) {
  u32 sequence = nextSequence_++;
  FrameWriter w(type, sequence);
  w.Bytes(body.data(), body.size());
  Frame reply;
  ngc_error_t code = exchangeLocked(w.Finish(), sequence, kMsgResult, reply);
  if (code != HXT_NGC_OK) return code;
  FrameReader r(reply.body.data(), reply.body.size());
  u32 status = kErrBadRequest;
  r.U32(status);
  return status;
}

ngc_error_t CControlClient::openLocked() {
  ngc_error_t code = connectLocked();
  if (code != HXT_NGC_OK) return code;
  FrameWriter body(0, 0);
  body.U8(static_cast<u8>(which_));
  body.String(pluginId_);
  std::vector<u8> bytes = body.Finish();
  return simpleRequestLocked(kMsgOpen, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
}

ngc_error_t CControlClient::Open(const char* pluginId, IKdfApiCB* callback) {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (open_ && fd_ >= 0) {
    callback_ = callback;
    return HXT_NGC_OK;
  }
  pluginId_ = pluginId != nullptr ? pluginId : "";
  ngc_error_t code = openLocked();
  if (code != HXT_NGC_OK) {
    // A refused open leaves the connection useless for this client.
    if (!open_) disconnectLocked(false);
    return code;
  }
  if (open_ && haveMirror_) {
    // Reopened after the daemon came back: give it the state it lost.
    FrameWriter body(0, 0);
    EncodeParameters(body, FILTER_UPDATE_ALL, mirror_);
    std::vector<u8> bytes = body.Finish();
    simpleRequestLocked(kMsgSetParameters, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
  }
  open_ = true;
  callback_ = callback;
  return HXT_NGC_OK;
}

ngc_error_t CControlClient::Close() {
  {
    std::lock_guard<std::mutex> call(callMutex_);
    std::lock_guard<std::mutex> io(ioMutex_);
    ngc_error_t code = HXT_NGC_OK;
    if (fd_ >= 0 && open_) {
      std::vector<u8> body{static_cast<u8>(which_)};
      code = simpleRequestLocked(kMsgClose, body);
    }
    open_ = false;
    haveMirror_ = false;
    mirror_ = FilterParameters();
    callback_ = nullptr;
    pendingDisruptions_ = 0;
    disconnectLocked(false);
    if (code != HXT_NGC_OK && code != kErrConnectionLost) return code;
  }
  // Wait out a callback that is running on the library's thread.
  if (std::this_thread::get_id() != thread_.get_id()) std::lock_guard<std::mutex> delivery(deliveryMutex_);
  return HXT_NGC_OK;
}

bool CControlClient::IsOpen() {
  std::lock_guard<std::mutex> io(ioMutex_);
  return open_ && fd_ >= 0;
}

ngc_error_t CControlClient::Clear() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  ngc_error_t code = simpleRequestLocked(kMsgClear, {});
  if (code == HXT_NGC_OK) {
    mirror_ = FilterParameters();
    haveMirror_ = false;
  }
  return code;
}

ngc_error_t CControlClient::SetParameters(u32 kind, const FilterParameters& record) {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  FrameWriter body(0, 0);
  EncodeParameters(body, kind, record);
  std::vector<u8> bytes = body.Finish();
  // The daemon would take a larger frame for a broken peer and drop the
  // connection; refuse it here and keep the connection.
  if (bytes.size() - 4 > kMaxFrameLength) return kErrTooLarge;
  ngc_error_t code =
      simpleRequestLocked(kMsgSetParameters, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
  // With foreign ports the daemon took the record all the same.
  if ((code == HXT_NGC_OK || code == kErrForeignPort) && mirror_.Apply(kind, record)) haveMirror_ = true;
  return code;
}

ngc_error_t CControlClient::StartEncryptedDnsHandling() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  ngc_error_t code = connectLocked();
  if (code != HXT_NGC_OK) return code;
  return simpleRequestLocked(kMsgStartEncryptedDns, {});
}

ngc_error_t CControlClient::RefreshPids() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  return simpleRequestLocked(kMsgRefreshPids, {static_cast<u8>(which_)});
}

bool CControlClient::tryReconnect() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (stop_ || !open_) return true;
  if (fd_ >= 0) return true;  // a caller got there first
  if (openLocked() != HXT_NGC_OK) {
    disconnectLocked(false);
    return false;
  }
  if (haveMirror_) {
    FrameWriter body(0, 0);
    EncodeParameters(body, FILTER_UPDATE_ALL, mirror_);
    std::vector<u8> bytes = body.Finish();
    ngc_error_t code = simpleRequestLocked(kMsgSetParameters,
                                           std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
    // Foreign ports are the agent's to fix; the restored state stands.
    if (code != HXT_NGC_OK && code != kErrForeignPort) {
      disconnectLocked(false);
      return false;
    }
  }
  return true;
}

void CControlClient::deliver(u32 disruptions) {
  std::lock_guard<std::mutex> delivery(deliveryMutex_);
  for (u32 i = 0; i < disruptions; ++i) {
    IKdfApiCB* callback = nullptr;
    {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (stop_ || !open_) return;
      callback = callback_;
    }
    if (callback != nullptr) callback->OnKdfDisruption();
  }
}

void CControlClient::run() {
  int retryMs = kFirstRetryMs;
  while (true) {
    int fd = -1;
    bool reconnectWanted = false;
    u32 disruptions = 0;
    {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (stop_) return;
      fd = fd_;
      reconnectWanted = fd < 0 && open_ && reconnect_;
      disruptions = pendingDisruptions_;
      pendingDisruptions_ = 0;
    }
    if (disruptions > 0) {
      deliver(disruptions);
      continue;
    }
    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {fd, POLLIN, 0}};
    int timeout = reconnectWanted ? retryMs : -1;
    int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeout);
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
      continue;
    }
    if (fd >= 0 && fds[1].revents != 0) {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (fd_ != fd) continue;  // replaced or closed meanwhile
      bool alive = readAvailableLocked();
      takeNoticesLocked();
      if (!alive) disconnectLocked(true);
      retryMs = kFirstRetryMs;
      continue;
    }
    if (reconnectWanted && ready == 0) {
      retryMs = tryReconnect() ? kFirstRetryMs : std::min(retryMs * 2, kMaxRetryMs);
    }
  }
}

}  // namespace hxt::sockfilter
