#include "daemon/redirectheader.h"

#include <cstring>

namespace hxt::sockfilter {

u16 WindowsFamily(const boost::asio::ip::address& address) {
  return address.is_v6() ? 23 : 2;
}

void WriteSocketAddress(u8* out, const boost::asio::ip::address& address, u16 port) {
  std::memset(out, 0, kSocketAddressSize);
  u16 family = WindowsFamily(address);
  out[0] = static_cast<u8>(family);
  out[1] = static_cast<u8>(family >> 8);
  out[2] = static_cast<u8>(port >> 8);
  out[3] = static_cast<u8>(port);
  if (address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    std::memcpy(out + 4, bytes.data(), bytes.size());
  } else {
    auto bytes = address.to_v6().to_bytes();
    std::memcpy(out + 8, bytes.data(), bytes.size());
  }
}

RedirectHeader BuildRedirectHeader(u32 serial, const Nonce& nonce, const boost::asio::ip::address& requester,
                                   u16 requesterPort, const boost::asio::ip::address& destination,
                                   u16 destinationPort, u16 payloadLength) {
  RedirectHeader header{};
  for (int i = 0; i < 4; ++i) header[static_cast<std::size_t>(i)] = static_cast<u8>(serial >> (8 * i));
  std::memcpy(header.data() + 4, nonce.data(), nonce.size());
  WriteSocketAddress(header.data() + 12, requester, requesterPort);
  WriteSocketAddress(header.data() + 40, destination, destinationPort);
  header[68] = static_cast<u8>(payloadLength);
  header[69] = static_cast<u8>(payloadLength >> 8);
  return header;
}

std::vector<u8> WithHeader(const RedirectHeader& header, const u8* payload, std::size_t size) {
  std::vector<u8> bytes(header.size() + size);
  std::memcpy(bytes.data(), header.data(), header.size());
  if (size > 0) std::memcpy(bytes.data() + header.size(), payload, size);
  return bytes;
}

bool ReadOwnBytes(const u8* header, const Nonce& nonce, u32& serial) {
  if (std::memcmp(header + 4, nonce.data(), nonce.size()) != 0) return false;
  serial = static_cast<u32>(header[0]) | (static_cast<u32>(header[1]) << 8) |
           (static_cast<u32>(header[2]) << 16) | (static_cast<u32>(header[3]) << 24);
  return true;
}

bool ParseServiceAnswer(const u8* datagram, std::size_t size, const Nonce& nonce, u32& serial) {
  constexpr std::size_t kDnsHeader = 12;
  if (datagram == nullptr || size < kRedirectHeaderSize + kDnsHeader) return false;
  std::size_t length = datagram[68] | (static_cast<std::size_t>(datagram[69]) << 8);
  return length == size - kRedirectHeaderSize && ReadOwnBytes(datagram, nonce, serial);
}

}  // namespace hxt::sockfilter
