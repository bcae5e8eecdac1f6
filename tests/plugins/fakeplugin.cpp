// The fake plug-in: one source compiled into several modules, each with its own compile definitions.
//
//   HXT_FAKE_OFFERS              ids offered: bit 0 DNS protection, bit 1 SWG, bit 2 cloud downloader
//   HXT_FAKE_CREATE_RETURNS_NULL 1: CreatePlugin returns null until told otherwise
//   HXT_FAKE_INTERFACE_LIST      1: the list also holds a null and an empty id;
//                                2: the list has a count but no array
//   HXT_FAKE_OMIT_GET_AVAILABLE_INTERFACES, HXT_FAKE_OMIT_CREATE_PLUGIN,
//   HXT_FAKE_OMIT_DISPOSE_PLUGIN  leave that export out
//
// The module's state is one ModuleState, which is also the control object that HxtFakePluginControl hands to
// tests (fakes/fakeplugincontrol.h). Each plug-in object runs a thread of its own, from which it calls the
// service back; the thread ends before DisposePlugin returns, so the module can be unloaded right after.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "fakednsresponder.h"
#include "fakes/dnswire.h"
#include "fakes/fakeplugincontrol.h"
#include "hxtarrow/plugin.h"

#ifndef HXT_FAKE_CREATE_RETURNS_NULL
#define HXT_FAKE_CREATE_RETURNS_NULL 0
#endif

namespace hxt::fake {
namespace {

constexpr const char* kIds[] = {HXT_VELMORA_PLUGIN_ID, HXT_SWG_PLUGIN_ID, HXT_CLOUD_DOWNLOADER_ID};
constexpr const char* kInterfaceNames[] = {"IVelmoraPlugin::", "ISWGPlugin::", "ICloudDownloaderPlugin::"};

// A call's argument as Call records it.
template <typename T>
std::string text(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, const char*>) {
    return value != nullptr ? value : "(null)";
  } else if constexpr (std::is_pointer_v<T>) {
    char pointer[32];
    std::snprintf(pointer, sizeof pointer, "%p", static_cast<const void*>(value));
    return pointer;
  } else {
    return std::to_string(value);
  }
}

// A plug-in's own thread: runs posted tasks in order. Tasks still queued when
// it is destroyed are dropped; the one running is waited for.
class PluginThread {
 public:
  ~PluginThread() {
    Post(nullptr);  // an empty task ends the thread, ahead of every other
    thread_.join();
  }

  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!task) tasks_.clear();
    tasks_.push_back(std::move(task));
    wake_.notify_all();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !tasks_.empty(); });
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      if (!task) return;
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::thread thread_{[this] { run(); }};  // last: starts once the rest is built
};

// The callback interfaces the service handed an object.
struct CallbackSlots {
  IVelmoraPluginCallback* velmora = nullptr;
  ISWGPluginCallback* swg = nullptr;
  ICloudDownloaderPluginCB* cloud = nullptr;
  IPluginMessagingCallback* messaging = nullptr;
};

// What every fake object shares: its kind, its callback slots (guarded by the
// module state's mutex) and its thread.
struct FakeCore {
  explicit FakeCore(PluginKind k) : kind(k) {}
  PluginKind kind;
  CallbackSlots slots;
  PluginThread thread;  // last: it stops first
};

// Whether a fired callback was delivered, and its return value.
using Completion = std::promise<std::pair<bool, long long>>;

struct Session {
  u32 contextId = 0, transport = 0;
  std::string pending;  // TCP: bytes that are no whole message yet
};

// The object a callback goes to; the enum lists each object's callbacks together.
PluginKind targetOf(const CallbackRequest& request) {
  if (request.callback == Callback::SendPluginMessage) return request.sender;
  if (request.callback <= Callback::PluginStopped) return PluginKind::Velmora;
  if (request.callback <= Callback::SWGPluginStopped) return PluginKind::Swg;
  return PluginKind::CloudDownloader;
}

bool holds(const CallbackSlots& slots, const CallbackRequest& request) {
  if (request.callback == Callback::SendPluginMessage) return slots.messaging != nullptr;
  const void* held[] = {slots.velmora, slots.swg, slots.cloud};
  return held[static_cast<std::size_t>(targetOf(request))] != nullptr;
}

const char* orNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

// The lock a plug-in typically keeps around its session table: held across every Response and ErrorOccurred,
// and taken again in CloseSession. The service must never close a session from inside an answer (that would
// deadlock here), nor make an answer wait for a session to close.
std::mutex& sessionTableLock() {
  static std::mutex lock;
  return lock;
}

// Makes the callback through `s`, which hold its interface; its return value, 0 for none.
long long call(const CallbackSlots& s, const CallbackRequest& r) {
  using C = Callback;
  const C c = r.callback;
  const char* text = r.nullText ? nullptr : r.text.c_str();
  if (c == C::Response || c == C::ErrorOccurred) {
    std::lock_guard<std::mutex> hold(sessionTableLock());
    if (c == C::ErrorOccurred) return s.velmora->ErrorOccurred(r.handle, r.contextId, r.code), 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    return s.velmora->Response(r.handle, r.contextId, bytes, static_cast<u32>(r.text.size())), 0;
  }
  if (c == C::ProtectionStateChanged) s.velmora->ProtectionStateChanged(text);
  if (c == C::ChangeDnsRedirectionMode) s.velmora->ChangeDnsRedirectionMode(text);
  if (c == C::UpgradeDetailsChanged) s.velmora->UpgradeDetailsChanged(text);
  if (c == C::PluginStopped) s.velmora->PluginStopped();
  if (c == C::SWGStateChanged) s.swg->SWGStateChanged(text);
  if (c == C::SWGStatsChanged) s.swg->SWGStatsChanged(text);
  if (c == C::SWGPluginStopped) s.swg->SWGPluginStopped();
  if (c == C::SendPluginMessage)
    return s.messaging->SendPluginMessage(orNull(r.to), orNull(r.from), orNull(r.topic), text);
  if (c == C::UpdateAvailable) return s.cloud->UpdateAvailable();
  if (c == C::UpdateInProgress) return s.cloud->UpdateInProgress();
  return 0;
}

class ModuleState final : public IFakePluginControl {
 public:
  ModuleState() { Reset(); }

  // ---- used by the plug-in objects
  // The result scripted for `op`.
  u32 ResultOf(std::string_view op) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = results_.find(op);
    return found != results_.end() ? found->second : 0u;
  }
  // Records the call and returns the result scripted for it.
  u32 Record(const std::string& op, std::vector<std::string> args) {
    if (!unrecorded_) locked([&] { calls_.push_back({op, std::move(args)}); });
    return ResultOf(op);
  }
  // An object made (the newest of its kind gets the callbacks) or going away.
  void Track(FakeCore* core, bool alive) {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeCore*& current = current_[static_cast<std::size_t>(core->kind)];
    if (alive) live_.insert(core);
    if (!alive) live_.erase(core);
    if (alive || current == core) current = alive ? core : nullptr;
  }
  // Under the state's lock, so that a callback in flight reads a consistent set.
  void Bind(FakeCore* core, const CallbackSlots& slots) {
    locked([&] { core->slots = slots; });
  }
  u32 OpenSession(u32 contextId, u32 transport) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_[nextHandle_] = Session{contextId, transport, {}};
    return nextHandle_++;
  }
  void CloseSession(u32 handle) {
    locked([&] { sessions_.erase(handle); });
  }
  void AddRecord(const std::string& name, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_.SetMode(DnsAnswerMode::Records);
    responder_.AddRecord(name, address);
  }
  // Answers the messages completed by `bytes`, now or when released.
  void Answer(u32 handle, const std::string& bytes) {
    std::vector<CallbackRequest> answers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto session = sessions_.find(handle);
      if (session == sessions_.end() || responder_.Mode() == DnsAnswerMode::Silent) return;
      const bool tcp = session->second.transport == HXT_TRANSPORT_TCP;
      if (tcp) session->second.pending += bytes;
      for (const auto& message :
           tcp ? test::dnswire::TakeFramed(session->second.pending) : std::vector<std::string>{bytes}) {
        const std::string answer = responder_.Answer(message);
        if (answer.empty()) continue;
        auto request = MakeCallback(Callback::Response);
        request.handle = handle;
        request.contextId = session->second.contextId;
        request.text = tcp ? test::dnswire::Framed(answer) : answer;
        (holdResponses_ ? held_ : answers).push_back(request);
      }
    }
    for (const auto& request : answers) {
      if (answerOnCaller_)
        deliverNow(request);
      else
        dispatch(request, nullptr);
    }
  }

  // ---- IFakePluginControl
  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    results_.clear();
    held_.clear();
    sessions_.clear();
    responder_ = FakeDnsResponder();
    responder_.SetMode(DnsAnswerMode::Echo);
    supports_ = reportStopped_ = true;
    createReturnsNull_ = HXT_FAKE_CREATE_RETURNS_NULL != 0;
    holdResponses_ = answerOnCaller_ = unrecorded_ = false;
  }
  void SetResult(const char* op, u32 result) override {
    locked([&] { results_[text(op)] = result; });
  }
  void SetSupportsInterface(bool supported) override { supports_ = supported; }
  void SetCreateReturnsNull(bool returnsNull) override { createReturnsNull_ = returnsNull; }
  void SetReportStopped(bool report) override { reportStopped_ = report; }
  void SetDnsAnswerMode(DnsAnswerMode mode) override {
    locked([&] { responder_.SetMode(mode); });
  }
  void SetHoldResponses(bool hold) override { holdResponses_ = hold; }
  void SetAnswerOnCaller(bool onCaller) override { answerOnCaller_ = onCaller; }
  std::size_t ReleaseHeldResponses() override {
    std::vector<CallbackRequest> held;
    locked([&] { held.swap(held_); });
    for (const auto& request : held) dispatch(request, nullptr);
    return held.size();
  }
  std::vector<Call> Calls() const override {
    return locked([&] { return calls_; });
  }
  std::size_t CallCount(const char* op) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(calls_.begin(), calls_.end(), [&](const Call& call) { return call.op == text(op); });
  }
  u32 LiveObjects() const override {
    return locked([&] { return static_cast<u32>(live_.size()); });
  }
  bool Post(const CallbackRequest& request) override { return dispatch(request, nullptr); }
  bool Fire(const CallbackRequest& request, long long* result, u32 timeoutMs) override {
    // `completion` stays alive here, so a dropped task times out rather than breaking the promise.
    auto completion = std::make_shared<Completion>();
    auto outcome = completion->get_future();
    if (!dispatch(request, completion) ||
        outcome.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
      return false;
    const auto [delivered, value] = outcome.get();
    if (result != nullptr) *result = value;
    return delivered;
  }

  // A benchmark sends millions of queries: the logs of calls and callbacks would grow without bound. The
  // session calls then skip formatting their arguments, which would cost the benchmark more than the path it
  // measures.
  void StopKeepingCalls() { unrecorded_ = true; }
  bool Unrecorded() const { return unrecorded_; }
  std::atomic<bool> supports_{true}, createReturnsNull_{false}, reportStopped_{true};

 private:
  template <typename F>
  auto locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

  bool dispatch(const CallbackRequest& request, std::shared_ptr<Completion> completion) {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeCore* core = current_[static_cast<std::size_t>(targetOf(request))];
    if (core == nullptr || !holds(core->slots, request)) return false;
    // The task runs on the object's own thread, which stops before the
    // object goes away, so `core` outlives it.
    core->thread.Post([this, core, request, completion] { deliver(core, request, completion); });
    return true;
  }

  // On the thread that called Send: the object is alive while its Send runs.
  void deliverNow(const CallbackRequest& request) {
    FakeCore* core = locked([&] { return current_[static_cast<std::size_t>(targetOf(request))]; });
    if (core != nullptr) deliver(core, request, nullptr);
  }

  // On the object's thread; the interface may have been taken back since it was posted.
  void deliver(FakeCore* core, const CallbackRequest& request,
               const std::shared_ptr<Completion>& completion) {
    const CallbackSlots slots = locked([&] { return core->slots; });
    const bool delivered = holds(slots, request);
    const long long result = delivered ? call(slots, request) : 0;
    if (completion) completion->set_value({delivered, result});
  }

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::map<std::string, u32, std::less<>> results_;
  std::atomic<bool> unrecorded_{false}, holdResponses_{false}, answerOnCaller_{false};
  FakeDnsResponder responder_;
  std::vector<CallbackRequest> held_;
  std::map<u32, Session> sessions_;
  u32 nextHandle_ = 1;
  std::set<FakeCore*> live_;
  FakeCore* current_[3] = {};
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

// A plug-in inside a separately started agent cannot be steered through the control function, so end-to-end
// tests script its start through a file named by HXT_FAKE_DNS_SCRIPT, one directive a line:
//   record <name> <IPv4 or IPv6 address>   answer from these records (else NXDOMAIN)
//   redirect <JSON>                        sent through ChangeDnsRedirectionMode on Start
//   protection <JSON>                      sent through ProtectionStateChanged on Start
//   forget-calls                           keep no log of calls or callbacks from here on (benchmarks)
//   answer-on-caller                       answer inside Send, on the service's thread (SetAnswerOnCaller)
void runStartScript() {
  const char* path = std::getenv("HXT_FAKE_DNS_SCRIPT");
  if (path == nullptr) return;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string directive, name, rest;
    words >> directive;
    if (directive == "record" && words >> name >> rest) State().AddRecord(name, rest);
    if (directive == "forget-calls") State().StopKeepingCalls();
    if (directive == "answer-on-caller") State().SetAnswerOnCaller(true);
    if (directive != "redirect" && directive != "protection") continue;
    auto request = MakeCallback(directive == "redirect" ? Callback::ChangeDnsRedirectionMode
                                                        : Callback::ProtectionStateChanged);
    std::getline(words >> std::ws, request.text);
    State().Post(request);
  }
}

// ---- the plug-in objects ----------------------------------------------------

// Lets DisposePlugin delete any fake object it is handed.
struct Disposable {
  virtual ~Disposable() = default;
};

// What the three fake objects share: calls recorded as "<interface>::<op>",
// SupportsInterface, the callback slots and the thread.
template <typename Interface, PluginKind Kind>
class FakeObject : public Interface, public Disposable {
 public:
  FakeObject() { State().Track(&core_, true); }
  ~FakeObject() override { State().Track(&core_, false); }

  bool SupportsInterface(const char* interfaceId, u32 version) override {
    record("SupportsInterface", {text(interfaceId), text(version)});
    return State().supports_ && interfaceId != nullptr &&
           std::strcmp(interfaceId, kIds[static_cast<std::size_t>(Kind)]) == 0;
  }
  void Reserved() override { record("Reserved", {}); }

 protected:
  u32 record(const char* op, std::vector<std::string> args) {
    return State().Record(kInterfaceNames[static_cast<std::size_t>(Kind)] + std::string(op), std::move(args));
  }
  void bind(const CallbackSlots& slots) { State().Bind(&core_, slots); }

 private:
  FakeCore core_{Kind};
};

// The DNS-protection and SWG objects also take messages and stop asynchronously.
template <typename Interface, PluginKind Kind, Callback Stopped>
class FakeMessagingObject : public FakeObject<Interface, Kind> {
 public:
  void ReservedSink() override { this->record("ReservedSink", {}); }
  u32 ReceiveMessage(const char* from, const char* topic, const char* payload, u64 timestamp) override {
    return this->record("ReceiveMessage", {text(from), text(topic), text(payload), text(timestamp)});
  }
  void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) override {
    this->record("ReceiveMessageResult", {text(plugin), text(topic), text(status)});
  }
  void Uninit() override {
    this->record("Uninit", {});
    this->bind({});
  }
  u32 InitiateStop() override {
    const u32 result = this->record("InitiateStop", {});
    if (result == 0 && State().reportStopped_) State().Post(MakeCallback(Stopped));
    return result;
  }
};

class FakeVelmoraPlugin final
    : public FakeMessagingObject<IVelmoraPlugin, PluginKind::Velmora, Callback::PluginStopped> {
 public:
  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           const char* udid, IVelmoraPluginCallback* callback, IPluginMessagingCallback* messaging,
           void* reserved) override {
    const u32 result = record("Init", {text(binDir), text(libDir), text(profileDir), text(version),
                                       text(udid), text(callback), text(messaging), text(reserved)});
    bind({callback, nullptr, nullptr, messaging});
    return result;
  }
  u32 Start() override {
    const u32 result = record("Start", {});
    if (result == 0) runStartScript();
    return result;
  }
  // The handle handed out is recorded as a fourth argument.
  u32 OpenSession(u32 contextId, const char* address, u32 transport, u32* sessionHandle) override {
    const u32 result = State().ResultOf("IVelmoraPlugin::OpenSession");
    const u32 handle = result == 0 ? State().OpenSession(contextId, transport) : 0;
    if (sessionHandle != nullptr) *sessionHandle = handle;
    if (!State().Unrecorded())
      record("OpenSession", {text(contextId), text(address), text(transport), text(handle)});
    return result;
  }
  u32 Send(u32 sessionHandle, const unsigned char* data, u32 length) override {
    const std::string bytes = data != nullptr ? std::string(reinterpret_cast<const char*>(data), length) : "";
    const u32 result = State().Unrecorded() ? State().ResultOf("IVelmoraPlugin::Send")
                                            : record("Send", {text(sessionHandle), bytes, text(length)});
    if (result == 0) State().Answer(sessionHandle, bytes);
    return result;
  }
  u32 CloseSession(u32 sessionHandle) override {
    std::lock_guard<std::mutex> hold(sessionTableLock());
    const u32 result = State().Unrecorded() ? State().ResultOf("IVelmoraPlugin::CloseSession")
                                            : record("CloseSession", {text(sessionHandle)});
    State().CloseSession(sessionHandle);
    return result;
  }
  u32 VpnStateChanged(const char* json) override { return record("VpnStateChanged", {text(json)}); }
  u32 UpgradeStateChanged(const char* json) override { return record("UpgradeStateChanged", {text(json)}); }
  u32 DnsRedirectionDisrupted() override { return record("DnsRedirectionDisrupted", {}); }
};

class FakeSwgPlugin final
    : public FakeMessagingObject<ISWGPlugin, PluginKind::Swg, Callback::SWGPluginStopped> {
 public:
  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           ISWGPluginCallback* callback, IPluginMessagingCallback* messaging, void* reserved) override {
    const u32 result = record("Init", {text(binDir), text(libDir), text(profileDir), text(version),
                                       text(callback), text(messaging), text(reserved)});
    bind({nullptr, callback, nullptr, messaging});
    return result;
  }
  u32 Start(const char* payload) override { return record("Start", {text(payload)}); }
};

class FakeCloudDownloader final : public FakeObject<ICloudDownloaderPlugin, PluginKind::CloudDownloader> {
 public:
  u32 Register(ICloudDownloaderPluginCB* callback) override {
    const u32 result = record("Register", {text(callback)});
    bind({nullptr, nullptr, callback, nullptr});
    return result;
  }
  void Unregister(ICloudDownloaderPluginCB* callback) override {
    record("Unregister", {text(callback)});
    bind({});
  }
  u32 Start() override { return record("Start", {}); }
  u32 Stop() override { return record("Stop", {}); }
  u32 UpdateParameters(const char* downloadUrl, u32 intervalSeconds, bool windowOpen) override {
    return record("UpdateParameters", {text(downloadUrl), text(intervalSeconds), text(windowOpen)});
  }
  u32 UserSessionChange(u32 event) override { return record("UserSessionChange", {text(event)}); }
};

}  // namespace
}  // namespace hxt::fake

using hxt::fake::PluginKind;
using hxt::fake::State;

extern "C" {

#ifndef HXT_FAKE_OMIT_GET_AVAILABLE_INTERFACES
HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  State().Record("GetAvailableInterfaces", {});
#if HXT_FAKE_INTERFACE_LIST == 2
  return InterfaceList{nullptr, 3};
#else
  static const std::vector<InterfaceDescriptor> offered = [] {
    std::vector<InterfaceDescriptor> list;
#if HXT_FAKE_INTERFACE_LIST == 1
    list = {{nullptr, nullptr}, {"", nullptr}};
#endif
    for (u32 kind = 0; kind < 3; ++kind)
      if ((HXT_FAKE_OFFERS >> kind & 1) != 0) list.push_back({hxt::fake::kIds[kind], nullptr});
    return list;
  }();
  return InterfaceList{offered.data(), static_cast<u32>(offered.size())};
#endif
}
#endif

#ifndef HXT_FAKE_OMIT_CREATE_PLUGIN
HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  State().Record("CreatePlugin", {hxt::fake::text(interfaceId)});
  if (interfaceId == nullptr || State().createReturnsNull_) return nullptr;
  auto is = [&](PluginKind kind) {
    return (HXT_FAKE_OFFERS & (1u << static_cast<u32>(kind))) != 0 &&
           std::strcmp(interfaceId, hxt::fake::kIds[static_cast<std::size_t>(kind)]) == 0;
  };
  if (is(PluginKind::Velmora)) return new hxt::fake::FakeVelmoraPlugin;
  if (is(PluginKind::Swg)) return new hxt::fake::FakeSwgPlugin;
  if (is(PluginKind::CloudDownloader)) return new hxt::fake::FakeCloudDownloader;
  return nullptr;
}
#endif

#ifndef HXT_FAKE_OMIT_DISPOSE_PLUGIN
// The object arrives as its first base; the module knows its own types.
HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  State().Record("DisposePlugin", {hxt::fake::text(object)});
  delete dynamic_cast<hxt::fake::Disposable*>(object);
}
#endif

HXT_PLUGIN_EXPORT hxt::fake::IFakePluginControl* HxtFakePluginControl(u32 version) {
  return version == hxt::fake::kControlVersion ? &State() : nullptr;
}

}  // extern "C"
