// The VPN intake end to end: hxvpnstate publishes, the agent process reads
// and tells the fake plug-ins, which write every call they get to a file.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include "e2e/serviceprocess.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

std::pair<int, std::string> RunVpnState(const std::string& arguments) {
  return RunTool(HXT_VPNSTATE_BINARY, arguments);
}

class VpnE2E : public ::testing::Test {
 protected:
  VpnE2E() {
    PrepareAgentRoot(root, {HXT_FAKE_PLUGIN_VELMORA, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER});
  }

  // The arguments of every `op` call in the plug-ins' call log, as logged (a line feed as \\n).
  std::vector<std::string> Calls(const std::string& op) const {
    std::vector<std::string> found;
    std::ifstream in(callLog);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(op + "\t", 0) == 0) found.push_back(line.substr(op.size() + 1));
    }
    return found;
  }

  // A pulse reaches only a reader that waits at that moment: publish again
  // (the same values) until `op` was called `count` times.
  bool PublishUntil(const std::string& arguments, const std::string& op, std::size_t count) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      auto [code, out] = RunVpnState(arguments);
      EXPECT_EQ(code, 0) << out;
      if (WaitFor([&] { return Calls(op).size() >= count; }, std::chrono::seconds(1))) return true;
    }
    return false;
  }

  TestRoot root;
  std::string logPath = root.path() + "/agent.log";
  std::string callLog = root.path() + "/calls.log";
};

TEST_F(VpnE2E, PublishedTunnelStateAndLogonReachThePlugins) {
  ServiceProcess agent(root.path(), logPath, {{"HXT_FAKE_CALL_LOG", callLog}});
  ASSERT_TRUE(WaitFor([&] { return Calls("IVelmoraPlugin::VpnStateChanged").size() == 1; })) << agent.Log();

  ASSERT_TRUE(PublishUntil("set --tunnel connected", "IVelmoraPlugin::VpnStateChanged", 2)) << agent.Log();
  // Its bytes the in-process tests check; here, that both families carry what the tool published.
  const std::string document = Calls("IVelmoraPlugin::VpnStateChanged")[1];
  for (const char* family : {R"("vpn_ipv4":{"state":"connected")", R"("vpn_ipv6":{"state":"connected")"})
    EXPECT_NE(document.find(family), std::string::npos) << document;

  ASSERT_TRUE(PublishUntil("logon", "ICloudDownloaderPlugin::UserSessionChange", 1)) << agent.Log();
  EXPECT_EQ(Calls("ICloudDownloaderPlugin::UserSessionChange"), std::vector<std::string>{"1"});
  auto [code, shown] = RunVpnState("show");
  EXPECT_EQ(code, 0);
  EXPECT_NE(shown.find("tunnel state:            connected (1)"), std::string::npos) << shown;

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  EXPECT_NE(agent.Log().find("Successfully stopped polling thread"), std::string::npos);
  EXPECT_EQ(RunVpnState("remove").first, 0);
}

TEST(HxvpnstateTool, RefusesBadInputWithTheReason) {
  TestRoot root;
  struct Case {
    std::string arguments;
    int code;
    std::string output;  // a part of what the tool prints
  };
  const Case cases[] = {
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments.substr(0, 60));
    auto [code, out] = RunVpnState(c.arguments);
    EXPECT_EQ(code, c.code) << out;
    EXPECT_NE(out.find(c.output), std::string::npos) << out;
  }
  auto [code, help] = RunVpnState("--help");
  EXPECT_EQ(code, 0);
  for (const char* word :
       {"--tunnel", "--no-tunnel-all-dns", "--header", "logon", "logoff", "show", "remove"})
    EXPECT_NE(help.find(word), std::string::npos) << word;
}

}  // namespace
}  // namespace hxt::test
