// Windows has no multi-datagram calls: each batch is a loop of recvfrom or
// sendto calls on a socket switched to non-blocking mode first (Asio's
// overlapped operations on the same socket are not affected by the mode).
#include <winsock2.h>

#include <mswsock.h>
#include <ws2tcpip.h>

#include "daemon/datagrambatch.h"

#include <cstring>
#include <vector>

namespace hxt::sockfilter {

namespace {
void setNonBlocking(NativeSocket socket) {
  u_long on = 1;
  ::ioctlsocket(socket, FIONBIO, &on);
}
}  // namespace

struct CReceiveBatch::Native {
  explicit Native(std::size_t count) : lengths(count), senders(count) {}
  std::vector<std::size_t> lengths;
  std::vector<boost::asio::ip::udp::endpoint> senders;
};

struct CSendBatch::Native {
  struct Entry {
    const u8* data;
    std::size_t size;
    bool hasDestination;
    boost::asio::ip::udp::endpoint to;
  };
  explicit Native(std::size_t count) : entries(count) {}
  std::vector<Entry> entries;
};

CReceiveBatch::CReceiveBatch(std::size_t count, std::size_t headroom, std::size_t size)
    : count_(count),
      headroom_(headroom),
      size_(size),
      buffers_(new u8[count * (headroom + size)]),
      native_(std::make_unique<Native>(count)) {}

CReceiveBatch::~CReceiveBatch() = default;

int CReceiveBatch::Receive(NativeSocket socket) {
  setNonBlocking(socket);
  Native& n = *native_;
  std::size_t got = 0;
  while (got < count_) {
    boost::asio::ip::udp::endpoint& sender = n.senders[got];
    int nameLength = static_cast<int>(sender.capacity());
    int received = ::recvfrom(socket, reinterpret_cast<char*>(Data(got)), static_cast<int>(size_), 0,
                              sender.data(), &nameLength);
    if (received == SOCKET_ERROR) {
      int error = ::WSAGetLastError();
      if (error == WSAEMSGSIZE) {
        // The datagram's own length is not told: a full buffer's worth and
        // one more byte says "oversized" to the caller, as Linux's true
        // length would.
        n.lengths[got] = size_ + 1;
        sender.resize(static_cast<std::size_t>(nameLength));
        ++got;
        continue;
      }
      if (error == WSAEWOULDBLOCK) break;
      if (got > 0) break;  // the error comes back on the next call
      lastError_ = error;
      return -1;
    }
    n.lengths[got] = static_cast<std::size_t>(received);
    sender.resize(static_cast<std::size_t>(nameLength));
    ++got;
  }
  return static_cast<int>(got);
}

std::size_t CReceiveBatch::Length(std::size_t i) const {
  return native_->lengths[i];
}

boost::asio::ip::udp::endpoint CReceiveBatch::Sender(std::size_t i) const {
  return native_->senders[i];
}

CSendBatch::CSendBatch(std::size_t count) : count_(count), native_(std::make_unique<Native>(count)) {}

CSendBatch::~CSendBatch() = default;

void CSendBatch::Add(const u8* data, std::size_t size, const boost::asio::ip::udp::endpoint* to) {
  Native::Entry& entry = native_->entries[used_++];
  entry.data = data;
  entry.size = size;
  entry.hasDestination = to != nullptr;
  if (to != nullptr) entry.to = *to;
}

int CSendBatch::Flush(NativeSocket socket, const Blocked& blocked) {
  setNonBlocking(socket);
  int firstError = 0;
  std::size_t done = 0;
  for (; done < used_; ++done) {
    const Native::Entry& entry = native_->entries[done];
    int sent =
        entry.hasDestination
            ? ::sendto(socket, reinterpret_cast<const char*>(entry.data), static_cast<int>(entry.size), 0,
                       entry.to.data(), static_cast<int>(entry.to.size()))
            : ::send(socket, reinterpret_cast<const char*>(entry.data), static_cast<int>(entry.size), 0);
    if (sent != SOCKET_ERROR) continue;
    int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) break;
    if (firstError == 0) firstError = error;
  }
  for (; done < used_; ++done) {
    const Native::Entry& entry = native_->entries[done];
    blocked(entry.data, entry.size, entry.hasDestination ? &entry.to : nullptr);
  }
  used_ = 0;
  return firstError;
}

void CSendBatch::Defer(const Blocked& blocked) {
  for (std::size_t i = 0; i < used_; ++i) {
    const Native::Entry& entry = native_->entries[i];
    blocked(entry.data, entry.size, entry.hasDestination ? &entry.to : nullptr);
  }
  used_ = 0;
}

bool SendDatagramNow(NativeSocket socket, const u8* data, std::size_t size,
                     const boost::asio::ip::udp::endpoint& to) {
  setNonBlocking(socket);
  int sent = ::sendto(socket, reinterpret_cast<const char*>(data), static_cast<int>(size), 0, to.data(),
                      static_cast<int>(to.size()));
  return sent != SOCKET_ERROR || ::WSAGetLastError() != WSAEWOULDBLOCK;
}

// A connected datagram socket learns of the closed port as WSAECONNRESET.
bool IsRefusedError(int error) {
  return error == WSAECONNRESET || error == WSAECONNREFUSED;
}

void IgnoreClientUnreachable(NativeSocket socket) {
  BOOL report = FALSE;
  DWORD returned = 0;
  ::WSAIoctl(socket, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
}

}  // namespace hxt::sockfilter
