#include "proxyprobe.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

namespace hxtplugin {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// Success, or why `endpoint` did not accept a connection before `deadline`
// (timed_out when the deadline passed first). Asio's sockets keep the probe
// the same on POSIX and on Winsock.
error_code connectBefore(const asio::ip::tcp::endpoint& endpoint, Clock::time_point deadline) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::steady_timer timer(io, deadline);
  error_code result = asio::error::timed_out;
  bool done = false;
  socket.async_connect(endpoint, [&](const error_code& error) {
    if (done) return;
    done = true;
    result = error;
    timer.cancel();
  });
  timer.async_wait([&](const error_code&) {
    if (done) return;
    done = true;
    error_code ignored;
    socket.close(ignored);
  });
  io.run();
  return result;
}

}  // namespace

ProbeResult ProbeTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout) {
  ProbeResult result;
  const std::string where =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  asio::io_context io;
  asio::ip::tcp::resolver resolver(io);
  error_code error;
  const auto endpoints =
      resolver.resolve(host, std::to_string(port), asio::ip::tcp::resolver::numeric_service, error);
  if (error) {
    result.detail = where + ": " + error.message();
    return result;
  }
  const auto deadline = Clock::now() + timeout;
  error = asio::error::timed_out;
  for (const auto& entry : endpoints) {
    error = connectBefore(entry.endpoint(), deadline);
    if (!error) {
      result.reachable = true;
      result.detail = where + " accepts connections";
      return result;
    }
    if (error == asio::error::timed_out) break;  // no time left for the other addresses
  }
  result.detail = where + " does not accept connections: " + error.message();
  return result;
}

}  // namespace hxtplugin
