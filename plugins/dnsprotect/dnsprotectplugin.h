// The DNS-protection plug-in: answers the queries the service redirects to
// it from its block lists, its cache or its upstream resolvers, and tells the
// service what to redirect and how well DNS is protected.
//
// Threads: the service's calls return at once; all network work, timers and
// every other callback to the service run on the plug-in's own I/O thread,
// started by Start and ended by Uninit (or the destructor). An answer known
// when the query arrives (blocked name, cache hit, refusal of a malformed
// query) is given through Response from inside Send, on the service's thread.
#pragma once

#include <hxtarrow/plugin.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "answercache.h"
#include "blocklog.h"
#include "dnsmessage.h"
#include "domainpolicy.h"
#include "netwatch.h"
#include "pluginmetrics.h"
#include "profile.h"
#include "upstreampool.h"

namespace hxt::dnsprotect {

// What the VPN document says matters to DNS.
struct VpnView {
  bool tunnelAllDns = false;
  bool trustedNetwork = false;
  std::vector<std::string> splitDomains;
  std::vector<UpstreamConfig> splitServers;
};
bool ParseVpnDocument(const std::string& json, VpnView& out, std::string& error);

class CDnsProtectPlugin final : public IVelmoraPlugin {
 public:
  // How long InitiateStop lets queries in flight finish before failing them.
  static constexpr std::chrono::milliseconds kStopGrace{1500};

  // The filter daemon passes a query on after this long without an answer
  // (its ServiceTimeoutMs); the client must have its answer, failure
  // included, before that.
  static constexpr std::chrono::milliseconds kServiceTimeout{1500};
  // What a query may spend on upstreams, leaving room for the answer's way
  // back through the service. The profile's queryTimeoutMs can only shorten it.
  static constexpr std::chrono::milliseconds kAnswerDeadline =
      kServiceTimeout - std::chrono::milliseconds(300);
  static_assert(kAnswerDeadline > std::chrono::milliseconds(0) && kAnswerDeadline < kServiceTimeout);

  explicit CDnsProtectPlugin(std::chrono::milliseconds answerDeadline = kAnswerDeadline);
  // A UDP session carries one query, answered by its deadline and closed by
  // the service right after; one open this many deadlines is an orphan.
  static constexpr int kOrphanDeadlines = 4;
  // Sessions open now (for tests).
  std::size_t SessionCount();
  ~CDnsProtectPlugin();

  bool SupportsInterface(const char* interfaceId, u32 version) override;
  void Reserved() override {}
  void ReservedSink() override {}
  u32 ReceiveMessage(const char* from, const char* topic, const char* payload,
                     u64 millisecondsSince1970) override;
  void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) override;
  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           const char* udid, IVelmoraPluginCallback* callback, IPluginMessagingCallback* messaging,
           void* reserved) override;
  void Uninit() override;
  u32 Start() override;
  u32 InitiateStop() override;
  u32 OpenSession(u32 contextId, const char* address, u32 transport, u32* sessionHandle) override;
  u32 Send(u32 sessionHandle, const unsigned char* data, u32 length) override;
  u32 CloseSession(u32 sessionHandle) override;
  u32 VpnStateChanged(const char* json) override;
  u32 UpgradeStateChanged(const char* json) override;
  u32 DnsRedirectionDisrupted() override;

  // What the network watch reports, also for tests: re-probes at once.
  void NetworkChanged(const std::string& reason);

 private:
  struct Session {
    u32 contextId = 0;
    bool tcp = false;
    std::string stream;  // TCP bytes not yet forming a whole message
    Clock::time_point opened{};
  };
  // sessionsMutex_ held: drops the UDP sessions the service will never close
  // (it forgets a family's sessions when it tears the family down) and
  // returns how many.
  std::size_t forgetOrphans(Clock::time_point now);

  void startIoThread();
  void stopIoThread();
  // A client's query and where its answer goes.
  struct Waiter {
    u32 handle;
    u32 contextId;
    bool tcp;
    std::string raw;
    ClientQuery query;
  };

  void handleQuery(u32 handle, u32 contextId, bool tcp, std::string raw);
  void refuse(const Waiter& waiter, QueryVerdict verdict);
  void answerWaiters(const std::string& key, bool cacheable, u32 error, const std::string& answer);
  void respond(const Waiter& waiter, const std::string& answer);
  void fail(u32 handle, u32 contextId, u32 error);
  void scheduleHealthCheck(std::chrono::milliseconds delay);
  // Writes the counters to the profile's metrics file, then again after its interval.
  void writeMetrics();
  // Decides the state and redirection; `reason` goes to the log with a
  // state that changes.
  void evaluate(const std::string& reason, bool forceRedirect = false, bool forceReport = false);
  // Network changes and DNS64 (netwatch.h, dns64.h).
  void onNetworkChange(const std::string& reason);
  void checkDns64();
  // Interference: the profile's canary name asked in clear text (checkCanary),
  // and captive portals (checkPortal, then setPortal with what it found).
  void checkCanary();
  // Sets interference_ from the flags above and the plain upstreams aside
  // while it holds; true when it changed (then logs `what` and re-evaluates).
  bool updateInterference(const std::string& what);
  void maybeCheckPortal();
  void checkPortal();
  void resolvePortalHost(const std::string& host, std::uint16_t type, Clock::time_point deadline,
                         const std::function<void(const boost::asio::ip::address&)>& fetch,
                         const std::vector<UpstreamConfig>& resolvers);
  void setPortal(bool portal, const std::string& loginHost, const std::string& why);
  // Where the network itself wants DNS to go: the profile's portal resolvers,
  // or the system's name servers that are not on loopback.
  std::vector<UpstreamConfig> networkResolvers() const;
  std::chrono::milliseconds nextCheckDelay() const;
  void sendRedirect(bool redirect);
  void sendState(const std::string& state, const std::string& reason);
  void drainThenStop(Clock::time_point giveUp);
  void finishStop();

  const std::chrono::milliseconds answerDeadline_;
  IVelmoraPluginCallback* callback_ = nullptr;
  IPluginMessagingCallback* messaging_ = nullptr;
  std::string profileDir_;

  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guard_;
  std::thread thread_;
  std::unique_ptr<boost::asio::steady_timer> healthTimer_, stopTimer_, metricsTimer_, portalTimer_;

  // Set by Start, read by the session calls.
  std::optional<Profile> profile_;
  std::unique_ptr<CPolicyHolder> policy_;
  std::unique_ptr<CAnswerCache> cache_;
  std::unique_ptr<CBlockLog> blockLog_;
  CPluginMetrics metrics_;
  bool metricsFailed_ = false;  // I/O thread
  std::unique_ptr<CUpstreamPool> pool_;
  std::unique_ptr<CNetWatch> netWatch_;
  std::atomic<bool> serving_{false};

  std::mutex sessionsMutex_;
  std::map<u32, Session> sessions_;
  static constexpr std::size_t kSpareSessions = 256;
  std::vector<std::map<u32, Session>::node_type> spareSessions_;
  u32 nextHandle_ = 1;
  Clock::time_point nextOrphanSweep_{};  // guarded by sessionsMutex_

  // Queries waiting for an upstream answer, by cache key.
  std::mutex inFlightMutex_;
  std::map<std::string, std::vector<Waiter>> inFlight_;
  static constexpr std::size_t kSpareInFlight = 256;
  std::vector<std::map<std::string, std::vector<Waiter>>::node_type> spareInFlight_;  // guarded by inFlightMutex_
  std::vector<Waiter> answering_;  // I/O thread only: the waiters of the answer being given
  std::string finishedUpstream_;   // I/O thread only: the forwarded answer being given

  // Set by VpnStateChanged, read on the I/O thread and by session calls.
  std::mutex vpnMutex_;
  VpnView vpn_;

  // Behind a captive portal: only the portal's names (wire-form labels, with
  // the names below them) go, to the network's resolvers; set on the I/O
  // thread, read by session calls.
  std::atomic<bool> portalActive_{false};
  std::mutex portalMutex_;
  std::vector<std::string> portalNames_;
  std::vector<UpstreamConfig> portalResolvers_;

  // I/O thread only.
  std::string state_;
  std::optional<bool> redirect_;
  bool stopping_ = false;
  bool swgStarted_ = false;
  bool stopReported_ = false;
  bool clearTextSinceCheck_ = false;  // a plain upstream answered since the last health check
  std::string dns64Prefix_;           // the network's NAT64 prefix, "" without DNS64
  bool dns64Checked_ = false;         // asked on this network already
  Clock::time_point settleUntil_;     // after a network change: probe every second while open
  int probing_ = 0;                   // probes of every upstream under way
  std::string interference_;          // "", "A", "AAAA" or "A_and_AAAA": plain answers rewritten
  // Which types the canary found rewritten, and which were answered from an
  // address not asked; interference_ is their union.
  bool canaryA_ = false, canaryAaaa_ = false, foreignA_ = false, foreignAaaa_ = false;
  bool canaryChecked_ = false;        // asked on this network already
  bool portal_ = false;               // a captive portal holds this network
  bool portalChecking_ = false;
  Clock::time_point portalCheckedAt_;
};

}  // namespace hxt::dnsprotect
