// The fake plug-in: one source compiled into several modules, each with its
// own compile definitions.
//
//   HXT_FAKE_OFFERS              ids offered: bit 0 DNS protection, bit 1 SWG, bit 2 cloud downloader
//   HXT_FAKE_CREATE_RETURNS_NULL 1: CreatePlugin returns null until told otherwise
//   HXT_FAKE_INTERFACE_LIST      1: the list also holds a null and an empty id;
//                                2: the list has a count but no array
//   HXT_FAKE_OMIT_GET_AVAILABLE_INTERFACES, HXT_FAKE_OMIT_CREATE_PLUGIN,
//   HXT_FAKE_OMIT_DISPOSE_PLUGIN  leave that export out
//
// The module's state is one ModuleState, which is also the control object
// that HxtFakePluginControl hands to tests (fakes/fakeplugincontrol.h). Each
// plug-in object runs a thread of its own, from which it calls the service
// back; the thread ends before DisposePlugin returns, so the module can be
// unloaded right after.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
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

#ifndef HXT_FAKE_OFFERS
#define HXT_FAKE_OFFERS 1
#endif
#ifndef HXT_FAKE_CREATE_RETURNS_NULL
#define HXT_FAKE_CREATE_RETURNS_NULL 0
#endif
#ifndef HXT_FAKE_INTERFACE_LIST
#define HXT_FAKE_INTERFACE_LIST 0
#endif

namespace hxt::fake {
namespace {

constexpr std::size_t kKinds = 3;
constexpr const char* kIds[kKinds] = {HXT_VELMORA_PLUGIN_ID, HXT_SWG_PLUGIN_ID, HXT_CLOUD_DOWNLOADER_ID};
constexpr const char* kInterfaceNames[kKinds] = {
    "IVelmoraPlugin::", "ISWGPlugin::", "ICloudDownloaderPlugin::"};

// A call's argument as Call records it.
template <typename T>
std::string text(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, const char*>) {
    return value != nullptr ? value : "(null)";
  } else if constexpr (std::is_pointer_v<T>) {
    return PointerText(value);
  } else {
    return std::to_string(value);
  }
}

// A plug-in's own thread: runs posted tasks in order. Tasks still queued when
// it is destroyed are dropped; the one running is waited for.
class PluginThread {
 public:
  PluginThread() : thread_([this] { run(); }) {}
  ~PluginThread() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      tasks_.clear();
    }
    wake_.notify_all();
    thread_.join();
  }
  PluginThread(const PluginThread&) = delete;
  PluginThread& operator=(const PluginThread&) = delete;

  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      auto task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::thread thread_;  // last: starts once the rest is built
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
  u32 contextId = 0;
  u32 transport = 0;
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
  const void* held[kKinds] = {slots.velmora, slots.swg, slots.cloud};
  return held[static_cast<std::size_t>(targetOf(request))] != nullptr;
}

const char* orNull(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

// The lock a plug-in typically keeps around its session table: held across
// every Response and ErrorOccurred, and taken again in CloseSession. The
// service must never close a session from inside an answer (that would
// deadlock here), nor make an answer wait for a session to close.
std::mutex& sessionTableLock() {
  static std::mutex lock;
  return lock;
}

// Makes the callback through `slots`, which hold its interface; its return value, 0 for none.
long long call(const CallbackSlots& slots, const CallbackRequest& request) {
  const char* textArg = request.nullText ? nullptr : request.text.c_str();
  const auto* bytes = reinterpret_cast<const unsigned char*>(textArg);
  const u32 size = static_cast<u32>(request.text.size());
  switch (request.callback) {
    case Callback::Response: {
      std::lock_guard<std::mutex> hold(sessionTableLock());
      slots.velmora->Response(request.handle, request.contextId, bytes, size);
      break;
    }
    case Callback::ErrorOccurred: {
      std::lock_guard<std::mutex> hold(sessionTableLock());
      slots.velmora->ErrorOccurred(request.handle, request.contextId, request.code);
      break;
    }
    case Callback::ProtectionStateChanged:
      slots.velmora->ProtectionStateChanged(textArg);
      break;
    case Callback::ChangeDnsRedirectionMode:
      slots.velmora->ChangeDnsRedirectionMode(textArg);
      break;
    case Callback::UpgradeDetailsChanged:
      slots.velmora->UpgradeDetailsChanged(textArg);
      break;
    case Callback::PluginStopped:
      slots.velmora->PluginStopped();
      break;
    case Callback::SWGStateChanged:
      slots.swg->SWGStateChanged(textArg);
      break;
    case Callback::SWGStatsChanged:
      slots.swg->SWGStatsChanged(textArg);
      break;
    case Callback::SWGPluginStopped:
      slots.swg->SWGPluginStopped();
      break;
    case Callback::SendPluginMessage:
      return slots.messaging->SendPluginMessage(orNull(request.to), orNull(request.from),
                                                orNull(request.topic), textArg);
    case Callback::UpdateAvailable:
      return slots.cloud->UpdateAvailable();
    case Callback::UpdateInProgress:
      return slots.cloud->UpdateInProgress();
  }
  return 0;
}

class ModuleState final : public IFakePluginControl {
 public:
  ModuleState() { resetLocked(); }

  // ---- used by the plug-in objects
  // The result scripted for `op`.
  u32 ResultOf(std::string_view op) const {
    return locked([&] {
      if (results_.empty()) return 0u;
      auto found = results_.find(op);
      return found != results_.end() ? found->second : 0u;
    });
  }
  // Records the call and returns the result scripted for it.
  u32 Record(const std::string& op, std::vector<std::string> args) {
    locked([&] {
      if (keepCalls_) calls_.push_back({op, std::move(args)});
    });
    return ResultOf(op);
  }
  bool Supports() const { return supports_; }
  bool CreatesNull() const { return createReturnsNull_; }
  bool ReportsStopped() const { return reportStopped_; }
  void Attach(FakeCore* core) {
    locked([&] {
      live_.insert(core);
      current_[static_cast<std::size_t>(core->kind)] = core;
    });
  }
  void Detach(FakeCore* core) {
    locked([&] {
      live_.erase(core);
      FakeCore*& current = current_[static_cast<std::size_t>(core->kind)];
      if (current == core) current = nullptr;
    });
  }
  // Under the state's lock, so that a callback in flight reads a consistent set.
  void Bind(FakeCore* core, const CallbackSlots& slots) {
    locked([&] { core->slots = slots; });
  }
  u32 OpenSession(u32 contextId, u32 transport) {
    return locked([&] {
      sessions_[nextHandle_] = Session{contextId, transport, {}};
      return nextHandle_++;
    });
  }
  void CloseSession(u32 handle) {
    locked([&] { sessions_.erase(handle); });
  }
  void AddRecord(const std::string& name, const std::string& address) {
    locked([&] {
      responder_.SetMode(DnsAnswerMode::Records);
      responder_.AddRecord(name, address);
    });
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
      if (answerOnCaller_) {
        deliverNow(request);
      } else {
        dispatch(request, nullptr);
      }
    }
  }

  // ---- IFakePluginControl
  void Reset() override {
    locked([&] { resetLocked(); });
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
    return locked([&] {
      std::size_t count = 0;
      for (const auto& call : calls_) count += call.op == text(op) ? 1 : 0;
      return count;
    });
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

  // A benchmark sends millions of queries: the logs of calls and callbacks
  // would grow without bound.
  void StopKeepingCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    keepCalls_ = false;
    unrecorded_ = true;
  }
  // Nothing keeps the calls: the session calls then skip formatting their
  // arguments, which would cost the benchmark more than the path it measures.
  bool Unrecorded() const { return unrecorded_; }

 private:
  template <typename F>
  auto locked(F f) const -> decltype(f()) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

  void resetLocked() {
    calls_.clear();
    keepCalls_ = true;
    unrecorded_ = false;
    results_.clear();
    supports_ = true;
    createReturnsNull_ = HXT_FAKE_CREATE_RETURNS_NULL != 0;
    reportStopped_ = true;
    responder_.Clear();
    responder_.SetMode(DnsAnswerMode::Echo);
    holdResponses_ = false;
    answerOnCaller_ = false;
    held_.clear();
    sessions_.clear();
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
    const CallbackSlots slots = locked([&] {
      FakeCore* core = current_[static_cast<std::size_t>(targetOf(request))];
      return core != nullptr ? core->slots : CallbackSlots{};
    });
    if (holds(slots, request)) call(slots, request);
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
  bool keepCalls_ = true;
  std::atomic<bool> unrecorded_{false};
  std::map<std::string, u32, std::less<>> results_;
  std::atomic<bool> supports_{true}, createReturnsNull_{false}, reportStopped_{true}, holdResponses_{false},
      answerOnCaller_{false};
  FakeDnsResponder responder_;
  std::vector<CallbackRequest> held_;
  std::map<u32, Session> sessions_;
  u32 nextHandle_ = 1;
  std::set<FakeCore*> live_;
  FakeCore* current_[kKinds] = {};
};

ModuleState& State() {
  static ModuleState state;
  return state;
}

// A plug-in inside a separately started agent cannot be steered through the
// control function, so end-to-end tests script its start through a file named
// by HXT_FAKE_DNS_SCRIPT, one directive a line:
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
    if (directive == "record") {
      words >> name >> rest;
      State().AddRecord(name, rest);
    } else if (directive == "forget-calls") {
      State().StopKeepingCalls();
    } else if (directive == "answer-on-caller") {
      State().SetAnswerOnCaller(true);
    } else if (directive == "redirect" || directive == "protection") {
      auto request = MakeCallback(directive == "redirect" ? Callback::ChangeDnsRedirectionMode
                                                          : Callback::ProtectionStateChanged);
      std::getline(words >> std::ws, request.text);
      State().Post(request);
    }
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
  FakeObject() { State().Attach(&core_); }
  ~FakeObject() override { State().Detach(&core_); }

  bool SupportsInterface(const char* interfaceId, u32 version) override {
    record("SupportsInterface", {text(interfaceId), text(version)});
    return State().Supports() && interfaceId != nullptr &&
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
    if (result == 0 && State().ReportsStopped()) State().Post(MakeCallback(Stopped));
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
    if (State().Unrecorded()) return result;
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

// The ids the module lists; a trailing null entry keeps the array non-empty
// and is not counted.
const InterfaceDescriptor kDescriptors[] = {
#if HXT_FAKE_INTERFACE_LIST == 1
    {nullptr, nullptr},
    {"", nullptr},
#endif
#if (HXT_FAKE_OFFERS & 1) != 0
    {HXT_VELMORA_PLUGIN_ID, nullptr},
#endif
#if (HXT_FAKE_OFFERS & 2) != 0
    {HXT_SWG_PLUGIN_ID, nullptr},
#endif
#if (HXT_FAKE_OFFERS & 4) != 0
    {HXT_CLOUD_DOWNLOADER_ID, nullptr},
#endif
    {nullptr, nullptr},
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
  constexpr u32 count = sizeof hxt::fake::kDescriptors / sizeof hxt::fake::kDescriptors[0] - 1;
  return InterfaceList{hxt::fake::kDescriptors, count};
#endif
}
#endif

#ifndef HXT_FAKE_OMIT_CREATE_PLUGIN
HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  State().Record("CreatePlugin", {hxt::fake::text(interfaceId)});
  if (interfaceId == nullptr || State().CreatesNull()) return nullptr;
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
