// The production filter library (libhx_sock_fltr_api) against a live hxsockfilterd.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <boost/asio/local/stream_protocol.hpp>

#include "agent/velmorainfo.h"
#include "hxtarrow/sockfltrapi.h"
#include "support/daemonbench.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;

struct RecordingCallback : IKdfApiCB {
  void OnKdfDisruption() override { ++count; }
  std::atomic<int> count{0};
};

// One API object of the library, released on destruction.
template <typename Api, typename Factory>
struct Instance {
  Instance() : api(Factory::CreateInstance()) {}
  ~Instance() { Factory::ReleaseInstance(&api); }
  Api* operator->() { return api; }
  Api* api;
};
using VelmoraApi = Instance<IVelmoraApi, CVelmoraApiClassFactory>;

class FilterLibraryTest : public ::testing::Test, public DaemonBench {
 protected:
  CVelmoraInfo RedirectRecord(const std::vector<std::string>& whiteList4 = {}) {
    const CVelmoraInfo::Ports ports{service_.udpPort(), 0, service_.tcpPort(), 0};
    return CVelmoraInfo::All(whiteList4, {}, {}, {}, ports, 1, {7, 8}, true, false);
  }
  std::string Ask(const std::string& name) { return AskUdp(daemon_->Udp(HXT_AF_INET), name); }
  // Hands `record` to the library.
  static ngc_error_t Set(VelmoraApi& api, CVelmoraInfo record) { return api->SetParameters(&record); }

  RecordingCallback callback_;
};

TEST_F(FilterLibraryTest, WithoutADaemonOperationsFailWithDocumentedCodes) {
  VelmoraApi api;
  ASSERT_NE(api.api, nullptr);
  EXPECT_TRUE(api->IsPreloadNeeded());
  EXPECT_EQ(api->OpenPlugin(&callback_), kErrNoDaemon);
  EXPECT_FALSE(api->IsPluginOpen());
  EXPECT_EQ(api->StartEncryptedDnsHandling(), kErrNoDaemon);
  EXPECT_EQ(Set(api, RedirectRecord()), kErrNotOpen);
  EXPECT_EQ(api->Clear(), kErrNotOpen);
  Instance<IKestrumApi, CKestrumApiClassFactory> kestrum;
  EXPECT_EQ(kestrum->OpenPlugin(&callback_), kErrNoDaemon);
  EXPECT_EQ(kestrum->RefreshVelmoraPids(), kErrNotOpen);
  IVelmoraApi* none = nullptr;
  EXPECT_EQ(CVelmoraApiClassFactory::ReleaseInstance(&none), kErrInvalidArgument);
  EXPECT_EQ(CVelmoraApiClassFactory::ReleaseInstance(nullptr), kErrInvalidArgument);
}

TEST_F(FilterLibraryTest, EveryOperationReachesTheDaemon) {
  StartDaemon();
  VelmoraApi api, second;
  EXPECT_EQ(api->StartEncryptedDnsHandling(), HXT_NGC_OK);
  EXPECT_FALSE(api->IsPluginOpen());
  ASSERT_EQ(api->OpenPlugin(&callback_), HXT_NGC_OK);
  EXPECT_TRUE(api->IsPluginOpen());
  EXPECT_EQ(api->OpenPlugin(&callback_), HXT_NGC_OK);  // open already: nothing to do
  EXPECT_TRUE(daemon_->counters().ownerConnected);
  EXPECT_EQ(second->OpenPlugin(&callback_), kErrBusy);  // a second agent
  EXPECT_FALSE(second->IsPluginOpen());

  ASSERT_EQ(Set(api, RedirectRecord()), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kAgentAnswer);
  ASSERT_EQ(Set(api, CVelmoraInfo::WhiteLists({"example.com"}, {})), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kResolverAnswer);
  EXPECT_EQ(Ask("www.example.org"), kAgentAnswer);
  ASSERT_EQ(Set(api, CVelmoraInfo::PortsOnly(CVelmoraInfo::Ports())), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.org"), kResolverAnswer);
  ASSERT_EQ(Set(api, RedirectRecord()), HXT_NGC_OK);
  ASSERT_EQ(api->Clear(), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.org"), kResolverAnswer);
  EXPECT_EQ(api->SetParameters(nullptr), kErrInvalidArgument);

  // The siblings open, refresh and close without disturbing the owner.
  auto sibling = [&](auto&& instance, auto&&... id) {
    EXPECT_EQ(instance->OpenPlugin(id..., &callback_), HXT_NGC_OK);
    EXPECT_EQ(instance->RefreshVelmoraPids(), HXT_NGC_OK);
    EXPECT_EQ(instance->ClosePlugin(), HXT_NGC_OK);
  };
  sibling(Instance<IVpnDnsApi, CVpnDnsApiClassFactory>());
  sibling(Instance<IKestrumApi, CKestrumApiClassFactory>());
  Instance<ISocketRedirectorApi, CSocketRedirectorApiClassFactory> redirector;
  EXPECT_EQ(redirector->OpenPlugin("somebody else", &callback_), kErrInvalidArgument);
  sibling(redirector, HXT_SOCKET_REDIRECTOR_PLUGIN_ID);
  EXPECT_TRUE(daemon_->counters().ownerConnected);

  EXPECT_EQ(api->ClosePlugin(), HXT_NGC_OK);
  EXPECT_FALSE(api->IsPluginOpen());
  EXPECT_TRUE(WaitFor([&] { return !daemon_->counters().ownerConnected; }));
  EXPECT_EQ(daemon_->counters().disruptions, 0u);  // an orderly close is no disruption
  EXPECT_EQ(callback_.count.load(), 0);
}

TEST_F(FilterLibraryTest, ARestartedDaemonGetsItsStateBackFromAConnectedLibrary) {
  StartDaemon();
  VelmoraApi api;
  ASSERT_EQ(api->OpenPlugin(&callback_), HXT_NGC_OK);
  ASSERT_EQ(Set(api, RedirectRecord({"white.test"})), HXT_NGC_OK);
  EXPECT_EQ(Ask("www.example.com"), kAgentAnswer);

  daemon_.reset();
  ASSERT_TRUE(WaitFor([&] { return callback_.count == 1; }));
  EXPECT_FALSE(api->IsPluginOpen());
  EXPECT_EQ(Set(api, RedirectRecord()), kErrConnectionLost);

  StartDaemon();
  ASSERT_TRUE(WaitFor([&] { return api->IsPluginOpen(); }));
  EXPECT_TRUE(daemon_->counters().ownerConnected);
  EXPECT_EQ(Ask("www.example.com"), kAgentAnswer);
  EXPECT_EQ(Ask("white.test"), kResolverAnswer);
  EXPECT_EQ(callback_.count.load(), 1);
  // The agent's listeners gone, the agent hears of it too.
  service_.CloseListeners();
  EXPECT_EQ(Ask("www.example.com"), kResolverAnswer);
  EXPECT_TRUE(WaitFor([&] { return callback_.count == 2; }));
}

TEST_F(FilterLibraryTest, ADaemonOfAnotherVersionIsRefused) {
  // A stand-in daemon that answers HELLO with version 2, then waits for the library to hang up.
  ::mkdir((root_.path() + "/run").c_str(), 0700);
  boost::asio::io_context io;
  boost::asio::local::stream_protocol::acceptor listener(io, DefaultControlPath());
  std::thread standIn([&listener] {
    pollfd p{listener.native_handle(), POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return;
    int peer = ::accept(listener.native_handle(), nullptr, nullptr);
    u8 hello[256];
    if (::recv(peer, hello, sizeof hello, 0) >= 12) {
      FrameWriter w(kMsgHelloReply,
                    static_cast<u32>(hello[8] | (hello[9] << 8) | (hello[10] << 16) | (hello[11] << 24)));
      for (u32 value : {0u, 2u, 1u}) w.U32(value);  // status, version, pid
      w.String("future daemon");
      const std::vector<u8> reply = w.Finish();
      ::send(peer, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    p = {peer, POLLIN, 0};
    ::poll(&p, 1, 10000);
    ::close(peer);
  });
  {
    VelmoraApi api;
    EXPECT_EQ(api->OpenPlugin(&callback_), kErrVersionMismatch);
    EXPECT_FALSE(api->IsPluginOpen());
  }
  standIn.join();
}

}  // namespace
}  // namespace hxt::test
