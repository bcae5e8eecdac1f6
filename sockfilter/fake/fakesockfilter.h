// Control of the filter library's test double, libhx_sock_fltr_fake.
//
// The double is built from the same public header as the production library
// and exports the same four class factories, so a test executable linked with
// it drives the socket-filter manager exactly as the agent does. It records
// every call with its arguments (a parameter record is read out in full,
// through its getters, during SetParameters), answers from a script whose
// defaults are all success, and can raise the disruption notice from a thread
// of its own.
//
// All functions are thread-safe. Reset() between tests: the double's state is
// process-wide, like the real library's.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hxtarrow/sockfltrapi.h"

// The steering calls cross the DLL boundary like the factories (Windows:
// exported by the double, imported by the tests).
#define HXT_FAKE_FILTER_EXPORT HX_SOCK_FLTR_API

namespace hxt::fakefilter {

enum class Interface { Velmora, VpnDns, Kestrum, SocketRedirector };

// Everything one IVelmoraInfo carried.
struct InfoSnapshot {
  u32 updateKind = 0;
  std::vector<std::string> whiteList4;
  std::vector<std::string> whiteList6;
  std::vector<IpAddressRecord> resolvers4;
  std::vector<IpAddressRecord> resolvers6;
  u16 udpPort4 = 0;
  u16 udpPort6 = 0;
  u16 tcpPort4 = 0;
  u16 tcpPort6 = 0;
  u32 agentPid = 0;
  std::vector<u32> ignoredPids;
  bool redirect4 = false;
  bool redirect6 = false;
  // False when some list's count differed from what first/next delivered.
  bool countsConsistent = true;
};

struct Call {
  std::string name;  // "IVelmoraApi::OpenPlugin", "CKestrumApiClassFactory::CreateInstance"
  int instance = 0;  // the instance's serial (1, 2, ...); 0 for a null CreateInstance
  const IKdfApiCB* callback = nullptr;  // OpenPlugin
  std::string pluginId;                 // ISocketRedirectorApi::OpenPlugin
  std::optional<InfoSnapshot> info;     // IVelmoraApi::SetParameters
};

struct InterfaceScript {
  bool createReturnsNull = false;
  ngc_error_t openPlugin = HXT_NGC_OK;
  ngc_error_t closePlugin = HXT_NGC_OK;
  ngc_error_t refreshPids = HXT_NGC_OK;      // not used for Velmora
  ngc_error_t releaseInstance = HXT_NGC_OK;  // the instance is destroyed all the same
};

struct Script {
  InterfaceScript velmora;
  InterfaceScript vpnDns;
  InterfaceScript kestrum;
  InterfaceScript socketRedirector;
  bool preloadNeeded = false;
  // IsPluginOpen's answer; unset: whether OpenPlugin succeeded on the
  // instance and ClosePlugin did not follow.
  std::optional<bool> pluginOpenAnswer;
  ngc_error_t clear = HXT_NGC_OK;
  ngc_error_t setParameters = HXT_NGC_OK;
  ngc_error_t startEncryptedDnsHandling = HXT_NGC_OK;
};

// Default script, no calls, disruption threads joined.
HXT_FAKE_FILTER_EXPORT void Reset();
HXT_FAKE_FILTER_EXPORT void Configure(const std::function<void(Script&)>& edit);
HXT_FAKE_FILTER_EXPORT std::vector<Call> Calls();
HXT_FAKE_FILTER_EXPORT std::vector<std::string> CallNames();
// Instances created and not yet released.
HXT_FAKE_FILTER_EXPORT int LiveInstances(Interface which);
// Calls OnKdfDisruption of the callback an IVelmoraApi instance was last
// opened with, from a new thread. False when no instance is open.
HXT_FAKE_FILTER_EXPORT bool RaiseDisruption();
HXT_FAKE_FILTER_EXPORT void JoinDisruptionThreads();
// The most IVelmoraApi calls that were ever in progress at the same time.
HXT_FAKE_FILTER_EXPORT int MaxConcurrentVelmoraCalls();

}  // namespace hxt::fakefilter
