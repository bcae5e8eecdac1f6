// A test fixture for the orchestrator with the three fake plug-in modules in a
// private root and the filter library's double: each test starts from fresh
// modules and a fresh filter script, and releases the orchestrator it made.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "agent/velmoramainthread.h"
#include "common/deviceinfo.h"
#include "fake/fakesockfilter.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/looprunner.h"
#include "fakes/testroot.h"

namespace hxt::test {

// IPC on a system-chosen port, so tests run beside a live service.
inline MainThreadSettings HostSettings(std::chrono::milliseconds stopTimeout = kPluginStopTimeout,
                                       std::chrono::milliseconds swgStopTimeout = kSwgPluginStopTimeout) {
  MainThreadSettings settings;
  settings.ipc.port = 0;
  settings.pluginStopTimeout = stopTimeout;
  settings.swgPluginStopTimeout = swgStopTimeout;
  return settings;
}

// The arguments of the last call of `op` the fake recorded; empty when none.
inline std::vector<std::string> LastCall(const FakePlugin& plugin, const std::string& op) {
  auto calls = plugin->Calls();
  for (auto it = calls.rbegin(); it != calls.rend(); ++it)
    if (it->op == op) return it->args;
  return {};
}

class PluginHostTest : public ::testing::Test {
 protected:
  // `verboseLog` captures debug messages too.
  explicit PluginHostTest(bool verboseLog = false) : log(verboseLog) {
    root.WriteRegistry(TestRoot::DotNetPresentEntry());
    root.WriteMachineId("0123456789abcdef0123456789abcdef\n");
    CVelmoraMainThread::clearPendingShutdown();
    CDeviceInfo::ResetCacheForTesting();  // the identity is cached per process
    fakefilter::Reset();
    for (auto* plugin : {&dns, &swg, &cloud}) (*plugin)->Reset();
  }
  ~PluginHostTest() override {
    run.reset();
    CVelmoraMainThread::releaseInstance();
  }

  // Makes the orchestrator and runs its loop, until it is in state `until`.
  void StartHost(std::optional<AgentState> until = VELMORA_PLUGIN_STARTED,
                 const MainThreadSettings& settings = HostSettings()) {
    ASSERT_TRUE(CVelmoraMainThread::createSingletonInstance(settings)) << log.Dump();
    host = CVelmoraMainThread::instance();
    run.emplace(host);
    ASSERT_TRUE(!until || WaitFor([&] { return host->getState() == *until; })) << log.Dump();
  }

  void WriteOrgInfo() { root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}"); }
  // Runs the loop until the DNS plug-in started (or, without `started`, until the service runs without it).
  void Start(bool started, const MainThreadSettings& settings = HostSettings()) {
    if (started) WriteOrgInfo();
    StartHost(started ? VELMORA_PLUGIN_STARTED : SERVICE_STARTED, settings);
  }

  // Info messages that match `pattern`, in order; with `untilParenthesis`,
  // each only up to its " (" (timing lines without their figures).
  std::vector<std::string> Matching(const std::string& pattern, bool untilParenthesis = false) {
    std::vector<std::string> out;
    std::regex re(pattern);
    for (const auto& m : log.Messages(LOG_LEVEL_INFO))
      if (std::regex_match(m, re)) out.push_back(untilParenthesis ? m.substr(0, m.find(" (")) : m);
    return out;
  }
  std::string Document(PayloadType type) {
    std::string json;
    host->ipcManagerForTesting()->GetJsonPayload(type, json);
    return json;
  }

  TestRoot root;
  ScopedCaptureLog log;
  FakePlugin dns{InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root.PluginsPath())};
  FakePlugin swg{InstallPlugin(HXT_FAKE_PLUGIN_SWG, root.PluginsPath())};
  FakePlugin cloud{InstallPlugin(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER, root.PluginsPath())};
  CVelmoraMainThread* host = nullptr;
  std::optional<LoopRunner> run;  // ends before the orchestrator is released
};

}  // namespace hxt::test
