#include "daemon/datagrambatch.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace hxt::sockfilter {

struct CReceiveBatch::Native {
  explicit Native(std::size_t count) : messages(count), iovecs(count), names(count) {}
  std::vector<mmsghdr> messages;
  std::vector<iovec> iovecs;
  std::vector<sockaddr_storage> names;
};

struct CSendBatch::Native {
  explicit Native(std::size_t count) : messages(count), iovecs(count), destinations(count) {}
  std::vector<mmsghdr> messages;
  std::vector<iovec> iovecs;
  std::vector<boost::asio::ip::udp::endpoint> destinations;
};

CReceiveBatch::CReceiveBatch(std::size_t count, std::size_t headroom, std::size_t size)
    : count_(count),
      headroom_(headroom),
      size_(size),
      buffers_(new u8[count * (headroom + size)]),
      native_(std::make_unique<Native>(count)) {}

CReceiveBatch::~CReceiveBatch() = default;

int CReceiveBatch::Receive(NativeSocket fd) {
  Native& n = *native_;
  for (std::size_t i = 0; i < count_; ++i) {
    n.iovecs[i] = iovec{Data(i), size_};
    std::memset(&n.messages[i], 0, sizeof n.messages[i]);
    n.messages[i].msg_hdr.msg_name = &n.names[i];
    n.messages[i].msg_hdr.msg_namelen = sizeof n.names[i];
    n.messages[i].msg_hdr.msg_iov = &n.iovecs[i];
    n.messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    // MSG_TRUNC: a datagram larger than its buffer reports its own length,
    // so that an oversized query is recognised as such.
    int got =
        ::recvmmsg(fd, n.messages.data(), static_cast<unsigned>(count_), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    lastError_ = errno;
    return -1;
  }
}

std::size_t CReceiveBatch::Length(std::size_t i) const {
  return native_->messages[i].msg_len;
}

boost::asio::ip::udp::endpoint CReceiveBatch::Sender(std::size_t i) const {
  boost::asio::ip::udp::endpoint sender;
  std::size_t length = native_->messages[i].msg_hdr.msg_namelen;
  if (length > sender.capacity()) length = sender.capacity();
  std::memcpy(sender.data(), &native_->names[i], length);
  sender.resize(length);
  return sender;
}

CSendBatch::CSendBatch(std::size_t count) : count_(count), native_(std::make_unique<Native>(count)) {}

CSendBatch::~CSendBatch() = default;

void CSendBatch::Add(const u8* data, std::size_t size, const boost::asio::ip::udp::endpoint* to) {
  Native& n = *native_;
  std::size_t i = used_++;
  n.iovecs[i] = iovec{const_cast<u8*>(data), size};
  std::memset(&n.messages[i], 0, sizeof n.messages[i]);
  n.messages[i].msg_hdr.msg_iov = &n.iovecs[i];
  n.messages[i].msg_hdr.msg_iovlen = 1;
  if (to != nullptr) {
    n.destinations[i] = *to;
    n.messages[i].msg_hdr.msg_name = n.destinations[i].data();
    n.messages[i].msg_hdr.msg_namelen = static_cast<socklen_t>(n.destinations[i].size());
  }
}

int CSendBatch::Flush(NativeSocket fd, const Blocked& blocked) {
  Native& n = *native_;
  int firstError = 0;
  std::size_t done = 0;
  while (done < used_) {
    int sent =
        ::sendmmsg(fd, &n.messages[done], static_cast<unsigned>(used_ - done), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    int error = sent < 0 ? errno : EAGAIN;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) break;
    if (firstError == 0) firstError = error;
    ++done;
  }
  for (; done < used_; ++done) {
    const mmsghdr& m = n.messages[done];
    blocked(static_cast<const u8*>(m.msg_hdr.msg_iov->iov_base), m.msg_hdr.msg_iov->iov_len,
            m.msg_hdr.msg_name != nullptr ? &n.destinations[done] : nullptr);
  }
  used_ = 0;
  return firstError;
}

void CSendBatch::Defer(const Blocked& blocked) {
  Native& n = *native_;
  for (std::size_t i = 0; i < used_; ++i) {
    const mmsghdr& m = n.messages[i];
    blocked(static_cast<const u8*>(m.msg_hdr.msg_iov->iov_base), m.msg_hdr.msg_iov->iov_len,
            m.msg_hdr.msg_name != nullptr ? &n.destinations[i] : nullptr);
  }
  used_ = 0;
}

bool SendDatagramNow(NativeSocket fd, const u8* data, std::size_t size,
                     const boost::asio::ip::udp::endpoint& to) {
  ssize_t n =
      ::sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, to.data(), static_cast<socklen_t>(to.size()));
  return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

bool IsRefusedError(int error) {
  return error == ECONNREFUSED;
}

void IgnoreClientUnreachable(NativeSocket) {}

}  // namespace hxt::sockfilter
