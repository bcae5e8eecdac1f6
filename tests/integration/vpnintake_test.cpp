// The orchestrator's VPN intake, user sessions and update notices, with real
// plug-in modules and the shared VPN objects of a private root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "agent/velmorapluginjsonutils.h"
#include "common/apidata.h"
#include "fakes/pluginhostfixture.h"

namespace hxt {
namespace {

using fake::Callback;
using fake::MakeCallback;

class VpnIntakeTest : public test::PluginHostTest {
 protected:
  VpnIntakeTest() {
    settings.vpn.pollSlice = std::chrono::milliseconds(20);
    WriteOrgInfo();
  }

  // Publishes like the VPN agent, pulsing until `plugin` saw `op` `count` times.
  bool Publish(const std::function<void(RawVpnState&)>& edit, const test::FakePlugin& plugin, const char* op,
               std::size_t count) {
    edit(*record);
    u32 size = kRawVpnStateSize;
    if (!memory.WriteToSharedMemory(record.get(), size)) return false;
    return test::WaitFor([&] {
      event.SignalAll();
      return plugin->CallCount(op) >= count;
    });
  }

  MainThreadSettings settings = test::HostSettings();

  // The VPN agent's side.
  std::unique_ptr<RawVpnState> record = std::make_unique<RawVpnState>(DefaultRawVpnState());
  bool memoryOk = false, eventOk = false;
  CSharedMemory memory{memoryOk, record.get(), kRawVpnStateSize, kSharedMemoryRolePublisher};
  CInterProcessSync event{kSyncKindEvent, eventOk};
};

TEST_F(VpnIntakeTest, VpnStateSessionsAndUpdateNoticesWhileThePluginRuns) {
  ASSERT_TRUE(memoryOk && eventOk);
  StartHost(std::nullopt, settings);
  ASSERT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::VpnStateChanged")) << log.Dump();
  std::string expected;
  ASSERT_TRUE(CVelmoraPluginJsonUtils::BuildVpnStatePayload(ParsedVpnState(DefaultRawVpnState()), expected));
  EXPECT_EQ(test::LastCall(dns, "IVelmoraPlugin::VpnStateChanged").back(), expected);
  EXPECT_TRUE(log.Has("Passing VPN JSON payload to plugin:\n" + expected));

  ASSERT_TRUE(Publish([](RawVpnState& s) { s.tunnelState = 1; }, dns, "IVelmoraPlugin::VpnStateChanged", 2));
  EXPECT_THAT(test::LastCall(dns, "IVelmoraPlugin::VpnStateChanged").back(),
              ::testing::HasSubstr(R"("state":"connected")"));

  // The session event published, the line logged, the event passed on.
  const std::tuple<u32, const char*, const char*> sessions[] = {{1, "received logon event", "1"},
                                                                {2, "received logoff event", "2"},
                                                                {3, "received unexpected event - 3", "0"}};
  std::size_t count = 0;
  for (const auto& [event, line, passed] : sessions) {
    SCOPED_TRACE(line);
    ASSERT_TRUE(Publish([e = event](RawVpnState& r) { r.userSessionEvent = e; }, cloud,
                        "ICloudDownloaderPlugin::UserSessionChange", ++count));
    EXPECT_EQ(test::LastCall(cloud, "ICloudDownloaderPlugin::UserSessionChange").back(), passed);
    EXPECT_TRUE(log.Has(line));
  }

  long long result = 0;
  ASSERT_TRUE(cloud->Fire(MakeCallback(Callback::UpdateAvailable), &result, 5000));
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::UpgradeStateChanged"));
  EXPECT_EQ(test::LastCall(dns, "IVelmoraPlugin::UpgradeStateChanged").back(),
            "{\"version\":\"1\",\"upgrade_is_ready\":\"true\"}\n");
  ASSERT_TRUE(cloud->Fire(MakeCallback(Callback::UpdateInProgress), &result, 5000));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(test::WaitFor([&] {
    return Document(PAYLOAD_TYPE_COMMAND).find(kIpcCommandNotifyExitForUpdate) != std::string::npos;
  })) << log.Dump();

  host->RequestShutdown();
  EXPECT_TRUE(run->Wait());
  EXPECT_TRUE(log.Has("Successfully stopped polling thread"));
  // Without a running plug-in both notices are refused.
  for (Callback notice : {Callback::UpdateAvailable, Callback::UpdateInProgress}) {
    ASSERT_TRUE(cloud->Fire(MakeCallback(notice), &result, 5000));
    EXPECT_EQ(result, -10);
  }
  EXPECT_EQ(dns->CallCount("IVelmoraPlugin::UpgradeStateChanged"), 1u);
}

}  // namespace
}  // namespace hxt
