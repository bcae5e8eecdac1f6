// Captive portals: a network that holds back everything but its own login
// page until the user signs in. It shows in a plain HTTP request for a known
// URL, whose expected answer does not come: the portal redirects it to its
// page, or answers with that page itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace hxt::dnsprotect {

// "http://host[:port][/path]"; nothing else (the probe must be clear text,
// which is what a portal can intercept).
struct HttpUrl {
  std::string host;
  std::uint16_t port = 80;
  std::string target = "/";
};
bool ParseHttpUrl(const std::string& text, HttpUrl& out);

struct PortalVerdict {
  bool portal = false;
  std::string loginHost;  // the host a redirect leads to; "" when none
  std::string why;        // for the log
};
// What the answer to the check request says: the expected body with a 2xx
// status means no portal; a redirect, or any other answer, means one.
PortalVerdict JudgeCheckAnswer(unsigned status, const std::string& location, const std::string& body,
                               const std::string& expectBody);

// One GET of `url` from `server` (Boost.Beast), given up after `timeout`.
// `done` runs on the io_context's thread with the status (0 when no answer
// came, `error` then says why), the Location header and the body.
using HttpDone = std::function<void(const std::string& error, unsigned status, const std::string& location,
                                    const std::string& body)>;
void HttpGet(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& server, const HttpUrl& url,
             std::chrono::milliseconds timeout, HttpDone done);

}  // namespace hxt::dnsprotect
