// The orchestrator: one instance per process, created by the service entry,
// driven by Run on the service thread.
//
// It owns every other component, implements every callback interface they
// and the plug-ins call back through, and takes every decision on one
// single-threaded event loop (`ioService`) that only the thread inside Run
// executes. Callbacks arriving on other threads either answer at once from
// data guarded by a lock, or post a bound copy of their arguments onto the
// loop and return; no caller buffer is used after a callback returns.
//
// Lock order: listenerMutex, then any other lock; stateMutex before the
// logger's own lock (validateStateForActivity and updateState log while
// holding stateMutex).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>

#include "agent/agentstate.h"
#include "agent/callbackgate.h"
#include "agent/filemonitor.h"
#include "agent/velmoracontextcache.h"
#include "agent/velmoraipcmgr.h"
#include "agent/velmorakdfcb.h"
#include "agent/velmoralistener.h"
#include "agent/velmoralistenercb.h"
#include "agent/velmoravpnconsumer.h"
#include "agent/velmoravpnconsumercb.h"
#include "hxtarrow/plugin.h"

namespace hxt {

class CVelmoraKdfPluginMgr;
class PluginLoader;

constexpr std::chrono::milliseconds kPluginStopTimeout = std::chrono::seconds(30);
constexpr std::chrono::milliseconds kSwgPluginStopTimeout = std::chrono::seconds(30);
constexpr const char* kOrgInfoFileName = "OrgInfo.json";

// Fixed durations and addresses of the orchestrator; tests shorten or move them.
struct MainThreadSettings {
  std::chrono::milliseconds pluginStopTimeout = kPluginStopTimeout;
  std::chrono::milliseconds swgPluginStopTimeout = kSwgPluginStopTimeout;
  std::chrono::milliseconds profileSettle = kFileMonitorSettle;
  IpcSettings ipc;
  ListenerSettings listener;
  VpnConsumerSettings vpn;

  // The defaults, with the IPC port taken from HXT_IPC_PORT when it is set
  // (so that several agents can run side by side in tests).
  static MainThreadSettings FromEnvironment();
};

// Both plug-in callback interfaces name their slot for system errors
// SystemErrorOccurred with the same signature; one overrider would serve
// both. These shims give each slot its own overrider without moving a slot.
class CVelmoraPluginCallbackShim : public IVelmoraPluginCallback {
 public:
  void SystemErrorOccurred(u32 code) final { VelmoraSystemErrorOccurred(code); }

 protected:
  virtual void VelmoraSystemErrorOccurred(u32 code) = 0;
};

class CSwgPluginCallbackShim : public ISWGPluginCallback {
 public:
  void SystemErrorOccurred(u32 code) final { SwgSystemErrorOccurred(code); }

 protected:
  virtual void SwgSystemErrorOccurred(u32 code) = 0;
};

class CVelmoraMainThread : public CVelmoraPluginCallbackShim,
                           public CSwgPluginCallbackShim,
                           public IPluginMessagingCallback,
                           public ICloudDownloaderPluginCB,
                           public IVelmoraListenerCB,
                           public IVelmoraVpnConsumerCB,
                           public IVelmoraKdfCB {
 public:
  // Creates and registers the process-wide instance. False, after logging,
  // when one exists already or construction failed.
  static bool createSingletonInstance(const MainThreadSettings& settings = MainThreadSettings());
  // The registered instance, or null. Only the service entry (which holds the
  // creator's reference) and tests use the raw pointer.
  static CVelmoraMainThread* instance();
  // Drops the creator's reference; the last release destroys the object.
  static void releaseInstance();
  // For the service control handler: asks the instance to shut down. Without
  // an instance the request is remembered and honoured as soon as one is
  // registered, so a stop during construction is never lost. Returns whether
  // an instance existed.
  static bool requestShutdownOfInstance();
  // Forgets a remembered shutdown request (tests that run several instances).
  static void clearPendingShutdown();

  CVelmoraMainThread(bool& ok, const MainThreadSettings& settings);
  ~CVelmoraMainThread() override;
  CVelmoraMainThread(const CVelmoraMainThread&) = delete;
  CVelmoraMainThread& operator=(const CVelmoraMainThread&) = delete;

  // Runs the loop on the calling thread until it is stopped. False when an
  // exception escaped a handler.
  bool Run();
  // Any thread: posts `shutdown` onto the loop and returns.
  void RequestShutdown();

  AgentState getState();
  bool validateStateForActivity(AgentActivity activity, const char* validator);
  // Called on the loop (and once by Run after the loop failed).
  void updateState(AgentState state);
  MissingDependency missingDependencyForTesting() const { return missingDependency; }
  boost::asio::io_service& loop() { return ioService; }
  CVelmoraIpcMgr* ipcManagerForTesting() const { return ipcManager; }
  // Writes the request statistics (verbose logging only).
  void logStats();

  // Tests of the DNS path: a host's ports, work run on its I/O thread, what
  // the request path keeps.
  bool listenerPortsForTesting(u32 family, u16& udpPort, u16& tcpPort);
  bool postToListenerForTesting(u32 family, std::function<void()> work);
  // Hosts made for `family` fail their construction from now on (0: none).
  void failListenerCreationForTesting(u32 family) { failingListenerFamily = family; }
  std::size_t contextCountForTesting() const { return contextCache.Size(); }
  u32 proxyErrorCountForTesting() const { return proxyErrorCount.load(); }
  // Cancels whatever waits on the plug-in stop timer; the number of waits
  // that were pending (0 proves that no stop time-out is running).
  std::size_t cancelStopTimerForTesting();
  // Runs on the caller's thread between a redirect payload's state check and
  // the moment it takes listenerMutex.
  void setRedirectionLockHookForTesting(std::function<void()> hook) { redirectionLockHook = std::move(hook); }

  // IVelmoraPluginCallback (DNS plug-in threads)
  void Response(u32 sessionHandle, u32 contextId, const unsigned char* data, u32 size) override;
  void ErrorOccurred(u32 sessionHandle, u32 contextId, u32 error) override;
  void VelmoraSystemErrorOccurred(u32 code) override;
  void ProtectionStateChanged(const char* json) override;
  void ChangeDnsRedirectionMode(const char* json) override;
  void UpgradeDetailsChanged(const char* json) override;
  void PluginStopped() override;

  // ISWGPluginCallback (SWG plug-in threads)
  void SwgSystemErrorOccurred(u32 code) override;
  void SWGStateChanged(const char* json) override;
  void SWGStatsChanged(const char* json) override;
  void SWGPluginStopped() override;

  // IPluginMessagingCallback
  u32 SendPluginMessage(const char* to, const char* from, const char* topic, const char* payload) override;

  // ICloudDownloaderPluginCB
  i32 UpdateAvailable() override;
  i32 UpdateInProgress() override;

  // IVelmoraListenerCB (listener threads)
  bool OnFirstRequestTcpFragmentAvailable(const unsigned char* data, u32 size,
                                          std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                          u32& contextId) override;
  bool OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) override;
  bool CloseSession(u32 contextId) override;
  bool OnUdpRequestAvailable(const unsigned char* data, u32 size) override;
  void OnListenerException(u32 family) override;

  // IVelmoraVpnConsumerCB (VPN consumer thread)
  void VpnStateChanged(const RawVpnState& state) override;
  void UserSessionChanged(u32 event) override;

  // IVelmoraKdfCB (filter library thread)
  void NotifyKdfDisruption() override;

  // The file monitor's handler for the organisation profile file (its thread).
  void OrgInfoChanged(u8 action);

 private:
  void initializeTables();
  bool loadPlugins();
  template <typename Plugin, typename Uninit>
  void unloadPlugin(Plugin*& plugin, Uninit uninit, const char* unregisteredLine, const char* unloadedLine);

  // Loop handlers.
  void shutdown();
  void startVelmoraPlugin();
  void stopVelmoraPlugin();
  void handleStopVelmoraPluginTimeout(const boost::system::error_code& error);
  void completeVelmoraPluginStop();
  void handleKdfDisruption();
  // Forgets every request context and frees the listener hosts (the DNS
  // plug-in has stopped); returns once no host thread runs any more, or
  // after kListenerThreadsDrainTimeout.
  void teardownRedirection();

  // DNS redirection (velmoramainthread_redirect.cpp, _requests.cpp).
  bool processDnsRequest(const unsigned char* data, u32 size, bool isUdp,
                         std::shared_ptr<CVelmoraTcpListenerConnection> connection, bool isFirst, u32& contextId);
  // Callers hold listenerMutex.
  bool getListenerPorts(u16& udpPort4, u16& udpPort6, u16& tcpPort4, u16& tcpPort6);
  void restartListener(u32 family);
  std::unique_ptr<CVelmoraListener> makeListener(u32 family, bool& ok);

  // The SWG plug-in, started and stopped at the DNS plug-in's request
  // (velmoramainthread_swg.cpp).
  void startSWGPlugin(const std::string& payload);
  void stopSWGPlugin(bool reply);
  void completeSwgPluginStop(u32 result);
  void handleStopSWGPluginTimeout(const boost::system::error_code& error);
  void handleSwgPluginStopped();
  void replyToVelmoraPlugin(const char* topic, u32 status);
  // VPN state, user sessions and updates (velmoramainthread_vpn.cpp).
  bool createVpnConsumer();
  void startVpnConsumer();
  void stopVpnConsumer();
  void handleVpnStateChange(std::shared_ptr<ParsedVpnState> state);
  void handleUserSessionChange(u32 event);
  void handleUpdateReadyNotification();
  void sendIpcExitForUpdate();

  MainThreadSettings settings;
  // Read once, as the listeners do: the request path then asks the logger
  // nothing unless there is a debug line to write.
  bool verbose = false;

  CVelmoraIpcMgr* ipcManager = nullptr;
  std::map<std::string, std::string> dnsProtectionStateNames;
  std::map<std::string, std::string> ipProtectionStateNames;
  std::map<std::string, std::string> swgStateNames;
  PluginLoader* pluginLoader = nullptr;
  boost::asio::io_service ioService;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_service::executor_type>> loopWork;
  AgentState agentState = INITIAL;
  ValidatorTable validators;
  std::mutex stateMutex;
  CVelmoraKdfPluginMgr* kdfPluginMgr = nullptr;
  std::string profileDirectory;
  std::unique_ptr<CVelmoraVpnConsumer> vpnConsumer;
  IVelmoraPlugin* velmoraPlugin = nullptr;
  ISWGPlugin* swgPlugin = nullptr;
  ICloudDownloaderPlugin* cloudDownloader = nullptr;
  // Plug-in threads cancel the timer while the loop may arm it: every access
  // goes through stopTimerMutex.
  std::optional<boost::asio::steady_timer> stopTimer;
  std::mutex stopTimerMutex;
  bool shutdownRequested = false;
  bool stopAll = false;
  bool swgStopReplyPending = false;
  // Loop only: an SWG stop waits on stopTimer for SWGPluginStopped.
  bool swgStopWaitPending = false;
  std::atomic<u32> proxyErrorCount {0};
  // The listener hosts, null while their family is not redirected. Lock
  // order: listenerMutex before every other lock. Declared so that the hosts
  // go first: their threads use the cache and the mutex.
  CVelmoraContextCache contextCache;
  std::mutex listenerMutex;
  std::unique_ptr<CVelmoraListener> listener4;
  std::unique_ptr<CVelmoraListener> listener6;
  std::atomic<u32> failingListenerFamily{0};
  MissingDependency missingDependency = MISSING_NONE;
  // Watches the organisation profile file while Run found none.
  std::unique_ptr<CFileMonitor> fileMonitor;
  // False from the teardown of the redirection path until the next plug-in
  // start: a redirect payload or listener restart that was under way when
  // the plug-in stopped must not bring hosts back. Guarded by listenerMutex.
  bool redirectionOpen = true;
  std::function<void()> redirectionLockHook;
  // Closed by the destructor before it frees anything callbacks use.
  CCallbackGate callbackGate;
};

}  // namespace hxt
