#include "agent/velmorakdfpluginmgr.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "common/singleton.h"
#include "fake/fakesockfilter.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fake = fakefilter;

class RecordingKdfCB : public IVelmoraKdfCB {
 public:
  void NotifyKdfDisruption() override {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread::id> threads_;
};

const std::vector<std::string> kSiblingRefresh = {
    "CVpnDnsApiClassFactory::CreateInstance",
    "IVpnDnsApi::OpenPlugin",
    "IVpnDnsApi::RefreshVelmoraPids",
    "IVpnDnsApi::ClosePlugin",
    "CKestrumApiClassFactory::CreateInstance",
    "IKestrumApi::OpenPlugin",
    "IKestrumApi::RefreshVelmoraPids",
    "IKestrumApi::ClosePlugin",
    "CSocketRedirectorApiClassFactory::CreateInstance",
    "ISocketRedirectorApi::OpenPlugin",
    "ISocketRedirectorApi::RefreshVelmoraPids",
    "ISocketRedirectorApi::ClosePlugin",
    "IVpnDnsApi::ClosePlugin",
    "CVpnDnsApiClassFactory::ReleaseInstance",
    "IKestrumApi::ClosePlugin",
    "CKestrumApiClassFactory::ReleaseInstance",
    "ISocketRedirectorApi::ClosePlugin",
    "CSocketRedirectorApiClassFactory::ReleaseInstance",
};

std::string Failed(const char* called, int code) {
  return std::string(called) + " returned code " + std::to_string(code);
}

class KdfPluginMgrTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    Release();
    EXPECT_TRUE(CSingletonSlot<CVelmoraKdfPluginMgr>::IsFree());
    for (auto which : {fake::Interface::Velmora, fake::Interface::VpnDns, fake::Interface::Kestrum,
                       fake::Interface::SocketRedirector}) {
      EXPECT_EQ(fake::LiveInstances(which), 0) << "instance leaked: " << static_cast<int>(which);
    }
    for (const auto& name : fake::CallNames()) EXPECT_EQ(name.find("Reserved"), std::string::npos) << name;
    fake::Reset();
  }

  void Create() { ASSERT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(&callback_, &mgr_), kKdfMgrOk); }
  void Release() {
    CVelmoraKdfPluginMgr::releaseInstance(mgr_);
    mgr_ = nullptr;
  }
  // Forget what happened so far; the script stays.
  void Mark() {
    mark_ = fake::Calls().size();
    log_.Clear();
  }
  std::vector<fake::Call> CallsSinceMark() {
    auto calls = fake::Calls();
    return {calls.begin() + static_cast<long>(mark_), calls.end()};
  }
  std::vector<std::string> NamesSinceMark(bool withQueries = false) {
    std::vector<std::string> names;
    for (const auto& c : CallsSinceMark()) {
      if (!withQueries && c.name == "IVelmoraApi::IsPluginOpen") continue;
      names.push_back(c.name);
    }
    return names;
  }
  std::vector<fake::InfoSnapshot> SentSinceMark() {
    std::vector<fake::InfoSnapshot> sent;
    for (const auto& c : CallsSinceMark()) {
      if (c.info) sent.push_back(*c.info);
    }
    return sent;
  }
  std::vector<std::string> Errors() { return log_.Messages(LOG_LEVEL_ERROR); }
  bool ApplyAllPorts() { return mgr_->UpdatePorts(2000, 2001, 2002, 2003); }

  test::ScopedCaptureLog log_;  // declared first: outlives the manager's last words
  RecordingKdfCB callback_;
  CVelmoraKdfPluginMgr* mgr_ = nullptr;
  std::size_t mark_ = 0;
};

TEST_F(KdfPluginMgrTest, CreationFailures) {
  struct Case {
    const char* name;
    bool nullCallback;
    bool apiCreationFails;
    u32 code;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"no callback", true, false, kKdfMgrNoCallback, {Failed("CVelmoraKdfPluginMgr", 6)}},
      {"no API instance",
       false,
       true,
       kKdfMgrApiCreationFailed,
       {"unable to create instance of IVelmoraApi interface.", Failed("CVelmoraKdfPluginMgr::initApi", 3),
        Failed("CVelmoraKdfPluginMgr", 3)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    log_.Clear();
    fake::Configure([&](fake::Script& s) { s.velmora.createReturnsNull = c.apiCreationFails; });
    CVelmoraKdfPluginMgr* out = reinterpret_cast<CVelmoraKdfPluginMgr*>(0x1);
    EXPECT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(c.nullCallback ? nullptr : &callback_, &out),
              c.code);
    EXPECT_EQ(out, nullptr);
    EXPECT_TRUE(CSingletonSlot<CVelmoraKdfPluginMgr>::IsFree());
    EXPECT_THAT(Errors(), ElementsAreArray(c.errors)) << log_.Dump();
  }
  EXPECT_THAT(fake::CallNames(), ElementsAre("CVelmoraApiClassFactory::CreateInstance"));
}

TEST_F(KdfPluginMgrTest, SecondCreationLeavesTheFirstAlone) {
  Create();
  CVelmoraKdfPluginMgr* second = nullptr;
  EXPECT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(&callback_, &second), kKdfMgrAlreadyInitialized);
  EXPECT_EQ(second, nullptr);
  EXPECT_THAT(Errors(), ElementsAre("CVelmoraKdfPluginMgr instance already initialized"));
  EXPECT_EQ(fake::LiveInstances(fake::Interface::Velmora), 1);
  EXPECT_TRUE(ApplyAllPorts());
}

TEST_F(KdfPluginMgrTest, StartsEncryptedDnsHandlingAndSurvivesItsFailure) {
  fake::Configure([](fake::Script& s) { s.startEncryptedDnsHandling = 9; });
  Create();
  EXPECT_THAT(fake::CallNames(), ElementsAre("CVelmoraApiClassFactory::CreateInstance",
                                             "IVelmoraApi::StartEncryptedDnsHandling"));
  EXPECT_THAT(log_.Messages(LOG_LEVEL_WARNING),
              ElementsAre(Failed("IVelmoraApi::StartEncryptedDnsHandling", 9)));
  EXPECT_TRUE(ApplyAllPorts());
}

TEST_F(KdfPluginMgrTest, PortRange) {
  struct Case {
    u16 udp4, udp6, tcp4, tcp6;
    bool accepted;
  };
  const Case cases[] = {
      {0, 0, 0, 0, true},     {53, 0, 0, 0, false},  {0, 1023, 0, 0, false}, {0, 0, 1, 0, false},
      {0, 0, 0, 1023, false}, {1024, 0, 0, 0, true}, {65535, 0, 0, 0, true}, {1024, 2048, 4096, 65535, true},
  };
  Create();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.udp4 << "," << c.udp6 << "," << c.tcp4 << "," << c.tcp6);
    Mark();
    EXPECT_EQ(mgr_->UpdatePorts(c.udp4, c.udp6, c.tcp4, c.tcp6), c.accepted);
    auto sent = SentSinceMark();
    if (!c.accepted) {
      EXPECT_THAT(Errors(), ElementsAre("At least one port is out of range."));
      EXPECT_THAT(NamesSinceMark(true), ElementsAre()) << "refused ports must not reach the filter";
      continue;
    }
    EXPECT_THAT(Errors(), ElementsAre());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].updateKind, u32{FILTER_UPDATE_PORTS});
    EXPECT_EQ(sent[0].udpPort4, c.udp4);
    EXPECT_EQ(sent[0].udpPort6, c.udp6);
    EXPECT_EQ(sent[0].tcpPort4, c.tcp4);
    EXPECT_EQ(sent[0].tcpPort6, c.tcp6);
    EXPECT_EQ(sent[0].agentPid, 0u);
  }
}

TEST_F(KdfPluginMgrTest, SetParametersSendsEverythingAndRefreshesSiblings) {
  Create();
  Mark();
  IpAddressRecord r4{HXT_AF_INET, {8, 8, 8, 8}};
  IpAddressRecord r6{HXT_AF_INET6, {0x26, 0x06, 0x47, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x88}};
  ASSERT_TRUE(mgr_->SetParameters({"10.0.0.0/8", "corp.example"}, {"fd00::/8"}, {r4, r4}, {r6}, 40001, 40002,
                                  40003, 40004, {101, 102, 103}, true, false));
  auto sent = SentSinceMark();
  ASSERT_EQ(sent.size(), 1u);
  const auto& s = sent[0];
  EXPECT_EQ(s.updateKind, u32{FILTER_UPDATE_ALL});
  EXPECT_THAT(s.whiteList4, ElementsAre("10.0.0.0/8", "corp.example"));
  EXPECT_THAT(s.whiteList6, ElementsAre("fd00::/8"));
  ASSERT_EQ(s.resolvers4.size(), 2u);
  EXPECT_EQ(s.resolvers4[1].address[0], 8);
  ASSERT_EQ(s.resolvers6.size(), 1u);
  EXPECT_EQ(s.resolvers6[0].address[15], 0x88);
  EXPECT_EQ(s.udpPort4, 40001);
  EXPECT_EQ(s.udpPort6, 40002);
  EXPECT_EQ(s.tcpPort4, 40003);
  EXPECT_EQ(s.tcpPort6, 40004);
  EXPECT_EQ(s.agentPid, static_cast<u32>(::getpid()));
  EXPECT_THAT(s.ignoredPids, ElementsAre(101u, 102u, 103u));
  EXPECT_TRUE(s.redirect4);
  EXPECT_FALSE(s.redirect6);
  EXPECT_TRUE(s.countsConsistent);

  std::vector<std::string> expected = {"IVelmoraApi::OpenPlugin", "IVelmoraApi::SetParameters"};
  expected.insert(expected.end(), kSiblingRefresh.begin(), kSiblingRefresh.end());
  EXPECT_THAT(NamesSinceMark(), ElementsAreArray(expected));
  const IKdfApiCB* self = mgr_;
  for (const auto& c : CallsSinceMark()) {
    if (c.name.find("::OpenPlugin") == std::string::npos) continue;
    EXPECT_EQ(c.callback, self) << c.name;
    if (c.name == "ISocketRedirectorApi::OpenPlugin") {
      EXPECT_EQ(c.pluginId, "LumewaySocketFilterPlugin1.0");
    }
  }
  EXPECT_THAT(log_.Messages(), ElementsAre());
}

TEST_F(KdfPluginMgrTest, StopPluginClearsAndRestoresTheIgnoreListOfSetParameters) {
  Create();
  ASSERT_TRUE(mgr_->SetParameters({}, {}, {}, {}, 5000, 5001, 5002, 5003, {11, 12}, true, true));
  ASSERT_TRUE(mgr_->UpdatePids({99}));
  Mark();
  ASSERT_TRUE(mgr_->StopPlugin());
  std::vector<std::string> expected = {"IVelmoraApi::Clear", "IVelmoraApi::SetParameters"};
  expected.insert(expected.end(), kSiblingRefresh.begin(), kSiblingRefresh.end());
  EXPECT_THAT(NamesSinceMark(), ElementsAreArray(expected)) << "the plug-in stays open";
  auto sent = SentSinceMark();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].updateKind, u32{FILTER_UPDATE_PIDS});
  EXPECT_EQ(sent[0].agentPid, static_cast<u32>(::getpid()));
  EXPECT_THAT(sent[0].ignoredPids, ElementsAre(11u, 12u));
}

TEST_F(KdfPluginMgrTest, RefusedSetParametersStillReplacesTheSavedList) {
  Create();
  fake::Configure([](fake::Script& s) { s.setParameters = 1; });
  Mark();
  EXPECT_FALSE(mgr_->SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {21}, false, false));
  EXPECT_THAT(Errors(), ElementsAre(Failed("IVelmoraApi::SetParameters", 1)));
  EXPECT_THAT(NamesSinceMark(), ElementsAre("IVelmoraApi::OpenPlugin", "IVelmoraApi::SetParameters"));
  EXPECT_FALSE(mgr_->UpdatePids({1}));

  // StopPlugin goes on past failures and still reports success.
  fake::Configure([](fake::Script& s) { s.clear = 3; });
  Mark();
  EXPECT_TRUE(mgr_->StopPlugin());
  EXPECT_THAT(Errors(),
              ElementsAre(Failed("IVelmoraApi::Clear", 3), Failed("IVelmoraApi::SetParameters", 1)));
  auto sent = SentSinceMark();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_THAT(sent[0].ignoredPids, ElementsAre(21u));
  EXPECT_EQ(fake::CallNames().back(), "CSocketRedirectorApiClassFactory::ReleaseInstance");
}

// Whether the filter reports its plug-in open by itself or because the
// manager opened it, no operation opens it again.
TEST_F(KdfPluginMgrTest, EachOperationSendsItsKindAndOpensThePluginOnce) {
  for (bool reportedOpen : {false, true}) {
    SCOPED_TRACE(reportedOpen);
    fake::Reset();
    if (reportedOpen) fake::Configure([](fake::Script& s) { s.pluginOpenAnswer = true; });
    Create();
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
    Release();
  }
}

// What a failure to open the filter's plug-in does to every operation.
TEST_F(KdfPluginMgrTest, OpenFailures) {
  struct Case {
    ngc_error_t result;
    u32 code;
    std::vector<std::string> ownErrors;  // openPlugin's own lines
  };
  const Case cases[] = {
      {HXT_NGC_AWAITING_APPROVAL, kKdfOpenApprovalPending, {}},  // not a fault: no line of its own
      {7, kKdfOpenFailed, {Failed("IVelmoraApi::OpenPlugin", 7)}},
  };
  using Operation = std::function<bool(CVelmoraKdfPluginMgr&)>;
  const std::vector<Operation> operations = {
      [](CVelmoraKdfPluginMgr& m) { return m.SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {}, true, true); },
      [](CVelmoraKdfPluginMgr& m) { return m.UpdatePorts(0, 0, 0, 0); },
      [](CVelmoraKdfPluginMgr& m) { return m.UpdatePids({1}); },
      [](CVelmoraKdfPluginMgr& m) { return m.UpdateWhiteList({}, {}); },
      [](CVelmoraKdfPluginMgr& m) { return m.UpdateIncludedDnsServers({}, {}); },
      [](CVelmoraKdfPluginMgr& m) { return m.StopPlugin(); },
  };
  Create();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    fake::Configure([&](fake::Script& s) { s.velmora.openPlugin = c.result; });
    for (std::size_t i = 0; i < operations.size(); ++i) {
      SCOPED_TRACE("operation " + std::to_string(i));
      Mark();
      EXPECT_FALSE(operations[i](*mgr_));
      auto expected = c.ownErrors;
      expected.push_back(Failed("CVelmoraKdfPluginMgr::openPlugin", static_cast<int>(c.code)));
      EXPECT_THAT(Errors(), ElementsAreArray(expected));
      EXPECT_THAT(NamesSinceMark(), ElementsAre("IVelmoraApi::OpenPlugin"));
    }
  }
}

TEST_F(KdfPluginMgrTest, Preload) {
  struct Case {
    const char* name;
    bool needed;
    ngc_error_t openResult;
    u32 code;
    std::vector<std::string> calls;  // after construction, without IsPluginOpen
  };
  std::vector<std::string> opensAndStops = {"IVelmoraApi::IsPreloadNeeded", "IVelmoraApi::OpenPlugin",
                                            "IVelmoraApi::Clear", "IVelmoraApi::SetParameters"};
  opensAndStops.insert(opensAndStops.end(), kSiblingRefresh.begin(), kSiblingRefresh.end());
  const Case cases[] = {
      {"not needed", false, HXT_NGC_OK, 0, {"IVelmoraApi::IsPreloadNeeded"}},
      {"needed", true, HXT_NGC_OK, 0, opensAndStops},
      {"awaiting approval",
       true,
       HXT_NGC_AWAITING_APPROVAL,
       kKdfOpenApprovalPending,
       {"IVelmoraApi::IsPreloadNeeded", "IVelmoraApi::OpenPlugin"}},
      {"open fails", true, 12, kKdfOpenFailed, {"IVelmoraApi::IsPreloadNeeded", "IVelmoraApi::OpenPlugin"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::Configure([&](fake::Script& s) {
      s.preloadNeeded = c.needed;
      s.velmora.openPlugin = c.openResult;
    });
    Create();
    Mark();
    EXPECT_EQ(mgr_->PreloadPlugin(), c.code);
    EXPECT_THAT(NamesSinceMark(), ElementsAreArray(c.calls));
    if (c.code != 0) {
      EXPECT_EQ(Errors().back(), Failed("CVelmoraKdfPluginMgr::openPlugin", static_cast<int>(c.code)));
    }
    Release();
  }
}

TEST_F(KdfPluginMgrTest, SiblingFailureStopsTheSequenceAndReleasesWhatWasCreated) {
  struct Case {
    const char* name;
    std::function<void(fake::Script&)> script;
    std::string error;
    std::vector<std::string> calls;  // of the siblings, in order
  };
  const Case cases[] = {
      {"IVpnDnsApi refresh fails",
       [](fake::Script& s) { s.vpnDns.refreshPids = 7; },
       Failed("IVpnDnsApi::RefreshVelmoraPids", 7),
       {"CVpnDnsApiClassFactory::CreateInstance", "IVpnDnsApi::OpenPlugin", "IVpnDnsApi::RefreshVelmoraPids",
        "IVpnDnsApi::ClosePlugin", "CVpnDnsApiClassFactory::ReleaseInstance"}},
      {"IKestrumApi not created",
       [](fake::Script& s) { s.kestrum.createReturnsNull = true; },
       "unable to create instance of IKestrumApi interface.",
       {"CVpnDnsApiClassFactory::CreateInstance", "IVpnDnsApi::OpenPlugin", "IVpnDnsApi::RefreshVelmoraPids",
        "IVpnDnsApi::ClosePlugin", "CKestrumApiClassFactory::CreateInstance", "IVpnDnsApi::ClosePlugin",
        "CVpnDnsApiClassFactory::ReleaseInstance"}},
      {"ISocketRedirectorApi close fails", [](fake::Script& s) { s.socketRedirector.closePlugin = 5; },
       Failed("ISocketRedirectorApi::ClosePlugin", 5), kSiblingRefresh},
  };
  Create();
  struct Operation {
    const char* name;
    std::function<bool()> run;
    std::string refreshFailed;
  };
  const Operation operations[] = {
      {"UpdatePids", [this] { return mgr_->UpdatePids({4}); }, "sendRefreshVelmoraPidsToOtherPlugins failed"},
      {"StopPlugin", [this] { return mgr_->StopPlugin(); }, "sendRefreshVelmoraPidsToOtherPlugins failed."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::Configure(c.script);
    for (const auto& op : operations) {
      SCOPED_TRACE(op.name);
      Mark();
      EXPECT_TRUE(op.run()) << "a sibling's failure never fails the operation";
      EXPECT_THAT(Errors(), ElementsAre(c.error, op.refreshFailed));
      std::vector<std::string> siblings;
      for (const auto& n : NamesSinceMark()) {
        if (n.find("IVelmoraApi") == std::string::npos) siblings.push_back(n);
      }
      EXPECT_THAT(siblings, ElementsAreArray(c.calls));
    }
  }
}

TEST_F(KdfPluginMgrTest, DestructionClosesAnOpenPluginAndReleasesTheApi) {
  struct Case {
    const char* name;
    bool open;
    ngc_error_t closeResult, releaseResult;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"never opened", false, 0, 0, {}},
      {"open", true, 0, 0, {}},
      {"close fails",
       true,
       8,
       0,
       {Failed("IVelmoraApi::ClosePlugin", 8), "CVelmoraKdfPluginMgr::closePlugin failed"}},
      {"release fails", false, 0, 9, {Failed("CVelmoraApiClassFactory::ReleaseInstance", 9)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fake::Reset();
    fake::Configure([&](fake::Script& s) {
      s.velmora.closePlugin = c.closeResult;
      s.velmora.releaseInstance = c.releaseResult;
    });
    Create();
    if (c.open) {
      ASSERT_TRUE(mgr_->UpdateWhiteList({}, {}));
    }
    Mark();
    Release();
    std::vector<std::string> expected = {"IVelmoraApi::IsPluginOpen"};
    if (c.open) {
      expected.push_back("IVelmoraApi::Clear");
      expected.insert(expected.end(), kSiblingRefresh.begin(), kSiblingRefresh.end());
      expected.push_back("IVelmoraApi::ClosePlugin");
    }
    expected.push_back("CVelmoraApiClassFactory::ReleaseInstance");
    EXPECT_THAT(NamesSinceMark(true), ElementsAreArray(expected));
    EXPECT_THAT(Errors(), ElementsAreArray(c.errors));
    EXPECT_EQ(fake::LiveInstances(fake::Interface::Velmora), 0);
  }
}

TEST_F(KdfPluginMgrTest, DisruptionOnTheLibraryThreadReachesTheCallback) {
  Create();
  ASSERT_TRUE(ApplyAllPorts());
  ASSERT_TRUE(fake::RaiseDisruption());
  ASSERT_TRUE(test::WaitFor([this] { return !callback_.Threads().empty(); }));
  fake::JoinDisruptionThreads();
  auto threads = callback_.Threads();
  ASSERT_EQ(threads.size(), 1u);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_THAT(log_.Messages(LOG_LEVEL_WARNING), ElementsAre("Notified of KDF disruption."));
}

// Operations from several threads, with disruptions arriving meanwhile, reach
// the filter one at a time.
TEST_F(KdfPluginMgrTest, OperationsFromSeveralThreadsAreSerialised) {
  Create();
  ASSERT_TRUE(ApplyAllPorts());
  std::atomic<int> failures{0};
  auto work = [&](u32 base) {
    for (u32 i = 0; i < 40; ++i) {
      if (!mgr_->UpdatePids({base + i})) ++failures;
      if (!mgr_->UpdatePorts(0, 0, 0, static_cast<u16>(1024 + i))) ++failures;
    }
  };
  std::thread a(work, 1000), b(work, 2000);
  for (int i = 0; i < 5; ++i) fake::RaiseDisruption();
  a.join();
  b.join();
  fake::JoinDisruptionThreads();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(fake::MaxConcurrentVelmoraCalls(), 1);
  EXPECT_EQ(callback_.Threads().size(), 5u);
}

}  // namespace
}  // namespace hxt
