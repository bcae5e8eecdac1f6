// hxsockfilterd as a process: its configuration, readiness and stop. The
// redirection itself the in-process tests show, and the whole path with the
// real agent the DNS-protection and transparent-mode end-to-end tests.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
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
constexpr const char* kKey =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Truvane\\Truvane Helixor Client\\SocketFilter]\n";

TEST(SockFilterDaemonE2eTest, ReadsTheRegistryReportsReadyAndStopsOnSigterm) {
  if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
  TestRoot root;
  TestResolver upstream{"127.0.0.1", kUpstreamAnswer};
  const u16 port = FreePort();
  const std::string control = root.path() + "/run/hxsockfilterd.sock";
  root.WriteRegistry(std::string(kKey) + "\"StubAddress4\"=\"127.0.0.1:" + std::to_string(port) + "\"\n" +
                     "\"StubAddress6\"=\"\"\n" + "\"PassThroughResolvers\"=\"" +
                     EndpointText(upstream.endpoint()) + "\"\n");
  NotifySocket notify(root.path() + "/notify.sock");
  DaemonProcess daemon(root, {}, notify.path());
  ASSERT_TRUE(notify.WaitFor("READY=1")) << daemon.Log();
  EXPECT_EQ(std::filesystem::status(control).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(Dig("127.0.0.1", port, "www.example.com"), kUpstreamAnswer);
  EXPECT_NE(daemon.Log().find("IPv6 stub off"), std::string::npos) << daemon.Log();

  // A second daemon on the same control socket refuses to start.
  DaemonProcess second(root, {"--stub4", "127.0.0.1:0"});
  EXPECT_EQ(second.WaitForExit(), std::optional<int>(3));

  daemon.Signal(SIGTERM);
  EXPECT_EQ(daemon.WaitForExit(), std::optional<int>(0));
  EXPECT_NE(::access(control.c_str(), F_OK), 0);

  // A mode it does not know is refused at start.
  root.WriteRegistry(std::string(kKey) + "\"Mode\"=\"kernel\"\n");
  DaemonProcess bad(root, StubArgs(port, upstream.endpoint().port()));
  EXPECT_EQ(bad.WaitForExit(), std::optional<int>(2));
  EXPECT_NE(bad.Log().find("unsupported Mode \"kernel\""), std::string::npos) << bad.Log();
}

}  // namespace
}  // namespace hxt::test
