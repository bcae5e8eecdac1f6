#include "e2e/serviceprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

extern char** environ;

namespace hxt::test {

u16 FreePort() {
  namespace ip = boost::asio::ip;
  boost::asio::io_context io;
  const auto v4 = ip::make_address("127.0.0.1"), v6 = ip::make_address("::1");
  for (int attempt = 0; attempt < 20; ++attempt) {
    ip::udp::socket probe(io, ip::udp::endpoint(v4, 0));
    const u16 port = probe.local_endpoint().port();
    try {  // without SO_REUSEADDR: taken means taken
      ip::tcp::acceptor t4(io, ip::tcp::endpoint(v4, port), false),
          t6(io, ip::tcp::endpoint(v6, port), false);
      ip::udp::socket u6(io, ip::udp::endpoint(v6, port));
      return port;
    } catch (const boost::system::system_error&) {
    }
  }
  throw std::runtime_error("no port is free on both loopbacks");
}

// Runs a shell command: its exit code and what it printed, standard error included.
static std::pair<int, std::string> Run(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string out;
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::pair<int, std::string> RunTool(const std::string& binary, const std::string& arguments) {
  return Run("'" + binary + "' " + arguments);
}

std::string Output(const std::string& command) {
  std::string out = Run(command).second;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath,
                           const std::map<std::string, std::string>& environment)
    : logPath_(logPath) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (const char* eq = std::strchr(*e, '='))
      env[std::string(*e, static_cast<std::size_t>(eq - *e))] = eq + 1;
  env.erase("NOTIFY_SOCKET");
  env.erase("INVOCATION_ID");
  env["HXT_LOG"] = "stderr";
  for (const auto& [name, value] : environment) env[name] = value;
  std::vector<std::string> envStrings, args = argv;
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp, argp;
  for (auto& s : envStrings) envp.push_back(s.data());
  for (auto& s : args) argp.push_back(s.data());
  envp.push_back(nullptr), argp.push_back(nullptr);

  int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot open " + logPath);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(logFd, 2);
    ::dup2(logFd, 1);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argp[0], argp.data(), envp.data());
    ::_exit(127);
  }
  ::close(logFd);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  int status = 0;
  if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) return std::nullopt;
  reaped_ = true;
  return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

bool ChildProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
  return WaitFor([&] { return Log().find(text) != std::string::npos; }, timeout);
}

static std::map<std::string, std::string> AgentEnvironment(const std::string& root,
                                                           std::map<std::string, std::string> environment) {
  environment.insert({{"HXT_ROOT", root}, {"HXT_IPC_PORT", std::to_string(FreePort())}});
  return environment;
}

ServiceProcess::ServiceProcess(const std::string& root, const std::string& logPath,
                               const std::map<std::string, std::string>& environment)
    : ChildProcess({HXT_AGENT_BINARY}, logPath, AgentEnvironment(root, environment)) {}

NotifySocket::NotifySocket(const std::string& path) : path_(path) {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("notify socket path too long");
  std::strcpy(addr.sun_path, path.c_str());
  ::unlink(path.c_str());
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    throw std::runtime_error("cannot bind notify socket");
}

NotifySocket::~NotifySocket() {
  if (fd_ >= 0) ::close(fd_);
  ::unlink(path_.c_str());
}

std::optional<std::string> NotifySocket::Receive(std::chrono::milliseconds timeout) {
  pollfd pfd{fd_, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
  char buf[4096];
  const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buf, static_cast<std::size_t>(n)));
}

bool NotifySocket::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
  auto seen = [&] {
    return Receive(std::chrono::milliseconds(50)).value_or("").find(text) != std::string::npos;
  };
  return test::WaitFor(seen, timeout);
}

}  // namespace hxt::test
