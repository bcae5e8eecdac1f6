#include "agent/velmoramainthread.h"

#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>
#include <cstdlib>
#include <exception>
#include <functional>
#include <vector>

#include "agent/netframeworkdependency.h"
#include "agent/pluginloader.h"
#include "agent/velmorakdfpluginmgr.h"
#include "agent/velmorapluginjsonutils.h"
#include "common/applog.h"
#include "common/deviceinfo.h"
#include "common/knownfolders.h"
#include "common/singleton.h"
#include "common/velmorautils.h"

#ifndef HXT_AGENT_VERSION
#error "HXT_AGENT_VERSION must be defined by the build"
#endif

namespace hxt {

namespace {

constexpr const char* kCtor = "CVelmoraMainThread::CVelmoraMainThread";

using Slot = CSingletonSlot<CVelmoraMainThread>;

u32 millisecondsSince(std::chrono::system_clock::time_point start) {
  return static_cast<u32>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now() - start).count());
}

// The pointer the service control handler tests, and a stop that arrived
// while no instance existed. Guarded together so that a stop can never fall
// between "no instance yet" and "instance published".
std::mutex& instanceMutex() {
  static std::mutex m;
  return m;
}
CVelmoraMainThread* g_instance = nullptr;
bool g_pendingShutdown = false;

}  // namespace

MainThreadSettings MainThreadSettings::FromEnvironment() {
  MainThreadSettings settings;
  if (const char* port = std::getenv("HXT_IPC_PORT")) {
    try {
      settings.ipc.port = boost::lexical_cast<u16>(port);
    } catch (const boost::bad_lexical_cast&) {
      HXT_LOG(LOG_LEVEL_WARNING, "Ignoring HXT_IPC_PORT=%s: not a port number", port);
    }
  }
  return settings;
}

// ---- Singleton ---------------------------------------------------------------

bool CVelmoraMainThread::createSingletonInstance(const MainThreadSettings& settings) {
  if (!Slot::IsFree()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::createSingletonInstance",
             "CVelmoraMainThread instance already initialized");
    return false;
  }
  bool ok = false;
  auto* object = new CVelmoraMainThread(ok, settings);
  if (!ok || !Slot::Register(object)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::createSingletonInstance", "CVelmoraMainThread failed");
    delete object;
    return false;
  }
  std::lock_guard<std::mutex> lock(instanceMutex());
  g_instance = object;
  if (g_pendingShutdown) {
    g_pendingShutdown = false;
    object->RequestShutdown();
  }
  return true;
}

CVelmoraMainThread* CVelmoraMainThread::instance() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  return g_instance;
}

void CVelmoraMainThread::releaseInstance() {
  CVelmoraMainThread* object = nullptr;
  {
    std::lock_guard<std::mutex> lock(instanceMutex());
    object = g_instance;
    g_instance = nullptr;
  }
  Slot::Release(object);
}

bool CVelmoraMainThread::requestShutdownOfInstance() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  if (g_instance == nullptr) {
    g_pendingShutdown = true;
    return false;
  }
  g_instance->RequestShutdown();
  return true;
}

void CVelmoraMainThread::clearPendingShutdown() {
  std::lock_guard<std::mutex> lock(instanceMutex());
  g_pendingShutdown = false;
}

// ---- Construction and destruction --------------------------------------------

CVelmoraMainThread::CVelmoraMainThread(bool& ok, const MainThreadSettings& settingsIn)
    : settings(settingsIn) {
  ok = false;
  {
    LoggerHandle logger;
    verbose = IsVerboseLogging(logger);
  }
  loopWork.emplace(boost::asio::make_work_guard(ioService));
  stopTimer.emplace(ioService);

  if (u32 result = CVelmoraKdfPluginMgr::createSingletonInstance(this, &kdfPluginMgr)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "CVelmoraKdfPluginMgr::createSingletonInstance",
                 kCtor, nullptr);
    return;
  }
  u32 preload = kdfPluginMgr->PreloadPlugin();
  if (preload == kKdfOpenApprovalPending) {
    HXT_LOGF(LOG_LEVEL_WARNING, kCtor,
             "The required Truvane Extension must first be approved in System Preferences, the Velmora plugin will "
             "not be loaded.");
    missingDependency = MISSING_KEXT_APPROVAL;
  } else if (preload != 0) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(preload), false, "CVelmoraKdfPluginMgr::PreloadPlugin", kCtor,
                 nullptr);
  }

  if (!CDotNetDependency::Validate()) {
    HXT_LOGF(LOG_LEVEL_WARNING, kCtor,
             "The required .NET Framework version is not installed, the Velmora plugin will not be loaded.");
    missingDependency = MISSING_DOTNET;
  }

  if (missingDependency == MISSING_NONE) {
    if (!loadPlugins()) return;
    bool monitorOk = false;
    fileMonitor = std::make_unique<CFileMonitor>(
        profileDirectory + platform::kPathSeparator + kOrgInfoFileName, [this](FileAction action) { OrgInfoChanged(action); },
        monitorOk, settings.profileSettle);
    if (!monitorOk) {
      HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "CFileMonitor failed");
      return;
    }
    if (!createVpnConsumer()) return;
  }

  if (!CVelmoraIpcMgr::createSingletonInstance(ioService, ipcManager, settings.ipc)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "CVelmoraIpcMgr::createSingletonInstance failed");
    return;
  }

  initializeTables();
  ok = true;
}

// Loads and initialises the plug-ins; every failure is fatal to construction.
// Plug-ins loaded before a failure stay in their members for the destructor.
bool CVelmoraMainThread::loadPlugins() {
  if (!PluginLoader::createSingletonInstance(pluginLoader)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "PluginLoader::createSingletonInstance failed");
    return false;
  }

  auto started = std::chrono::system_clock::now();
  velmoraPlugin = PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(HXT_VELMORA_PLUGIN_ID);
  if (velmoraPlugin == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to load Velmora plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished loading Velmora plugin (%u ms)", millisecondsSince(started));

  started = std::chrono::system_clock::now();
  swgPlugin = PluginLoader::QuickCreatePlugin<ISWGPlugin>(HXT_SWG_PLUGIN_ID);
  if (swgPlugin == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to load SWG plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished loading SWG plugin (%u ms)", millisecondsSince(started));

  std::string binariesDirectory;
  if (!CVelmoraUtils::GetBinariesPath(binariesDirectory)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to get Helixor binaries directory");
    return false;
  }
  std::string librariesDirectory;
  if (!CVelmoraUtils::GetBinariesPath(librariesDirectory)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to get Helixor libraries directory");
    return false;
  }
  if (!CVelmoraUtils::GetProfilePath(profileDirectory)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to get Helixor Velmora profile directory");
    return false;
  }

  u32 udidLength = 0;
  i32 code = CDeviceInfo::GetUDID(nullptr, &udidLength);
  if (code != kUdidBufferTooSmall) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, code, false, "CDeviceInfo::GetUDID", kCtor, nullptr);
    return false;
  }
  std::vector<wchar_t> wideUdid(udidLength, L'\0');
  code = CDeviceInfo::GetUDID(wideUdid.data(), &udidLength);
  if (code != kUdidOk) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, code, false, "CDeviceInfo::GetUDID", kCtor, nullptr);
    return false;
  }
  std::string udid;
  for (wchar_t c : wideUdid) {
    if (c == L'\0') break;
    udid += static_cast<char>(c);
  }

  started = std::chrono::system_clock::now();
  u32 result = velmoraPlugin->Init(binariesDirectory.c_str(), librariesDirectory.c_str(), profileDirectory.c_str(),
                                   HXT_AGENT_VERSION, udid.c_str(), this, this, nullptr);
  if (result != 0) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::Init", kCtor,
                 "Failed to init Velmora plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished registering Velmora plugin (%u ms)", millisecondsSince(started));

  started = std::chrono::system_clock::now();
  result = swgPlugin->Init(binariesDirectory.c_str(), librariesDirectory.c_str(), profileDirectory.c_str(),
                           HXT_AGENT_VERSION, this, this, nullptr);
  if (result != 0) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "ISWGPlugin::Init", kCtor,
                 "Failed to init SWG plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished registering SWG plugin (%u ms)", millisecondsSince(started));

  started = std::chrono::system_clock::now();
  cloudDownloader = PluginLoader::QuickCreatePlugin<ICloudDownloaderPlugin>(HXT_CLOUD_DOWNLOADER_ID);
  if (cloudDownloader == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Failed to load Cloud Downloader plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished loading Cloud Downloader plugin (%u ms)", millisecondsSince(started));

  started = std::chrono::system_clock::now();
  result = cloudDownloader->Register(this);
  if (result != 0) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "ICloudDownloaderPlugin::Register", kCtor,
                 "Failed to register with Cloud Downloader plugin");
    return false;
  }
  HXT_LOG(LOG_LEVEL_INFO, "Finished registering Cloud Downloader plugin (%u ms)", millisecondsSince(started));
  return true;
}

// De-initialises and disposes of one plug-in, with the two timing lines.
template <typename Plugin, typename Uninit>
void CVelmoraMainThread::unloadPlugin(Plugin*& plugin, Uninit uninit, const char* unregisteredLine,
                                      const char* unloadedLine) {
  if (plugin == nullptr) return;
  auto started = std::chrono::system_clock::now();
  uninit(plugin);
  HXT_LOG(LOG_LEVEL_INFO, unregisteredLine, millisecondsSince(started));
  started = std::chrono::system_clock::now();
  if (pluginLoader != nullptr) pluginLoader->DisposeInstance(plugin);
  HXT_LOG(LOG_LEVEL_INFO, unloadedLine, millisecondsSince(started));
  plugin = nullptr;
}

CVelmoraMainThread::~CVelmoraMainThread() {
  // A loop that failed can leave the plug-in stopping and calling back: from
  // here on every callback is refused, and those already inside are waited
  // for, before anything they use goes.
  callbackGate.Close();
  fileMonitor.reset();
  // Host threads call into the IPC manager and the DNS plug-in: they go
  // first. After a completed plug-in stop there is nothing left to do here.
  teardownRedirection();
  vpnConsumer.reset();  // its thread calls back into this object
  CVelmoraIpcMgr::releaseInstance(ipcManager);
  ipcManager = nullptr;
  CVelmoraKdfPluginMgr::releaseInstance(kdfPluginMgr);
  kdfPluginMgr = nullptr;

  unloadPlugin(velmoraPlugin, [](IVelmoraPlugin* p) { p->Uninit(); }, "Finished unregistering Velmora plugin (%u ms)",
               "Finished unloading Velmora plugin (%u ms)");
  unloadPlugin(swgPlugin, [](ISWGPlugin* p) { p->Uninit(); }, "Finished unregistering SWG plugin (%u ms)",
               "Finished unloading SWG plugin (%u ms)");
  unloadPlugin(cloudDownloader, [this](ICloudDownloaderPlugin* p) { p->Unregister(this); },
               "Finished unregistering Cloud Downloader plugin (%u ms)",
               "Finished unloading Cloud Downloader plugin (%u ms)");
  PluginLoader::releaseInstance(pluginLoader);
  pluginLoader = nullptr;

  // The timer before the loop it is bound to; handlers still queued on the
  // loop are destroyed with it, without running.
  {
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer.reset();
  }
  profileDirectory.clear();
  validators.clear();
  loopWork.reset();
}

void CVelmoraMainThread::initializeTables() {
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    validators = BuildValidatorTable();
  }
  dnsProtectionStateNames = {{"disabled", "disabled"},
                             {"reserved", "reserved"},
                             {"encrypted", "encrypted"},
                             {"protected", "protected"},
                             {"behind_va", "behindVA"},
                             {"protected_network", "protectedNetwork"},
                             {"tnd_network", "vpnTrustedNetwork"},
                             {"velm_trusted_network", "velmTrustedNetwork"},
                             {"disabled_due_to_vpn", "disabledDueToVpn"},
                             {"open", "open"},
                             {"open_interference_detected_A", "openInterferenceA"},
                             {"open_interference_detected_AAAA", "openInterferenceAAAA"},
                             {"open_interference_detected_A_and_AAAA", "openInterferenceA_and_AAAA"},
                             {"encrypted_limited_dns64_detected", "encryptedLimitedDns64"},
                             {"protected_limited_dns64_detected", "protectedLimitedDns64"},
                             {"open_not_required", "openNotRequired"},
                             {"open_not_available", "openNotAvailable"},
                             {"disabled_no_network_stack", "disabledNoNwStack"}};
  ipProtectionStateNames = {{"not_protected", "notProtected"},
                            {"in_progress", "inProgress"},
                            {"partial", "partial"},
                            {"protected", "protected"}};
  swgStateNames = {{"protected", "protected"},
                   {"unprotected", "unprotected"},
                   {"disabled", "disabled"},
                   {"disabled_due_to_vpn", "disabled_due_to_vpn"},
                   {"disabled_due_to_trusted_network", "disabled_due_to_trusted_network"},
                   {"config_error", "config_error"},
                   {"cloud_service_unavailable", "cloud_service_unavailable"}};
}

// ---- State machine -------------------------------------------------------------

AgentState CVelmoraMainThread::getState() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return agentState;
}

bool CVelmoraMainThread::validateStateForActivity(AgentActivity activity, const char* validator) {
  if (callbackGate.IsClosed()) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraMainThread::validateStateForActivity",
             "%s refused: the service is shutting down", validator ? validator : AgentActivityName(activity));
    return false;
  }
  std::lock_guard<std::mutex> lock(stateMutex);
  const std::vector<AgentState>& acceptable = validators[activity];
  for (AgentState s : acceptable) {
    if (s == agentState) return true;
  }
  std::string list;
  for (AgentState s : acceptable) {
    if (!list.empty()) list += ", ";
    list += AgentStateName(s);
  }
  HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::validateStateForActivity",
           "Current state %s is not valid for %s (validator %s). Acceptable states: %s.",
           AgentStateName(agentState), AgentActivityName(activity), validator ? validator : "",
           list.c_str());
  return false;
}

void CVelmoraMainThread::updateState(AgentState state) {
  std::lock_guard<std::mutex> lock(stateMutex);
  if (state == agentState) return;
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraMainThread::updateState", "State transition: %s -> %s",
           AgentStateName(agentState), AgentStateName(state));
  agentState = state;
}

// ---- Loop ----------------------------------------------------------------------

bool CVelmoraMainThread::Run() {
  switch (missingDependency) {
    case MISSING_NONE: {
      std::string profile = profileDirectory + platform::kPathSeparator + kOrgInfoFileName;
      boost::system::error_code ec;
      if (boost::filesystem::is_regular_file(profile, ec)) {
        HXT_LOG(LOG_LEVEL_INFO, "Profile %s found, starting Velmora plugin", profile.c_str());
        boost::asio::post(ioService, std::bind(&CVelmoraMainThread::startVelmoraPlugin, this));
      } else {
        HXT_LOG(LOG_LEVEL_INFO, "Profile %s not found, not starting Velmora plugin", profile.c_str());
        ipcManager->UpdateAgentStatus("noOrginfo");
        if (!fileMonitor || !fileMonitor->StartMonitor()) {
          HXT_LOG(LOG_LEVEL_WARNING, "Failed to start Orginfo monitoring");
        }
      }
      break;
    }
    case MISSING_DOTNET:
      ipcManager->UpdateAgentStatus("noDotNet4");
      break;
    case MISSING_KEXT_APPROVAL:
      ipcManager->UpdateAgentStatus("kextApprovalRequired");
      break;
    default:
      HXT_LOG(LOG_LEVEL_WARNING, "Unexpected dependency missing %d", static_cast<int>(missingDependency));
      break;
  }

  updateState(SERVICE_STARTED);

  // Anything a handler throws ends the loop as a failure, whatever its type:
  // a plug-in's own exception must not terminate the process.
  std::string failure;
  try {
    ioService.run();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown exception";
  }
  bool result = failure.empty();
  if (!result) {
    updateState(FAILED);
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::Run", "ioService run exception - %s", failure.c_str());
    stopAll = true;
    stopVelmoraPlugin();
  }
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraMainThread::Run", "ioService run complete");
  return result;
}

void CVelmoraMainThread::RequestShutdown() {
  HXT_LOG(LOG_LEVEL_INFO, "Handling shutdown request");
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::shutdown, this));
}

void CVelmoraMainThread::shutdown() {
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraMainThread::shutdown", "shutdown");
  shutdownRequested = true;
  if (fileMonitor) fileMonitor->StopMonitor();
  stopAll = true;
  stopVelmoraPlugin();
}

// ---- DNS plug-in start and stop ------------------------------------------------

void CVelmoraMainThread::startVelmoraPlugin() {
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraMainThread::startVelmoraPlugin", "startVelmoraPlugin");
  if (!validateStateForActivity(START_VELMORA_PLUGIN, "CVelmoraMainThread::startVelmoraPlugin")) return;
  if (fileMonitor) fileMonitor->StopMonitor();
  {
    std::lock_guard<std::mutex> lock(listenerMutex);
    redirectionOpen = true;
  }
  ipcManager->UpdateAgentStatus("ok");
  updateState(VELMORA_PLUGIN_STARTED);
  if (cloudDownloader != nullptr) {
    if (u32 result = cloudDownloader->Start()) {
      HXT_LOG_CODE(LOG_LEVEL_WARNING, static_cast<i32>(result), false, "ICloudDownloaderPlugin::Start",
                   "CVelmoraMainThread::startVelmoraPlugin", nullptr);
    }
  }
  if (velmoraPlugin != nullptr) {
    if (u32 result = velmoraPlugin->Start()) {
      HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::Start",
                   "CVelmoraMainThread::startVelmoraPlugin", nullptr);
      stopVelmoraPlugin();
      return;
    }
  }
  startVpnConsumer();
}

void CVelmoraMainThread::stopVelmoraPlugin() {
  HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraMainThread::stopVelmoraPlugin", "stopVelmoraPlugin");
  if (!validateStateForActivity(STOP_VELMORA_PLUGIN, "CVelmoraMainThread::stopVelmoraPlugin")) return;
  if (cloudDownloader != nullptr) {
    if (u32 result = cloudDownloader->Stop()) {
      HXT_LOG_CODE(LOG_LEVEL_WARNING, static_cast<i32>(result), false, "ICloudDownloaderPlugin::Stop",
                   "CVelmoraMainThread::stopVelmoraPlugin", nullptr);
    }
  }
  if (velmoraPlugin != nullptr) {
    updateState(VELMORA_PLUGIN_STOPPING);
    u32 result = velmoraPlugin->InitiateStop();
    if (result == 0) {
      std::lock_guard<std::mutex> lock(stopTimerMutex);
      stopTimer->expires_after(settings.pluginStopTimeout);
      stopTimer->async_wait(
          std::bind(&CVelmoraMainThread::handleStopVelmoraPluginTimeout, this, std::placeholders::_1));
      return;
    }
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::InitiateStop",
                 "CVelmoraMainThread::stopVelmoraPlugin", nullptr);
  }
  completeVelmoraPluginStop();
}

void CVelmoraMainThread::PluginStopped() {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling 'Velmora plugin stopped' notification");
  if (!entry ||
      !validateStateForActivity(VELMORA_PLUGIN_STOPPED_CALLBACK, "CVelmoraMainThread::PluginStopped"))
    return;
  {
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer->cancel();
  }
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::completeVelmoraPluginStop, this));
}

void CVelmoraMainThread::handleStopVelmoraPluginTimeout(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraMainThread::handleStopVelmoraPluginTimeout", "stopVelmoraPlugin timed out");
  completeVelmoraPluginStop();
}

void CVelmoraMainThread::completeVelmoraPluginStop() {
  {
    // The plug-in may report that it stopped before the loop armed the
    // time-out; a stop that is complete must not time out later.
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer->cancel();
  }
  if (kdfPluginMgr != nullptr) kdfPluginMgr->StopPlugin();
  teardownRedirection();
  stopVpnConsumer();
  stopAll = false;
  updateState(SERVICE_STARTED);
  if (shutdownRequested) ioService.stop();
}

void CVelmoraMainThread::OrgInfoChanged(u8 action) {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Received Orginfo file change notification: %s", FileActionName(action));
  if (!entry || (action & 1u) == 0) return;
  AgentState state = getState();
  if (state != VELMORA_PLUGIN_STARTED && state != VELMORA_SWG_PLUGINS_STARTED) {
    boost::asio::post(ioService, std::bind(&CVelmoraMainThread::startVelmoraPlugin, this));
  }
}

// ---- Plug-in callbacks -----------------------------------------------------------

void CVelmoraMainThread::VelmoraSystemErrorOccurred(u32 code) {
  HXT_LOG(LOG_LEVEL_ERROR, "Received Velmora plugin system error notification [%u]", code);
}

void CVelmoraMainThread::SwgSystemErrorOccurred(u32 code) {
  HXT_LOG(LOG_LEVEL_ERROR, "Received SWG plugin system error notification [%u]", code);
}

void CVelmoraMainThread::ProtectionStateChanged(const char* json) {
  auto entry = callbackGate.Enter();
  if (!entry ||
      !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, "CVelmoraMainThread::ProtectionStateChanged"))
    return;
  ParsedProtectionState parsed;
  if (!CVelmoraPluginJsonUtils::ParseProtectionStatePayload(json, parsed)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::ProtectionStateChanged", "failed to parse JSON payload (%s)",
             parsed.error.c_str());
    return;
  }
  // The parser accepts only names the tables hold; an empty name stays empty
  // so that the UI keeps its current value for that family.
  auto translate = [](const std::map<std::string, std::string>& table, const std::string& name) {
    auto it = table.find(name);
    return it == table.end() ? std::string() : it->second;
  };
  ipcManager->UpdateStatus(translate(dnsProtectionStateNames, parsed.dnsProtectionState4),
                           translate(dnsProtectionStateNames, parsed.dnsProtectionState6),
                           translate(ipProtectionStateNames, parsed.ipProtectionState4), parsed.connectionError4,
                           translate(ipProtectionStateNames, parsed.ipProtectionState6), parsed.connectionError6,
                           parsed.clientDisplayName, parsed.userName, parsed.lastPolicySyncTime,
                           parsed.logUploadEnabled, parsed.swgEnabled);
}

void CVelmoraMainThread::logStats() {
  if (!verbose) return;
  LoggerHandle logger;
  IpcRequestCounters c = ipcManager->GetRequestCounters();
  LogFunction(logger, LOG_LEVEL_DEBUG, SourceBaseName(__FILE__), __LINE__, "CVelmoraMainThread::logStats",
              "Stats:\nFrom KDF - UDP: %u (IPv4), %u (IPv6)\nFrom KDF - TCP: %u (IPv4), %u (IPv6)\nTo KDF - UDP: %u "
              "(IPv4), %u (IPv6)\nTo KDF - TCP: %u (IPv4), %u (IPv6)\nProxy Errors: %u",
              c.udpRequests4, c.udpRequests6, c.tcpRequests4, c.tcpRequests6, c.udpResponses4, c.udpResponses6,
              c.tcpResponses4, c.tcpResponses6, proxyErrorCount.load());
}

// ---- Filter callbacks --------------------------------------------------------------

void CVelmoraMainThread::NotifyKdfDisruption() {
  auto entry = callbackGate.Enter();
  if (!entry) return;
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleKdfDisruption, this));
}

void CVelmoraMainThread::handleKdfDisruption() {
  // The plug-in decides what a disruption means; without one loaded there
  // is nobody to tell, and saying so keeps the notice visible.
  if (velmoraPlugin == nullptr) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraMainThread::handleKdfDisruption",
             "KDF disruption reported while no Tarrow plugin is loaded; ignored.");
    return;
  }
  HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraMainThread::handleKdfDisruption", "Notifying Tarrow plugin of KDF disruption.");
  if (u32 result = velmoraPlugin->DnsRedirectionDisrupted()) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::DnsRedirectionDisrupted",
                 "CVelmoraMainThread::handleKdfDisruption", nullptr);
  }
}

}  // namespace hxt
