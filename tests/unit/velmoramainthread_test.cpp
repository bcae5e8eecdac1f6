#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <functional>
#include <stdexcept>

#include "agent/velmoramainthread.h"
#include "fake/fakesockfilter.h"
#include "fakes/capturelogger.h"
#include "fakes/looprunner.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

std::string statusDocument(CVelmoraMainThread* orchestrator) {
  std::string json;
  orchestrator->ipcManagerForTesting()->GetJsonPayload(PAYLOAD_TYPE_STATUS, json);
  return json;
}

// IPC on a system-chosen port, so tests run beside a live service.
MainThreadSettings testSettings() {
  MainThreadSettings settings;
  settings.ipc.port = 0;
  return settings;
}

class MainThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CVelmoraMainThread::clearPendingShutdown();
    fakefilter::Reset();
  }
  void TearDown() override {
    CVelmoraMainThread::releaseInstance();
    CVelmoraMainThread::clearPendingShutdown();
  }
  bool Create() {
    return CVelmoraMainThread::createSingletonInstance(testSettings()) &&
           (orchestrator = CVelmoraMainThread::instance()) != nullptr;
  }
  test::TestRoot root;
  test::ScopedCaptureLog log;
  CVelmoraMainThread* orchestrator = nullptr;
};

TEST_F(MainThreadTest, AnythingThrownByAHandlerFailsRunAfterStoppingThePlugin) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { throw std::runtime_error("handler broke"); }, "ioService run exception - handler broke"},
      {[] { throw 42; }, "ioService run exception - unknown exception"},  // a plug-in's foreign exception
  };
  for (const auto& [handler, line] : cases) {
    SCOPED_TRACE(line);
    log.Clear();
    ASSERT_TRUE(Create());
    boost::asio::post(orchestrator->loop(), handler);
    EXPECT_FALSE(orchestrator->Run());
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, line));
    EXPECT_TRUE(log.Has("State transition: SERVICE_STARTED -> FAILED") &&
                log.Has("State transition: FAILED -> SERVICE_STARTED"));
    EXPECT_EQ(orchestrator->getState(), SERVICE_STARTED);
    EXPECT_EQ(log.Messages().back(), "ioService run complete");
    CVelmoraMainThread::releaseInstance();
  }
}

TEST_F(MainThreadTest, OrgInfoModificationsPostStartsThatTheStateCheckFilters) {
  ASSERT_TRUE(Create());
  orchestrator->OrgInfoChanged(FILE_ACTION_DELETED);
  orchestrator->OrgInfoChanged(FILE_ACTION_MODIFIED);
  orchestrator->OrgInfoChanged(FILE_ACTION_MODIFIED);
  orchestrator->OrgInfoChanged(9);
  orchestrator->RequestShutdown();
  EXPECT_TRUE(orchestrator->Run());
  for (const auto& [action, times] :
       {std::pair{"DELETED", 1u}, std::pair{"MODIFIED", 2u}, std::pair{"UNDEFINED", 1u}})
    EXPECT_EQ(log.Count(std::string("Received Orginfo file change notification: ") + action), times);
  // Action 9 has bit 0 set: three starts posted; the first runs, the others are refused.
  EXPECT_EQ(log.Count("startVelmoraPlugin"), 3u);
  EXPECT_EQ(log.Count("Current state VELMORA_PLUGIN_STARTED is not valid for START_VELMORA_PLUGIN (validator "
                      "CVelmoraMainThread::startVelmoraPlugin). Acceptable states: SERVICE_STARTED."),
            2u);
}

// Without the runtime, or with a filter awaiting approval, the plug-ins stay out but the service runs and
// stops on request; a missing runtime is reported first.
TEST_F(MainThreadTest, MissingRuntimeOrFilterApprovalKeepsThePluginsOutButTheServiceRuns) {
  fakefilter::Configure([](fakefilter::Script& s) {
    s.preloadNeeded = true;
    s.velmora.openPlugin = HXT_NGC_AWAITING_APPROVAL;
  });
  ASSERT_TRUE(Create());
  EXPECT_EQ(orchestrator->missingDependencyForTesting(), MISSING_DOTNET);
  EXPECT_TRUE(log.Has(
      LOG_LEVEL_WARNING,
      "The required .NET Framework version is not installed, the Velmora plugin will not be loaded."));
  EXPECT_EQ(orchestrator->getState(), INITIAL);
  test::LoopRunner runner(orchestrator);
  ASSERT_TRUE(test::WaitFor([&] { return orchestrator->getState() == SERVICE_STARTED; }));
  orchestrator->RequestShutdown();
  EXPECT_TRUE(runner.Wait());
  EXPECT_EQ(orchestrator->getState(), SERVICE_STARTED);
  EXPECT_NE(statusDocument(orchestrator).find("\"AgentStatus\":\"noDotNet4\""), std::string::npos);
  auto info = log.Messages(LOG_LEVEL_INFO);
  EXPECT_EQ(std::vector<std::string>(info.end() - 4, info.end()),
            (std::vector<std::string>{"Handling shutdown request", "shutdown", "stopVelmoraPlugin",
                                      "ioService run complete"}));
  CVelmoraMainThread::releaseInstance();

  root.WriteRegistry(test::TestRoot::DotNetPresentEntry());
  // A stop that arrives before the instance exists is kept for it.
  EXPECT_FALSE(CVelmoraMainThread::requestShutdownOfInstance());
  ASSERT_TRUE(Create());
  EXPECT_EQ(orchestrator->missingDependencyForTesting(), MISSING_KEXT_APPROVAL);
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_WARNING,
              "The required Truvane Extension must first be approved in System Preferences, the Velmora "
              "plugin will not be loaded."));
  test::LoopRunner stopped(orchestrator);  // bounded: a lost stop fails rather than hangs
  EXPECT_TRUE(stopped.Wait());
  EXPECT_EQ(log.Count("Handling shutdown request"), 2u);
  EXPECT_NE(statusDocument(orchestrator).find("\"AgentStatus\":\"kextApprovalRequired\""), std::string::npos);
}

TEST_F(MainThreadTest, FilterManagerOrIpcPortFailureIsFatal) {
  boost::asio::io_service io;
  boost::asio::ip::tcp::acceptor squatter(io, {boost::asio::ip::address_v4::loopback(), 0});
  MainThreadSettings taken = testSettings();
  taken.ipc.port = squatter.local_endpoint().port();
  EXPECT_FALSE(CVelmoraMainThread::createSingletonInstance(taken));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraIpcMgr::createSingletonInstance failed"));
  EXPECT_EQ(log.Messages().back(), "CVelmoraMainThread failed");

  fakefilter::Configure([](fakefilter::Script& s) { s.velmora.createReturnsNull = true; });
  EXPECT_FALSE(CVelmoraMainThread::createSingletonInstance(testSettings()));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraKdfPluginMgr::createSingletonInstance returned code 3"));
  EXPECT_EQ(log.Messages().back(), "CVelmoraMainThread failed");
  EXPECT_EQ(fakefilter::LiveInstances(fakefilter::Interface::Velmora), 0);
}

// Without a plug-in, system errors and disruptions are only logged; a second
// instance is refused; the stop clears the filter.
TEST_F(MainThreadTest, NoticesWithoutAPluginAreLoggedAndStopClearsTheFilter) {
  ASSERT_TRUE(Create());
  EXPECT_FALSE(CVelmoraMainThread::createSingletonInstance(testSettings()));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraMainThread instance already initialized"));
  EXPECT_EQ(CVelmoraMainThread::instance(), orchestrator);
  static_cast<IVelmoraPluginCallback*>(orchestrator)->SystemErrorOccurred(7);
  static_cast<ISWGPluginCallback*>(orchestrator)->SystemErrorOccurred(8);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Received Velmora plugin system error notification [7]"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Received SWG plugin system error notification [8]"));
  EXPECT_EQ(orchestrator->getState(), INITIAL);
  orchestrator->NotifyKdfDisruption();
  orchestrator->RequestShutdown();
  EXPECT_TRUE(orchestrator->Run());
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_WARNING, "KDF disruption reported while no Tarrow plugin is loaded; ignored."));
  auto names = fakefilter::CallNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "IVelmoraApi::Clear"), names.end());
}

TEST_F(MainThreadTest, ProtectionStateReachesTheStatusUnderTheUiNames) {
  ASSERT_TRUE(Create());
  auto* callback = static_cast<IVelmoraPluginCallback*>(orchestrator);
  const std::string json =
      R"({"version":1,"dns4":{"protection_state":"behind_va"},"client_display_name":"Acme",)"
      R"("user_name":"ann","last_policy_sync_time":"77","log_upload_enabled":"true","swg":{"enabled":"true"}})";

  callback->ProtectionStateChanged(json.c_str());  // refused: no plug-in runs yet
  EXPECT_NE(statusDocument(orchestrator).find(R"("Dns4":{"ProtectionState":"open"})"), std::string::npos);

  orchestrator->updateState(VELMORA_PLUGIN_STARTED);
  callback->ProtectionStateChanged(json.c_str());
  std::string status = statusDocument(orchestrator);
  for (const char* part : {R"("Dns4":{"ProtectionState":"behindVA"})", R"("Dns6":{"ProtectionState":"open"})",
                           R"("Ip4":{"ProtectionState":"notProtected")", R"("ClientName":"Acme")"})
    EXPECT_NE(status.find(part), std::string::npos) << part << "\n" << status;

  callback->ProtectionStateChanged(R"({"version":1,"ip6":{"protection_state":"shielded"}})");
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "failed to parse JSON payload (unexpected IPv6 blocking state)"));
  EXPECT_EQ(statusDocument(orchestrator), status);
}

}  // namespace
}  // namespace hxt
