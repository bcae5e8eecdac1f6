// The 70-byte redirection header the agent's listeners expect in front of
// every redirected DNS message, and the size limits of their framing.
//
//   0..11   the daemon's own bytes (u32 serial, little-endian, then the 8-byte
//           nonce of this daemon run); the agent returns them unchanged
//   12..39  requester socket address
//   40..67  requested destination socket address
//   68..69  payload length, u16 little-endian
//
// A socket address is 28 bytes: u16 family (2 IPv4, 23 IPv6, little-endian),
// u16 port in network order, then for IPv4 the 4 address bytes (the other 20
// zero), for IPv6 a zero flow label, the 16 address bytes and a zero scope id.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

constexpr std::size_t kRedirectHeaderSize = 70;
constexpr std::size_t kOwnBytesSize = 12;
constexpr std::size_t kSocketAddressSize = 28;
// The agent's UDP listener receives into 4096 bytes.
constexpr std::size_t kMaxServiceDatagram = 4096;
constexpr std::size_t kMaxUdpPayload = kMaxServiceDatagram - kRedirectHeaderSize;
// The agent's TCP connection reads at most 65535 bytes and parses each read
// on its own, so one message (header and chunk) must fit one read.
constexpr std::size_t kMaxTcpMessage = 65535;
constexpr std::size_t kMaxTcpChunk = kMaxTcpMessage - kRedirectHeaderSize;

using Nonce = std::array<u8, 8>;
using RedirectHeader = std::array<u8, kRedirectHeaderSize>;

// 2 or 23 for an address.
u16 WindowsFamily(const boost::asio::ip::address& address);

void WriteSocketAddress(u8* out, const boost::asio::ip::address& address, u16 port);

RedirectHeader BuildRedirectHeader(u32 serial, const Nonce& nonce, const boost::asio::ip::address& requester,
                                   u16 requesterPort, const boost::asio::ip::address& destination,
                                   u16 destinationPort, u16 payloadLength);

// The header followed by `size` payload bytes.
std::vector<u8> WithHeader(const RedirectHeader& header, const u8* payload, std::size_t size);

// The serial of a header whose nonce is `nonce`; false for a stranger's.
bool ReadOwnBytes(const u8* header, const Nonce& nonce, u32& serial);

// An answer datagram from the agent's UDP listener: our header, whose length
// field must count exactly the bytes after it, and at least a DNS header.
// False for anything else (a stranger's nonce included).
bool ParseServiceAnswer(const u8* datagram, std::size_t size, const Nonce& nonce, u32& serial);

}  // namespace hxt::sockfilter
