// hxsockfilterd as a process, asked by dig, with a test upstream resolver
// and a test service on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/sockfilterconfig.h"
#include "e2e/serviceprocess.h"
#include "fakes/controlpeer.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;

constexpr const char* kServiceAnswer = "192.0.2.2";
constexpr const char* kUpstreamAnswer = "192.0.2.1";

// The daemon's process, its standard error in a file.
class DaemonProcess {
 public:
  DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                const std::string& notifySocket = "")
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
  ~DaemonProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int signo) const { ::kill(pid_, signo); }
  std::optional<int> WaitForExit() {
    int status = 0;
    if (!WaitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return std::nullopt;
    reaped_ = true;
    return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
  }
  std::string Log() const {
    std::ifstream in(logPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool WaitForLog(const std::string& text) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; });
  }

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

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
std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp = false) {
  std::string command = "dig @" + server + " -p " + std::to_string(port) + " " + name +
                        " A +short +tries=1 +time=5" + (tcp ? " +tcp" : "") + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class SockFilterDaemonE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
    port_ = FreePort();
    ASSERT_NE(port_, 0);
  }

  std::vector<std::string> StubArgs() const {
    return {"--stub4",     "127.0.0.1:" + std::to_string(port_), "--stub6", "[::1]:" + std::to_string(port_),
            "--resolvers", EndpointText(upstream_.endpoint())};
  }

  std::string ControlPath() const { return root_.path() + "/run/hxsockfilterd.sock"; }

  TestRoot root_;
  TestUpstream upstream_{"127.0.0.1", kUpstreamAnswer};
  u16 port_ = 0;
};

TEST_F(SockFilterDaemonE2eTest, DigIsAnsweredThroughThePassThroughResolverOverUdpAndTcp) {
  DaemonProcess daemon(root_, StubArgs());
  ASSERT_TRUE(daemon.WaitForLog("stub mode:")) << daemon.Log();
  for (const char* server : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(server);
    EXPECT_EQ(Dig(server, port_, "www.example.com"), kUpstreamAnswer);
    EXPECT_EQ(Dig(server, port_, "www.example.com", true), kUpstreamAnswer);
  }
  EXPECT_EQ(upstream_.udpQueries(), 2);
  EXPECT_EQ(upstream_.tcpQueries(), 2);
}

TEST_F(SockFilterDaemonE2eTest, DigReachesTheServiceWhileAnAgentRedirectsAndFailsOpenWhenItGoes) {
  TestService service("127.0.0.1", kServiceAnswer);
  DaemonProcess daemon(root_, StubArgs());
  ASSERT_TRUE(daemon.WaitForLog("stub mode:")) << daemon.Log();
  auto agent = std::make_unique<ControlPeer>(ControlPath());
  ASSERT_EQ(agent->Hello(), std::optional<u32>(0));
  ASSERT_EQ(agent->Open(ApiInterface::Velmora), std::optional<u32>(0));
  ASSERT_EQ(agent->SetParameters(FILTER_UPDATE_ALL, RedirectTo(service.udpPort(), service.tcpPort(), 0, 0)),
            std::optional<u32>(0));
  EXPECT_EQ(Dig("127.0.0.1", port_, "www.example.com"), kServiceAnswer);
  EXPECT_EQ(Dig("127.0.0.1", port_, "www.example.com", true), kServiceAnswer);
  EXPECT_EQ(Dig("::1", port_, "www.example.com"), kUpstreamAnswer);  // IPv6 is not redirected

  agent.reset();
  ASSERT_TRUE(daemon.WaitForLog("dropped its control connection")) << daemon.Log();
  EXPECT_EQ(Dig("127.0.0.1", port_, "www.example.com"), kUpstreamAnswer);
  EXPECT_EQ(service.MessageCount(), 2u);
}

TEST_F(SockFilterDaemonE2eTest, ReadsTheRegistryReportsReadyAndStopsOnSigterm) {
  root_.WriteRegistry(
      std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Truvane\\Truvane Helixor Client\\SocketFilter]\n") +
      "\"StubAddress4\"=\"127.0.0.1:" + std::to_string(port_) + "\"\n" + "\"StubAddress6\"=\"\"\n" +
      "\"PassThroughResolvers\"=\"" + EndpointText(upstream_.endpoint()) + "\"\n");
  NotifySocket notify(root_.path() + "/notify.sock");
  DaemonProcess daemon(root_, {}, notify.path());
  ASSERT_TRUE(notify.WaitFor("READY=1")) << daemon.Log();
  struct stat st {};
  ASSERT_EQ(::stat(ControlPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(Dig("127.0.0.1", port_, "www.example.com"), kUpstreamAnswer);
  EXPECT_NE(daemon.Log().find("IPv6 stub off"), std::string::npos) << daemon.Log();

  // A second daemon on the same control socket refuses to start.
  DaemonProcess second(root_, {"--stub4", "127.0.0.1:0"});
  EXPECT_EQ(second.WaitForExit(), std::optional<int>(3));

  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitForExit(), std::optional<int>(0));
  EXPECT_NE(::access(ControlPath().c_str(), F_OK), 0);
}

TEST_F(SockFilterDaemonE2eTest, BadConfigurationIsRefusedAtStart) {
  root_.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Truvane\\Truvane Helixor "
      "Client\\SocketFilter]\n\"Mode\"=\"transparent\"\n");
  DaemonProcess daemon(root_, StubArgs());
  EXPECT_EQ(daemon.WaitForExit(), std::optional<int>(2));
  EXPECT_NE(daemon.Log().find("unsupported Mode \"transparent\""), std::string::npos) << daemon.Log();
}

}  // namespace
}  // namespace hxt::test
