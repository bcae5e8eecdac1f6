// The orchestrator with real plug-in modules: loading, start, stop and unload.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <future>
#include <optional>
#include <stdexcept>

#include "common/knownfolders.h"
#include "fakes/pluginhostfixture.h"

namespace hxt {
namespace {

using fake::Callback;
using fake::MakeCallback;

using LifecycleTest = test::PluginHostTest;
using test::HostSettings;

TEST_F(LifecycleTest, EveryConstructionFailureIsFatalAndUnloadsWhatWasLoaded) {
  std::optional<test::TestRoot> other;
  const std::tuple<const char*, std::function<void()>, std::string> cases[] = {
      {"dns Init", [&] { dns->SetResult("IVelmoraPlugin::Init", 5); },
       "IVelmoraPlugin::Init returned code 5\nFailed to init Velmora plugin"},
      {"swg Init", [&] { swg->SetResult("ISWGPlugin::Init", 6); },
       "ISWGPlugin::Init returned code 6\nFailed to init SWG plugin"},
      {"Register", [&] { cloud->SetResult("ICloudDownloaderPlugin::Register", 7); },
       "ICloudDownloaderPlugin::Register returned code 7\nFailed to register with Cloud Downloader plugin"},
      {"no cloud object", [&] { cloud->SetCreateReturnsNull(true); },
       "Failed to load Cloud Downloader plugin"},
      {"no swg object", [&] { swg->SetSupportsInterface(false); }, "Failed to load SWG plugin"},
#ifndef _WIN32  // Windows has the machine's identity and one set of suite folders
      // Last: these move to a root of their own.
      {"no device identity",
       [&] {
         other.emplace().WriteRegistry(
             test::TestRoot::DotNetPresentEntry());  // no machine id, no device details
         test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, other->PluginsPath());
         test::InstallPlugin(HXT_FAKE_PLUGIN_SWG, other->PluginsPath());
         CDeviceInfo::ResetCacheForTesting();
       },
       "CDeviceInfo::GetUDID returned code -9999"},
      {"no plug-in modules", [&] { other.emplace().WriteRegistry(test::TestRoot::DotNetPresentEntry()); },
       "PluginLoader::createSingletonInstance failed"},
#endif
  };
  for (const auto& [name, arrange, line] : cases) {
    SCOPED_TRACE(name);
    for (auto* plugin : {&dns, &swg, &cloud}) (*plugin)->Reset();
    log.Clear();
    arrange();
    EXPECT_FALSE(CVelmoraMainThread::createSingletonInstance(HostSettings()));
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, line)) << log.Dump();
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraMainThread failed"));
    EXPECT_EQ(dns->LiveObjects() + swg->LiveObjects() + cloud->LiveObjects(), 0u);
  }
}

TEST_F(LifecycleTest, ProfilePresentStartsThePluginAndShutdownStopsIt) {
  fakefilter::Configure([](fakefilter::Script& s) { s.preloadNeeded = true; });  // the filter is open
  Start(true);
  EXPECT_EQ(Matching("Finished (loading|registering) .*", true),
            (std::vector<std::string>{
                "Finished loading Velmora plugin", "Finished loading SWG plugin",
                "Finished registering Velmora plugin", "Finished registering SWG plugin",
                "Finished loading Cloud Downloader plugin", "Finished registering Cloud Downloader plugin"}));
  auto init = test::LastCall(dns, "IVelmoraPlugin::Init");
  ASSERT_EQ(init.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(init.begin(), init.begin() + 3),
            (std::vector<std::string>{root.BinariesPath(), root.BinariesPath(), root.ProfilePath()}));
  EXPECT_TRUE(std::regex_match(init[3] + " " + init[4], std::regex("\\d+\\.\\d+\\.\\d+ [0-9a-f]{40}")))
      << init[3] << " " << init[4];
  ASSERT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::Start"));
  EXPECT_EQ(cloud->CallCount("ICloudDownloaderPlugin::Start"), 1u);

  // The filter's disruption notices reach the running plug-in, each once.
  ASSERT_TRUE(fakefilter::RaiseDisruption());
  ASSERT_TRUE(fakefilter::RaiseDisruption());
  fakefilter::JoinDisruptionThreads();
  ASSERT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::DnsRedirectionDisrupted", 2));
  EXPECT_EQ(log.Count("Notifying Tarrow plugin of KDF disruption."), 2u);
  host->RequestShutdown();
  EXPECT_TRUE(run->Wait());
  EXPECT_EQ(dns->CallCount("IVelmoraPlugin::InitiateStop"), 1u);
  EXPECT_EQ(cloud->CallCount("ICloudDownloaderPlugin::Stop"), 1u);
  EXPECT_TRUE(log.Has("Handling 'Velmora plugin stopped' notification"));
  EXPECT_EQ(host->getState(), SERVICE_STARTED);
  EXPECT_FALSE(log.Has("stopVelmoraPlugin timed out"));

  log.Clear();
  CVelmoraMainThread::releaseInstance();
  EXPECT_EQ(
      Matching("Finished (unregistering|unloading) .*", true),
      (std::vector<std::string>{"Finished unregistering Velmora plugin", "Finished unloading Velmora plugin",
                                "Finished unregistering SWG plugin", "Finished unloading SWG plugin",
                                "Finished unregistering Cloud Downloader plugin",
                                "Finished unloading Cloud Downloader plugin"}));
  EXPECT_EQ(dns->CallCount("IVelmoraPlugin::Uninit"), 1u);
  EXPECT_EQ(cloud->CallCount("ICloudDownloaderPlugin::Unregister"), 1u);
  EXPECT_EQ(dns->LiveObjects() + swg->LiveObjects() + cloud->LiveObjects(), 0u);
}

TEST_F(LifecycleTest, PluginThatNeverReportsIsStoppedByTheTimeout) {
  dns->SetReportStopped(false);
  Start(true, HostSettings(std::chrono::milliseconds(50)));
  host->RequestShutdown();
  EXPECT_TRUE(run->Wait());
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "stopVelmoraPlugin timed out"));

  // The late report finds the stop complete and is refused.
  long long result = 0;
  ASSERT_TRUE(dns->Fire(MakeCallback(Callback::PluginStopped), &result, 5000));
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_ERROR,
              "Current state SERVICE_STARTED is not valid for VELMORA_PLUGIN_STOPPED_CALLBACK (validator "
              "CVelmoraMainThread::PluginStopped). Acceptable states: VELMORA_PLUGIN_STOPPING."));
}

// The loop failed while the plug-in was stopping, so the plug-in still calls
// back while the orchestrator is destroyed: a callback already inside is
// waited for, and from the start of the teardown new ones are refused.
TEST_F(LifecycleTest, TeardownWaitsForCallbacksInsideAndRefusesNewOnes) {
  dns->SetReportStopped(false);
  Start(true);
  boost::asio::post(host->loop(), [] { throw std::runtime_error("loop broke"); });
  EXPECT_FALSE(run->Wait());
  ASSERT_EQ(host->getState(), VELMORA_PLUGIN_STOPPING);

  std::promise<void> inside;
  bool refused = false;
  host->setRedirectionLockHookForTesting([&] {
    inside.set_value();
    refused = test::WaitFor(
        [&] { return !host->validateStateForActivity(VELMORA_PLUGIN_STOPPED_CALLBACK, "probe"); });
  });
  auto redirect = MakeCallback(Callback::ChangeDnsRedirectionMode);
  redirect.text = R"({"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},)"
                  R"("dns6":{"redirect":false,"whitelist":[],"resolvers":[]}})";
  ASSERT_TRUE(dns->Post(redirect));
  ASSERT_EQ(inside.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready) << log.Dump();
  CVelmoraMainThread::releaseInstance();
  EXPECT_TRUE(refused);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "probe refused: the service is shutting down"));
}

TEST_F(LifecycleTest, FailedStartStopsTheCloudDownloaderAndThePlugin) {
  WriteOrgInfo();
  dns->SetResult("IVelmoraPlugin::Start", 3);
  dns->SetResult("IVelmoraPlugin::InitiateStop", 4);  // the stop then completes at once
  StartHost(std::nullopt);
  ASSERT_TRUE(test::WaitFor([&] { return log.Has("IVelmoraPlugin::InitiateStop returned code 4"); }))
      << log.Dump();
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "IVelmoraPlugin::Start returned code 3"));
  EXPECT_EQ(cloud->CallCount("ICloudDownloaderPlugin::Stop"), 1u);
  ASSERT_TRUE(test::WaitFor([&] { return host->getState() == SERVICE_STARTED; }));
  EXPECT_TRUE(log.Has("State transition: VELMORA_PLUGIN_STARTED -> VELMORA_PLUGIN_STOPPING"));
  host->RequestShutdown();
  EXPECT_TRUE(run->Wait());
}

}  // namespace
}  // namespace hxt
