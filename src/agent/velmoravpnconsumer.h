// Keeps the service informed of the VPN agent's state.
//
// `CVelmoraVpnConsumer` reads the shared record once at `Start`, then runs a
// polling thread that waits on the agent's named event in short slices,
// re-reads the record after each pulse and reports to its owner, on that
// thread: a user-session event (log-on, log-off) once per new value, and a
// change of the tunnel or trusted-network word. Changes of the lists, modes
// or flags alone are read but not reported; they travel with the next report.
//
// Threads: the owner calls Start once and Stop (any number of times) from its
// own thread; after Start only the polling thread touches the shared objects
// and the last-known record. The destructor never returns while the polling
// thread still runs.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

#include "agent/velmoravpnconsumercb.h"
#include "vpn/agent/intermodulestate.h"

namespace hxt {

constexpr std::chrono::milliseconds kVpnPollSlice{500};
constexpr std::chrono::milliseconds kVpnStopJoinTimeout{1000};

// Durations of the consumer; tests shorten them.
struct VpnConsumerSettings {
  // One wait on the event, and the retry period while the event cannot be opened.
  std::chrono::milliseconds pollSlice = kVpnPollSlice;
  // How long Stop waits for the thread.
  std::chrono::milliseconds stopJoinTimeout = kVpnStopJoinTimeout;
};

// The record as the orchestrator and the plug-in documents see it: words as
// names ("undefined" for values without one), texts cut into lists.
struct ParsedVpnState {
  ParsedVpnState() = default;
  explicit ParsedVpnState(const RawVpnState& raw);

  std::string state;
  std::vector<std::string> splitDnsDomains;
  std::vector<std::string> splitIncludeNetworks;  // IPv4 networks, then IPv6 networks
  bool tunnelAllDns = false;
  std::string vpnTypeIpv4;
  bool splitDnsIpv4 = false;
  std::vector<std::string> dnsServersIpv4;
  std::string vpnTypeIpv6;
  bool splitDnsIpv6 = false;
  std::vector<std::string> dnsServersIpv6;
  std::string tndState;

  // The names of the tunnel state, tunnel mode and trusted-network words.
  static const char* TunnelStateName(u32 value);
  static const char* TunnelModeName(u32 value);
  static const char* TndStateName(u32 value);
  // A fixed text field (up to its NUL, never past `size`) cut at every comma,
  // empty pieces dropped, pieces not trimmed.
  static std::vector<std::string> SplitField(const char* field, std::size_t size);
};

class CVelmoraVpnConsumer : public CInterModuleVPNStateReaderWriter {
 public:
  // `callback` is not owned and must outlive the consumer.
  CVelmoraVpnConsumer(IVelmoraVpnConsumerCB* callback, bool& ok, const VpnConsumerSettings& settings = {},
                      const VpnSharedObjectNames& names = VpnSharedObjectNames::FromEnvironment());
  ~CVelmoraVpnConsumer() override;

  // Reads the current record (keeping the defaults when that fails), copies
  // the last-known record to `current` and starts the polling thread.
  void Start(RawVpnState& current);
  // Stops the polling thread, waiting at most the join time-out.
  void Stop();

 private:
  bool readCurrentVpnState();
  void threadProc();
  void pollLoop();

  IVelmoraVpnConsumerCB* callback_;
  boost::thread thread_;
  std::unique_ptr<IProcessSync> event_;
  std::atomic<bool> stop_{false};
  std::unique_ptr<RawVpnState> lastKnown_;
  VpnConsumerSettings settings_;
};

}  // namespace hxt
