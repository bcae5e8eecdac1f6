#include "captiveportal.h"

#include <memory>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

namespace hxt::dnsprotect {

namespace beast = boost::beast;
namespace http = beast::http;

bool ParseHttpUrl(const std::string& text, HttpUrl& out) {
  static const std::string kScheme = "http://";
  if (text.compare(0, kScheme.size(), kScheme) != 0) return false;
  const std::string rest = text.substr(kScheme.size());
  const std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  out = HttpUrl{};
  if (slash != std::string::npos) out.target = rest.substr(slash);
  if (authority.find('@') != std::string::npos || authority.find('[') != std::string::npos) return false;
  const std::size_t colon = authority.find(':');
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const unsigned long value = std::stoul(port);
    if (value == 0 || value > 65535) return false;
    out.port = static_cast<std::uint16_t>(value);
    authority.resize(colon);
  }
  out.host = authority;
  return !out.host.empty();
}

PortalVerdict JudgeCheckAnswer(unsigned status, const std::string& location, const std::string& body,
                               const std::string& expectBody) {
  PortalVerdict verdict;
  if (status >= 200 && status < 300 && body == expectBody) return verdict;
  verdict.portal = true;
  if (status >= 300 && status < 400 && !location.empty()) {
    HttpUrl target;
    // A portal's login page is usually https; only the host matters here.
    std::string asHttp = location;
    if (asHttp.compare(0, 8, "https://") == 0) asHttp = "http://" + asHttp.substr(8);
    if (ParseHttpUrl(asHttp, target)) verdict.loginHost = target.host;
    verdict.why = "redirected (" + std::to_string(status) + ") to " + location;
  } else {
    verdict.why = "answered " + std::to_string(status) + " without the expected body";
  }
  return verdict;
}

namespace {

struct Exchange : std::enable_shared_from_this<Exchange> {
  Exchange(boost::asio::io_context& io, HttpDone done) : stream(io), done(std::move(done)) {}
  void finish(const std::string& error) {
    if (!done) return;
    auto handler = std::move(done);
    done = nullptr;
    beast::error_code ignored;
    stream.socket().close(ignored);
    if (!error.empty()) return handler(error, 0, {}, {});
    handler({}, response.result_int(), std::string(response[http::field::location]), response.body());
  }

  beast::tcp_stream stream;
  HttpDone done;
  http::request<http::empty_body> request;
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
};

}  // namespace

void HttpGet(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& server, const HttpUrl& url,
             std::chrono::milliseconds timeout, HttpDone done) {
  auto exchange = std::make_shared<Exchange>(io, std::move(done));
  exchange->request.method(http::verb::get);
  exchange->request.target(url.target);
  exchange->request.version(11);
  exchange->request.set(http::field::host, url.port == 80 ? url.host : url.host + ":" + std::to_string(url.port));
  exchange->request.set(http::field::connection, "close");
  // One deadline for the whole exchange: connect, request and answer.
  exchange->stream.expires_after(timeout);
  exchange->stream.async_connect(server, [exchange](const beast::error_code& e) {
    if (e) return exchange->finish("connect: " + e.message());
    http::async_write(exchange->stream, exchange->request, [exchange](const beast::error_code& e, std::size_t) {
      if (e) return exchange->finish("request: " + e.message());
      http::async_read(exchange->stream, exchange->buffer, exchange->response,
                       [exchange](const beast::error_code& e, std::size_t) {
                         exchange->finish(e ? "answer: " + e.message() : std::string());
                       });
    });
  });
}

}  // namespace hxt::dnsprotect
