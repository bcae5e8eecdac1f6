#include "agent/velmorakdfpluginmgr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <tuple>
#include <utility>

#include "common/singleton.h"
#include "fake/fakesockfilter.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fake = fakefilter;

class MockKdfCB : public IVelmoraKdfCB {
 public:
  MOCK_METHOD(void, NotifyKdfDisruption, (), (override));
};

std::vector<std::string> With(std::vector<std::string> calls, const std::vector<std::string>& more) {
  calls.insert(calls.end(), more.begin(), more.end());
  return calls;
}

// The siblings' part of every change of the ignore list: each is created, opened, refreshed and closed in
// turn; then each is closed once more and released.
const std::vector<std::string> kSiblingRefresh = [] {
  std::vector<std::string> refresh, release;
  for (std::string api : {"VpnDns", "Kestrum", "SocketRedirector"}) {
    const std::string factory = "C" + api + "ApiClassFactory::", methods = "I" + api + "Api::";
    refresh = With(refresh, {factory + "CreateInstance", methods + "OpenPlugin",
                             methods + "RefreshVelmoraPids", methods + "ClosePlugin"});
    release = With(release, {methods + "ClosePlugin", factory + "ReleaseInstance"});
  }
  return With(refresh, release);
}();

std::string Failed(const char* called, long long code) {
  return std::string(called) + " returned code " + std::to_string(code);
}

class KdfPluginMgrTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    Release();
    EXPECT_TRUE(CSingletonSlot<CVelmoraKdfPluginMgr>::IsFree());
    for (auto which : {fake::Interface::Velmora, fake::Interface::VpnDns, fake::Interface::Kestrum,
                       fake::Interface::SocketRedirector})
      EXPECT_EQ(fake::LiveInstances(which), 0) << "instance leaked: " << static_cast<int>(which);
    for (const auto& name : fake::CallNames()) EXPECT_EQ(name.find("Reserved"), std::string::npos) << name;
    fake::Reset();
  }

  // A fresh filter double with `script`, and a manager over it.
  void Start(const std::function<void(fake::Script&)>& script = nullptr) {
    Release();
    fake::Reset();
    if (script) fake::Configure(script);
    ASSERT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(&callback_, &mgr_), kKdfMgrOk);
  }
  void Release() { CVelmoraKdfPluginMgr::releaseInstance(std::exchange(mgr_, nullptr)); }
  // Forget what happened so far; the script stays.
  void Mark() {
    mark_ = fake::Calls().size();
    log_.Clear();
  }
  std::vector<std::string> NamesSinceMark(bool withQueries = false) {
    std::vector<std::string> names;
    for (const auto& c : CallsSinceMark())
      if (withQueries || c.name != "IVelmoraApi::IsPluginOpen") names.push_back(c.name);
    return names;
  }
  std::vector<fake::InfoSnapshot> SentSinceMark() {
    std::vector<fake::InfoSnapshot> sent;
    for (const auto& c : CallsSinceMark())
      if (c.info) sent.push_back(*c.info);
    return sent;
  }
  std::vector<fake::Call> CallsSinceMark() {
    auto calls = fake::Calls();
    return {calls.begin() + static_cast<long>(mark_), calls.end()};
  }
  // The one parameter record sent since the mark.
  fake::InfoSnapshot OnlySent() {
    auto sent = SentSinceMark();
    EXPECT_EQ(sent.size(), 1u);
    return sent.empty() ? fake::InfoSnapshot{} : sent.front();
  }
  std::vector<std::string> Errors() { return log_.Messages(LOG_LEVEL_ERROR); }
  // One operation on a fresh manager over a filter double following `script`: its result, the filter's calls
  // (without IsPluginOpen queries) and the errors logged. The operation may release the manager.
  void Run(const std::string& name, const std::function<void(fake::Script&)>& script,
           const std::function<u32(CVelmoraKdfPluginMgr*&)>& operation, u32 result,
           const std::vector<std::string>& calls, const std::vector<std::string>& errors) {
    SCOPED_TRACE(name);
    Start(script);
    Mark();
    EXPECT_EQ(operation(mgr_), result);
    EXPECT_THAT(NamesSinceMark(), ElementsAreArray(calls));
    EXPECT_THAT(Errors(), ElementsAreArray(errors)) << log_.Dump();
    EXPECT_TRUE(mgr_ != nullptr || fake::LiveInstances(fake::Interface::Velmora) == 0);
  }
  bool ApplyAllPorts() { return mgr_->UpdatePorts(2000, 2001, 2002, 2003); }

  test::ScopedCaptureLog log_;  // declared first: outlives the manager's last words
  ::testing::StrictMock<MockKdfCB> callback_;
  CVelmoraKdfPluginMgr* mgr_ = nullptr;
  std::size_t mark_ = 0;
};

// Refused creations leave no instance; a failed start of encrypted DNS handling costs a warning, not the
// manager; a second creation leaves the first alone.
TEST_F(KdfPluginMgrTest, CreationFailuresAndASecondCreation) {
  auto refused = [this](IVelmoraKdfCB* callback, u32 code, const std::vector<std::string>& errors) {
    log_.Clear();
    CVelmoraKdfPluginMgr* out = reinterpret_cast<CVelmoraKdfPluginMgr*>(0x1);
    EXPECT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(callback, &out), code);
    EXPECT_EQ(out, nullptr);
    EXPECT_THAT(Errors(), ElementsAreArray(errors)) << log_.Dump();
  };
  refused(nullptr, kKdfMgrNoCallback, {Failed("CVelmoraKdfPluginMgr", 6)});
  EXPECT_THAT(fake::CallNames(), ElementsAre()) << "no API instance without a callback";
  fake::Configure([](fake::Script& s) { s.velmora.createReturnsNull = true; });
  refused(&callback_, kKdfMgrApiCreationFailed,
          {"unable to create instance of IVelmoraApi interface.", Failed("CVelmoraKdfPluginMgr::initApi", 3),
           Failed("CVelmoraKdfPluginMgr", 3)});
  EXPECT_THAT(fake::CallNames(), ElementsAre("CVelmoraApiClassFactory::CreateInstance"));
  EXPECT_TRUE(CSingletonSlot<CVelmoraKdfPluginMgr>::IsFree());

  log_.Clear();
  Start([](fake::Script& s) { s.startEncryptedDnsHandling = 9; });
  EXPECT_THAT(fake::CallNames(), ElementsAre("CVelmoraApiClassFactory::CreateInstance",
                                             "IVelmoraApi::StartEncryptedDnsHandling"));
  EXPECT_THAT(log_.Messages(LOG_LEVEL_WARNING),
              ElementsAre(Failed("IVelmoraApi::StartEncryptedDnsHandling", 9)));
  auto* second = reinterpret_cast<CVelmoraKdfPluginMgr*>(&callback_);  // a stale value, cleared
  EXPECT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(&callback_, &second), kKdfMgrAlreadyInitialized);
  EXPECT_EQ(second, nullptr);
  EXPECT_THAT(Errors(), ElementsAre("CVelmoraKdfPluginMgr instance already initialized"));
  EXPECT_EQ(fake::LiveInstances(fake::Interface::Velmora), 1);
  EXPECT_TRUE(ApplyAllPorts());
}

TEST_F(KdfPluginMgrTest, PortRange) {
  // The UDP and TCP ports of both families, whether they are accepted.
  const std::tuple<u16, u16, u16, u16, bool> cases[] = {
      {0, 0, 0, 0, true},     {53, 0, 0, 0, false},  {0, 1023, 0, 0, false}, {0, 0, 1, 0, false},
      {0, 0, 0, 1023, false}, {1024, 0, 0, 0, true}, {65535, 0, 0, 0, true}, {1024, 2048, 4096, 65535, true}};
  Start();
  for (const auto& [udp4, udp6, tcp4, tcp6, accepted] : cases) {
    SCOPED_TRACE(::testing::Message() << udp4 << "," << udp6 << "," << tcp4 << "," << tcp6);
    Mark();
    EXPECT_EQ(mgr_->UpdatePorts(udp4, udp6, tcp4, tcp6), accepted);
    if (!accepted) {
      EXPECT_THAT(Errors(), ElementsAre("At least one port is out of range."));
      EXPECT_THAT(NamesSinceMark(true), ElementsAre()) << "refused ports must not reach the filter";
      continue;
    }
    EXPECT_THAT(Errors(), ElementsAre());
    const auto s = OnlySent();
    EXPECT_EQ(std::make_tuple(s.updateKind, s.udpPort4, s.udpPort6, s.tcpPort4, s.tcpPort6, s.agentPid),
              std::make_tuple(u32{FILTER_UPDATE_PORTS}, udp4, udp6, tcp4, tcp6, 0u));
  }
}

// StopPlugin clears the filter and hands back the ignore list SetParameters was last given, even when the
// filter refused it; it goes on past failures and still reports success.
TEST_F(KdfPluginMgrTest, StopPluginRestoresTheIgnoreListOfTheLastSetParameters) {
  Start();
  ASSERT_TRUE(mgr_->SetParameters({}, {}, {}, {}, 5000, 5001, 5002, 5003, {11, 12}, true, true));
  ASSERT_TRUE(mgr_->UpdatePids({99}));
  Mark();
  ASSERT_TRUE(mgr_->StopPlugin());
  EXPECT_THAT(NamesSinceMark(),
              ElementsAreArray(With({"IVelmoraApi::Clear", "IVelmoraApi::SetParameters"}, kSiblingRefresh)))
      << "the plug-in stays open";
  const auto restored = OnlySent();
  EXPECT_EQ(std::tie(restored.updateKind, restored.agentPid, restored.ignoredPids),
            std::make_tuple(u32{FILTER_UPDATE_PIDS}, static_cast<u32>(::getpid()), std::vector<u32>{11, 12}));

  fake::Configure([](fake::Script& s) { s.setParameters = 1; });
  Mark();
  EXPECT_FALSE(mgr_->SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {21}, false, false));
  EXPECT_THAT(Errors(), ElementsAre(Failed("IVelmoraApi::SetParameters", 1)));
  EXPECT_THAT(NamesSinceMark(), ElementsAre("IVelmoraApi::SetParameters")) << "no refresh after a refusal";
  EXPECT_FALSE(mgr_->UpdatePids({1}));

  fake::Configure([](fake::Script& s) { s.clear = 3; });
  Mark();
  EXPECT_TRUE(mgr_->StopPlugin());
  EXPECT_THAT(Errors(),
              ElementsAre(Failed("IVelmoraApi::Clear", 3), Failed("IVelmoraApi::SetParameters", 1)));
  EXPECT_THAT(OnlySent().ignoredPids, ElementsAre(21u));
  EXPECT_EQ(fake::CallNames().back(), "CSocketRedirectorApiClassFactory::ReleaseInstance");
}

// Whether the filter reports its plug-in open by itself or because the
// manager opened it, no operation opens it again.
TEST_F(KdfPluginMgrTest, EachOperationSendsItsKindAndOpensThePluginOnce) {
  for (bool reportedOpen : {false, true}) {
    SCOPED_TRACE(reportedOpen);
    Start([&](fake::Script& s) {
      if (reportedOpen) s.pluginOpenAnswer = true;
    });
    Mark();
    EXPECT_TRUE(mgr_->SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {}, true, true));
    EXPECT_TRUE(ApplyAllPorts());
    EXPECT_TRUE(mgr_->UpdatePids({55}));
    EXPECT_TRUE(mgr_->UpdateWhiteList({}, {"b.example"}));
    EXPECT_TRUE(mgr_->UpdateIncludedDnsServers({}, {}));
    EXPECT_TRUE(mgr_->StopPlugin());
    std::vector<u32> kinds;
    for (const auto& sent : SentSinceMark()) kinds.push_back(sent.updateKind);
    EXPECT_THAT(kinds, ElementsAre(0u, 4u, 1u, 2u, 3u, 1u));
    EXPECT_THAT(SentSinceMark()[3].whiteList6, ElementsAre("b.example"));
    auto names = NamesSinceMark();
    EXPECT_EQ(std::count(names.begin(), names.end(), "IVelmoraApi::OpenPlugin"), reportedOpen ? 0 : 1);
    // Only changes of the ignore list concern the siblings.
    EXPECT_EQ(std::count(names.begin(), names.end(), "IVpnDnsApi::RefreshVelmoraPids"), 3);
  }
}

// What a failure to open the filter's plug-in does to every operation (all
// go through one openPlugin: Preload shows its "awaiting approval" outcome).
TEST_F(KdfPluginMgrTest, OpenFailuresAndTheEndClosesAnOpenPluginAndReleasesTheApi) {
  const std::vector<std::pair<std::string, std::function<bool(CVelmoraKdfPluginMgr&)>>> operations = {
      {"SetParameters", [](auto& m) { return m.SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {}, true, true); }},
      {"UpdatePorts", [](auto& m) { return m.UpdatePorts(0, 0, 0, 0); }},
      {"UpdatePids", [](auto& m) { return m.UpdatePids({1}); }},
      {"UpdateWhiteList", [](auto& m) { return m.UpdateWhiteList({}, {}); }},
      {"UpdateIncludedDnsServers", [](auto& m) { return m.UpdateIncludedDnsServers({}, {}); }},
      {"StopPlugin", [](auto& m) { return m.StopPlugin(); }}};
  const std::string openFailed = Failed("CVelmoraKdfPluginMgr::openPlugin", kKdfOpenFailed);
  for (const auto& [name, operation] : operations) {
    auto run = [op = operation](CVelmoraKdfPluginMgr*& m) { return u32{op(*m)}; };
    Run(name, [](auto& s) { s.velmora.openPlugin = 7; }, run, 0, {"IVelmoraApi::OpenPlugin"},
        {Failed("IVelmoraApi::OpenPlugin", 7), openFailed});
  }

  // The manager's end closes an open plug-in first and releases the API.
  auto release = [](CVelmoraKdfPluginMgr*& m) {
    CVelmoraKdfPluginMgr::releaseInstance(std::exchange(m, nullptr));
    return 0u;
  };
  auto openAndRelease = [release](CVelmoraKdfPluginMgr*& m) {
    return m->UpdateWhiteList({}, {}) ? release(m) : 1u;
  };
  const std::vector<std::string> closes = With(
      With({"IVelmoraApi::OpenPlugin", "IVelmoraApi::SetParameters", "IVelmoraApi::Clear"}, kSiblingRefresh),
      {"IVelmoraApi::ClosePlugin", "CVelmoraApiClassFactory::ReleaseInstance"});
  Run("never opened", nullptr, release, 0, {"CVelmoraApiClassFactory::ReleaseInstance"}, {});
  Run("open", nullptr, openAndRelease, 0, closes, {});
  Run("close fails", [](auto& s) { s.velmora.closePlugin = 8; }, openAndRelease, 0, closes,
      {Failed("IVelmoraApi::ClosePlugin", 8), "CVelmoraKdfPluginMgr::closePlugin failed"});
  Run("release fails", [](auto& s) { s.velmora.releaseInstance = 9; }, release, 0,
      {"CVelmoraApiClassFactory::ReleaseInstance"}, {Failed("CVelmoraApiClassFactory::ReleaseInstance", 9)});
}

// The refresh stops at the first failing sibling, releases what it created,
// and never fails the operation that asked for it.
TEST_F(KdfPluginMgrTest, SiblingFailureStopsTheRefreshAndReleasesWhatWasCreated) {
  const std::vector<std::string> vpnDns = {"CVpnDnsApiClassFactory::CreateInstance", "IVpnDnsApi::OpenPlugin",
                                           "IVpnDnsApi::RefreshVelmoraPids"};
  const std::vector<std::string> release = {"IVpnDnsApi::ClosePlugin",
                                            "CVpnDnsApiClassFactory::ReleaseInstance"};
  // The filter's script, the error it causes, the siblings' calls.
  const std::tuple<const char*, std::function<void(fake::Script&)>, std::string, std::vector<std::string>>
      failures[] = {{"IVpnDnsApi refresh fails", [](auto& s) { s.vpnDns.refreshPids = 7; },
                     Failed("IVpnDnsApi::RefreshVelmoraPids", 7), With(vpnDns, release)},
                    {"IKestrumApi not created", [](auto& s) { s.kestrum.createReturnsNull = true; },
                     "unable to create instance of IKestrumApi interface.",
                     With(vpnDns, With({"IVpnDnsApi::ClosePlugin", "CKestrumApiClassFactory::CreateInstance"},
                                       release))},
                    {"ISocketRedirectorApi close fails", [](auto& s) { s.socketRedirector.closePlugin = 5; },
                     Failed("ISocketRedirectorApi::ClosePlugin", 5), kSiblingRefresh}};
  for (const auto& [name, script, error, siblings] : failures) {
    Run(std::string(name) + ", UpdatePids", script, [](auto*& m) { return u32{m->UpdatePids({4})}; }, 1,
        With({"IVelmoraApi::OpenPlugin", "IVelmoraApi::SetParameters"}, siblings),
        {error, "sendRefreshVelmoraPidsToOtherPlugins failed"});
    Run(std::string(name) + ", StopPlugin", script, [](auto*& m) { return u32{m->StopPlugin()}; }, 1,
        With({"IVelmoraApi::OpenPlugin", "IVelmoraApi::Clear", "IVelmoraApi::SetParameters"}, siblings),
        {error, "sendRefreshVelmoraPidsToOtherPlugins failed."});
  }
}

// Operations from several threads, with disruptions arriving meanwhile on the library's threads, reach the
// filter one at a time; every disruption reaches the callback.
TEST_F(KdfPluginMgrTest, OperationsAreSerialisedAndDisruptionsReachTheCallback) {
  const std::thread::id testThread = std::this_thread::get_id();
  EXPECT_CALL(callback_, NotifyKdfDisruption()).Times(5).WillRepeatedly([testThread] {
    EXPECT_NE(std::this_thread::get_id(), testThread);
  });
  Start();
  ASSERT_TRUE(ApplyAllPorts());
  std::atomic<int> failures{0};
  auto work = [&](u32 base) {
    for (u32 i = 0; i < 40; ++i) {
      if (!mgr_->UpdatePids({base + i})) ++failures;
      if (!mgr_->UpdatePorts(0, 0, 0, static_cast<u16>(1024 + i))) ++failures;
    }
  };
  std::thread a(work, 1000), b(work, 2000);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(fake::RaiseDisruption());
  a.join();
  b.join();
  fake::JoinDisruptionThreads();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(fake::MaxConcurrentVelmoraCalls(), 1);
  EXPECT_EQ(log_.Messages(LOG_LEVEL_WARNING), std::vector<std::string>(5, "Notified of KDF disruption."));
}

}  // namespace
}  // namespace hxt
