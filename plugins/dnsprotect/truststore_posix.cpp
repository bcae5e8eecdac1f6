#include "truststore.h"

namespace hxt::dnsprotect {

// OpenSSL's default folder and bundle, which the distribution fills.
void LoadSystemTrust(boost::asio::ssl::context& context, boost::system::error_code& error) {
  context.set_default_verify_paths(error);
}

}  // namespace hxt::dnsprotect
