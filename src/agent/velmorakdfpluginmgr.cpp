#include "agent/velmorakdfpluginmgr.h"

#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "agent/velmorainfo.h"
#include "common/applog.h"
#include "common/singleton.h"

namespace hxt {

namespace {

constexpr const char* kCreateSingleton = "CVelmoraKdfPluginMgr::createSingletonInstance";
constexpr const char* kConstructor = "CVelmoraKdfPluginMgr::CVelmoraKdfPluginMgr";
constexpr const char* kDestructor = "CVelmoraKdfPluginMgr::~CVelmoraKdfPluginMgr";
constexpr const char* kInitApi = "CVelmoraKdfPluginMgr::initApi";
constexpr const char* kReleaseApi = "CVelmoraKdfPluginMgr::releaseApi";
constexpr const char* kOpenPlugin = "CVelmoraKdfPluginMgr::openPlugin";
constexpr const char* kClosePlugin = "CVelmoraKdfPluginMgr::closePlugin";
constexpr const char* kPreloadPlugin = "CVelmoraKdfPluginMgr::PreloadPlugin";
constexpr const char* kSetParameters = "CVelmoraKdfPluginMgr::SetParameters";
constexpr const char* kUpdatePorts = "CVelmoraKdfPluginMgr::UpdatePorts";
constexpr const char* kUpdatePids = "CVelmoraKdfPluginMgr::UpdatePids";
constexpr const char* kUpdateWhiteList = "CVelmoraKdfPluginMgr::UpdateWhiteList";
constexpr const char* kUpdateIncludedDnsServers = "CVelmoraKdfPluginMgr::UpdateIncludedDnsServers";
constexpr const char* kStopPlugin = "CVelmoraKdfPluginMgr::StopPlugin";
constexpr const char* kRefresh = "CVelmoraKdfPluginMgr::sendRefreshVelmoraPidsToOtherPlugins";
constexpr const char* kOnKdfDisruption = "CVelmoraKdfPluginMgr::OnKdfDisruption";

constexpr const char* kApiNotInitialized = "API not initialized.";
constexpr const char* kRefreshFailed = "sendRefreshVelmoraPidsToOtherPlugins failed";

// Ports below this belong to system services; the filter must never send DNS
// traffic there. 0 means "no listener of that kind".
constexpr u16 kLowestListenerPort = 1024;

using Registry = CSingletonSlot<CVelmoraKdfPluginMgr>;

// Read at every use: the filter exempts this process from redirection, and
// its identity is what matters, not a value remembered from earlier.
u32 currentProcessId() {
#ifdef _WIN32
  return static_cast<u32>(::GetCurrentProcessId());
#else
  return static_cast<u32>(::getpid());
#endif
}

void logFailedCall(u32 level, ngc_error_t code, const char* called, const char* function) {
  HXT_LOG_CODE(level, static_cast<i32>(code), false, called, function, nullptr);
}

// Whether a library call succeeded; a failure is logged under `function`.
bool succeeded(ngc_error_t code, const char* called, const char* function) {
  if (code == HXT_NGC_OK) return true;
  logFailedCall(LOG_LEVEL_ERROR, code, called, function);
  return false;
}

bool portAllowed(u16 port) {
  return port == 0 || port >= kLowestListenerPort;
}

// A sibling filter interface held for one refresh. Release closes it once more
// (whatever state the sequence left it in) and destroys it; the destructor
// does the same for paths that return early.
template <typename Factory, typename Api>
class CSiblingApi {
 public:
  CSiblingApi(const char* interfaceName, const char* releaseName)
      : interfaceName_(interfaceName), releaseName_(releaseName) {}
  ~CSiblingApi() { Release(); }
  CSiblingApi(const CSiblingApi&) = delete;
  CSiblingApi& operator=(const CSiblingApi&) = delete;

  bool Create() {
    api_ = Factory::CreateInstance();
    if (api_ != nullptr) return true;
    HXT_LOGF(LOG_LEVEL_ERROR, kRefresh, "unable to create instance of %s interface.", interfaceName_);
    return false;
  }

  Api* operator->() const { return api_; }

  void Release() {
    if (api_ == nullptr) return;
    api_->ClosePlugin();
    ngc_error_t code = Factory::ReleaseInstance(&api_);
    if (code != HXT_NGC_OK) logFailedCall(LOG_LEVEL_ERROR, code, releaseName_, kRefresh);
    api_ = nullptr;
  }

 private:
  const char* interfaceName_;
  const char* releaseName_;
  Api* api_ = nullptr;
};

}  // namespace

u32 CVelmoraKdfPluginMgr::createSingletonInstance(IVelmoraKdfCB* callback, CVelmoraKdfPluginMgr** instance) {
  if (instance != nullptr) *instance = nullptr;  // a refused caller holds no stale pointer
  if (!Registry::IsFree()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCreateSingleton, "CVelmoraKdfPluginMgr instance already initialized");
    return kKdfMgrAlreadyInitialized;
  }
  u32 code = kKdfMgrOk;
  std::unique_ptr<CVelmoraKdfPluginMgr> manager(new CVelmoraKdfPluginMgr(callback, code));
  if (code != kKdfMgrOk) {
    logFailedCall(LOG_LEVEL_ERROR, code, "CVelmoraKdfPluginMgr", kCreateSingleton);
    return code;
  }
  if (!Registry::Register(manager.get())) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCreateSingleton, "CVelmoraKdfPluginMgr instance already initialized");
    return kKdfMgrAlreadyInitialized;
  }
  CVelmoraKdfPluginMgr* created = manager.release();
  if (instance != nullptr) *instance = created;
  return kKdfMgrOk;
}

void CVelmoraKdfPluginMgr::releaseInstance(CVelmoraKdfPluginMgr* instance) {
  Registry::Release(instance);
}

CVelmoraKdfPluginMgr::CVelmoraKdfPluginMgr(IVelmoraKdfCB* callback, u32& code) : callback_(callback) {
  if (callback == nullptr) {
    code = kKdfMgrNoCallback;
    return;
  }
  code = initApi();
  if (code != kKdfMgrOk) logFailedCall(LOG_LEVEL_ERROR, code, kInitApi, kConstructor);
}

CVelmoraKdfPluginMgr::~CVelmoraKdfPluginMgr() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (api_ != nullptr && !closePlugin()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kDestructor, "CVelmoraKdfPluginMgr::closePlugin failed");
  }
  releaseApi();
}

u32 CVelmoraKdfPluginMgr::initApi() {
  api_ = CVelmoraApiClassFactory::CreateInstance();
  if (api_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kInitApi, "unable to create instance of IVelmoraApi interface.");
    return kKdfMgrApiCreationFailed;
  }
  // Without it encrypted DNS bypasses the filter, but plain DNS is still
  // protected: worth a warning, not a failed start.
  ngc_error_t code = api_->StartEncryptedDnsHandling();
  if (code != HXT_NGC_OK) {
    logFailedCall(LOG_LEVEL_WARNING, code, "IVelmoraApi::StartEncryptedDnsHandling", kInitApi);
  }
  return kKdfMgrOk;
}

void CVelmoraKdfPluginMgr::releaseApi() {
  if (api_ == nullptr) return;
  ngc_error_t code = CVelmoraApiClassFactory::ReleaseInstance(&api_);
  if (code != HXT_NGC_OK) {
    logFailedCall(LOG_LEVEL_ERROR, code, "CVelmoraApiClassFactory::ReleaseInstance", kReleaseApi);
  }
  api_ = nullptr;
}

u32 CVelmoraKdfPluginMgr::openPlugin() {
  if (api_ != nullptr && api_->IsPluginOpen()) return kKdfOpenOk;
  if (api_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kOpenPlugin, "%s", kApiNotInitialized);
    return kKdfOpenNoApi;
  }
  ngc_error_t code = api_->OpenPlugin(this);
  if (code == HXT_NGC_OK) return kKdfOpenOk;
  // Awaiting approval is a state of the machine, not a fault; the caller
  // decides how to report it.
  if (code == HXT_NGC_AWAITING_APPROVAL) return kKdfOpenApprovalPending;
  logFailedCall(LOG_LEVEL_ERROR, code, "IVelmoraApi::OpenPlugin", kOpenPlugin);
  return kKdfOpenFailed;
}

bool CVelmoraKdfPluginMgr::closePlugin() {
  if (api_ == nullptr || !api_->IsPluginOpen()) return true;
  succeeded(api_->Clear(), "IVelmoraApi::Clear", kClosePlugin);
  if (!sendRefreshVelmoraPidsToOtherPlugins()) HXT_LOGF(LOG_LEVEL_ERROR, kClosePlugin, "%s", kRefreshFailed);
  return succeeded(api_->ClosePlugin(), "IVelmoraApi::ClosePlugin", kClosePlugin);
}

bool CVelmoraKdfPluginMgr::sendRefreshVelmoraPidsToOtherPlugins() {
  CSiblingApi<CVpnDnsApiClassFactory, IVpnDnsApi> vpnDns("IVpnDnsApi",
                                                         "CVpnDnsApiClassFactory::ReleaseInstance");
  CSiblingApi<CKestrumApiClassFactory, IKestrumApi> kestrum("IKestrumApi",
                                                            "CKestrumApiClassFactory::ReleaseInstance");
  CSiblingApi<CSocketRedirectorApiClassFactory, ISocketRedirectorApi> redirector(
      "ISocketRedirectorApi", "CSocketRedirectorApiClassFactory::ReleaseInstance");

  // Stops at the first failure: the siblings after it are not even created.
  bool ok =
      vpnDns.Create() && succeeded(vpnDns->OpenPlugin(this), "IVpnDnsApi::OpenPlugin", kRefresh) &&
      succeeded(vpnDns->RefreshVelmoraPids(), "IVpnDnsApi::RefreshVelmoraPids", kRefresh) &&
      succeeded(vpnDns->ClosePlugin(), "IVpnDnsApi::ClosePlugin", kRefresh) && kestrum.Create() &&
      succeeded(kestrum->OpenPlugin(this), "IKestrumApi::OpenPlugin", kRefresh) &&
      succeeded(kestrum->RefreshVelmoraPids(), "IKestrumApi::RefreshVelmoraPids", kRefresh) &&
      succeeded(kestrum->ClosePlugin(), "IKestrumApi::ClosePlugin", kRefresh) && redirector.Create() &&
      succeeded(redirector->OpenPlugin(HXT_SOCKET_REDIRECTOR_PLUGIN_ID, this),
                "ISocketRedirectorApi::OpenPlugin", kRefresh) &&
      succeeded(redirector->RefreshVelmoraPids(), "ISocketRedirectorApi::RefreshVelmoraPids", kRefresh) &&
      succeeded(redirector->ClosePlugin(), "ISocketRedirectorApi::ClosePlugin", kRefresh);

  vpnDns.Release();
  kestrum.Release();
  redirector.Release();
  return ok;
}

u32 CVelmoraKdfPluginMgr::PreloadPlugin() {
  u32 code = kKdfOpenOk;
  {
    // Only the orchestrator's construction calls this, but holding the mutex
    // keeps "one filter operation at a time" true without that assumption.
    std::lock_guard<std::mutex> lock(mutex_);
    if (api_ == nullptr || !api_->IsPreloadNeeded()) return kKdfMgrOk;
    code = openPlugin();
  }
  if (code != kKdfOpenOk) {
    logFailedCall(LOG_LEVEL_ERROR, code, "CVelmoraKdfPluginMgr::openPlugin", kPreloadPlugin);
    return code;
  }
  if (!StopPlugin()) HXT_LOGF(LOG_LEVEL_ERROR, kPreloadPlugin, "CVelmoraKdfPluginMgr::stopPlugin failed");
  return kKdfMgrOk;
}

bool CVelmoraKdfPluginMgr::hasApi(const char* function) {
  if (api_ != nullptr) return true;
  HXT_LOGF(LOG_LEVEL_ERROR, function, "%s", kApiNotInitialized);
  return false;
}

bool CVelmoraKdfPluginMgr::ensureOpen(const char* function) {
  u32 code = openPlugin();
  if (code == kKdfOpenOk) return true;
  logFailedCall(LOG_LEVEL_ERROR, code, "CVelmoraKdfPluginMgr::openPlugin", function);
  return false;
}

bool CVelmoraKdfPluginMgr::sendParameters(const char* function, IVelmoraInfo& info) {
  return succeeded(api_->SetParameters(&info), "IVelmoraApi::SetParameters", function);
}

bool CVelmoraKdfPluginMgr::SetParameters(const std::vector<std::string>& whiteList4,
                                         const std::vector<std::string>& whiteList6,
                                         const std::vector<IpAddressRecord>& resolvers4,
                                         const std::vector<IpAddressRecord>& resolvers6, u16 udpPort4,
                                         u16 udpPort6, u16 tcpPort4, u16 tcpPort6,
                                         const std::vector<u32>& ignoredPids, bool redirect4,
                                         bool redirect6) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasApi(kSetParameters) || !ensureOpen(kSetParameters)) return false;
  // Saved before the filter sees it: StopPlugin must restore the list the
  // orchestrator asked for, even if this call is refused.
  savedIgnoredPids_ = ignoredPids;
  CVelmoraInfo info = CVelmoraInfo::All(whiteList4, whiteList6, resolvers4, resolvers6,
                                        {udpPort4, udpPort6, tcpPort4, tcpPort6}, currentProcessId(),
                                        ignoredPids, redirect4, redirect6);
  if (!sendParameters(kSetParameters, info)) return false;
  if (!sendRefreshVelmoraPidsToOtherPlugins())
    HXT_LOGF(LOG_LEVEL_ERROR, kSetParameters, "%s", kRefreshFailed);
  return true;
}

bool CVelmoraKdfPluginMgr::UpdatePorts(u16 udpPort4, u16 udpPort6, u16 tcpPort4, u16 tcpPort6) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasApi(kUpdatePorts)) return false;
  if (!portAllowed(udpPort4) || !portAllowed(udpPort6) || !portAllowed(tcpPort4) || !portAllowed(tcpPort6)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kUpdatePorts, "At least one port is out of range.");
    return false;
  }
  if (!ensureOpen(kUpdatePorts)) return false;
  CVelmoraInfo info = CVelmoraInfo::PortsOnly({udpPort4, udpPort6, tcpPort4, tcpPort6});
  return sendParameters(kUpdatePorts, info);
}

bool CVelmoraKdfPluginMgr::UpdatePids(const std::vector<u32>& ignoredPids) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasApi(kUpdatePids) || !ensureOpen(kUpdatePids)) return false;
  CVelmoraInfo info = CVelmoraInfo::Pids(currentProcessId(), ignoredPids);
  if (!sendParameters(kUpdatePids, info)) return false;
  if (!sendRefreshVelmoraPidsToOtherPlugins()) HXT_LOGF(LOG_LEVEL_ERROR, kUpdatePids, "%s", kRefreshFailed);
  return true;
}

bool CVelmoraKdfPluginMgr::UpdateWhiteList(const std::vector<std::string>& whiteList4,
                                           const std::vector<std::string>& whiteList6) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasApi(kUpdateWhiteList) || !ensureOpen(kUpdateWhiteList)) return false;
  CVelmoraInfo info = CVelmoraInfo::WhiteLists(whiteList4, whiteList6);
  return sendParameters(kUpdateWhiteList, info);
}

bool CVelmoraKdfPluginMgr::UpdateIncludedDnsServers(const std::vector<IpAddressRecord>& resolvers4,
                                                    const std::vector<IpAddressRecord>& resolvers6) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!hasApi(kUpdateIncludedDnsServers) || !ensureOpen(kUpdateIncludedDnsServers)) return false;
  CVelmoraInfo info = CVelmoraInfo::Resolvers(resolvers4, resolvers6);
  return sendParameters(kUpdateIncludedDnsServers, info);
}

bool CVelmoraKdfPluginMgr::StopPlugin() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!ensureOpen(kStopPlugin)) return false;
  // Each step is worth trying even when the one before it failed: a filter
  // that did not clear should still learn which processes to leave alone.
  succeeded(api_->Clear(), "IVelmoraApi::Clear", kStopPlugin);
  CVelmoraInfo info = CVelmoraInfo::Pids(currentProcessId(), savedIgnoredPids_);
  sendParameters(kStopPlugin, info);
  if (!sendRefreshVelmoraPidsToOtherPlugins()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kStopPlugin, "sendRefreshVelmoraPidsToOtherPlugins failed.");
  }
  return true;
}

void CVelmoraKdfPluginMgr::OnKdfDisruption() {
  HXT_LOGF(LOG_LEVEL_WARNING, kOnKdfDisruption, "Notified of KDF disruption.");
  if (callback_ != nullptr) callback_->NotifyKdfDisruption();
}

}  // namespace hxt
