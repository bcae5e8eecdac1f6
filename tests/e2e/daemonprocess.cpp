#include "e2e/daemonprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace hxt::test {

namespace asio = boost::asio;

// The daemon's process, its standard error in a file.
DaemonProcess::DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                             const std::string& notifySocket)
    : logPath_(root.path() + "/hxsockfilterd.log") {
  std::vector<std::string> argStrings = {HXT_SOCKFILTERD_BINARY};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  int logFd = ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(logFd, 2);
    ::setenv("HXT_LOG", "stderr", 1);
    ::unsetenv("INVOCATION_ID");
    if (notifySocket.empty()) {
      ::unsetenv("NOTIFY_SOCKET");
    } else {
      ::setenv("NOTIFY_SOCKET", notifySocket.c_str(), 1);
    }
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(HXT_SOCKFILTERD_BINARY, argv.data());
    ::_exit(127);
  }
  ::close(logFd);
}
DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}
void DaemonProcess::Signal(int signo) const {
  ::kill(pid_, signo);
}

std::optional<int> DaemonProcess::WaitForExit() {
  int status = 0;
  if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return std::nullopt;
  reaped_ = true;
  return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}
std::string DaemonProcess::Log() const {
  std::ifstream in(logPath_);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
bool DaemonProcess::WaitForLog(const std::string& text) const {
  return WaitFor([&] { return Log().find(text) != std::string::npos; });
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
  std::string command = "dig @" + server + " -p " + std::to_string(port) + " " + name + " " + type +
                        " +short +tries=1 +time=5" + (tcp ? " +tcp" : "") + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace hxt::test
