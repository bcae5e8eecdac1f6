// Datagrams received or sent several at a time, never blocking. On Linux one
// system call moves a whole batch (recvmmsg, sendmmsg): a busy stub drains
// what its socket holds before going back to the reactor, and sends what one
// pass produced in one go, instead of a reactor round and a system call per
// datagram. Windows has no such call: there the batch is a loop of
// one-datagram calls behind the same interface, so the relays above are the
// same on both.
//
// The buffers are allocated once; pages the system never writes to stay
// untouched, so a large capacity costs address space, not memory.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

using NativeSocket = boost::asio::ip::udp::socket::native_handle_type;

class CReceiveBatch {
 public:
  // `count` datagrams of at most `size` bytes each, each stored `headroom`
  // bytes into its buffer so that a header can be written in front of it.
  CReceiveBatch(std::size_t count, std::size_t headroom, std::size_t size);
  ~CReceiveBatch();

  // Reads up to the batch's count of waiting datagrams: how many, 0 when
  // none waits, or -1 for another error (LastError tells which).
  int Receive(NativeSocket socket);
  int LastError() const { return lastError_; }

  u8* Data(std::size_t i) { return buffers_.get() + i * (headroom_ + size_) + headroom_; }
  // The datagram's own length; it may exceed what was stored (Stored).
  std::size_t Length(std::size_t i) const;
  std::size_t Stored(std::size_t i) const { return Length(i) < size_ ? Length(i) : size_; }
  std::size_t Headroom() const { return headroom_; }
  boost::asio::ip::udp::endpoint Sender(std::size_t i) const;

 private:
  struct Native;
  std::size_t count_, headroom_, size_;
  std::unique_ptr<u8[]> buffers_;
  std::unique_ptr<Native> native_;
  int lastError_ = 0;
};

class CSendBatch {
 public:
  explicit CSendBatch(std::size_t count);
  ~CSendBatch();

  // Queues a datagram whose bytes stay valid until Flush returns; `to` is
  // null on a connected socket.
  void Add(const u8* data, std::size_t size, const boost::asio::ip::udp::endpoint* to);
  bool Full() const { return used_ == count_; }
  bool Empty() const { return used_ == 0; }

  using Blocked = std::function<void(const u8*, std::size_t, const boost::asio::ip::udp::endpoint*)>;
  // Sends the queued datagrams in order. One the socket refuses with an
  // error is skipped, as a lost datagram would be (the first such error is
  // returned); from the first one the socket would block on, the rest go to
  // `blocked(data, size, to)` for the caller to send when it can.
  int Flush(NativeSocket socket, const Blocked& blocked);
  // Hands every queued datagram to `blocked`, sending none: for datagrams
  // that must wait behind others already waiting for the socket.
  void Defer(const Blocked& blocked);

 private:
  struct Native;
  std::size_t count_;
  std::size_t used_ = 0;
  std::unique_ptr<Native> native_;
};

// Sends one datagram now; false only when the socket would block (any other
// error loses the datagram, as the network may).
bool SendDatagramNow(NativeSocket socket, const u8* data, std::size_t size,
                     const boost::asio::ip::udp::endpoint& to);
// Whether a receive or send error says that the connected peer's port is
// closed (an ICMP port unreachable came back).
bool IsRefusedError(int error);
// Makes a socket that answers many clients ignore the port-unreachable
// reports of clients that went away (Windows turns them into receive
// errors on an unconnected socket; Linux does not).
void IgnoreClientUnreachable(NativeSocket socket);

}  // namespace hxt::sockfilter
