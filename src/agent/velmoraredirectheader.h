// The redirection header the socket filter puts in front of every DNS message
// it hands to the listeners, and that the service puts back in front of every
// UDP answer.
//
//   offset  size  field
//        0    12  the filter's own bytes, returned unchanged
//       12    28  requester socket address (the asking application)
//       40    28  requested destination socket address (the DNS server asked)
//       68     2  payload length, unsigned 16-bit little-endian
//       70     n  the DNS message
//
// A socket address is laid out as the filter's platform lays out its socket
// addresses, with that platform's family values (2 IPv4, 23 IPv6) whatever
// the host we run on: 16-bit family (little-endian), 16-bit port in network
// order, then the IPv4 address at offset 4, or for IPv6 a 32-bit flow label,
// the 16-byte address at offset 8 and a 32-bit scope id.
//
// Stateless helpers; every reader expects a complete header or socket address.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "common/hxttypes.h"

namespace hxt {

constexpr u32 kAddressFamilyIPv4 = 2;
constexpr u32 kAddressFamilyIPv6 = 23;

// Transport codes handed to the DNS plug-in and used as the statistics'
// socket type.
constexpr u32 kTransportTcp = 1;
constexpr u32 kTransportUdp = 2;

constexpr std::size_t kRedirectHeaderSize = 70;
constexpr std::size_t kFilterBytesSize = 12;
constexpr std::size_t kSocketAddressSize = 28;
constexpr std::size_t kRequesterAddressOffset = 12;
constexpr std::size_t kDestinationAddressOffset = 40;
constexpr std::size_t kPayloadLengthOffset = 68;
// A redirected message carries at least one byte of DNS message.
constexpr std::size_t kMinRedirectedMessageSize = kRedirectHeaderSize + 1;

constexpr std::size_t kMaxUdpDatagramSize = 4096;
constexpr std::size_t kMaxTcpReadSize = 65535;

// How long stopping a listener host waits for its I/O thread, and how long a
// redirected TCP connection may stay silent.
constexpr std::chrono::milliseconds kListenerStopWait{1000};
constexpr std::chrono::milliseconds kTcpReceiveTimeout = std::chrono::seconds(120);
// How long the session of a UDP answer sent on another thread may wait for
// the listener's I/O thread to pass by on its own before a timer closes it.
// Under load the next redirected datagram comes well within it, and its pass
// closes the queued sessions for free instead of a wake-up per batch.
constexpr std::chrono::milliseconds kSentCloseWindow{1};

inline u16 ReadLittleEndian16(const unsigned char* p) {
  return static_cast<u16>(p[0] | (p[1] << 8));
}
inline void WriteLittleEndian16(unsigned char* p, u16 value) {
  p[0] = static_cast<unsigned char>(value & 0xff);
  p[1] = static_cast<unsigned char>(value >> 8);
}

// Fields of one 28-byte socket address.
inline u32 SocketAddressFamily(const unsigned char* address) {
  return ReadLittleEndian16(address);
}
inline u16 SocketAddressPort(const unsigned char* address) {
  return static_cast<u16>((address[2] << 8) | address[3]);
}
// The address as text without the port ("192.0.2.1", "2001:db8::1"); empty
// for a family other than 2 or 23.
std::string SocketAddressText(const unsigned char* address);

// Fields of a complete header.
inline u32 RequesterFamily(const unsigned char* header) {
  return SocketAddressFamily(header + kRequesterAddressOffset);
}
inline u32 DestinationFamily(const unsigned char* header) {
  return SocketAddressFamily(header + kDestinationAddressOffset);
}
inline u16 PayloadLength(const unsigned char* header) {
  return ReadLittleEndian16(header + kPayloadLengthOffset);
}

}  // namespace hxt
