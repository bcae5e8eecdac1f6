// The orchestrator's side of the SWG plug-in and of the messages between
// plug-ins: starting and stopping the SWG plug-in when the DNS plug-in asks
// for it, its state and statistics for the UI, relaying plug-in messages, and
// handing upgrade details to the cloud downloader.
//
// Start and stop run on the loop and answer the DNS plug-in there through its
// ReceiveMessageResult. An SWG stop waits on the same stopTimer as the DNS
// plug-in's stop: during a service stop it replaces the DNS plug-in's wait,
// and when it times out the whole stop ends with it. State and statistics
// reports, generic messages and upgrade details are handled on the calling
// plug-in's thread; their stores go through the IPC manager's lock.
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstring>
#include <functional>

#include "agent/velmoramainthread.h"
#include "agent/velmorapluginjsonutils.h"
#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kStartSWGPlugin = "CVelmoraMainThread::startSWGPlugin";
constexpr const char* kStopSWGPlugin = "CVelmoraMainThread::stopSWGPlugin";
constexpr const char* kSendPluginMessage = "CVelmoraMainThread::SendPluginMessage";
constexpr const char* kUpgradeDetailsChanged = "CVelmoraMainThread::UpgradeDetailsChanged";

// Plug-in names in messages, compared exactly.
constexpr const char* kVelmoraName = "Velmora";
constexpr const char* kSwgName = "SWG";
constexpr const char* kStartTopic = "StartPlugin";
constexpr const char* kStopTopic = "StopPlugin";

// What ReceiveMessageResult tells the DNS plug-in about an SWG start or stop;
// any other value is the SWG plug-in's own result.
constexpr u32 kSwgDone = 0;
constexpr u32 kSwgNoInstance = 3;
constexpr u32 kSwgStopTimedOut = 6;
constexpr u32 kSwgRefusedByState = 18;

// SendPluginMessage's own results; any other is the receiver's.
constexpr u32 kMessageBadRequest = 5;
constexpr u32 kMessageRefusedByState = 6;
constexpr u32 kMessageAccepted = 7;

bool same(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

}  // namespace

// ---- Messages between plug-ins ---------------------------------------------------

u32 CVelmoraMainThread::SendPluginMessage(const char* to, const char* from, const char* topic,
                                          const char* payload) {
  auto entry = callbackGate.Enter();
  if (!entry) return kMessageRefusedByState;
  if (to == nullptr || from == nullptr || same(to, from) || topic == nullptr ||
      (payload == nullptr && !same(topic, kStopTopic))) {
    return kMessageBadRequest;
  }
  // Starting and stopping the SWG plug-in changes the agent state, so the
  // loop does it and answers later; those handlers make their own checks.
  if (same(from, kVelmoraName) && same(to, kSwgName)) {
    if (same(topic, kStartTopic)) {
      boost::asio::post(ioService, [this, copy = std::string(payload)] { startSWGPlugin(copy); });
      return kMessageAccepted;
    }
    if (same(topic, kStopTopic)) {
      boost::asio::post(ioService, std::bind(&CVelmoraMainThread::stopSWGPlugin, this, true));
      return kMessageAccepted;
    }
  }
  if (same(from, kVelmoraName) && !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, kSendPluginMessage)) {
    return kMessageRefusedByState;
  }
  if (same(from, kSwgName) && !validateStateForActivity(SWG_PLUGIN_CALLBACK, kSendPluginMessage)) {
    return kMessageRefusedByState;
  }
  const u64 timestamp = static_cast<u64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
  HXT_LOG(LOG_LEVEL_INFO, "Sending message with topic %s from plugin %s to %s [%llu]\n%s", topic, from, to,
          static_cast<unsigned long long>(timestamp), payload != nullptr ? payload : "");
  // Delivered on the sender's thread: a plug-in accepts calls on foreign
  // threads, and the sender learns the receiver's result at once.
  IPluginMessageSink* target = same(to, kVelmoraName) ? static_cast<IPluginMessageSink*>(velmoraPlugin)
                               : same(to, kSwgName)   ? static_cast<IPluginMessageSink*>(swgPlugin)
                                                      : nullptr;
  if (target == nullptr) {
    HXT_LOG(LOG_LEVEL_ERROR, "Unexpected target plugin");
    return kMessageBadRequest;
  }
  return target->ReceiveMessage(from, topic, payload, timestamp);
}

void CVelmoraMainThread::replyToVelmoraPlugin(const char* topic, u32 status) {
  if (velmoraPlugin != nullptr) velmoraPlugin->ReceiveMessageResult(kSwgName, topic, status);
}

// ---- SWG start and stop (loop) -------------------------------------------------------

void CVelmoraMainThread::startSWGPlugin(const std::string& payload) {
  HXT_LOGF(LOG_LEVEL_INFO, kStartSWGPlugin, "startSWGPlugin");
  if (!validateStateForActivity(START_SWG_PLUGIN, kStartSWGPlugin)) {
    replyToVelmoraPlugin(kStartTopic, kSwgRefusedByState);
    return;
  }
  updateState(VELMORA_SWG_PLUGINS_STARTED);
  const u32 result = swgPlugin != nullptr ? swgPlugin->Start(payload.c_str()) : kSwgNoInstance;
  replyToVelmoraPlugin(kStartTopic, result);
  if (result != kSwgDone) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "ISWGPlugin::Start", kStartSWGPlugin,
                 nullptr);
    stopSWGPlugin(false);
  }
}

void CVelmoraMainThread::stopSWGPlugin(bool reply) {
  HXT_LOGF(LOG_LEVEL_INFO, kStopSWGPlugin, "stopSWGPlugin");
  if (!validateStateForActivity(STOP_SWG_PLUGIN, kStopSWGPlugin)) {
    if (reply) replyToVelmoraPlugin(kStopTopic, kSwgRefusedByState);
    return;
  }
  swgStopReplyPending = reply;
  if (swgPlugin == nullptr) {
    completeSwgPluginStop(kSwgNoInstance);
    return;
  }
  updateState(stopAll ? VELMORA_SWG_PLUGINS_STOPPING : SWG_PLUGIN_STOPPING);
  const u32 result = swgPlugin->InitiateStop();
  if (result == kSwgDone) {
    // Arming the timer cancels a wait already on it: during a service stop
    // the DNS plug-in's stop time-out ends here, and this one stands for both.
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer->expires_after(settings.swgPluginStopTimeout);
    stopTimer->async_wait(
        std::bind(&CVelmoraMainThread::handleStopSWGPluginTimeout, this, std::placeholders::_1));
    swgStopWaitPending = true;
    return;
  }
  HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "ISWGPlugin::InitiateStop", kStopSWGPlugin,
               nullptr);
  completeSwgPluginStop(result);
}

void CVelmoraMainThread::SWGPluginStopped() {
  auto entry = callbackGate.Enter();
  HXT_LOG(LOG_LEVEL_INFO, "Handling 'SWG plugin stopped' notification");
  if (!entry || !validateStateForActivity(SWG_PLUGIN_STOPPED_CALLBACK, "CVelmoraMainThread::SWGPluginStopped")) return;
  {
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer->cancel();
  }
  boost::asio::post(ioService, std::bind(&CVelmoraMainThread::handleSwgPluginStopped, this));
}

void CVelmoraMainThread::handleSwgPluginStopped() {
  // A report that raced with the time-out finds the stop already complete; it
  // must not complete it a second time (after a service stop that would turn
  // SERVICE_STARTED back into VELMORA_PLUGIN_STARTED).
  if (!swgStopWaitPending) return;
  completeSwgPluginStop(kSwgDone);
}

void CVelmoraMainThread::completeSwgPluginStop(u32 result) {
  if (swgStopWaitPending) {
    // The plug-in may report its stop before the loop armed the wait.
    swgStopWaitPending = false;
    std::lock_guard<std::mutex> lock(stopTimerMutex);
    stopTimer->cancel();
  }
  // A service stop that arrived while only the SWG plug-in was stopping was
  // refused by the state; nobody would stop the DNS plug-in and the loop
  // would never end, so that stop is made now.
  const bool serviceStopRefused = stopAll && getState() == SWG_PLUGIN_STOPPING;
  updateState(stopAll && !serviceStopRefused ? VELMORA_PLUGIN_STOPPING : VELMORA_PLUGIN_STARTED);
  if (swgStopReplyPending) {
    replyToVelmoraPlugin(kStopTopic, result);
    swgStopReplyPending = false;
  }
  if (serviceStopRefused) stopVelmoraPlugin();
}

void CVelmoraMainThread::handleStopSWGPluginTimeout(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted || !swgStopWaitPending) return;
  HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraMainThread::handleStopSWGPluginTimeout", "stopSWGPlugin timed out");
  swgStopWaitPending = false;
  const bool bothStopping = getState() == VELMORA_SWG_PLUGINS_STOPPING;
  completeSwgPluginStop(kSwgStopTimedOut);
  // The DNS plug-in's own wait was replaced by this one: its stop ends too.
  if (bothStopping) completeVelmoraPluginStop();
}

std::size_t CVelmoraMainThread::cancelStopTimerForTesting() {
  std::lock_guard<std::mutex> lock(stopTimerMutex);
  return stopTimer->cancel();
}

// ---- SWG reports (SWG plug-in's thread) -----------------------------------------------

void CVelmoraMainThread::SWGStateChanged(const char* json) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(SWG_PLUGIN_CALLBACK, "CVelmoraMainThread::SWGStateChanged")) return;
  ParsedSwgState parsed;
  if (!CVelmoraPluginJsonUtils::ParseSWGStatePayload(json, parsed)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::SWGStateChanged", "failed to parse JSON payload (%s)",
             parsed.error.c_str());
    return;
  }
  auto name = swgStateNames.find(parsed.swgState);
  ipcManager->UpdateSwgState(name != swgStateNames.end() ? name->second : std::string());
}

void CVelmoraMainThread::SWGStatsChanged(const char* json) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(SWG_PLUGIN_CALLBACK, "CVelmoraMainThread::SWGStatsChanged")) return;
  ParsedSwgStats parsed;
  if (!CVelmoraPluginJsonUtils::ParseSWGStatsPayload(json, parsed)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraMainThread::SWGStatsChanged", "failed to parse JSON payload (%s)",
             parsed.error.c_str());
    return;
  }
  ipcManager->UpdateSwgStats(parsed.httpConnections, parsed.httpsConnections, parsed.bypassedConnections,
                             parsed.proxy, parsed.userMessage);
}

// ---- Upgrade details (DNS plug-in's thread) -------------------------------------------

void CVelmoraMainThread::UpgradeDetailsChanged(const char* json) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, kUpgradeDetailsChanged)) return;
  ParsedUpgradeDetails parsed;
  if (!CVelmoraPluginJsonUtils::ParseUpgradeDetailsChangedPayload(json, parsed)) {
    HXT_LOGF(LOG_LEVEL_ERROR, kUpgradeDetailsChanged, "failed to parse JSON payload (%s)",
             parsed.error.c_str());
    return;
  }
  if (cloudDownloader == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kUpgradeDetailsChanged, "cloud downloader plugin not initialized");
    return;
  }
  // The manifest address is the DNS plug-in's business; the downloader needs
  // only where to fetch, how often to look, and whether it may install now.
  if (u32 result = cloudDownloader->UpdateParameters(parsed.downloadUrl.c_str(), parsed.upgradeCheckInterval,
                                                     parsed.upgradeWindowIsOpen)) {
    HXT_LOG_CODE(LOG_LEVEL_WARNING, static_cast<i32>(result), false,
                 "ICloudDownloaderPlugin::UpdateParameters", kUpgradeDetailsChanged, nullptr);
  }
}

}  // namespace hxt
