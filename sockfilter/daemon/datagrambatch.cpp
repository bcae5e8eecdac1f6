#include "daemon/datagrambatch.h"

#include <cerrno>
#include <cstring>

namespace hxt::sockfilter {

CReceiveBatch::CReceiveBatch(std::size_t count, std::size_t headroom, std::size_t size)
    : count_(count),
      headroom_(headroom),
      size_(size),
      buffers_(new u8[count * (headroom + size)]),
      messages_(count),
      iovecs_(count),
      names_(count) {}

int CReceiveBatch::Receive(int fd) {
  for (std::size_t i = 0; i < count_; ++i) {
    iovecs_[i] = iovec{Data(i), size_};
    std::memset(&messages_[i], 0, sizeof messages_[i]);
    messages_[i].msg_hdr.msg_name = &names_[i];
    messages_[i].msg_hdr.msg_namelen = sizeof names_[i];
    messages_[i].msg_hdr.msg_iov = &iovecs_[i];
    messages_[i].msg_hdr.msg_iovlen = 1;
  }
  for (;;) {
    // MSG_TRUNC: a datagram larger than its buffer reports its own length,
    // so that an oversized query is recognised as such.
    int n =
        ::recvmmsg(fd, messages_.data(), static_cast<unsigned>(count_), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

boost::asio::ip::udp::endpoint CReceiveBatch::Sender(std::size_t i) const {
  boost::asio::ip::udp::endpoint sender;
  std::size_t length = messages_[i].msg_hdr.msg_namelen;
  if (length > sender.capacity()) length = sender.capacity();
  std::memcpy(sender.data(), &names_[i], length);
  sender.resize(length);
  return sender;
}

CSendBatch::CSendBatch(std::size_t count) : messages_(count), iovecs_(count), destinations_(count) {}

void CSendBatch::Add(const u8* data, std::size_t size, const boost::asio::ip::udp::endpoint* to) {
  std::size_t i = used_++;
  iovecs_[i] = iovec{const_cast<u8*>(data), size};
  std::memset(&messages_[i], 0, sizeof messages_[i]);
  messages_[i].msg_hdr.msg_iov = &iovecs_[i];
  messages_[i].msg_hdr.msg_iovlen = 1;
  if (to != nullptr) {
    destinations_[i] = *to;
    messages_[i].msg_hdr.msg_name = destinations_[i].data();
    messages_[i].msg_hdr.msg_namelen = static_cast<socklen_t>(destinations_[i].size());
  }
}

}  // namespace hxt::sockfilter
