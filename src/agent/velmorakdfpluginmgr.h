// The agent's only gateway to the socket filter (library hx_sock_fltr_api).
//
// Creates the filter's IVelmoraApi once, opens the filter's DNS plug-in on
// first need and keeps it open until destruction, hands the filter its
// parameters (whole or as one of four partial updates), clears redirection on
// StopPlugin, tells the sibling filters to re-read the agent's process ids
// after every change of the ignore list, and forwards the library's disruption
// notice to the orchestrator.
//
// A process-wide singleton made by the orchestrator's construction. Threads:
// the public operations may be called from any thread and run one at a time
// under the manager's mutex (each one is a complete exchange with the filter);
// PreloadPlugin belongs to the orchestrator's construction. The library calls
// OnKdfDisruption on its own thread, without the mutex. Ownership: the manager
// owns its IVelmoraApi instance and every sibling instance it creates (those
// only for the length of one call); the callback is not owned and must outlive
// the manager.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "agent/velmorakdfcb.h"
#include "common/hxttypes.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt {

// Result codes of createSingletonInstance and of construction.
constexpr u32 kKdfMgrOk = 0;
constexpr u32 kKdfMgrAlreadyInitialized = 2;
constexpr u32 kKdfMgrApiCreationFailed = 3;
constexpr u32 kKdfMgrNoCallback = 6;

// Result codes of openPlugin, which PreloadPlugin passes on.
constexpr u32 kKdfOpenOk = 0;
constexpr u32 kKdfOpenNoApi = 1;
constexpr u32 kKdfOpenApprovalPending = 4;
constexpr u32 kKdfOpenFailed = 5;

class CVelmoraKdfPluginMgr : public IKdfApiCB {
 public:
  // Creates the singleton with one reference. 0 created (*instance set); 2 an
  // instance exists already; 3 the filter's API could not be created; 6 the
  // callback is null. On failure *instance is null (left alone for 2).
  static u32 createSingletonInstance(IVelmoraKdfCB* callback, CVelmoraKdfPluginMgr** instance);
  // Drops one reference; the release that reaches zero destroys the manager
  // (closing the filter's plug-in). A pointer that is not the registered
  // instance is destroyed at once.
  static void releaseInstance(CVelmoraKdfPluginMgr* instance);

  ~CVelmoraKdfPluginMgr() override;
  CVelmoraKdfPluginMgr(const CVelmoraKdfPluginMgr&) = delete;
  CVelmoraKdfPluginMgr& operator=(const CVelmoraKdfPluginMgr&) = delete;

  // When the filter says it needs a preload: opens its plug-in and clears
  // redirection. 0, or openPlugin's code when the plug-in could not be opened
  // (4: the filter's extension awaits the user's approval).
  u32 PreloadPlugin();

  // The whole parameter set. Remembers `ignoredPids` for StopPlugin.
  bool SetParameters(const std::vector<std::string>& whiteList4, const std::vector<std::string>& whiteList6,
                     const std::vector<IpAddressRecord>& resolvers4,
                     const std::vector<IpAddressRecord>& resolvers6, u16 udpPort4, u16 udpPort6, u16 tcpPort4,
                     u16 tcpPort6, const std::vector<u32>& ignoredPids, bool redirect4, bool redirect6);
  // Each port must be 0 or at least 1024.
  bool UpdatePorts(u16 udpPort4, u16 udpPort6, u16 tcpPort4, u16 tcpPort6);
  // Sends a new ignore list without replacing the one StopPlugin re-sends.
  bool UpdatePids(const std::vector<u32>& ignoredPids);
  bool UpdateWhiteList(const std::vector<std::string>& whiteList4,
                       const std::vector<std::string>& whiteList6);
  bool UpdateIncludedDnsServers(const std::vector<IpAddressRecord>& resolvers4,
                                const std::vector<IpAddressRecord>& resolvers6);
  // Clears redirection and re-sends the ignore list of the last
  // SetParameters; the filter's plug-in stays open.
  bool StopPlugin();

  // IKdfApiCB: logs and tells the orchestrator, nothing else.
  void OnKdfDisruption() override;

 private:
  CVelmoraKdfPluginMgr(IVelmoraKdfCB* callback, u32& code);

  u32 initApi();
  void releaseApi();
  // The helpers below expect the mutex to be held by their caller.
  u32 openPlugin();
  bool closePlugin();
  bool sendRefreshVelmoraPidsToOtherPlugins();
  // The shared steps of the parameter operations; each logs under `function`.
  bool hasApi(const char* function);
  bool ensureOpen(const char* function);
  bool sendParameters(const char* function, IVelmoraInfo& info);

  IVelmoraApi* api_ = nullptr;
  std::mutex mutex_;
  std::vector<u32> savedIgnoredPids_;
  IVelmoraKdfCB* callback_ = nullptr;
};

}  // namespace hxt
