// The orchestrator's VPN intake, user sessions and update notices: the VPN
// consumer's place in the plug-in's life, its two callbacks, and the cloud
// downloader's two update callbacks. Callbacks check the state on their own
// thread and post the work; the handlers run on the loop.
#include <boost/asio/post.hpp>
#include <functional>
#include <memory>
#include <string>

#include "agent/velmoramainthread.h"
#include "agent/velmorapluginjsonutils.h"
#include "common/apidata.h"
#include "common/applog.h"

namespace hxt {

bool CVelmoraMainThread::createVpnConsumer() {
  bool ok = false;
  vpnConsumer = std::make_unique<CVelmoraVpnConsumer>(this, ok, settings.vpn);
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::CVelmoraMainThread", "CVelmoraVpnConsumer failed");
    return false;
  }
  return true;
}

// The plug-in has started: it gets the VPN state it starts under, then every
// reported change.
void CVelmoraMainThread::startVpnConsumer() {
  if (vpnConsumer == nullptr) return;
  auto current = std::make_unique<RawVpnState>();
  vpnConsumer->Start(*current);
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleVpnStateChange, this,
                                         std::make_shared<ParsedVpnState>(*current)));
}

void CVelmoraMainThread::stopVpnConsumer() {
  if (vpnConsumer != nullptr) vpnConsumer->Stop();
}

void CVelmoraMainThread::VpnStateChanged(const RawVpnState& state) {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling 'VPN state changed' notification");
  if (!entry || !validateStateForActivity(VPN_STATE_MONITOR_CALLBACK, "CVelmoraMainThread::VpnStateChanged")) return;
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleVpnStateChange, this,
                                         std::make_shared<ParsedVpnState>(state)));
}

void CVelmoraMainThread::handleVpnStateChange(std::shared_ptr<ParsedVpnState> state) {
  constexpr const char* kFunction = "CVelmoraMainThread::handleVpnStateChange";
  std::string payload;
  if (!CVelmoraPluginJsonUtils::BuildVpnStatePayload(*state, payload)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "CVelmoraPluginJsonUtils::BuildVpnStatePayload failed");
    return;
  }
  HXT_LOGF(LOG_LEVEL_INFO, kFunction, "Passing VPN JSON payload to plugin:\n%s", payload.c_str());
  if (velmoraPlugin == nullptr) return;
  if (u32 result = velmoraPlugin->VpnStateChanged(payload.c_str())) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::VpnStateChanged",
                 kFunction, nullptr);
  }
}

void CVelmoraMainThread::UserSessionChanged(u32 event) {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling user session event");
  if (!entry || !validateStateForActivity(VPN_STATE_MONITOR_CALLBACK, "CVelmoraMainThread::UserSessionChanged")) return;
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleUserSessionChange, this, event));
}

void CVelmoraMainThread::handleUserSessionChange(u32 event) {
  constexpr const char* kFunction = "CVelmoraMainThread::handleUserSessionChange";
  u32 code = 0;
  if (event == kUserSessionLogon) {
    HXT_LOGF(LOG_LEVEL_INFO, kFunction, "received logon event");
    code = kUserSessionLogon;
  } else if (event == kUserSessionLogoff) {
    HXT_LOGF(LOG_LEVEL_INFO, kFunction, "received logoff event");
    code = kUserSessionLogoff;
  } else {
    HXT_LOGF(LOG_LEVEL_INFO, kFunction, "received unexpected event - %d", static_cast<int>(event));
  }
  if (cloudDownloader == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "cloud downloader plugin not initialized");
    return;
  }
  if (u32 result = cloudDownloader->UserSessionChange(code)) {
    HXT_LOG_CODE(LOG_LEVEL_WARNING, static_cast<i32>(result), false,
                 "ICloudDownloaderPlugin::UserSessionChange", kFunction, nullptr);
  }
}

i32 CVelmoraMainThread::UpdateAvailable() {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling 'Update ready' notification");
  if (!entry || !validateStateForActivity(UPDATE_READY_CALLBACK, "CVelmoraMainThread::UpdateAvailable")) return -10;
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleUpdateReadyNotification, this));
  return 0;
}

void CVelmoraMainThread::handleUpdateReadyNotification() {
  constexpr const char* kFunction = "CVelmoraMainThread::handleUpdateReadyNotification";
  std::string payload;
  if (!CVelmoraPluginJsonUtils::BuildUpgradeStateChangedPayload(payload)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "CVelmoraPluginJsonUtils::BuildUpgradeStateChangedPayload failed");
    return;
  }
  HXT_LOGF(LOG_LEVEL_INFO, kFunction, "Passing Upgrade JSON payload to plugin:\n%s", payload.c_str());
  if (velmoraPlugin == nullptr) return;
  if (u32 result = velmoraPlugin->UpgradeStateChanged(payload.c_str())) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::UpgradeStateChanged",
                 kFunction, nullptr);
  }
}

i32 CVelmoraMainThread::UpdateInProgress() {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling 'Update in progress' notification");
  if (!entry || !validateStateForActivity(UPDATE_IN_PROGRESS_CALLBACK, "CVelmoraMainThread::UpdateInProgress"))
    return -10;
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::sendIpcExitForUpdate, this));
  return 0;
}

void CVelmoraMainThread::sendIpcExitForUpdate() {
  ipcManager->SendCommand(kIpcCommandNotifyExitForUpdate);
}

}  // namespace hxt
