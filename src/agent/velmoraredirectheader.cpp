#include "agent/velmoraredirectheader.h"

#include <algorithm>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>

namespace hxt {

std::string SocketAddressText(const unsigned char* address) {
  switch (SocketAddressFamily(address)) {
    case kAddressFamilyIPv4: {
      boost::asio::ip::address_v4::bytes_type bytes;
      std::copy(address + 4, address + 8, bytes.begin());
      return boost::asio::ip::address_v4(bytes).to_string();
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
