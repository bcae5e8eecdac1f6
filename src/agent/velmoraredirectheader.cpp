#include "agent/velmoraredirectheader.h"

#include <algorithm>

#include <boost/asio/ip/address_v6.hpp>

namespace hxt {

std::string SocketAddressText(const unsigned char* address) {
  switch (SocketAddressFamily(address)) {
    case kAddressFamilyIPv4: {
      // Written by hand: this runs for every request, and the system's
      // formatter goes through printf (the text is the same).
      char text[16];
      char* out = text;
      for (int i = 4; i < 8; ++i) {
        unsigned value = address[i];
        if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
        if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
        *out++ = static_cast<char>('0' + value % 10);
        if (i < 7) *out++ = '.';
      }
      return std::string(text, out);
    }
    case kAddressFamilyIPv6: {
      boost::asio::ip::address_v6::bytes_type bytes;
      std::copy(address + 8, address + 24, bytes.begin());
      return boost::asio::ip::address_v6(bytes).to_string();
    }
    default:
      return std::string();
  }
}

}  // namespace hxt
