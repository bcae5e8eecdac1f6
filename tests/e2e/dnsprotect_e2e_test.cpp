// The DNS-protection plug-in doing its job in the real agent: dig asks the
// filter daemon's stub, the agent hands the query to dnsprotect.so, which
// answers from its block list or from a DNS-over-TLS upstream started here.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "e2e/daemonprocess.h"
#include "e2e/serviceprocess.h"
#include "fakes/dnstestkit.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

constexpr const char* kUpstreamAnswer = "192.0.2.1";
constexpr const char* kPassThroughAnswer = "192.0.2.99";

class DnsProtectE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
    PrepareAgentRoot(root, {HXT_DNSPROTECT_PLUGIN, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER},
                     false);
    const std::string profile = root.ProfilePath();
    tls = pki.TlsServer("resolver.test");
    resolver = std::make_unique<TestResolver>(tls);
    tls.port = resolver->port();
    std::ofstream(profile + "/blocklist.txt") << "0.0.0.0 blocked.example\n";
    std::ofstream(profile + "/OrgInfo.json")
        << R"({"organization":"E2E Org","dns":{"upstreams":[{"address":"127.0.0.1:)" << tls.port
        << R"(","transport":"tls","tlsName":"resolver.test","caFile":"ca.pem"}],)"
        << R"("blockLists":["blocklist.txt"],"healthCheckIntervalMs":100,"queryTimeoutMs":3000}})";
  }

  std::string DnsState() {
    auto [code, out] = RunTool(HXT_ARROWCTL_BINARY, "status --json --port " + std::to_string(ipcPort));
    auto at = out.find(R"("Dns4":{"ProtectionState":")");
    if (code != 0 || at == std::string::npos) return "";
    at += 27;
    return out.substr(at, out.find('"', at) - at);
  }
  bool WaitForState(const std::string& state) {
    return WaitFor([&] { return DnsState() == state; }, std::chrono::seconds(20));
  }

  TestRoot root;
  TestPki pki{root.ProfilePath()};
  ResolverOptions tls;
  std::unique_ptr<TestResolver> resolver;
  TestResolver passThrough{"127.0.0.1", kPassThroughAnswer};
  u16 stubPort = FreePort();
  unsigned short ipcPort = FreePort();
};

TEST_F(DnsProtectE2E, AnswersOverTlsBlocksAndFallsBackOpenWhileTheUpstreamIsAway) {
  DaemonProcess daemon(root, StubArgs(stubPort, passThrough.endpoint().port()));
  ASSERT_TRUE(daemon.WaitForLog("stub mode:")) << daemon.Log();
  ServiceProcess agent(root.path(), root.path() + "/agent.log", {{"HXT_IPC_PORT", std::to_string(ipcPort)}});
  ASSERT_TRUE(agent.WaitForLog("IPv4 DNS redirection: ACTIVATED")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("IPv6 DNS redirection: ACTIVATED")) << agent.Log();
  ASSERT_TRUE(WaitForState("encrypted")) << agent.Log();

  // Both families and transports of the stub.
  const struct {
    const char* server;
    bool tcp;
  } clients[] = {{"127.0.0.1", false}, {"127.0.0.1", true}, {"::1", false}, {"::1", true}};
  for (const auto& c : clients) {
    EXPECT_EQ(Dig(c.server, stubPort, "www.example", c.tcp), kUpstreamAnswer) << c.server << c.tcp;
    EXPECT_EQ(Dig(c.server, stubPort, "ads.blocked.example", c.tcp), "") << c.server << c.tcp;
  }
  EXPECT_EQ(passThrough.udpQueries() + passThrough.tcpQueries(), 0);
  EXPECT_EQ(resolver->connections(), 1);  // one persistent connection for all

  // The upstream goes away: "open", and the daemon passes queries through.
  resolver.reset();
  ASSERT_TRUE(WaitForState("open")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("IPv4 DNS redirection: DEACTIVATED")) << agent.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, "www.example"), kPassThroughAnswer);
  // It returns: protected again.
  resolver = std::make_unique<TestResolver>(tls);
  ASSERT_TRUE(WaitForState("encrypted")) << agent.Log();
  EXPECT_TRUE(WaitFor([&] { return Dig("127.0.0.1", stubPort, "new.example") == kUpstreamAnswer; }));

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  EXPECT_NE(agent.Log().find("dnsprotect info: stopped"), std::string::npos);
  EXPECT_TRUE(daemon.WaitForLog("closed the filter")) << daemon.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, "www.example"), kPassThroughAnswer);  // fail-open once the agent is gone
}

}  // namespace
}  // namespace hxt::test
