// hxsockfilterd as a process: its configuration, readiness and stop. The
// redirection itself the in-process tests show, and the whole path with the
// real agent the DNS-protection and transparent-mode end-to-end tests.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon/sockfilterconfig.h"
#include "e2e/daemonprocess.h"
#include "e2e/serviceprocess.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;

constexpr const char* kUpstreamAnswer = "192.0.2.1";

class SockFilterDaemonE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
  }

  std::vector<std::string> StubArgs() const { return test::StubArgs(port_, upstream_.endpoint().port()); }

  std::string ControlPath() const { return root_.path() + "/run/hxsockfilterd.sock"; }

  TestRoot root_;
  TestResolver upstream_{"127.0.0.1", kUpstreamAnswer};
  u16 port_ = FreePort();
};

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
      "Client\\SocketFilter]\n\"Mode\"=\"kernel\"\n");
  DaemonProcess daemon(root_, StubArgs());
  EXPECT_EQ(daemon.WaitForExit(), std::optional<int>(2));
  EXPECT_NE(daemon.Log().find("unsupported Mode \"kernel\""), std::string::npos) << daemon.Log();
}

}  // namespace
}  // namespace hxt::test
