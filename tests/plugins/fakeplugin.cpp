// The fake plug-in: one source compiled into several modules, each with its
// own compile definitions.
//
//   HXT_FAKE_MODULE_NAME         text ModuleName() returns
//   HXT_FAKE_OFFERS              ids offered: bit 0 DNS protection, bit 1 SWG, bit 2 cloud downloader
//   HXT_FAKE_SUPPORTS_INTERFACE  0: SupportsInterface answers false until told otherwise
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
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakednsresponder.h"
#include "fakes/fakeplugincontrol.h"
#include "hxtarrow/plugin.h"

#ifndef HXT_FAKE_MODULE_NAME
#define HXT_FAKE_MODULE_NAME "fake"
#endif
#ifndef HXT_FAKE_OFFERS
#define HXT_FAKE_OFFERS 1
#endif
#ifndef HXT_FAKE_SUPPORTS_INTERFACE
#define HXT_FAKE_SUPPORTS_INTERFACE 1
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

u32 currentThreadId() {
  return static_cast<u32>(::syscall(SYS_gettid));
}

std::string text(const char* value) {
  return value != nullptr ? value : "(null)";
}
std::string text(u32 value) {
  return std::to_string(value);
}
std::string text(u64 value) {
  return std::to_string(value);
}
std::string text(bool value) {
  return value ? "true" : "false";
}
std::string text(const void* value) {
  return PointerText(value);
}

// A plug-in's own thread: runs posted tasks in order. Tasks still queued when
// it is destroyed are dropped; the one running is waited for.
class PluginThread {
 public:
  PluginThread() {
    thread_ = std::thread([this] { run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return id_ != 0; });
  }
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
  u32 Id() {
    std::lock_guard<std::mutex> lock(mutex_);
    return id_;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    id_ = currentThreadId();
    wake_.notify_all();
    while (true) {
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
  u32 id_ = 0;
  std::thread thread_;
};

// What every fake object shares: its kind, its thread, the callback
// interfaces the service handed it (guarded by the module state's mutex).
struct FakeCore {
  explicit FakeCore(PluginKind k) : kind(k) {}
  PluginKind kind;
  IVelmoraPluginCallback* velmoraCallback = nullptr;
  ISWGPluginCallback* swgCallback = nullptr;
  ICloudDownloaderPluginCB* cloudCallback = nullptr;
  IPluginMessagingCallback* messaging = nullptr;
  PluginThread thread;  // last: it stops first
};

struct Completion {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool delivered = false;
  long long result = 0;
};

struct Session {
  u32 contextId = 0;
  u32 transport = 0;
  TcpDnsStream stream;
};

class ModuleState final : public IFakePluginControl {
 public:
  ModuleState() { resetLocked(); }

  // ---- used by the plug-in objects
  void Record(const char* op, std::vector<std::string> args) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keepCalls_) calls_.push_back({op, std::move(args), currentThreadId()});
  }
  // A benchmark sends millions of queries: the logs of calls and callbacks
  // would grow without bound.
  void StopKeepingCalls() {
    std::lock_guard<std::mutex> lock(mutex_);
    keepCalls_ = false;
  }
  u32 ResultOf(const char* op) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = results_.find(op);
    return found != results_.end() ? found->second : 0;
  }
  bool Supports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return supports_;
  }
  bool CreatesNull() {
    std::lock_guard<std::mutex> lock(mutex_);
    return createReturnsNull_;
  }
  bool ReportsStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reportStopped_;
  }

  void Attach(FakeCore* core) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.insert(core);
    current_[static_cast<std::size_t>(core->kind)] = core;
  }
  void Detach(FakeCore* core) {
    std::lock_guard<std::mutex> lock(mutex_);
    live_.erase(core);
    auto& current = current_[static_cast<std::size_t>(core->kind)];
    if (current == core) current = nullptr;
  }
  // Callback interfaces are stored and cleared under the state's lock so that
  // a callback in flight reads a consistent set.
  template <typename Change>
  void Update(FakeCore* core, Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(*core);
  }

  u32 OpenSession(u32 contextId, u32 transport) {
    std::lock_guard<std::mutex> lock(mutex_);
    u32 handle = nextHandle_++;
    sessions_[handle] = Session{contextId, transport, {}};
    return handle;
  }
  void CloseSession(u32 handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(handle);
  }
  // Answers the messages completed by `bytes`, now or when released.
  void Answer(u32 handle, const std::string& bytes) {
    std::vector<CallbackRequest> answers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto session = sessions_.find(handle);
      if (session == sessions_.end() || responder_.Mode() == DnsAnswerMode::Silent) return;
      const bool tcp = session->second.transport == HXT_TRANSPORT_TCP;
      std::vector<std::string> messages =
          tcp ? session->second.stream.Append(bytes) : std::vector<std::string>{bytes};
      for (const auto& message : messages) {
        CallbackRequest request;
        request.handle = handle;
        request.contextId = session->second.contextId;
        if (responder_.Mode() == DnsAnswerMode::Error) {
          request.callback = Callback::ErrorOccurred;
          request.code = answerErrorCode_;
        } else {
          request.callback = Callback::Response;
          std::string answer = responder_.Answer(message);
          if (answer.empty()) continue;
          request.text = tcp ? TcpDnsStream::Frame(answer) : answer;
        }
        if (holdResponses_) {
          held_.push_back(request);
        } else {
          answers.push_back(request);
        }
      }
    }
    for (const auto& request : answers) dispatch(request, nullptr);
  }

  // ---- IFakePluginControl
  u32 Version() const override { return kControlVersion; }
  const char* ModuleName() const override { return HXT_FAKE_MODULE_NAME; }
  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    resetLocked();
  }
  void SetResult(const char* op, u32 result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    results_[text(op)] = result;
  }
  void SetSupportsInterface(bool supported) override {
    std::lock_guard<std::mutex> lock(mutex_);
    supports_ = supported;
  }
  void SetCreateReturnsNull(bool returnsNull) override {
    std::lock_guard<std::mutex> lock(mutex_);
    createReturnsNull_ = returnsNull;
  }
  void SetReportStopped(bool report) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reportStopped_ = report;
  }
  void SetDnsAnswerMode(DnsAnswerMode mode, u32 errorCode) override {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_.SetMode(mode);
    answerErrorCode_ = errorCode;
  }
  void AddARecord(const char* name, const char* ipv4) override {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_.AddARecord(text(name), text(ipv4));
  }
  void AddRecord(const std::string& name, const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_.AddRecord(name, address);
  }
  void SetHoldResponses(bool hold) override {
    std::lock_guard<std::mutex> lock(mutex_);
    holdResponses_ = hold;
  }
  std::size_t ReleaseHeldResponses() override {
    std::vector<CallbackRequest> held;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held.swap(held_);
    }
    for (const auto& request : held) dispatch(request, nullptr);
    return held.size();
  }
  std::vector<Call> Calls() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::size_t CallCount(const char* op) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const auto& call : calls_) count += call.op == text(op) ? 1 : 0;
    return count;
  }
  std::vector<FiredCallback> Fired() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
  }
  u32 LiveObjects() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<u32>(live_.size());
  }
  u32 PluginThreadId(PluginKind kind) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeCore* core = current_[static_cast<std::size_t>(kind)];
    return core != nullptr ? core->thread.Id() : 0;
  }
  bool Post(const CallbackRequest& request) override { return dispatch(request, nullptr); }
  bool Fire(const CallbackRequest& request, long long* result, u32 timeoutMs) override {
    auto completion = std::make_shared<Completion>();
    if (!dispatch(request, completion)) return false;
    std::unique_lock<std::mutex> lock(completion->mutex);
    if (!completion->done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return completion->finished; })) {
      return false;
    }
    if (result != nullptr) *result = completion->result;
    return completion->delivered;
  }

 private:
  void resetLocked() {
    calls_.clear();
    keepCalls_ = true;
    fired_.clear();
    results_.clear();
    supports_ = HXT_FAKE_SUPPORTS_INTERFACE != 0;
    createReturnsNull_ = HXT_FAKE_CREATE_RETURNS_NULL != 0;
    reportStopped_ = true;
    responder_.Clear();
    responder_.SetMode(DnsAnswerMode::Echo);
    answerErrorCode_ = 0;
    holdResponses_ = false;
    held_.clear();
    sessions_.clear();
  }

  static PluginKind targetOf(const CallbackRequest& request) {
    switch (request.callback) {
      case Callback::Response:
      case Callback::ErrorOccurred:
      case Callback::SystemErrorOccurred:
      case Callback::ProtectionStateChanged:
      case Callback::ChangeDnsRedirectionMode:
      case Callback::UpgradeDetailsChanged:
      case Callback::PluginStopped:
        return PluginKind::Velmora;
      case Callback::SwgSystemErrorOccurred:
      case Callback::SWGStateChanged:
      case Callback::SWGStatsChanged:
      case Callback::SWGPluginStopped:
        return PluginKind::Swg;
      case Callback::SendPluginMessage:
        return request.sender;
      case Callback::UpdateAvailable:
      case Callback::UpdateInProgress:
        break;
    }
    return PluginKind::CloudDownloader;
  }

  static bool holdsCallback(const FakeCore& core, const CallbackRequest& request) {
    if (request.callback == Callback::SendPluginMessage) return core.messaging != nullptr;
    switch (targetOf(request)) {
      case PluginKind::Velmora:
        return core.velmoraCallback != nullptr;
      case PluginKind::Swg:
        return core.swgCallback != nullptr;
      case PluginKind::CloudDownloader:
        break;
    }
    return core.cloudCallback != nullptr;
  }

  bool dispatch(const CallbackRequest& request, std::shared_ptr<Completion> completion) {
    std::lock_guard<std::mutex> lock(mutex_);
    FakeCore* core = current_[static_cast<std::size_t>(targetOf(request))];
    if (core == nullptr || !holdsCallback(*core, request)) return false;
    // The task runs on the object's own thread, which stops before the
    // object goes away, so `core` outlives it.
    core->thread.Post([this, core, request, completion] { deliver(core, request, completion); });
    return true;
  }

  void deliver(FakeCore* core, const CallbackRequest& request,
               const std::shared_ptr<Completion>& completion) {
    IVelmoraPluginCallback* velmora;
    ISWGPluginCallback* swg;
    ICloudDownloaderPluginCB* cloud;
    IPluginMessagingCallback* messaging;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      velmora = core->velmoraCallback;
      swg = core->swgCallback;
      cloud = core->cloudCallback;
      messaging = core->messaging;
    }
    const char* textArg = request.nullText ? nullptr : request.text.c_str();
    const auto* bytes =
        request.nullText ? nullptr : reinterpret_cast<const unsigned char*>(request.text.data());
    const u32 size = static_cast<u32>(request.text.size());
    bool delivered = true;
    long long result = 0;
    switch (request.callback) {
      case Callback::Response:
        if ((delivered = velmora != nullptr))
          velmora->Response(request.handle, request.contextId, bytes, size);
        break;
      case Callback::ErrorOccurred:
        if ((delivered = velmora != nullptr))
          velmora->ErrorOccurred(request.handle, request.contextId, request.code);
        break;
      case Callback::SystemErrorOccurred:
        if ((delivered = velmora != nullptr)) velmora->SystemErrorOccurred(request.code);
        break;
      case Callback::ProtectionStateChanged:
        if ((delivered = velmora != nullptr)) velmora->ProtectionStateChanged(textArg);
        break;
      case Callback::ChangeDnsRedirectionMode:
        if ((delivered = velmora != nullptr)) velmora->ChangeDnsRedirectionMode(textArg);
        break;
      case Callback::UpgradeDetailsChanged:
        if ((delivered = velmora != nullptr)) velmora->UpgradeDetailsChanged(textArg);
        break;
      case Callback::PluginStopped:
        if ((delivered = velmora != nullptr)) velmora->PluginStopped();
        break;
      case Callback::SwgSystemErrorOccurred:
        if ((delivered = swg != nullptr)) swg->SystemErrorOccurred(request.code);
        break;
      case Callback::SWGStateChanged:
        if ((delivered = swg != nullptr)) swg->SWGStateChanged(textArg);
        break;
      case Callback::SWGStatsChanged:
        if ((delivered = swg != nullptr)) swg->SWGStatsChanged(textArg);
        break;
      case Callback::SWGPluginStopped:
        if ((delivered = swg != nullptr)) swg->SWGPluginStopped();
        break;
      case Callback::SendPluginMessage:
        if ((delivered = messaging != nullptr)) {
          result = messaging->SendPluginMessage(request.to.c_str(), request.from.c_str(),
                                                request.topic.c_str(), textArg);
        }
        break;
      case Callback::UpdateAvailable:
        if ((delivered = cloud != nullptr)) result = cloud->UpdateAvailable();
        break;
      case Callback::UpdateInProgress:
        if ((delivered = cloud != nullptr)) result = cloud->UpdateInProgress();
        break;
    }
    if (delivered) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (keepCalls_) fired_.push_back({request.callback, result, currentThreadId()});
    }
    if (completion) {
      std::lock_guard<std::mutex> lock(completion->mutex);
      completion->finished = true;
      completion->delivered = delivered;
      completion->result = result;
      completion->done.notify_all();
    }
  }

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  bool keepCalls_ = true;
  std::vector<FiredCallback> fired_;
  std::map<std::string, u32> results_;
  bool supports_ = true;
  bool createReturnsNull_ = false;
  bool reportStopped_ = true;
  FakeDnsResponder responder_;
  u32 answerErrorCode_ = 0;
  bool holdResponses_ = false;
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

// ---- the plug-in objects ----------------------------------------------------

// A plug-in inside a separately started agent cannot be steered through the
// control function, so end-to-end tests script its start through a file named
// by HXT_FAKE_DNS_SCRIPT, one directive a line:
//   record <name> <IPv4 or IPv6 address>   answer from these records (else NXDOMAIN)
//   redirect <JSON>                        sent through ChangeDnsRedirectionMode on Start
//   protection <JSON>                      sent through ProtectionStateChanged on Start
//   trigger <name> <JSON>                  a UDP query for <name> sends the JSON through
//                                          ChangeDnsRedirectionMode (before it is answered)
//   forget-calls                           keep no log of calls or callbacks from here on (benchmarks)
std::mutex& triggerMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string>& triggers() {
  static std::map<std::string, std::string> byName;
  return byName;
}

void fireTrigger(const std::string& query) {
  std::string name = FakeDnsResponder::QuestionName(query);
  if (name.empty()) return;
  std::string json;
  {
    std::lock_guard<std::mutex> lock(triggerMutex());
    auto it = triggers().find(name);
    if (it == triggers().end()) return;
    json = it->second;
  }
  CallbackRequest request = MakeCallback(Callback::ChangeDnsRedirectionMode);
  request.text = json;
  State().Post(request);
}

void runStartScript() {
  const char* path = std::getenv("HXT_FAKE_DNS_SCRIPT");
  if (path == nullptr) return;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string directive;
    words >> directive;
    std::string rest;
    std::getline(words >> std::ws, rest);
    if (directive == "record") {
      std::istringstream parts(rest);
      std::string name, address;
      parts >> name >> address;
      State().SetDnsAnswerMode(DnsAnswerMode::Records, 0);
      State().AddRecord(name, address);
    } else if (directive == "forget-calls") {
      State().StopKeepingCalls();
    } else if (directive == "trigger") {
      std::istringstream parts(rest);
      std::string name, json;
      parts >> name;
      std::getline(parts >> std::ws, json);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::lock_guard<std::mutex> lock(triggerMutex());
      triggers()[name] = json;
    } else if (directive == "redirect" || directive == "protection") {
      CallbackRequest request = MakeCallback(directive == "redirect" ? Callback::ChangeDnsRedirectionMode
                                                                     : Callback::ProtectionStateChanged);
      request.text = rest;
      State().Post(request);
    }
  }
}

class FakeVelmoraPlugin final : public IVelmoraPlugin {
 public:
  FakeVelmoraPlugin() { State().Attach(&core_); }
  ~FakeVelmoraPlugin() { State().Detach(&core_); }

  bool SupportsInterface(const char* interfaceId, u32 version) override {
    State().Record("IVelmoraPlugin::SupportsInterface", {text(interfaceId), text(version)});
    return State().Supports() && interfaceId != nullptr &&
           std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) == 0;
  }
  void Reserved() override { State().Record("IVelmoraPlugin::Reserved", {}); }
  void ReservedSink() override { State().Record("IVelmoraPlugin::ReservedSink", {}); }
  u32 ReceiveMessage(const char* from, const char* topic, const char* payload, u64 timestamp) override {
    return recorded("IVelmoraPlugin::ReceiveMessage",
                    {text(from), text(topic), text(payload), text(timestamp)});
  }
  void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) override {
    State().Record("IVelmoraPlugin::ReceiveMessageResult", {text(plugin), text(topic), text(status)});
  }
  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           const char* udid, IVelmoraPluginCallback* callback, IPluginMessagingCallback* messaging,
           void* reserved) override {
    u32 result =
        recorded("IVelmoraPlugin::Init",
                 {text(binDir), text(libDir), text(profileDir), text(version), text(udid),
                  text(static_cast<const void*>(callback)), text(static_cast<const void*>(messaging)),
                  text(static_cast<const void*>(reserved))});
    State().Update(&core_, [&](FakeCore& core) {
      core.velmoraCallback = callback;
      core.messaging = messaging;
    });
    return result;
  }
  void Uninit() override {
    State().Record("IVelmoraPlugin::Uninit", {});
    State().Update(&core_, [](FakeCore& core) {
      core.velmoraCallback = nullptr;
      core.messaging = nullptr;
    });
  }
  u32 Start() override {
    u32 result = recorded("IVelmoraPlugin::Start", {});
    if (result == 0) runStartScript();
    return result;
  }
  u32 InitiateStop() override {
    u32 result = recorded("IVelmoraPlugin::InitiateStop", {});
    if (result == 0 && State().ReportsStopped()) State().Post(MakeCallback(Callback::PluginStopped));
    return result;
  }
  u32 OpenSession(u32 contextId, const char* address, u32 transport, u32* sessionHandle) override {
    u32 result = State().ResultOf("IVelmoraPlugin::OpenSession");
    u32 handle = 0;
    if (result == 0) handle = State().OpenSession(contextId, transport);
    if (sessionHandle != nullptr) *sessionHandle = handle;
    State().Record("IVelmoraPlugin::OpenSession",
                   {text(contextId), text(address), text(transport), text(handle)});
    return result;
  }
  u32 Send(u32 sessionHandle, const unsigned char* data, u32 length) override {
    std::string bytes = data != nullptr ? std::string(reinterpret_cast<const char*>(data), length) : "";
    u32 result = recorded("IVelmoraPlugin::Send", {text(sessionHandle), bytes, text(length)});
    if (result == 0) {
      fireTrigger(bytes);
      State().Answer(sessionHandle, bytes);
    }
    return result;
  }
  u32 CloseSession(u32 sessionHandle) override {
    u32 result = recorded("IVelmoraPlugin::CloseSession", {text(sessionHandle)});
    State().CloseSession(sessionHandle);
    return result;
  }
  u32 VpnStateChanged(const char* json) override {
    return recorded("IVelmoraPlugin::VpnStateChanged", {text(json)});
  }
  u32 UpgradeStateChanged(const char* json) override {
    return recorded("IVelmoraPlugin::UpgradeStateChanged", {text(json)});
  }
  u32 DnsRedirectionDisrupted() override { return recorded("IVelmoraPlugin::DnsRedirectionDisrupted", {}); }

 private:
  static u32 recorded(const char* op, std::vector<std::string> args) {
    State().Record(op, std::move(args));
    return State().ResultOf(op);
  }
  FakeCore core_{PluginKind::Velmora};
};

class FakeSwgPlugin final : public ISWGPlugin {
 public:
  FakeSwgPlugin() { State().Attach(&core_); }
  ~FakeSwgPlugin() { State().Detach(&core_); }

  bool SupportsInterface(const char* interfaceId, u32 version) override {
    State().Record("ISWGPlugin::SupportsInterface", {text(interfaceId), text(version)});
    return State().Supports() && interfaceId != nullptr && std::strcmp(interfaceId, HXT_SWG_PLUGIN_ID) == 0;
  }
  void Reserved() override { State().Record("ISWGPlugin::Reserved", {}); }
  void ReservedSink() override { State().Record("ISWGPlugin::ReservedSink", {}); }
  u32 ReceiveMessage(const char* from, const char* topic, const char* payload, u64 timestamp) override {
    return recorded("ISWGPlugin::ReceiveMessage", {text(from), text(topic), text(payload), text(timestamp)});
  }
  void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) override {
    State().Record("ISWGPlugin::ReceiveMessageResult", {text(plugin), text(topic), text(status)});
  }
  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           ISWGPluginCallback* callback, IPluginMessagingCallback* messaging, void* reserved) override {
    u32 result = recorded("ISWGPlugin::Init", {text(binDir), text(libDir), text(profileDir), text(version),
                                               text(static_cast<const void*>(callback)),
                                               text(static_cast<const void*>(messaging)),
                                               text(static_cast<const void*>(reserved))});
    State().Update(&core_, [&](FakeCore& core) {
      core.swgCallback = callback;
      core.messaging = messaging;
    });
    return result;
  }
  void Uninit() override {
    State().Record("ISWGPlugin::Uninit", {});
    State().Update(&core_, [](FakeCore& core) {
      core.swgCallback = nullptr;
      core.messaging = nullptr;
    });
  }
  u32 Start(const char* payload) override { return recorded("ISWGPlugin::Start", {text(payload)}); }
  u32 InitiateStop() override {
    u32 result = recorded("ISWGPlugin::InitiateStop", {});
    if (result == 0 && State().ReportsStopped()) State().Post(MakeCallback(Callback::SWGPluginStopped));
    return result;
  }

 private:
  static u32 recorded(const char* op, std::vector<std::string> args) {
    State().Record(op, std::move(args));
    return State().ResultOf(op);
  }
  FakeCore core_{PluginKind::Swg};
};

class FakeCloudDownloader final : public ICloudDownloaderPlugin {
 public:
  FakeCloudDownloader() { State().Attach(&core_); }
  ~FakeCloudDownloader() { State().Detach(&core_); }

  bool SupportsInterface(const char* interfaceId, u32 version) override {
    State().Record("ICloudDownloaderPlugin::SupportsInterface", {text(interfaceId), text(version)});
    return State().Supports() && interfaceId != nullptr &&
           std::strcmp(interfaceId, HXT_CLOUD_DOWNLOADER_ID) == 0;
  }
  void Reserved() override { State().Record("ICloudDownloaderPlugin::Reserved", {}); }
  u32 Register(ICloudDownloaderPluginCB* callback) override {
    u32 result = recorded("ICloudDownloaderPlugin::Register", {text(static_cast<const void*>(callback))});
    State().Update(&core_, [&](FakeCore& core) { core.cloudCallback = callback; });
    return result;
  }
  void Unregister(ICloudDownloaderPluginCB* callback) override {
    State().Record("ICloudDownloaderPlugin::Unregister", {text(static_cast<const void*>(callback))});
    State().Update(&core_, [](FakeCore& core) { core.cloudCallback = nullptr; });
  }
  u32 Start() override { return recorded("ICloudDownloaderPlugin::Start", {}); }
  u32 Stop() override { return recorded("ICloudDownloaderPlugin::Stop", {}); }
  u32 UpdateParameters(const char* downloadUrl, u32 intervalSeconds, bool windowOpen) override {
    return recorded("ICloudDownloaderPlugin::UpdateParameters",
                    {text(downloadUrl), text(intervalSeconds), text(windowOpen)});
  }
  u32 UserSessionChange(u32 event) override {
    return recorded("ICloudDownloaderPlugin::UserSessionChange", {text(event)});
  }

 private:
  static u32 recorded(const char* op, std::vector<std::string> args) {
    State().Record(op, std::move(args));
    return State().ResultOf(op);
  }
  FakeCore core_{PluginKind::CloudDownloader};
};

constexpr bool offers(PluginKind kind) {
  return (HXT_FAKE_OFFERS & (1u << static_cast<u32>(kind))) != 0;
}

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
    return hxt::fake::offers(kind) &&
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
  State().Record("DisposePlugin", {hxt::fake::text(static_cast<const void*>(object))});
  if (object == nullptr) return;
  if (auto* velmora = dynamic_cast<hxt::fake::FakeVelmoraPlugin*>(object)) {
    delete velmora;
  } else if (auto* swg = dynamic_cast<hxt::fake::FakeSwgPlugin*>(object)) {
    delete swg;
  } else if (auto* cloud = dynamic_cast<hxt::fake::FakeCloudDownloader*>(object)) {
    delete cloud;
  }
}
#endif

HXT_PLUGIN_EXPORT hxt::fake::IFakePluginControl* HxtFakePluginControl(u32 version) {
  return version == hxt::fake::kControlVersion ? &State() : nullptr;
}

}  // extern "C"
