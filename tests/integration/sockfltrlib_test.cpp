// The production filter library (libhx_sock_fltr_api) against a live
// hxsockfilterd, and the agent's filter manager on top of both.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "agent/velmorainfo.h"
#include "agent/velmorakdfpluginmgr.h"
#include "common/controlproto.h"
#include "fakes/capturelogger.h"
#include "fakes/daemonrunner.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;
using udp = asio::ip::udp;

constexpr const char* kServiceAnswer = "192.0.2.2";
constexpr const char* kUpstreamAnswer = "192.0.2.1";

class RecordingCallback : public IKdfApiCB, public IVelmoraKdfCB {
 public:
  void OnKdfDisruption() override { record(); }
  void NotifyKdfDisruption() override { record(); }
  int count() const { return count_; }
  std::thread::id thread() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return thread_;
  }

 private:
  void record() {
    std::lock_guard<std::mutex> lock(mutex_);
    thread_ = std::this_thread::get_id();
    ++count_;
  }
  mutable std::mutex mutex_;
  std::thread::id thread_;
  std::atomic<int> count_{0};
};

template <typename Api, typename Factory>
struct Instance {
  Instance() : api(Factory::CreateInstance()) {}
  ~Instance() {
    if (api != nullptr) Factory::ReleaseInstance(&api);
  }
  Api* operator->() { return api; }
  Api* api;
};
using VelmoraApi = Instance<IVelmoraApi, CVelmoraApiClassFactory>;

class FilterLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    service_ = std::make_unique<TestService>("127.0.0.1", kServiceAnswer);
    upstream_ = std::make_unique<TestUpstream>("127.0.0.1", kUpstreamAnswer);
    config_.stub4 = udp::endpoint(asio::ip::make_address("127.0.0.1"), 0);
    config_.resolvers = {upstream_->endpoint()};
    // Where the library looks: below the test's HXT_ROOT.
    config_.controlPath = DefaultControlPath();
  }

  void StartDaemon() {
    daemon_ = std::make_unique<DaemonRunner>(config_);
    ASSERT_TRUE(daemon_->started());
    stub_ = daemon_->Udp(HXT_AF_INET);
  }

  CVelmoraInfo RedirectRecord(const std::vector<std::string>& whiteList4 = {}) {
    CVelmoraInfo::Ports ports;
    ports.udp4 = service_->udpPort();
    ports.tcp4 = service_->tcpPort();
    return CVelmoraInfo::All(whiteList4, {}, {}, {}, ports, 1, {7, 8}, true, false);
  }

  std::string Ask(const std::string& name) {
    auto answer = UdpExchange(stub_, MakeQuery(name, 9));
    return answer ? AnswerAddress(*answer) : "no answer";
  }

  TestRoot root_;
  SockFilterConfig config_;
  std::unique_ptr<TestService> service_;
  std::unique_ptr<TestUpstream> upstream_;
  std::unique_ptr<DaemonRunner> daemon_;
  udp::endpoint stub_;
};

TEST_F(FilterLibraryTest, WithoutADaemonOperationsFailWithDocumentedCodes) {
  VelmoraApi api;
  ASSERT_NE(api.api, nullptr);
  RecordingCallback callback;
  EXPECT_TRUE(api->IsPreloadNeeded());
  EXPECT_EQ(api->OpenPlugin(&callback), kErrNoDaemon);
  EXPECT_FALSE(api->IsPluginOpen());
  EXPECT_EQ(api->StartEncryptedDnsHandling(), kErrNoDaemon);
  CVelmoraInfo record = RedirectRecord();
  EXPECT_EQ(api->SetParameters(&record), kErrNotOpen);
  EXPECT_EQ(api->Clear(), kErrNotOpen);

  Instance<IKestrumApi, CKestrumApiClassFactory> kestrum;
  EXPECT_EQ(kestrum->OpenPlugin(&callback), kErrNoDaemon);
  EXPECT_EQ(kestrum->RefreshVelmoraPids(), kErrNotOpen);

  IVelmoraApi* none = nullptr;
  EXPECT_EQ(CVelmoraApiClassFactory::ReleaseInstance(&none), kErrInvalidArgument);
  EXPECT_EQ(CVelmoraApiClassFactory::ReleaseInstance(nullptr), kErrInvalidArgument);
}

TEST_F(FilterLibraryTest, EveryOperationReachesTheDaemon) {
  StartDaemon();
  VelmoraApi api;
  RecordingCallback callback;
  EXPECT_EQ(api->StartEncryptedDnsHandling(), HXT_NGC_OK);
  EXPECT_FALSE(api->IsPluginOpen());
  ASSERT_EQ(api->OpenPlugin(&callback), HXT_NGC_OK);
  EXPECT_TRUE(api->IsPluginOpen());
  EXPECT_EQ(api->OpenPlugin(&callback), HXT_NGC_OK);  // open already: nothing to do
  EXPECT_TRUE(daemon_->counters().ownerConnected);

  CVelmoraInfo all = RedirectRecord();
  ASSERT_EQ(api->SetParameters(&all), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kServiceAnswer);

  CVelmoraInfo lists = CVelmoraInfo::WhiteLists({"example.com"}, {});
  ASSERT_EQ(api->SetParameters(&lists), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kUpstreamAnswer);
  EXPECT_EQ(Ask("www.example.org"), kServiceAnswer);

  CVelmoraInfo noPorts = CVelmoraInfo::PortsOnly(CVelmoraInfo::Ports());
  ASSERT_EQ(api->SetParameters(&noPorts), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.org"), kUpstreamAnswer);

  CVelmoraInfo again = RedirectRecord();
  ASSERT_EQ(api->SetParameters(&again), HXT_NGC_OK);
  ASSERT_EQ(api->Clear(), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.org"), kUpstreamAnswer);
  EXPECT_EQ(api->SetParameters(nullptr), kErrInvalidArgument);

  Instance<IVpnDnsApi, CVpnDnsApiClassFactory> vpn;
  Instance<IKestrumApi, CKestrumApiClassFactory> kestrum;
  Instance<ISocketRedirectorApi, CSocketRedirectorApiClassFactory> redirector;
  EXPECT_EQ(vpn->OpenPlugin(&callback), HXT_NGC_OK);
  EXPECT_EQ(vpn->RefreshVelmoraPids(), HXT_NGC_OK);
  EXPECT_EQ(vpn->ClosePlugin(), HXT_NGC_OK);
  EXPECT_EQ(kestrum->OpenPlugin(&callback), HXT_NGC_OK);
  EXPECT_EQ(kestrum->RefreshVelmoraPids(), HXT_NGC_OK);
  EXPECT_EQ(kestrum->ClosePlugin(), HXT_NGC_OK);
  EXPECT_EQ(redirector->OpenPlugin("somebody else", &callback), kErrInvalidArgument);
  EXPECT_EQ(redirector->OpenPlugin(HXT_SOCKET_REDIRECTOR_PLUGIN_ID, &callback), HXT_NGC_OK);
  EXPECT_EQ(redirector->RefreshVelmoraPids(), HXT_NGC_OK);
  EXPECT_EQ(redirector->ClosePlugin(), HXT_NGC_OK);
  EXPECT_TRUE(daemon_->counters().ownerConnected);  // siblings leave the owner alone

  EXPECT_EQ(api->ClosePlugin(), HXT_NGC_OK);
  EXPECT_FALSE(api->IsPluginOpen());
  EXPECT_TRUE(WaitFor([&] { return !daemon_->counters().ownerConnected; }));
  EXPECT_EQ(daemon_->counters().disruptions, 0u);  // an orderly close is no disruption
  EXPECT_EQ(callback.count(), 0);
}

TEST_F(FilterLibraryTest, ASecondAgentFindsTheFilterBusy) {
  StartDaemon();
  VelmoraApi first;
  VelmoraApi second;
  RecordingCallback callback;
  ASSERT_EQ(first->OpenPlugin(&callback), HXT_NGC_OK);
  EXPECT_EQ(second->OpenPlugin(&callback), kErrBusy);
  EXPECT_FALSE(second->IsPluginOpen());
}

TEST_F(FilterLibraryTest, DisruptionNoticesArriveOnTheLibrarysThread) {
  StartDaemon();
  VelmoraApi api;
  RecordingCallback callback;
  ASSERT_EQ(api->OpenPlugin(&callback), HXT_NGC_OK);
  CVelmoraInfo all = RedirectRecord();
  ASSERT_EQ(api->SetParameters(&all), HXT_NGC_OK);
  service_->CloseListeners();
  EXPECT_EQ(Ask("www.example.com"), kUpstreamAnswer);
  ASSERT_TRUE(WaitFor([&] { return callback.count() == 1; }));
  EXPECT_NE(callback.thread(), std::this_thread::get_id());
  EXPECT_EQ(Ask("www.example.net"), kUpstreamAnswer);
  EXPECT_EQ(daemon_->counters().disruptions, 1u);
}

TEST_F(FilterLibraryTest, ARestartedDaemonGetsItsStateBackFromAConnectedLibrary) {
  StartDaemon();
  VelmoraApi api;
  RecordingCallback callback;
  ASSERT_EQ(api->OpenPlugin(&callback), HXT_NGC_OK);
  CVelmoraInfo all = RedirectRecord({"white.test"});
  ASSERT_EQ(api->SetParameters(&all), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kServiceAnswer);

  daemon_.reset();
  ASSERT_TRUE(WaitFor([&] { return callback.count() == 1; }));
  EXPECT_FALSE(api->IsPluginOpen());
  CVelmoraInfo meanwhile = RedirectRecord();
  EXPECT_EQ(api->SetParameters(&meanwhile), kErrConnectionLost);

  StartDaemon();
  ASSERT_TRUE(WaitFor([&] { return api->IsPluginOpen(); }));
  EXPECT_TRUE(daemon_->counters().ownerConnected);
  EXPECT_EQ(Ask("www.example.com"), kServiceAnswer);
  EXPECT_EQ(Ask("white.test"), kUpstreamAnswer);
  EXPECT_EQ(callback.count(), 1);
}

TEST_F(FilterLibraryTest, ADaemonOfAnotherVersionIsRefused) {
  // A stand-in daemon that accepts the connection and answers HELLO with
  // version 2.
  std::string path = DefaultControlPath();
  ::mkdir((root_.path() + "/run").c_str(), 0700);
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  std::thread standIn([listener] {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return;
    int peer = ::accept(listener, nullptr, nullptr);
    u8 hello[256];
    ssize_t n = ::recv(peer, hello, sizeof hello, 0);
    if (n >= 12) {
      u32 sequence = static_cast<u32>(hello[8] | (hello[9] << 8) | (hello[10] << 16) | (hello[11] << 24));
      FrameWriter w(kMsgHelloReply, sequence);
      w.U32(0);
      w.U32(2);
      w.U32(1);
      w.String("future daemon");
      std::vector<u8> reply = w.Finish();
      ::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    u8 sink[64];
    p = {peer, POLLIN, 0};
    ::poll(&p, 1, 10000);  // until the library hangs up
    ::recv(peer, sink, sizeof sink, 0);
    ::close(peer);
  });
  {
    VelmoraApi api;
    RecordingCallback callback;
    EXPECT_EQ(api->OpenPlugin(&callback), kErrVersionMismatch);
    EXPECT_FALSE(api->IsPluginOpen());
  }
  standIn.join();
  ::close(listener);
}

TEST_F(FilterLibraryTest, TheAgentsFilterManagerDrivesTheDaemon) {
  ScopedCaptureLog log;
  StartDaemon();
  RecordingCallback orchestrator;
  CVelmoraKdfPluginMgr* manager = nullptr;
  ASSERT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(&orchestrator, &manager), kKdfMgrOk);
  EXPECT_EQ(manager->PreloadPlugin(), 0u);
  EXPECT_TRUE(daemon_->counters().ownerConnected);

  ASSERT_TRUE(manager->SetParameters({}, {}, {}, {}, 0, 0, 0, 0, {42}, true, false));
  EXPECT_EQ(Ask("www.example.com"), kUpstreamAnswer);  // no ports yet
  ASSERT_TRUE(manager->UpdatePorts(service_->udpPort(), 0, service_->tcpPort(), 0));
  EXPECT_EQ(Ask("www.example.com"), kServiceAnswer);
  ASSERT_TRUE(manager->UpdateWhiteList({"example.com"}, {}));
  EXPECT_EQ(Ask("www.example.com"), kUpstreamAnswer);
  ASSERT_TRUE(manager->UpdatePids({43}));
  ASSERT_TRUE(manager->StopPlugin());
  EXPECT_EQ(Ask("www.example.org"), kUpstreamAnswer);

  ASSERT_TRUE(manager->UpdatePorts(service_->udpPort(), 0, service_->tcpPort(), 0));
  ASSERT_TRUE(manager->SetParameters({}, {}, {}, {}, service_->udpPort(), 0, service_->tcpPort(), 0, {}, true,
                                     false));
  service_->CloseListeners();
  EXPECT_EQ(Ask("www.example.org"), kUpstreamAnswer);
  ASSERT_TRUE(WaitFor([&] { return orchestrator.count() == 1; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Notified of KDF disruption.")) << log.Dump();

  CVelmoraKdfPluginMgr::releaseInstance(manager);
  EXPECT_TRUE(WaitFor([&] { return !daemon_->counters().ownerConnected; }));
  EXPECT_EQ(daemon_->counters().disruptions, 1u);
  EXPECT_TRUE(log.Messages(LOG_LEVEL_ERROR).empty()) << log.Dump();
}

}  // namespace
}  // namespace hxt::test
