#include <fstream>
#include <future>
#include <optional>
#include <stdexcept>

#include "agent/velmoramainthread.h"
#include "fake/fakesockfilter.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"
#include "servers.h"

namespace hxt::bench {

namespace {

std::size_t agentAnswerSize(Transport transport, std::size_t requestSize) {
  return transport == Transport::Udp ? requestSize : requestSize - kRedirectHeaderSize;
}

// The whole service path in this process: the orchestrator with the fake DNS
// plug-in (echoing every query from its own thread) and the filter double,
// hosts made by the plug-in's redirect payload.
class AgentServer : public Server {
 public:
  explicit AgentServer(u32 family) {
    root_.WriteRegistry(test::TestRoot::DotNetPresentEntry());
    root_.WriteMachineId("0123456789abcdef0123456789abcdef\n");
    root_.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}");
    fakefilter::Reset();
    dns_.emplace(test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root_.PluginsPath()));
    test::InstallPlugin(HXT_FAKE_PLUGIN_SWG, root_.PluginsPath());
    test::InstallPlugin(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER, root_.PluginsPath());
    if (!dns_->ok()) throw std::runtime_error("fake DNS plug-in not loadable");
    (*dns_)->Reset();
    (*dns_)->SetDnsAnswerMode(fake::DnsAnswerMode::Echo);

    MainThreadSettings settings;
    settings.ipc.port = 0;
    if (!CVelmoraMainThread::createSingletonInstance(settings)) throw std::runtime_error("agent not created");
    agent_ = CVelmoraMainThread::instance();
    loop_ = std::async(std::launch::async, [this] { return agent_->Run(); });
    if (!test::WaitFor([&] { return agent_->getState() == VELMORA_PLUGIN_STARTED; })) {
      throw std::runtime_error("agent did not start its plug-in");
    }
    auto request = fake::MakeCallback(fake::Callback::ChangeDnsRedirectionMode);
    request.text =
        family == kAddressFamilyIPv6
            ? R"({"version":1,"ignore_pids":[],"dns4":{"redirect":false,"whitelist":[],"resolvers":[]},)"
              R"("dns6":{"redirect":true,"whitelist":[],"resolvers":[]}})"
            : R"({"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},)"
              R"("dns6":{"redirect":false,"whitelist":[],"resolvers":[]}})";
    if (!(*dns_)->Fire(request, nullptr, 10000) ||
        !agent_->listenerPortsForTesting(family, target_.udpPort, target_.tcpPort)) {
      throw std::runtime_error("redirection not activated");
    }
    target_.family = family;
    target_.answerSize = &agentAnswerSize;
  }
  ~AgentServer() override {
    agent_->RequestShutdown();
    loop_.wait();
    CVelmoraMainThread::releaseInstance();
  }
  const char* Name() const override { return "agent"; }
  Target GetTarget() const override { return target_; }

 private:
  test::TestRoot root_;
  std::optional<test::FakePlugin> dns_;
  CVelmoraMainThread* agent_ = nullptr;
  std::future<bool> loop_;
  Target target_;
};

}  // namespace

std::unique_ptr<Server> MakeAgentServer(u32 family) {
  return std::make_unique<AgentServer>(family);
}

}  // namespace hxt::bench
