// Test helpers that play the socket filter's part towards the listeners:
// build redirected messages and exchange them over real loopback sockets.
//
// Every blocking call gives up after a deadline (the sockets' receive and
// send time-outs), so a missing answer fails a test instead of hanging it.
#pragma once

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <boost/asio/ip/udp.hpp>
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "agent/velmoraredirectheader.h"

namespace hxt::test {

using Bytes = std::vector<unsigned char>;

// What differs between Winsock and BSD sockets here (Winsock is started by Asio).
namespace socketapi {
#ifdef _WIN32
using Native = SOCKET;
using Length = int;
constexpr Native kNone = INVALID_SOCKET;
constexpr int kNoSignal = 0;  // a closed peer never raises a signal
inline DWORD Deadline(std::chrono::milliseconds after = std::chrono::seconds(10)) {
  return static_cast<DWORD>(after.count());
}
inline void Close(Native socket) {
  ::closesocket(socket);
}
inline bool WasReset() {
  return ::WSAGetLastError() == WSAECONNRESET;
}
#else
using Native = int;
using Length = std::size_t;
constexpr Native kNone = -1;
constexpr int kNoSignal = MSG_NOSIGNAL;
inline timeval Deadline(std::chrono::milliseconds after = std::chrono::seconds(10)) {
  return timeval{static_cast<time_t>(after.count() / 1000),
                 static_cast<suseconds_t>(after.count() % 1000 * 1000)};
}
inline void Close(Native socket) {
  ::close(socket);
}
inline bool WasReset() {
  return errno == ECONNRESET;
}
#endif
}  // namespace socketapi
using SocketAddressBytes = std::array<unsigned char, kSocketAddressSize>;

// A 28-byte socket address in the filter's layout.
inline SocketAddressBytes FilterSocketAddress(u32 family, const std::string& address, u16 port) {
  SocketAddressBytes out{};
  WriteLittleEndian16(out.data(), static_cast<u16>(family));
  out[2] = static_cast<unsigned char>(port >> 8);
  out[3] = static_cast<unsigned char>(port & 0xff);
  if (family == kAddressFamilyIPv6) {
    inet_pton(AF_INET6, address.c_str(), out.data() + 8);
  } else if (!address.empty()) {
    inet_pton(AF_INET, address.c_str(), out.data() + 4);
  }
  return out;
}

// Header and DNS message; the length field says `lengthField` when given. The
// filter's own 12 bytes are 0xf0..0xfb, recognisable in answers.
inline Bytes RedirectedMessage(const SocketAddressBytes& requester, const SocketAddressBytes& destination,
                               const Bytes& dns, std::optional<u16> lengthField = std::nullopt) {
  Bytes out(kRedirectHeaderSize + dns.size());
  for (std::size_t i = 0; i < kFilterBytesSize; ++i) out[i] = static_cast<unsigned char>(0xf0 + i);
  std::copy(requester.begin(), requester.end(), out.begin() + kRequesterAddressOffset);
  std::copy(destination.begin(), destination.end(), out.begin() + kDestinationAddressOffset);
  WriteLittleEndian16(out.data() + kPayloadLengthOffset, lengthField.value_or(static_cast<u16>(dns.size())));
  std::copy(dns.begin(), dns.end(), out.begin() + kRedirectHeaderSize);
  return out;
}

// `size` recognisable bytes standing for a DNS message.
inline Bytes DnsBytes(std::size_t size, unsigned char seed = 1) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(seed + i * 7);
  return out;
}

// A loopback socket of the family, bound to an ephemeral port, with deadlines.
// Without `bindLoopback`, it can reach other addresses through Connect.
class LoopbackSocket {
 public:
  LoopbackSocket(u32 family, int type, bool bindLoopback = true) : v6_(family == kAddressFamilyIPv6) {
    fd_ = ::socket(v6_ ? AF_INET6 : AF_INET, type, 0);
    SetReceiveTimeout(std::chrono::seconds(10));
    option(SO_SNDTIMEO, socketapi::Deadline(std::chrono::seconds(10)));
    if (type == SOCK_DGRAM) {
      option(SO_SNDBUF, 1 << 20);
      option(SO_RCVBUF, 1 << 20);
    }
    Endpoint local = Loopback(0);
    bound_ = bindLoopback && ::bind(fd_, local.data(), static_cast<socklen_t>(local.size())) == 0;
  }
  ~LoopbackSocket() { Close(); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  void Close() {
    if (fd_ != socketapi::kNone) socketapi::Close(fd_);
    fd_ = socketapi::kNone;
  }
  bool bound() const { return bound_; }
  // How long Receive waits from now on (10 seconds at first).
  void SetReceiveTimeout(std::chrono::milliseconds timeout) {
    option(SO_RCVTIMEO, socketapi::Deadline(timeout));
  }
  // Shrinks the receive buffer; before Connect, as it sets the TCP window.
  void SetReceiveBuffer(int size) { option(SO_RCVBUF, size); }

  u16 LocalPort() const {
    Endpoint local;
    socklen_t length = static_cast<socklen_t>(local.capacity());
    getsockname(fd_, local.data(), &length);
    return local.port();
  }
  // This socket as the requester address of a redirection header.
  SocketAddressBytes AsRequester() const {
    return FilterSocketAddress(v6_ ? kAddressFamilyIPv6 : kAddressFamilyIPv4, v6_ ? "::1" : "127.0.0.1",
                               LocalPort());
  }

  // UDP
  bool SendTo(u16 port, const Bytes& bytes) {
    Endpoint to = Loopback(port);
    return ::sendto(fd_, reinterpret_cast<const char*>(bytes.data()),
                    static_cast<socketapi::Length>(bytes.size()), 0, to.data(),
                    static_cast<socklen_t>(to.size())) == static_cast<ssize_t>(bytes.size());
  }
  // One datagram, or nothing when the deadline passed. `fromPort` receives the sender's port.
  std::optional<Bytes> Receive(u16* fromPort = nullptr) {
    Bytes buffer(70000);
    Endpoint from;
    socklen_t length = static_cast<socklen_t>(from.capacity());
    ssize_t n = ::recvfrom(fd_, reinterpret_cast<char*>(buffer.data()),
                           static_cast<socketapi::Length>(buffer.size()), 0, from.data(), &length);
    if (n < 0) return std::nullopt;
    if (fromPort != nullptr) *fromPort = from.port();
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

  // TCP
  bool Connect(u16 port) { return Connect(v6_ ? "::1" : "127.0.0.1", port); }
  // Also for UDP: Send and Receive then go to and come from there only.
  bool Connect(const std::string& address, u16 port) {
    Endpoint to(boost::asio::ip::make_address(address), port);
    return ::connect(fd_, to.data(), static_cast<socklen_t>(to.size())) == 0;
  }
  bool Send(const Bytes& bytes) {
    return ::send(fd_, reinterpret_cast<const char*>(bytes.data()),
                  static_cast<socketapi::Length>(bytes.size()),
                  socketapi::kNoSignal) == static_cast<ssize_t>(bytes.size());
  }
  // Exactly `size` bytes, or nothing when the stream ended or the deadline passed.
  std::optional<Bytes> ReceiveExactly(std::size_t size) {
    Bytes out(size);
    for (std::size_t have = 0; have < size;) {
      ssize_t n = ::recv(fd_, reinterpret_cast<char*>(out.data() + have),
                         static_cast<socketapi::Length>(size - have), 0);
      if (n <= 0) return std::nullopt;
      have += static_cast<std::size_t>(n);
    }
    return out;
  }
  // One DNS-over-TCP message, without its 2-byte length.
  std::optional<Bytes> ReceiveFramed() {
    const auto length = ReceiveExactly(2);
    if (!length) return std::nullopt;
    return ReceiveExactly(static_cast<std::size_t>((*length)[0] << 8 | (*length)[1]));
  }
  // True when the peer closed the stream (EOF or reset) before the deadline.
  bool WaitForClose() {
    char byte;
    ssize_t n = ::recv(fd_, &byte, 1, 0);
    return n == 0 || (n < 0 && socketapi::WasReset());
  }

 private:
  using Endpoint = boost::asio::ip::udp::endpoint;  // only its socket address is used
  template <typename T>
  void option(int name, const T& value) {
    setsockopt(fd_, SOL_SOCKET, name, reinterpret_cast<const char*>(&value), sizeof(value));
  }
  Endpoint Loopback(u16 port) const {
    return v6_ ? Endpoint(boost::asio::ip::address_v6::loopback(), port)
               : Endpoint(boost::asio::ip::address_v4::loopback(), port);
  }

  bool v6_;
  bool bound_ = false;
  socketapi::Native fd_ = socketapi::kNone;
};

// Whether the machine has an IPv6 loopback address.
inline bool HaveIPv6Loopback() {
  return LoopbackSocket(kAddressFamilyIPv6, SOCK_DGRAM).bound();
}

}  // namespace hxt::test
