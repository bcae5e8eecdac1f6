#include "e2e/daemonprocess.h"

#include <map>

#include <boost/asio.hpp>

namespace hxt::test {

namespace asio = boost::asio;

namespace {
std::vector<std::string> DaemonArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {HXT_SOCKFILTERD_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
}  // namespace

DaemonProcess::DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                             const std::string& notifySocket)
    : ChildProcess(DaemonArgv(args), root.path() + "/hxsockfilterd.log",
                   notifySocket.empty()
                       ? std::map<std::string, std::string>{}
                       : std::map<std::string, std::string>{{"NOTIFY_SOCKET", notifySocket}}) {}

std::vector<std::string> StubArgs(u16 port, u16 resolverPort) {
  return {"--stub4",     "127.0.0.1:" + std::to_string(port),
          "--stub6",     "[::1]:" + std::to_string(port),
          "--resolvers", "127.0.0.1:" + std::to_string(resolverPort)};
}

// A port free for UDP and TCP on both loopbacks at the time of asking.
u16 FreePort() {
  asio::io_context io;
  for (int attempt = 0; attempt < 20; ++attempt) {
    asio::ip::udp::socket probe(io, asio::ip::udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    u16 port = probe.local_endpoint().port();
    boost::system::error_code ec;
    asio::ip::tcp::acceptor t4(io);
    t4.open(asio::ip::tcp::v4(), ec);
    if (!ec) t4.bind(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
    asio::ip::udp::socket u6(io);
    if (!ec) u6.open(asio::ip::udp::v6(), ec);
    if (!ec) u6.bind(asio::ip::udp::endpoint(asio::ip::make_address("::1"), port), ec);
    asio::ip::tcp::acceptor t6(io);
    if (!ec) t6.open(asio::ip::tcp::v6(), ec);
    if (!ec) t6.bind(asio::ip::tcp::endpoint(asio::ip::make_address("::1"), port), ec);
    if (!ec) return port;
  }
  return 0;
}

// dig's short answer ("" when it got none).
std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp,
                const std::string& type) {
  return Output("dig @" + server + " -p " + std::to_string(port) + " " + name + " " + type +
                " +short +tries=1 +time=5" + (tcp ? " +tcp" : ""));
}

}  // namespace hxt::test
