#include "fake/fakesockfilter.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

namespace hxt::fakefilter {
namespace {

// Returned by reserved slots: a call there means the caller's idea of the
// table is off, which the recorded name makes visible.
constexpr ngc_error_t kReservedSlotCalled = 0xDEAD;
constexpr u32 kEntryBufferSize = 4096;

struct State {
  std::mutex mutex;
  Script script;
  std::vector<Call> calls;
  int nextSerial = 1;
  int live[4] = {};
  IKdfApiCB* disruptionTarget = nullptr;
  std::vector<std::thread> disruptionThreads;
  // IVelmoraApi calls in progress, and the most ever seen at once.
  std::atomic<int> inVelmoraCall{0};
  std::atomic<int> maxInVelmoraCall{0};

  ~State() { joinThreads(); }

  void joinThreads() {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> lock(mutex);
      threads.swap(disruptionThreads);
    }
    for (auto& t : threads) t.join();
  }
};

State& state() {
  static State s;
  return s;
}

InterfaceScript& scriptOf(Interface which) {
  Script& s = state().script;
  switch (which) {
    case Interface::Velmora:
      return s.velmora;
    case Interface::VpnDns:
      return s.vpnDns;
    case Interface::Kestrum:
      return s.kestrum;
    case Interface::SocketRedirector:
      break;
  }
  return s.socketRedirector;
}

// Callers hold the mutex.
void record(Call call) {
  state().calls.push_back(std::move(call));
}

void record(const char* name, int instance) {
  Call call;
  call.name = name;
  call.instance = instance;
  record(std::move(call));
}

template <typename List>
void readStrings(IVelmoraInfo* info, u32 count, List first, List next, std::vector<std::string>& out,
                 bool& consistent) {
  char buffer[kEntryBufferSize];
  for (bool more = (info->*first)(buffer, sizeof buffer, false); more;
       more = (info->*next)(buffer, sizeof buffer, false)) {
    out.emplace_back(buffer);
  }
  if (out.size() != count) consistent = false;
}

template <typename T, typename Getter>
void readItems(IVelmoraInfo* info, u32 count, Getter first, Getter next, std::vector<T>& out,
               bool& consistent) {
  T item{};
  for (bool more = (info->*first)(&item); more; more = (info->*next)(&item)) out.push_back(item);
  if (out.size() != count) consistent = false;
}

InfoSnapshot readInfo(IVelmoraInfo* info) {
  InfoSnapshot s;
  if (info == nullptr) return s;
  s.updateKind = info->GetUpdateKind();
  readStrings(info, info->GetWhiteList4Count(), &IVelmoraInfo::GetFirstWhiteList4Entry,
              &IVelmoraInfo::GetNextWhiteList4Entry, s.whiteList4, s.countsConsistent);
  readStrings(info, info->GetWhiteList6Count(), &IVelmoraInfo::GetFirstWhiteList6Entry,
              &IVelmoraInfo::GetNextWhiteList6Entry, s.whiteList6, s.countsConsistent);
  readItems(info, info->GetResolver4Count(), &IVelmoraInfo::GetFirstResolver4,
            &IVelmoraInfo::GetNextResolver4, s.resolvers4, s.countsConsistent);
  readItems(info, info->GetResolver6Count(), &IVelmoraInfo::GetFirstResolver6,
            &IVelmoraInfo::GetNextResolver6, s.resolvers6, s.countsConsistent);
  s.udpPort4 = info->GetListenerPort(HXT_AF_INET, HXT_IPPROTO_UDP);
  s.udpPort6 = info->GetListenerPort(HXT_AF_INET6, HXT_IPPROTO_UDP);
  s.tcpPort4 = info->GetListenerPort(HXT_AF_INET, 6);
  s.tcpPort6 = info->GetListenerPort(HXT_AF_INET6, 6);
  s.agentPid = info->GetAgentPid();
  readItems(info, info->GetIgnoredPidCount(), &IVelmoraInfo::GetFirstIgnoredPid,
            &IVelmoraInfo::GetNextIgnoredPid, s.ignoredPids, s.countsConsistent);
  s.redirect4 = info->IsRedirect4Enabled();
  s.redirect6 = info->IsRedirect6Enabled();
  return s;
}

// Counts IVelmoraApi calls in flight: the agent promises one filter operation
// at a time, and overlapping calls are how a missing lock shows up.
class CVelmoraCallScope {
 public:
  CVelmoraCallScope() {
    int now = ++state().inVelmoraCall;
    int seen = state().maxInVelmoraCall.load();
    while (now > seen && !state().maxInVelmoraCall.compare_exchange_weak(seen, now)) {
    }
    // Widen the window in which a second caller would overlap.
    std::this_thread::yield();
  }
  ~CVelmoraCallScope() { --state().inVelmoraCall; }
};

// What every fake instance shares: its serial and scripted answers.
class CFakeBase {
 public:
  explicit CFakeBase(int serial) : serial_(serial) {}
  int serial() const { return serial_; }

 protected:
  ngc_error_t scripted(const char* name, ngc_error_t result) {
    std::lock_guard<std::mutex> lock(state().mutex);
    record(name, serial_);
    return result;
  }
  ngc_error_t reserved(const char* name) { return scripted(name, kReservedSlotCalled); }
  ngc_error_t open(const char* name, Interface which, IKdfApiCB* callback, const char* pluginId = nullptr) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Call call;
    call.name = name;
    call.instance = serial_;
    call.callback = callback;
    if (pluginId != nullptr) call.pluginId = pluginId;
    record(std::move(call));
    return scriptOf(which).openPlugin;
  }
  ngc_error_t refresh(const char* name, Interface which) {
    std::lock_guard<std::mutex> lock(state().mutex);
    record(name, serial_);
    return scriptOf(which).refreshPids;
  }
  ngc_error_t close(const char* name, Interface which) {
    std::lock_guard<std::mutex> lock(state().mutex);
    record(name, serial_);
    return scriptOf(which).closePlugin;
  }

 private:
  int serial_;
};

class CFakeVelmoraApi final : public IVelmoraApi, public CFakeBase {
 public:
  using CFakeBase::CFakeBase;
  ~CFakeVelmoraApi() {
    std::lock_guard<std::mutex> lock(state().mutex);
    forgetCallback();
  }

  ngc_error_t Reserved0() override { return reserved("IVelmoraApi::Reserved0"); }

  bool IsPreloadNeeded() override {
    CVelmoraCallScope scope;
    std::lock_guard<std::mutex> lock(state().mutex);
    record("IVelmoraApi::IsPreloadNeeded", serial());
    return state().script.preloadNeeded;
  }

  bool IsPluginOpen() override {
    CVelmoraCallScope scope;
    std::lock_guard<std::mutex> lock(state().mutex);
    record("IVelmoraApi::IsPluginOpen", serial());
    return state().script.pluginOpenAnswer.value_or(open_);
  }

  ngc_error_t OpenPlugin(IKdfApiCB* callback) override {
    CVelmoraCallScope scope;
    ngc_error_t result = open("IVelmoraApi::OpenPlugin", Interface::Velmora, callback);
    if (result == HXT_NGC_OK) {
      std::lock_guard<std::mutex> lock(state().mutex);
      open_ = true;
      callback_ = callback;
      state().disruptionTarget = callback;
    }
    return result;
  }

  ngc_error_t ClosePlugin() override {
    CVelmoraCallScope scope;
    ngc_error_t result = close("IVelmoraApi::ClosePlugin", Interface::Velmora);
    if (result == HXT_NGC_OK) {
      std::lock_guard<std::mutex> lock(state().mutex);
      open_ = false;
      forgetCallback();
    }
    return result;
  }

  ngc_error_t Clear() override {
    CVelmoraCallScope scope;
    return scripted("IVelmoraApi::Clear", state().script.clear);
  }

  ngc_error_t SetParameters(IVelmoraInfo* info) override {
    CVelmoraCallScope scope;
    // Read on the caller's thread while the call lasts, as the real library does.
    InfoSnapshot snapshot = readInfo(info);
    std::lock_guard<std::mutex> lock(state().mutex);
    Call call;
    call.name = "IVelmoraApi::SetParameters";
    call.instance = serial();
    call.info = std::move(snapshot);
    record(std::move(call));
    return state().script.setParameters;
  }

  ngc_error_t StartEncryptedDnsHandling() override {
    return scripted("IVelmoraApi::StartEncryptedDnsHandling", state().script.startEncryptedDnsHandling);
  }

 private:
  void forgetCallback() {
    if (callback_ != nullptr && state().disruptionTarget == callback_) state().disruptionTarget = nullptr;
    callback_ = nullptr;
  }

  bool open_ = false;
  IKdfApiCB* callback_ = nullptr;
};

class CFakeVpnDnsApi final : public IVpnDnsApi, public CFakeBase {
 public:
  using CFakeBase::CFakeBase;
  ngc_error_t Reserved0() override { return reserved("IVpnDnsApi::Reserved0"); }
  ngc_error_t Reserved1() override { return reserved("IVpnDnsApi::Reserved1"); }
  ngc_error_t Reserved2() override { return reserved("IVpnDnsApi::Reserved2"); }
  ngc_error_t OpenPlugin(IKdfApiCB* callback) override {
    return open("IVpnDnsApi::OpenPlugin", Interface::VpnDns, callback);
  }
  ngc_error_t ClosePlugin() override { return close("IVpnDnsApi::ClosePlugin", Interface::VpnDns); }
  ngc_error_t Reserved5() override { return reserved("IVpnDnsApi::Reserved5"); }
  ngc_error_t Reserved6() override { return reserved("IVpnDnsApi::Reserved6"); }
  ngc_error_t Reserved7() override { return reserved("IVpnDnsApi::Reserved7"); }
  ngc_error_t Reserved8() override { return reserved("IVpnDnsApi::Reserved8"); }
  ngc_error_t Reserved9() override { return reserved("IVpnDnsApi::Reserved9"); }
  ngc_error_t Reserved10() override { return reserved("IVpnDnsApi::Reserved10"); }
  ngc_error_t RefreshVelmoraPids() override {
    return refresh("IVpnDnsApi::RefreshVelmoraPids", Interface::VpnDns);
  }
};

class CFakeKestrumApi final : public IKestrumApi, public CFakeBase {
 public:
  using CFakeBase::CFakeBase;
  ngc_error_t Reserved0() override { return reserved("IKestrumApi::Reserved0"); }
  ngc_error_t Reserved1() override { return reserved("IKestrumApi::Reserved1"); }
  ngc_error_t OpenPlugin(IKdfApiCB* callback) override {
    return open("IKestrumApi::OpenPlugin", Interface::Kestrum, callback);
  }
  ngc_error_t ClosePlugin() override { return close("IKestrumApi::ClosePlugin", Interface::Kestrum); }
  ngc_error_t Reserved4() override { return reserved("IKestrumApi::Reserved4"); }
  ngc_error_t Reserved5() override { return reserved("IKestrumApi::Reserved5"); }
  ngc_error_t Reserved6() override { return reserved("IKestrumApi::Reserved6"); }
  ngc_error_t RefreshVelmoraPids() override {
    return refresh("IKestrumApi::RefreshVelmoraPids", Interface::Kestrum);
  }
};

class CFakeSocketRedirectorApi final : public ISocketRedirectorApi, public CFakeBase {
 public:
  using CFakeBase::CFakeBase;
  ngc_error_t Reserved0() override { return reserved("ISocketRedirectorApi::Reserved0"); }
  ngc_error_t Reserved1() override { return reserved("ISocketRedirectorApi::Reserved1"); }
  ngc_error_t OpenPlugin(const char* pluginId, IKdfApiCB* callback) override {
    return open("ISocketRedirectorApi::OpenPlugin", Interface::SocketRedirector, callback,
                pluginId != nullptr ? pluginId : "(null)");
  }
  ngc_error_t ClosePlugin() override {
    return close("ISocketRedirectorApi::ClosePlugin", Interface::SocketRedirector);
  }
  ngc_error_t Reserved4() override { return reserved("ISocketRedirectorApi::Reserved4"); }
  ngc_error_t Reserved5() override { return reserved("ISocketRedirectorApi::Reserved5"); }
  ngc_error_t Reserved6() override { return reserved("ISocketRedirectorApi::Reserved6"); }
  ngc_error_t Reserved7() override { return reserved("ISocketRedirectorApi::Reserved7"); }
  ngc_error_t Reserved8() override { return reserved("ISocketRedirectorApi::Reserved8"); }
  ngc_error_t RefreshVelmoraPids() override {
    return refresh("ISocketRedirectorApi::RefreshVelmoraPids", Interface::SocketRedirector);
  }
};

template <typename Fake>
Fake* create(Interface which, const char* name) {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (scriptOf(which).createReturnsNull) {
    record(name, 0);
    return nullptr;
  }
  int serial = state().nextSerial++;
  ++state().live[static_cast<int>(which)];
  record(name, serial);
  return new Fake(serial);
}

template <typename Fake, typename Api>
ngc_error_t release(Api** instance, Interface which, const char* name) {
  if (instance == nullptr || *instance == nullptr) {
    std::lock_guard<std::mutex> lock(state().mutex);
    record(name, 0);
    return 1;
  }
  Fake* fake = static_cast<Fake*>(*instance);
  ngc_error_t result;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    record(name, fake->serial());
    --state().live[static_cast<int>(which)];
    result = scriptOf(which).releaseInstance;
  }
  delete fake;
  *instance = nullptr;
  return result;
}

}  // namespace

void Reset() {
  state().joinThreads();
  std::lock_guard<std::mutex> lock(state().mutex);
  state().script = Script();
  state().calls.clear();
  state().maxInVelmoraCall = 0;
}

void Configure(const std::function<void(Script&)>& edit) {
  std::lock_guard<std::mutex> lock(state().mutex);
  edit(state().script);
}

std::vector<Call> Calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls;
}

std::vector<std::string> CallNames() {
  std::lock_guard<std::mutex> lock(state().mutex);
  std::vector<std::string> names;
  for (const auto& call : state().calls) names.push_back(call.name);
  return names;
}

int LiveInstances(Interface which) {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().live[static_cast<int>(which)];
}

bool RaiseDisruption() {
  std::lock_guard<std::mutex> lock(state().mutex);
  IKdfApiCB* target = state().disruptionTarget;
  if (target == nullptr) return false;
  state().disruptionThreads.emplace_back([target] { target->OnKdfDisruption(); });
  return true;
}

void JoinDisruptionThreads() {
  state().joinThreads();
}

int MaxConcurrentVelmoraCalls() {
  return state().maxInVelmoraCall.load();
}

}  // namespace hxt::fakefilter

using hxt::fakefilter::Interface;

IVelmoraApi* CVelmoraApiClassFactory::CreateInstance() {
  return hxt::fakefilter::create<hxt::fakefilter::CFakeVelmoraApi>(Interface::Velmora,
                                                                   "CVelmoraApiClassFactory::CreateInstance");
}

ngc_error_t CVelmoraApiClassFactory::ReleaseInstance(IVelmoraApi** instance) {
  return hxt::fakefilter::release<hxt::fakefilter::CFakeVelmoraApi>(
      instance, Interface::Velmora, "CVelmoraApiClassFactory::ReleaseInstance");
}

IVpnDnsApi* CVpnDnsApiClassFactory::CreateInstance() {
  return hxt::fakefilter::create<hxt::fakefilter::CFakeVpnDnsApi>(Interface::VpnDns,
                                                                  "CVpnDnsApiClassFactory::CreateInstance");
}

ngc_error_t CVpnDnsApiClassFactory::ReleaseInstance(IVpnDnsApi** instance) {
  return hxt::fakefilter::release<hxt::fakefilter::CFakeVpnDnsApi>(instance, Interface::VpnDns,
                                                                   "CVpnDnsApiClassFactory::ReleaseInstance");
}

IKestrumApi* CKestrumApiClassFactory::CreateInstance() {
  return hxt::fakefilter::create<hxt::fakefilter::CFakeKestrumApi>(Interface::Kestrum,
                                                                   "CKestrumApiClassFactory::CreateInstance");
}

ngc_error_t CKestrumApiClassFactory::ReleaseInstance(IKestrumApi** instance) {
  return hxt::fakefilter::release<hxt::fakefilter::CFakeKestrumApi>(
      instance, Interface::Kestrum, "CKestrumApiClassFactory::ReleaseInstance");
}

ISocketRedirectorApi* CSocketRedirectorApiClassFactory::CreateInstance() {
  return hxt::fakefilter::create<hxt::fakefilter::CFakeSocketRedirectorApi>(
      Interface::SocketRedirector, "CSocketRedirectorApiClassFactory::CreateInstance");
}

ngc_error_t CSocketRedirectorApiClassFactory::ReleaseInstance(ISocketRedirectorApi** instance) {
  return hxt::fakefilter::release<hxt::fakefilter::CFakeSocketRedirectorApi>(
      instance, Interface::SocketRedirector, "CSocketRedirectorApiClassFactory::ReleaseInstance");
}
