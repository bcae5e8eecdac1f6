// Datagrams received or sent several at a time, one system call for a batch
// (recvmmsg, sendmmsg), never blocking. A busy stub drains what its socket
// holds before going back to the reactor, and sends what one pass produced
// in one go, instead of a reactor round and a system call per datagram.
//
// The buffers are allocated once; pages the kernel never writes to stay
// untouched, so a large capacity costs address space, not memory.
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

class CReceiveBatch {
 public:
  // `count` datagrams of at most `size` bytes each, each stored `headroom`
  // bytes into its buffer so that a header can be written in front of it.
  CReceiveBatch(std::size_t count, std::size_t headroom, std::size_t size);

  // Reads up to the batch's count of waiting datagrams: how many, 0 when
  // none waits, or -1 with errno set for another error.
  int Receive(int fd);

  u8* Data(std::size_t i) { return buffers_.get() + i * (headroom_ + size_) + headroom_; }
  // The datagram's own length; it may exceed what was stored (Stored).
  std::size_t Length(std::size_t i) const { return messages_[i].msg_len; }
  std::size_t Stored(std::size_t i) const { return Length(i) < size_ ? Length(i) : size_; }
  std::size_t Headroom() const { return headroom_; }
  boost::asio::ip::udp::endpoint Sender(std::size_t i) const;

 private:
  std::size_t count_, headroom_, size_;
  std::unique_ptr<u8[]> buffers_;
  std::vector<mmsghdr> messages_;
  std::vector<iovec> iovecs_;
  std::vector<sockaddr_storage> names_;
};

class CSendBatch {
 public:
  explicit CSendBatch(std::size_t count);

  // Queues a datagram whose bytes stay valid until Flush returns; `to` is
  // null on a connected socket.
  void Add(const u8* data, std::size_t size, const boost::asio::ip::udp::endpoint* to);
  bool Full() const { return used_ == messages_.size(); }
  bool Empty() const { return used_ == 0; }

  // Sends the queued datagrams in order. One the socket refuses with an
  // error is skipped, as a lost datagram would be (the first such error is
  // returned); from the first one the socket would block on, the rest go to
  // `blocked(data, size, to)` for the caller to send when it can.
  template <typename Blocked>
  int Flush(int fd, Blocked&& blocked) {
    int firstError = 0;
    std::size_t done = 0;
    while (done < used_) {
      int n =
          ::sendmmsg(fd, &messages_[done], static_cast<unsigned>(used_ - done), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      int error = n < 0 ? errno : EAGAIN;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) break;
      if (firstError == 0) firstError = error;
      ++done;
    }
    for (; done < used_; ++done) {
      const mmsghdr& m = messages_[done];
      blocked(static_cast<const u8*>(m.msg_hdr.msg_iov->iov_base), m.msg_hdr.msg_iov->iov_len,
              m.msg_hdr.msg_name != nullptr ? &destinations_[done] : nullptr);
    }
    used_ = 0;
    return firstError;
  }

 private:
  std::size_t used_ = 0;
  std::vector<mmsghdr> messages_;
  std::vector<iovec> iovecs_;
  std::vector<boost::asio::ip::udp::endpoint> destinations_;
};

}  // namespace hxt::sockfilter
