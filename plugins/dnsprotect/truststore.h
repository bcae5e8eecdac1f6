// Where a TLS upstream's certificate chain is checked against when the
// profile names no CA file: the system's own trust roots.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <boost/system/error_code.hpp>

namespace hxt::dnsprotect {

// Adds the system's trusted root certificates to `context`; sets `error`
// when there are none to add.
void LoadSystemTrust(boost::asio::ssl::context& context, boost::system::error_code& error);

}  // namespace hxt::dnsprotect
