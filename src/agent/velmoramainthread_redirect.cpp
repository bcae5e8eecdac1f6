// Redirection control of the orchestrator: which address families the
// socket filter redirects to which listener hosts.
//
// A family is redirected exactly while its host exists. Every change of the
// hosts and every filter call that names their ports happens under
// listenerMutex, so the filter never learns ports of a host that is gone.
// Any failure while activating falls back to no redirection at all, until
// the plug-in sends its next full payload.
#include <memory>
#include <vector>

#include <boost/asio/post.hpp>

#include "agent/velmorakdfpluginmgr.h"
#include "agent/velmoramainthread.h"
#include "agent/velmorapluginjsonutils.h"
#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kChangeDnsRedirectionMode = "CVelmoraMainThread::ChangeDnsRedirectionMode";
constexpr const char* kRestartListener = "CVelmoraMainThread::restartListener";
constexpr const char* kOnListenerException = "CVelmoraMainThread::OnListenerException";
constexpr const char* kTeardownRedirection = "CVelmoraMainThread::teardownRedirection";

// Hosts taken out of service under listenerMutex. They are told to stop at
// once, but waited for only when this goes out of scope, after the lock was
// released: a host thread may be inside the plug-in's CloseSession, waiting
// for a lock of the plug-in's whose holder waits for listenerMutex in
// Response. Declared before the lock, so that it is destroyed after it.
class RetiredHosts {
 public:
  void Take(std::unique_ptr<CVelmoraListener>& slot) {
    if (!slot) return;
    slot->requestStop();
    hosts.push_back(std::move(slot));
  }

 private:
  std::vector<std::unique_ptr<CVelmoraListener>> hosts;
};

}  // namespace

std::unique_ptr<CVelmoraListener> CVelmoraMainThread::makeListener(u32 family, bool& ok) {
  // A host without a callback fails its construction as a real failure would.
  IVelmoraListenerCB* callback = family == failingListenerFamily.load() ? nullptr : this;
  return std::make_unique<CVelmoraListener>(callback, family, ok, settings.listener);
}

void CVelmoraMainThread::ChangeDnsRedirectionMode(const char* json) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, kChangeDnsRedirectionMode)) return;
  ParsedRedirect parsed;
  if (!CVelmoraPluginJsonUtils::ParseRedirectPayload(json, parsed)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "failed to parse JSON payload (%s)",
             parsed.error.c_str());
    return;
  }

  if (redirectionLockHook) redirectionLockHook();
  RetiredHosts retired;
  std::lock_guard<std::mutex> lock(listenerMutex);
  // The state check above may have passed just before the plug-in stopped.
  if (!redirectionOpen) {
    HXT_LOGF(LOG_LEVEL_WARNING, kChangeDnsRedirectionMode, "DNS redirection was torn down; payload ignored");
    return;
  }
  bool partial = parsed.justPids || parsed.justWhiteLists || parsed.justResolvers;
  bool activate4 = !listener4 && parsed.redirect4;
  bool activate6 = !listener6 && parsed.redirect6;
  bool deactivate4 = listener4 && !parsed.redirect4 && !partial;
  bool deactivate6 = listener6 && !parsed.redirect6 && !partial;
  const char* label = "parameter update";
  if (!listener4 && !listener6 && (activate4 || activate6)) {
    label = "redirect activation";
  } else if ((deactivate4 && deactivate6) || (deactivate4 && !listener6 && !activate6) ||
             (deactivate6 && !listener4 && !activate4)) {
    label = "redirect deactivation";
  }

  if (parsed.justPids) {
    HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode, "Update just PIDs");
    if (!kdfPluginMgr->UpdatePids(parsed.ignorePids)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraKdfPluginMgr::UpdatePids failed");
      return;
    }
  } else if (parsed.justWhiteLists) {
    HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode, "Update just white lists");
    if (!kdfPluginMgr->UpdateWhiteList(parsed.whitelist4, parsed.whitelist6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraKdfPluginMgr::UpdateWhiteList failed");
      return;
    }
  } else if (parsed.justResolvers) {
    HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode, "Update just resolvers");
    if (!kdfPluginMgr->UpdateIncludedDnsServers(parsed.resolvers4, parsed.resolvers6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode,
               "CVelmoraKdfPluginMgr::UpdateIncludedDnsServers failed");
      return;
    }
  } else {
    HXT_LOGF(LOG_LEVEL_DEBUG, kChangeDnsRedirectionMode, "Update all parameters");
    // Hosts that stay keep their ports; hosts about to be created have none
    // yet and reach the filter through UpdatePorts below.
    u16 udp4 = 0, udp6 = 0, tcp4 = 0, tcp6 = 0;
    if ((parsed.redirect4 || parsed.redirect6) && !activate4 && !activate6 &&
        !getListenerPorts(udp4, udp6, tcp4, tcp6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraMainThread::getListenerPorts failed");
      return;
    }
    if (!kdfPluginMgr->SetParameters(parsed.whitelist4, parsed.whitelist6, parsed.resolvers4,
                                     parsed.resolvers6, udp4, udp6, tcp4, tcp6, parsed.ignorePids,
                                     parsed.redirect4, parsed.redirect6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraKdfPluginMgr::SetParameters (%s) failed",
               label);
      return;
    }
  }

  bool failed = false;
  u32 tcpCount = 0, udpCount = 0;
  if (deactivate4) {
    if (contextCache.RemoveForFamily(kAddressFamilyIPv4, tcpCount, udpCount)) {
      HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode,
               "Removed context for pending IPv4 sessions: %u TCP, %u UDP", tcpCount, udpCount);
    }
    retired.Take(listener4);
    HXT_LOG(LOG_LEVEL_INFO, "IPv4 DNS redirection: DEACTIVATED");
  } else if (activate4) {
    bool ok = false;
    listener4 = makeListener(kAddressFamilyIPv4, ok);
    if (ok) {
      listener4->start();
    } else {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraListener (v4) failed");
      failed = true;
    }
  }
  if (!failed && deactivate6) {
    if (contextCache.RemoveForFamily(kAddressFamilyIPv6, tcpCount, udpCount)) {
      HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode,
               "Removed context for pending IPv6 sessions: %u TCP, %u UDP", tcpCount, udpCount);
    }
    retired.Take(listener6);
    HXT_LOG(LOG_LEVEL_INFO, "IPv6 DNS redirection: DEACTIVATED");
  } else if (!failed && activate6) {
    bool ok = false;
    listener6 = makeListener(kAddressFamilyIPv6, ok);
    if (ok) {
      listener6->start();
    } else {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraListener (v6) failed");
      failed = true;
    }
  }

  if (!failed && (activate4 || activate6)) {
    u16 udp4 = 0, udp6 = 0, tcp4 = 0, tcp6 = 0;
    if (!getListenerPorts(udp4, udp6, tcp4, tcp6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraMainThread::getListenerPorts failed");
      failed = true;
    } else {
      HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode,
               "Updating listener ports to %u (UDPv4), %u (TCPv4), %u (UDPv6), %u (TCPv6)", udp4, tcp4, udp6,
               tcp6);
      if (!kdfPluginMgr->UpdatePorts(udp4, udp6, tcp4, tcp6)) {
        HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraKdfPluginMgr::UpdatePorts failed");
        failed = true;
      }
    }
  }

  if (failed) {
    // Half-done activations are undone: no family is redirected rather than
    // one whose listener the filter may not know. The hosts' contexts stay:
    // a late answer finds no host and is dropped, and the plug-in is not
    // called from here, under listenerMutex, to close their sessions.
    retired.Take(listener4);
    retired.Take(listener6);
    if (!kdfPluginMgr->StopPlugin()) {
      HXT_LOGF(LOG_LEVEL_ERROR, kChangeDnsRedirectionMode, "CVelmoraKdfPluginMgr::StopPlugin failed");
    }
    if (activate4)
      HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode, "Failed to enable IPv4 DNS redirection");
    if (activate6)
      HXT_LOGF(LOG_LEVEL_INFO, kChangeDnsRedirectionMode, "Failed to enable IPv6 DNS redirection");
    return;
  }
  if (activate4) HXT_LOG(LOG_LEVEL_INFO, "IPv4 DNS redirection: ACTIVATED");
  if (activate6) HXT_LOG(LOG_LEVEL_INFO, "IPv6 DNS redirection: ACTIVATED");
}

bool CVelmoraMainThread::getListenerPorts(u16& udpPort4, u16& udpPort6, u16& tcpPort4, u16& tcpPort6) {
  udpPort4 = udpPort6 = tcpPort4 = tcpPort6 = 0;
  if (listener4 && !listener4->GetListenerPorts(udpPort4, tcpPort4)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::getListenerPorts",
             "CVelmoraListener::GetListenerPorts (v4) failed");
    return false;
  }
  if (listener6 && !listener6->GetListenerPorts(udpPort6, tcpPort6)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::getListenerPorts",
             "CVelmoraListener::GetListenerPorts (v6) failed");
    return false;
  }
  return true;
}

void CVelmoraMainThread::OnListenerException(u32 family) {
  auto entry = callbackGate.Enter();
  if (!entry) return;
  HXT_LOGF(LOG_LEVEL_WARNING, kOnListenerException, "Handling IPv%c listener exception",
           family == kAddressFamilyIPv4 ? '4' : '6');
  boost::asio::post(ioService, [this, family] { restartListener(family); });
}

void CVelmoraMainThread::restartListener(u32 family) {
  const char* name = family == kAddressFamilyIPv6 ? "IPv6" : "IPv4";
  RetiredHosts retired;
  std::lock_guard<std::mutex> lock(listenerMutex);
  if (!redirectionOpen) return;  // the plug-in stopped since the host failed
  HXT_LOGF(LOG_LEVEL_INFO, kRestartListener, "Restarting %s listener", name);
  u32 tcpCount = 0, udpCount = 0;
  if (contextCache.RemoveForFamily(family, tcpCount, udpCount)) {
    HXT_LOGF(LOG_LEVEL_INFO, kRestartListener, "Removed context for pending %s sessions: %u TCP, %u UDP",
             name, tcpCount, udpCount);
  }
  // Any family but IPv6 is hosted by the IPv4 slot, as answers are routed.
  std::unique_ptr<CVelmoraListener>& slot = family == kAddressFamilyIPv6 ? listener6 : listener4;
  retired.Take(slot);
  bool ok = false;
  slot = makeListener(family, ok);
  bool restarted = false;
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, kRestartListener, "CVelmoraListener (%s) failed", name);
  } else {
    slot->start();
    u16 udp4 = 0, udp6 = 0, tcp4 = 0, tcp6 = 0;
    if (!getListenerPorts(udp4, udp6, tcp4, tcp6)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kRestartListener, "CVelmoraMainThread::getListenerPorts failed");
    } else {
      HXT_LOGF(LOG_LEVEL_INFO, kRestartListener,
               "Updating listener ports to %u (UDPv4), %u (TCPv4), %u (UDPv6), %u (TCPv6)", udp4, tcp4, udp6,
               tcp6);
      if (!kdfPluginMgr->UpdatePorts(udp4, udp6, tcp4, tcp6)) {
        HXT_LOGF(LOG_LEVEL_ERROR, kRestartListener, "CVelmoraKdfPluginMgr::UpdatePorts failed");
      } else {
        restarted = true;
      }
    }
  }
  if (restarted) {
    HXT_LOGF(LOG_LEVEL_INFO, kRestartListener, "Successfully restarted %s listener", name);
    return;
  }
  HXT_LOGF(LOG_LEVEL_ERROR, kRestartListener, "Restarting %s listener failed, disabling DNS redirection",
           name);
  retired.Take(listener4);
  retired.Take(listener6);
  if (!kdfPluginMgr->StopPlugin()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kRestartListener, "CVelmoraKdfPluginMgr::StopPlugin failed");
  }
}

void CVelmoraMainThread::teardownRedirection() {
  contextCache.RemoveAll();
  std::unique_ptr<CVelmoraListener> host4;
  std::unique_ptr<CVelmoraListener> host6;
  {
    std::lock_guard<std::mutex> lock(listenerMutex);
    redirectionOpen = false;
    host4 = std::move(listener4);
    host6 = std::move(listener6);
  }
  // Freed without the lock: a host thread waiting for it in ErrorOccurred can
  // then finish its handler, and stopping its host does not have to give up
  // on it.
  host4.reset();
  host6.reset();
  if (!CVelmoraListener::WaitForAllThreads(kListenerThreadsDrainTimeout)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kTeardownRedirection, "%u listener threads still running",
             CVelmoraListener::RunningThreads());
  }
}

bool CVelmoraMainThread::listenerPortsForTesting(u32 family, u16& udpPort, u16& tcpPort) {
  std::lock_guard<std::mutex> lock(listenerMutex);
  CVelmoraListener* host = family == kAddressFamilyIPv6 ? listener6.get() : listener4.get();
  return host != nullptr && host->GetListenerPorts(udpPort, tcpPort);
}

bool CVelmoraMainThread::postToListenerForTesting(u32 family, std::function<void()> work) {
  std::lock_guard<std::mutex> lock(listenerMutex);
  CVelmoraListener* host = family == kAddressFamilyIPv6 ? listener6.get() : listener4.get();
  if (host == nullptr) return false;
  boost::asio::post(host->ioServiceForTesting(), std::move(work));
  return true;
}

}  // namespace hxt
