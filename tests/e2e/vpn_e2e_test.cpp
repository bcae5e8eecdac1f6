// The VPN intake end to end: hxvpnstate publishes, the agent process reads
// it from the shared memory and passes it on to its plug-ins.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "e2e/serviceprocess.h"

namespace hxt::test {
namespace {

class VpnE2E : public ::testing::Test {
 protected:
  VpnE2E() {
    PrepareAgentRoot(root, {HXT_FAKE_PLUGIN_VELMORA, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER},
                     false);
  }

  // What the agent logged after each `marker`, in order (to the next marker or the end).
  static std::vector<std::string> After(const std::string& log, const std::string& marker) {
    std::vector<std::string> found;
    for (auto at = log.find(marker); at != std::string::npos;) {
      const auto next = log.find(marker, at + marker.size());
      found.push_back(
          log.substr(at + marker.size(), next == std::string::npos ? next : next - at - marker.size()));
      at = next;
    }
    return found;
  }

  // A pulse reaches only a reader that waits at that moment: publish again
  // (the same values) until the agent logged `marker` `count` times.
  bool PublishUntil(ServiceProcess& agent, const std::string& arguments, const std::string& marker,
                    std::size_t count) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      auto [code, out] = RunTool(HXT_VPNSTATE_BINARY, arguments);
      EXPECT_EQ(code, 0) << out;
      if (WaitFor([&] { return After(agent.Log(), marker).size() >= count; }, std::chrono::seconds(1)))
        return true;
    }
    return false;
  }

  TestRoot root;
};

// The agent logs what it hands the plug-ins; the in-process tests check that
// the plug-ins receive exactly that.
TEST_F(VpnE2E, PublishedTunnelStateAndLogonReachTheAgent) {
  constexpr const char* kPayload = "Passing VPN JSON payload to plugin:\n";
  ServiceProcess agent(root.path(), root.path() + "/agent.log", {});
  // Without a profile the plug-in waits for one; writing it starts the plug-in.
  ASSERT_TRUE(agent.WaitForLog("not starting Velmora plugin")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("Starting monitoring file")) << agent.Log();
  root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}");
  ASSERT_TRUE(WaitFor([&] { return After(agent.Log(), kPayload).size() == 1; })) << agent.Log();
  const std::string log = agent.Log();
  EXPECT_LT(log.find("Received Orginfo file change notification: MODIFIED"), log.find("startVelmoraPlugin"));

  ASSERT_TRUE(PublishUntil(agent, "set --tunnel connected", kPayload, 2)) << agent.Log();
  const std::string document = After(agent.Log(), kPayload)[1];
  for (const char* family : {R"("vpn_ipv4":{"state":"connected")", R"("vpn_ipv6":{"state":"connected")"})
    EXPECT_NE(document.find(family), std::string::npos) << document;
  ASSERT_TRUE(PublishUntil(agent, "logon", "received logon event", 1)) << agent.Log();

  agent.Signal(SIGINT);  // as SIGTERM (ServiceE2E): a clean stop
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  EXPECT_EQ(RunTool(HXT_VPNSTATE_BINARY, "remove").first, 0);
}

TEST(HxvpnstateTool, RefusesBadInputWithTheReason) {
  TestRoot root;
  // The arguments, the exit code, a part of what the tool prints.
  const std::tuple<std::string, int, std::string> cases[] = {
      {"", 2, "a command is needed"},
      {"frob", 2, "unknown command 'frob'"},
      {"set", 2, "set needs at least one field option"},
      {"set --tunnel up", 2, "bad value 'up' for --tunnel; accepted: connecting, connected,"},
      {"set --tnd 4294967296", 2, "accepted: trusted, untrusted, undefined, or a decimal number"},
      {"set --mode6 split", 2, "accepted: tunnel_all, split_include, split_exclude,"},
      {"set --domains " + std::string(1281, 'd'), 2,
       "--domains is 1281 bytes long; at most 1280 bytes fit its field"},
      {"set --dns4", 2, "--dns4 needs a value"},
      {"set --colour blue", 2, "unknown option '--colour' of set"},
      {"logon now", 2, "logon takes no options"},
      {"show --yaml", 2, "show takes only --json"},
      {"set --tunnel 9 --domains " + std::string(1280, 'd'), 0, ""},
      {"show", 0, "tunnel state:            undefined (9)"},
      {"--help", 0, "Usage: hxvpnstate [--help] COMMAND [OPTIONS]"}};
  for (const auto& [arguments, code, output] : cases) {
    SCOPED_TRACE(arguments.substr(0, 60));
    const auto [exitCode, out] = RunTool(HXT_VPNSTATE_BINARY, arguments);
    EXPECT_EQ(exitCode, code) << out;
    EXPECT_NE(out.find(output), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace hxt::test
