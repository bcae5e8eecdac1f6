// The whole DNS path with real DNS clients: dig asks the filter daemon's stub,
// which redirects to the agent's listeners, which hand the query to the DNS
// plug-in, whose answer travels back the same way. How the redirection is
// switched on and off, and what each part does with bad input, the
// in-process tests show.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <vector>

#include "e2e/daemonprocess.h"
#include "e2e/serviceprocess.h"
#include "fakes/dnstestkit.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

constexpr const char* kTestName = "test-name.hxt.example";
constexpr const char* kPluginAnswer4 = "192.0.2.10";
constexpr const char* kPluginAnswer6 = "2001:db8::10";
constexpr const char* kUpstreamAnswer = "192.0.2.1";

constexpr const char* kRedirectBoth =
    R"({"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},)"
    R"("dns6":{"redirect":true,"whitelist":[],"resolvers":[]}})";

class DnsPathE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
    PrepareAgentRoot(root, {HXT_FAKE_PLUGIN_VELMORA, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER});
    std::ofstream script(scriptPath);
    script
        << "record " << kTestName << " " << kPluginAnswer4 << "\n"
        << "record " << kTestName << " " << kPluginAnswer6 << "\n"
        << "redirect " << kRedirectBoth << "\n"
        << R"(protection {"version":1,"dns4":{"protection_state":"behind_va"},)"
        << R"("dns6":{"protection_state":"open_interference_detected_A"},"ip4":{"protection_state":"partial"},)"
        << R"("client_display_name":"E2E Org","user_name":"tester","last_policy_sync_time":"7",)"
        << R"("log_upload_enabled":"false"})"
        << "\n";
  }

  std::vector<std::string> DaemonArgs() const { return StubArgs(stubPort, upstream.endpoint().port()); }
  std::map<std::string, std::string> AgentEnvironment() const {
    return {{"HXT_IPC_PORT", std::to_string(ipcPort)}, {"HXT_FAKE_DNS_SCRIPT", scriptPath}};
  }

  TestRoot root;
  std::string scriptPath = root.path() + "/plugin-script.txt";
  TestResolver upstream{"127.0.0.1", kUpstreamAnswer};
  u16 stubPort = FreePort();
  unsigned short ipcPort = FreePort();
};

// dig is answered by the plug-in in both families over UDP and TCP; a SIGTERM
// while redirecting clears the filter and frees both hosts, after which the
// daemon answers by pass-through (fail-open).
TEST_F(DnsPathE2E, RealClientsAreAnsweredByThePluginUntilSigtermClearsTheFilter) {
  DaemonProcess daemon(root, DaemonArgs());
  ASSERT_TRUE(daemon.WaitForLog("stub mode:")) << daemon.Log();

  ServiceProcess agent(root.path(), root.path() + "/agent.log", AgentEnvironment());
  ASSERT_TRUE(agent.WaitForLog("IPv4 DNS redirection: ACTIVATED")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("IPv6 DNS redirection: ACTIVATED")) << agent.Log();

  EXPECT_EQ(Dig("127.0.0.1", stubPort, kTestName), kPluginAnswer4) << agent.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, kTestName, true), kPluginAnswer4);
  EXPECT_EQ(Dig("::1", stubPort, kTestName, false, "AAAA"), kPluginAnswer6);
  EXPECT_EQ(Dig("::1", stubPort, kTestName, true, "AAAA"), kPluginAnswer6);
  EXPECT_EQ(Dig("127.0.0.1", stubPort, "unknown.hxt.example"), "");  // NXDOMAIN from the plug-in's zone
  EXPECT_EQ(upstream.udpQueries() + upstream.tcpQueries(), 0);

  auto [code, json] = RunTool(HXT_ARROWCTL_BINARY, "status --json --port " + std::to_string(ipcPort));
  EXPECT_EQ(code, 0) << json;
  for (const char* part :
       {R"("Dns4":{"ProtectionState":"behindVA"})", R"("Dns6":{"ProtectionState":"openInterferenceA"})",
        R"("Ip4":{"ProtectionState":"partial")", R"("ClientName":"E2E Org")",
        R"("Dns4":{"Udp":{"ReqCnt":"2","RespCnt":"2"},"Tcp":{"ReqCnt":"1","RespCnt":"1"}})",
        R"("Dns6":{"Udp":{"ReqCnt":"1","RespCnt":"1"},"Tcp":{"ReqCnt":"1","RespCnt":"1"}})"}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
  }

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  std::string log = agent.Log();
  std::size_t stopped = 0;
  for (auto at = log.find("Successfully stopped ioListenerService thread"); at != std::string::npos;
       at = log.find("Successfully stopped ioListenerService thread", at + 1)) {
    ++stopped;
  }
  EXPECT_EQ(stopped, 2u) << log;
  EXPECT_TRUE(daemon.WaitForLog("redirection cleared")) << daemon.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, kTestName), kUpstreamAnswer);
}

}  // namespace
}  // namespace hxt::test
