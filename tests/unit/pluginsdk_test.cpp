// The plug-in SDK's binary layout, proven against real modules: operations
// are called by slot index, the way a plug-in built by another compiler sees
// them, and the fakes' callbacks and DNS answers are checked end to end.
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "agent/pluginloader.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

u32 ThreadId() {
  return static_cast<u32>(::syscall(SYS_gettid));
}

// ---- vtable slots from pointers to members (Itanium C++ ABI: a pointer to a
// virtual member holds 1 + the slot's byte offset, plus the this-adjustment).

struct MemberPointer {
  std::uintptr_t ptr;
  std::ptrdiff_t adj;
};

template <typename Method>
MemberPointer Decode(Method method) {
  static_assert(sizeof(Method) == sizeof(MemberPointer), "Itanium pointer to member");
  MemberPointer decoded;
  std::memcpy(&decoded, &method, sizeof decoded);
  return decoded;
}

// Slot index of a virtual member, or -1 for a non-virtual one.
template <typename Method>
long Slot(Method method) {
  MemberPointer decoded = Decode(method);
  return (decoded.ptr & 1) != 0 ? static_cast<long>((decoded.ptr - 1) / sizeof(void*)) : -1;
}

TEST(PluginSdkLayout, EveryOperationSitsAtItsPublishedSlot) {
  const std::vector<std::pair<long, long>> slots = {
      {Slot(&IPlugin::SupportsInterface), 0},
      {Slot(&IPluginMessageSink::ReceiveMessage), 1},
      {Slot(&IPluginMessageSink::ReceiveMessageResult), 2},
      {Slot(&IVelmoraPlugin::Init), 2},
      {Slot(&IVelmoraPlugin::Uninit), 3},
      {Slot(&IVelmoraPlugin::Start), 4},
      {Slot(&IVelmoraPlugin::InitiateStop), 5},
      {Slot(&IVelmoraPlugin::OpenSession), 6},
      {Slot(&IVelmoraPlugin::Send), 7},
      {Slot(&IVelmoraPlugin::CloseSession), 8},
      {Slot(&IVelmoraPlugin::VpnStateChanged), 9},
      {Slot(&IVelmoraPlugin::UpgradeStateChanged), 10},
      {Slot(&IVelmoraPlugin::DnsRedirectionDisrupted), 11},
      {Slot(&ISWGPlugin::Init), 2},
      {Slot(&ISWGPlugin::Uninit), 3},
      {Slot(&ISWGPlugin::Start), 4},
      {Slot(&ISWGPlugin::InitiateStop), 5},
      {Slot(&ICloudDownloaderPlugin::Register), 2},
      {Slot(&ICloudDownloaderPlugin::Unregister), 3},
      {Slot(&ICloudDownloaderPlugin::Start), 4},
      {Slot(&ICloudDownloaderPlugin::Stop), 5},
      {Slot(&ICloudDownloaderPlugin::UpdateParameters), 6},
      {Slot(&ICloudDownloaderPlugin::UserSessionChange), 7},
      {Slot(&IVelmoraPluginCallback::Response), 0},
      {Slot(&IVelmoraPluginCallback::ErrorOccurred), 1},
      {Slot(&IVelmoraPluginCallback::SystemErrorOccurred), 2},
      {Slot(&IVelmoraPluginCallback::ProtectionStateChanged), 3},
      {Slot(&IVelmoraPluginCallback::ChangeDnsRedirectionMode), 4},
      {Slot(&IVelmoraPluginCallback::UpgradeDetailsChanged), 5},
      {Slot(&IVelmoraPluginCallback::PluginStopped), 6},
      {Slot(&ISWGPluginCallback::SystemErrorOccurred), 0},
      {Slot(&ISWGPluginCallback::SWGStateChanged), 1},
      {Slot(&ISWGPluginCallback::SWGStatsChanged), 2},
      {Slot(&ISWGPluginCallback::SWGPluginStopped), 3},
      {Slot(&IPluginMessagingCallback::SendPluginMessage), 0},
      {Slot(&ICloudDownloaderPluginCB::UpdateAvailable), 0},
      {Slot(&ICloudDownloaderPluginCB::UpdateInProgress), 1},
  };
  for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_EQ(slots[i].first, slots[i].second) << "entry " << i;

  // The message sink is the second base, one pointer behind the first.
  u32 (IVelmoraPlugin::*receive)(const char*, const char*, const char*, u64) =
      &IPluginMessageSink::ReceiveMessage;
  EXPECT_EQ(Decode(receive).adj, static_cast<std::ptrdiff_t>(sizeof(void*)));
  void (ISWGPlugin::*result)(const char*, const char*, u32) = &IPluginMessageSink::ReceiveMessageResult;
  EXPECT_EQ(Decode(result).adj, static_cast<std::ptrdiff_t>(sizeof(void*)));
  EXPECT_EQ(sizeof(InterfaceDescriptor), 2 * sizeof(void*));
}

// ---- the service's side of the callbacks, recording what arrives

class RecordingService : public IVelmoraPluginCallback,
                         public ISWGPluginCallback,
                         public IPluginMessagingCallback,
                         public ICloudDownloaderPluginCB {
 public:
  struct Event {
    std::string name;
    std::string data;
    u32 threadId;
  };

  void Response(u32 handle, u32 contextId, const unsigned char* data, u32 size) override {
    add("Response " + std::to_string(handle) + " " + std::to_string(contextId),
        std::string(reinterpret_cast<const char*>(data), size));
  }
  void ErrorOccurred(u32 handle, u32 contextId, u32 error) override {
    add("ErrorOccurred " + std::to_string(handle) + " " + std::to_string(contextId) + " " +
        std::to_string(error));
  }
  void SystemErrorOccurred(u32 code) override { add("SystemErrorOccurred " + std::to_string(code)); }
  void ProtectionStateChanged(const char* json) override { add("ProtectionStateChanged", json); }
  void ChangeDnsRedirectionMode(const char* json) override { add("ChangeDnsRedirectionMode", json); }
  void UpgradeDetailsChanged(const char* json) override { add("UpgradeDetailsChanged", json); }
  void PluginStopped() override { add("PluginStopped"); }
  void SWGStateChanged(const char* json) override { add("SWGStateChanged", json); }
  void SWGStatsChanged(const char* json) override { add("SWGStatsChanged", json); }
  void SWGPluginStopped() override { add("SWGPluginStopped"); }
  u32 SendPluginMessage(const char* to, const char* from, const char* topic, const char* payload) override {
    add(std::string("SendPluginMessage ") + to + " " + from + " " + topic, payload ? payload : "(null)");
    return 7;
  }
  i32 UpdateAvailable() override {
    add("UpdateAvailable");
    return -10;
  }
  i32 UpdateInProgress() override {
    add("UpdateInProgress");
    return 0;
  }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& event : Events()) names.push_back(event.name);
    return names;
  }
  bool WaitForEvents(std::size_t count) const {
    return test::WaitFor([&] { return Events().size() >= count; });
  }

 private:
  void add(std::string name, const char* data) { add(std::move(name), std::string(data ? data : "(null)")); }
  void add(std::string name, std::string data = std::string()) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({std::move(name), std::move(data), ThreadId()});
  }

  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

// A standard query: id 0x1234, recursion desired, one question of `type` (class IN).
std::string Query(const std::string& name, unsigned type) {
  std::string query("\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    query.push_back(static_cast<char>(dot - start));
    query += name.substr(start, dot - start);
    start = dot + 1;
  }
  query.push_back('\0');
  query += std::string{'\0', static_cast<char>(type), '\0', '\x01'};
  return query;
}

unsigned Rcode(const std::string& reply, std::size_t offset = 0) {
  return static_cast<unsigned char>(reply.at(offset + 3)) & 0x0f;
}

class PluginSdkTest : public ::testing::Test {
 protected:
  ~PluginSdkTest() override { PluginLoader::releaseInstance(loader_); }

  std::string Install(const char* module) { return test::InstallPlugin(module, root_.PluginsPath()); }
  // Creates the loader on first use, after the modules were installed.
  template <typename T>
  T* Create(const char* id) {
    if (loader_ == nullptr && !PluginLoader::createSingletonInstance(loader_)) return nullptr;
    return PluginLoader::QuickCreatePlugin<T>(id);
  }

  test::TestRoot root_;
  test::ScopedCaptureLog log_;
  PluginLoader* loader_ = nullptr;
  RecordingService service_;
};

// Calls the operation in `slot` of the vtable of `object`, with `object` as
// `this`, exactly as foreign code compiled against the published table would.
template <typename Result, typename Object, typename... Args>
Result CallSlot(Object* object, std::size_t slot, Args... args) {
  void** vtable = *reinterpret_cast<void***>(object);
  auto function = reinterpret_cast<Result (*)(Object*, Args...)>(vtable[slot]);
  return function(object, args...);
}

TEST_F(PluginSdkTest, FakeOperationsAnswerAtTheirSlots) {
  test::FakePlugin dnsFake(Install(HXT_FAKE_PLUGIN_VELMORA));
  test::FakePlugin swgFake(Install(HXT_FAKE_PLUGIN_SWG));
  test::FakePlugin cloudFake(Install(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER));
  auto* dns = Create<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  auto* swg = Create<ISWGPlugin>(HXT_SWG_PLUGIN_ID);
  auto* cloud = Create<ICloudDownloaderPlugin>(HXT_CLOUD_DOWNLOADER_ID);
  ASSERT_TRUE(dns && swg && cloud) << log_.Dump();
  dnsFake->Reset();
  swgFake->Reset();
  cloudFake->Reset();
  dnsFake->SetReportStopped(false);
  dnsFake->SetDnsAnswerMode(fake::DnsAnswerMode::Silent, 0);
  dnsFake->SetResult("IVelmoraPlugin::Send", 42);

  IPlugin* base = dns;
  IPluginMessageSink* sink = dns;
  u32 handle = 0;
  const unsigned char bytes[] = {1, 2, 3};
  EXPECT_TRUE((CallSlot<bool>(base, 0, HXT_VELMORA_PLUGIN_ID, u32{1})));
  EXPECT_EQ((CallSlot<u32>(sink, 1, "SWG", "topic", "{}", u64{1700000000000})), 0u);
  CallSlot<void>(sink, 2, "SWG", "StartPlugin", u32{18});
  EXPECT_EQ((CallSlot<u32>(dns, 2, "bin", "lib", "profile", "1.0.0", "udid",
                           static_cast<IVelmoraPluginCallback*>(&service_),
                           static_cast<IPluginMessagingCallback*>(&service_), static_cast<void*>(nullptr))),
            0u);
  CallSlot<void>(dns, 3);
  EXPECT_EQ(CallSlot<u32>(dns, 4), 0u);
  EXPECT_EQ(CallSlot<u32>(dns, 5), 0u);
  EXPECT_EQ((CallSlot<u32>(dns, 6, u32{9}, "192.0.2.53", u32{HXT_TRANSPORT_UDP}, &handle)), 0u);
  EXPECT_EQ((CallSlot<u32>(dns, 7, handle, bytes, u32{3})), 42u);
  EXPECT_EQ((CallSlot<u32>(dns, 8, handle)), 0u);
  EXPECT_EQ((CallSlot<u32>(dns, 9, "{\"vpn\":\"1\"}")), 0u);
  EXPECT_EQ((CallSlot<u32>(dns, 10, "{\"up\":\"1\"}")), 0u);
  EXPECT_EQ(CallSlot<u32>(dns, 11), 0u);

  const std::string callbackText = fake::PointerText(static_cast<IVelmoraPluginCallback*>(&service_));
  const std::string messagingText = fake::PointerText(static_cast<IPluginMessagingCallback*>(&service_));
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"IVelmoraPlugin::SupportsInterface", {HXT_VELMORA_PLUGIN_ID, "1"}},
      {"IVelmoraPlugin::ReceiveMessage", {"SWG", "topic", "{}", "1700000000000"}},
      {"IVelmoraPlugin::ReceiveMessageResult", {"SWG", "StartPlugin", "18"}},
      {"IVelmoraPlugin::Init",
       {"bin", "lib", "profile", "1.0.0", "udid", callbackText, messagingText, fake::PointerText(nullptr)}},
      {"IVelmoraPlugin::Uninit", {}},
      {"IVelmoraPlugin::Start", {}},
      {"IVelmoraPlugin::InitiateStop", {}},
      {"IVelmoraPlugin::OpenSession", {"9", "192.0.2.53", "2", std::to_string(handle)}},
      {"IVelmoraPlugin::Send", {std::to_string(handle), "\x01\x02\x03", "3"}},
      {"IVelmoraPlugin::CloseSession", {std::to_string(handle)}},
      {"IVelmoraPlugin::VpnStateChanged", {"{\"vpn\":\"1\"}"}},
      {"IVelmoraPlugin::UpgradeStateChanged", {"{\"up\":\"1\"}"}},
      {"IVelmoraPlugin::DnsRedirectionDisrupted", {}},
  };
  auto calls = dnsFake->Calls();
  ASSERT_EQ(calls.size(), expected.size());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].op, expected[i].first);
    EXPECT_EQ(calls[i].args, expected[i].second) << calls[i].op;
    EXPECT_EQ(calls[i].threadId, ThreadId());
  }
  EXPECT_NE(handle, 0u);

  EXPECT_EQ(
      (CallSlot<u32>(swg, 2, "bin", "lib", "profile", "1.0.0", static_cast<ISWGPluginCallback*>(&service_),
                     static_cast<IPluginMessagingCallback*>(&service_), static_cast<void*>(nullptr))),
      0u);
  CallSlot<void>(swg, 3);
  EXPECT_EQ((CallSlot<u32>(swg, 4, "{\"start\":\"1\"}")), 0u);
  swgFake->SetReportStopped(false);
  EXPECT_EQ(CallSlot<u32>(swg, 5), 0u);
  std::vector<std::string> swgOps;
  for (const auto& call : swgFake->Calls()) swgOps.push_back(call.op);
  EXPECT_EQ(swgOps, (std::vector<std::string>{"ISWGPlugin::Init", "ISWGPlugin::Uninit", "ISWGPlugin::Start",
                                              "ISWGPlugin::InitiateStop"}));

  EXPECT_EQ((CallSlot<u32>(cloud, 2, static_cast<ICloudDownloaderPluginCB*>(&service_))), 0u);
  CallSlot<void>(cloud, 3, static_cast<ICloudDownloaderPluginCB*>(&service_));
  EXPECT_EQ(CallSlot<u32>(cloud, 4), 0u);
  EXPECT_EQ(CallSlot<u32>(cloud, 5), 0u);
  EXPECT_EQ((CallSlot<u32>(cloud, 6, "https://example.test/u", u32{3600}, true)), 0u);
  EXPECT_EQ((CallSlot<u32>(cloud, 7, u32{HXT_USER_SESSION_LOGOFF})), 0u);
  auto cloudCalls = cloudFake->Calls();
  ASSERT_EQ(cloudCalls.size(), 6u);
  EXPECT_EQ(cloudCalls[4].op, "ICloudDownloaderPlugin::UpdateParameters");
  EXPECT_EQ(cloudCalls[4].args, (std::vector<std::string>{"https://example.test/u", "3600", "true"}));
  EXPECT_EQ(cloudCalls[5].op, "ICloudDownloaderPlugin::UserSessionChange");
  EXPECT_EQ(cloudCalls[5].args, std::vector<std::string>{"2"});

  EXPECT_TRUE(loader_->DisposeInstance(dns));
  EXPECT_TRUE(loader_->DisposeInstance(swg));
  EXPECT_TRUE(loader_->DisposeInstance(cloud));
}

TEST_F(PluginSdkTest, FakesCallTheServiceBackFromTheirOwnThread) {
  test::FakePlugin dnsFake(Install(HXT_FAKE_PLUGIN_VELMORA));
  test::FakePlugin cloudFake(Install(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER));
  auto* dns = Create<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  auto* cloud = Create<ICloudDownloaderPlugin>(HXT_CLOUD_DOWNLOADER_ID);
  ASSERT_TRUE(dns && cloud);
  EXPECT_FALSE(dnsFake->Post(fake::MakeCallback(fake::Callback::PluginStopped))) << "no callback before Init";
  ASSERT_EQ(dns->Init("b", "l", "p", "1.0.0", "u", &service_, &service_, nullptr), 0u);
  ASSERT_EQ(cloud->Register(&service_), 0u);

  fake::CallbackRequest state = fake::MakeCallback(fake::Callback::ProtectionStateChanged);
  state.text = "{\"state\":\"1\"}";
  fake::CallbackRequest message = fake::MakeCallback(fake::Callback::SendPluginMessage);
  message.to = "SWG";
  message.from = "Velmora";
  message.topic = "StopPlugin";
  message.nullText = true;
  long long result = 0;
  ASSERT_TRUE(dnsFake->Fire(state, &result, 10000));
  ASSERT_TRUE(dnsFake->Fire(message, &result, 10000));
  EXPECT_EQ(result, 7);
  ASSERT_TRUE(cloudFake->Fire(fake::MakeCallback(fake::Callback::UpdateAvailable), &result, 10000));
  EXPECT_EQ(result, -10);
  EXPECT_EQ(dns->InitiateStop(), 0u);
  ASSERT_TRUE(service_.WaitForEvents(4));

  const auto events = service_.Events();
  EXPECT_EQ(service_.Names(),
            (std::vector<std::string>{"ProtectionStateChanged", "SendPluginMessage SWG Velmora StopPlugin",
                                      "UpdateAvailable", "PluginStopped"}));
  EXPECT_EQ(events[0].data, "{\"state\":\"1\"}");
  EXPECT_EQ(events[1].data, "(null)");
  const u32 dnsThread = dnsFake->PluginThreadId(fake::PluginKind::Velmora);
  EXPECT_NE(dnsThread, 0u);
  EXPECT_NE(dnsThread, ThreadId());
  EXPECT_EQ(events[0].threadId, dnsThread);
  EXPECT_EQ(events[3].threadId, dnsThread);
  EXPECT_EQ(events[2].threadId, cloudFake->PluginThreadId(fake::PluginKind::CloudDownloader));

  dns->Uninit();
  EXPECT_FALSE(dnsFake->Post(fake::MakeCallback(fake::Callback::PluginStopped)))
      << "no callback after Uninit";
  EXPECT_TRUE(loader_->DisposeInstance(dns));
  EXPECT_EQ(dnsFake->PluginThreadId(fake::PluginKind::Velmora), 0u);
  EXPECT_TRUE(loader_->DisposeInstance(cloud));
}

TEST_F(PluginSdkTest, FakeDnsPluginAnswersQueriesOverUdpAndTcp) {
  test::FakePlugin fake(Install(HXT_FAKE_PLUGIN_VELMORA));
  auto* dns = Create<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  ASSERT_NE(dns, nullptr);
  ASSERT_EQ(dns->Init("b", "l", "p", "1.0.0", "u", &service_, &service_, nullptr), 0u);
  fake->SetDnsAnswerMode(fake::DnsAnswerMode::Records, 0);
  fake->AddARecord("Test.Example", "192.0.2.7");

  u32 udp = 0, tcp = 0;
  ASSERT_EQ(dns->OpenSession(1, "192.0.2.53", HXT_TRANSPORT_UDP, &udp), 0u);
  ASSERT_EQ(dns->OpenSession(2, "192.0.2.53", HXT_TRANSPORT_TCP, &tcp), 0u);
  auto send = [&](u32 handle, const std::string& bytes) {
    return dns->Send(handle, reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<u32>(bytes.size()));
  };
  const std::string known = Query("test.example", 1);
  ASSERT_EQ(send(udp, known), 0u);
  ASSERT_EQ(send(udp, Query("other.example", 1)), 0u);
  std::string framed = std::string{0, static_cast<char>(known.size())} + known;
  ASSERT_EQ(send(tcp, framed.substr(0, 5)), 0u);  // a TCP query may arrive in pieces
  ASSERT_EQ(send(tcp, framed.substr(5)), 0u);
  ASSERT_TRUE(service_.WaitForEvents(3));

  const auto events = service_.Events();
  EXPECT_EQ(events[0].name, "Response " + std::to_string(udp) + " 1");
  const std::string& answer = events[0].data;
  EXPECT_EQ(answer.substr(0, 2), "\x12\x34");
  EXPECT_EQ(Rcode(answer), 0u);
  EXPECT_EQ(answer.substr(answer.size() - 4), std::string("\xc0\x00\x02\x07", 4)) << "192.0.2.7";
  EXPECT_EQ(Rcode(events[1].data), 3u) << "an unknown name is NXDOMAIN";
  EXPECT_EQ(events[2].name, "Response " + std::to_string(tcp) + " 2");
  EXPECT_EQ(events[2].data.substr(2), answer);
  EXPECT_EQ(static_cast<unsigned char>(events[2].data[1]), answer.size());

  fake->SetDnsAnswerMode(fake::DnsAnswerMode::Error, 7);
  ASSERT_EQ(send(udp, known), 0u);
  ASSERT_TRUE(service_.WaitForEvents(4));
  EXPECT_EQ(service_.Events()[3].name, "ErrorOccurred " + std::to_string(udp) + " 1 7");
  dns->Uninit();
  EXPECT_TRUE(loader_->DisposeInstance(dns));
}

TEST_F(PluginSdkTest, TheDocumentedExamplePluginLoadsAndRefusesQueries) {
  Install(HXT_EXAMPLE_PLUGIN);
  auto* dns = Create<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  ASSERT_NE(dns, nullptr) << log_.Dump();
  ASSERT_EQ(dns->Init("b", "l", "p", "1.0.0", "u", &service_, &service_, nullptr), 0u);
  ASSERT_EQ(dns->Start(), 0u);
  u32 handle = 0;
  ASSERT_EQ(dns->OpenSession(5, "192.0.2.53", HXT_TRANSPORT_UDP, &handle), 0u);
  const std::string query = Query("blocked.example", 1);
  ASSERT_EQ(
      dns->Send(handle, reinterpret_cast<const unsigned char*>(query.data()), static_cast<u32>(query.size())),
      0u);
  ASSERT_EQ(dns->InitiateStop(), 0u);
  ASSERT_TRUE(service_.WaitForEvents(2));

  const auto events = service_.Events();
  EXPECT_EQ(service_.Names(),
            (std::vector<std::string>{"Response " + std::to_string(handle) + " 5", "PluginStopped"}));
  EXPECT_EQ(Rcode(events[0].data), 5u);
  EXPECT_NE(events[0].threadId, ThreadId());
  EXPECT_EQ(dns->CloseSession(handle), 0u);
  dns->Uninit();
  EXPECT_TRUE(loader_->DisposeInstance(dns));
}

}  // namespace
}  // namespace hxt
