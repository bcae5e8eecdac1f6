#include "agent/velmoravpnconsumer.h"

#include <cstring>
#include <exception>

#include <boost/chrono.hpp>

#include "common/applog.h"

namespace hxt {

// ---- ParsedVpnState ----------------------------------------------------------------

const char* ParsedVpnState::TunnelStateName(u32 value) {
  static const char* const kNames[] = {"connecting",   "connected", "reconnecting", "disconnecting",
                                       "disconnected", "pausing",   "paused",       "authenticating"};
  return value < sizeof kNames / sizeof kNames[0] ? kNames[value] : "undefined";
}

const char* ParsedVpnState::TunnelModeName(u32 value) {
  static const char* const kNames[] = {"tunnel_all", "split_include", "split_exclude", "bypass_all",
                                       "block_all"};
  return value < sizeof kNames / sizeof kNames[0] ? kNames[value] : "undefined";
}

const char* ParsedVpnState::TndStateName(u32 value) {
  static const char* const kNames[] = {"trusted", "untrusted"};
  return value < sizeof kNames / sizeof kNames[0] ? kNames[value] : "undefined";
}

std::vector<std::string> ParsedVpnState::SplitField(const char* field, std::size_t size) {
  const void* nul = std::memchr(field, '\0', size);
  const char* end = nul != nullptr ? static_cast<const char*>(nul) : field + size;
  std::vector<std::string> pieces;
  for (const char* p = field; p < end;) {
    const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<std::size_t>(end - p)));
    const char* stop = comma != nullptr ? comma : end;
    if (stop != p) pieces.emplace_back(p, stop);
    p = stop + 1;
  }
  return pieces;
}

ParsedVpnState::ParsedVpnState(const RawVpnState& raw)
    : state(TunnelStateName(raw.tunnelState)),
      splitDnsDomains(SplitField(raw.splitDnsDomains, sizeof raw.splitDnsDomains)),
      splitIncludeNetworks(SplitField(raw.splitIncludeNetworksIpv4, sizeof raw.splitIncludeNetworksIpv4)),
      tunnelAllDns(raw.tunnelAllDns != 0),
      vpnTypeIpv4(TunnelModeName(raw.tunnelModeIpv4)),
      splitDnsIpv4(raw.splitDnsIpv4 != 0),
      dnsServersIpv4(SplitField(raw.dnsServersIpv4, sizeof raw.dnsServersIpv4)),
      vpnTypeIpv6(TunnelModeName(raw.tunnelModeIpv6)),
      splitDnsIpv6(raw.splitDnsIpv6 != 0),
      dnsServersIpv6(SplitField(raw.dnsServersIpv6, sizeof raw.dnsServersIpv6)),
      tndState(TndStateName(raw.tndState)) {
  for (auto& network : SplitField(raw.splitIncludeNetworksIpv6, sizeof raw.splitIncludeNetworksIpv6)) {
    splitIncludeNetworks.push_back(std::move(network));
  }
}

// ---- CVelmoraVpnConsumer -------------------------------------------------------------

namespace {
constexpr const char* kCtor = "CVelmoraVpnConsumer::CVelmoraVpnConsumer";
constexpr const char* kThreadProc = "CVelmoraVpnConsumer::threadProc";
}  // namespace

CVelmoraVpnConsumer::CVelmoraVpnConsumer(IVelmoraVpnConsumerCB* callback, bool& ok,
                                         const VpnConsumerSettings& settings,
                                         const VpnSharedObjectNames& names)
    : CInterModuleVPNStateReaderWriter(ok, names),
      callback_(callback),
      lastKnown_(std::make_unique<RawVpnState>(DefaultRawVpnState())),
      settings_(settings) {
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "CInterModuleVPNStateReaderWriter failed");
    return;
  }
  if (callback_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "Invalid callback interface");
    ok = false;
    return;
  }
  event_ = std::make_unique<CInterProcessSync>(kSyncKindEvent, ok, names);
  if (!ok) HXT_LOGF(LOG_LEVEL_ERROR, kCtor, "CInterProcessSync failed");
}

CVelmoraVpnConsumer::~CVelmoraVpnConsumer() {
  Stop();
  // A thread that outlived Stop's wait is inside a callback or a read; it
  // uses this object, so it must end before anything here goes away.
  if (thread_.joinable()) thread_.join();
  event_.reset();
}

void CVelmoraVpnConsumer::Start(RawVpnState& current) {
  if (!readCurrentVpnState()) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraVpnConsumer::Start",
             "CVelmoraVpnConsumer::readCurrentVpnState failed");
  }
  std::memcpy(&current, lastKnown_.get(), sizeof current);
  try {
    thread_ = boost::thread(&CVelmoraVpnConsumer::threadProc, this);
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraVpnConsumer::Start", "Unable to start the polling thread - %s",
             e.what());
  }
}

void CVelmoraVpnConsumer::Stop() {
  if (stop_.exchange(true)) return;
  if (!thread_.joinable()) return;
  const auto timeout = settings_.stopJoinTimeout;
  if (thread_.try_join_for(boost::chrono::milliseconds(timeout.count()))) {
    HXT_LOGF(LOG_LEVEL_INFO, "CVelmoraVpnConsumer::Stop", "Successfully stopped polling thread");
  } else {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraVpnConsumer::Stop", "Failed to stop polling thread within %u ms",
             static_cast<u32>(timeout.count()));
  }
}

bool CVelmoraVpnConsumer::readCurrentVpnState() {
  if (!GetCurrentState(*lastKnown_)) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraVpnConsumer::readCurrentVpnState",
             "CInterModuleVPNStateReaderWriter::GetCurrentState failed");
    return false;
  }
  return true;
}

void CVelmoraVpnConsumer::threadProc() {
  try {
    pollLoop();
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, kThreadProc, "Polling thread ended by an exception - %s", e.what());
  }
}

void CVelmoraVpnConsumer::pollLoop() {
  u32 previousSession = lastKnown_->userSessionEvent;
  u32 previousTnd = lastKnown_->tndState;
  u32 previousTunnel = lastKnown_->tunnelState;
  const u32 sliceMs = static_cast<u32>(settings_.pollSlice.count());

  while (!stop_.load()) {
    if (!event_->initEvent()) {
      boost::this_thread::sleep_for(boost::chrono::milliseconds(sliceMs));
      continue;
    }
    if (!event_->Wait(sliceMs)) continue;
    if (!readCurrentVpnState()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kThreadProc,
               "Notified of VPN state/config change, but unable to read the change");
      continue;
    }

    const u32 session = lastKnown_->userSessionEvent;
    if (session != 0 && session != previousSession) {
      HXT_LOGF(LOG_LEVEL_INFO, kThreadProc, "User session change reported (%u)", session);
      callback_->UserSessionChanged(session);
    }
    previousSession = session;

    const u32 tunnel = lastKnown_->tunnelState;
    const u32 tnd = lastKnown_->tndState;
    if (tunnel == previousTunnel && tnd == previousTnd) continue;
    if (tunnel != previousTunnel)
      HXT_LOGF(LOG_LEVEL_INFO, kThreadProc, "New VPN tunnel state reported (%u)", tunnel);
    if (tnd != previousTnd) HXT_LOGF(LOG_LEVEL_INFO, kThreadProc, "New TND state reported (%u)", tnd);
    previousTunnel = tunnel;
    previousTnd = tnd;
    callback_->VpnStateChanged(*lastKnown_);
  }
}

}  // namespace hxt
