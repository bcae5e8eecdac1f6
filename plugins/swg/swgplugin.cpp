#include "swgplugin.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <sstream>

#include "pluginlog.h"
#include "proxyprobe.h"

namespace hxtplugin {
namespace {

constexpr const char* kModule = "swg";
constexpr const char* kOwnName = "SWG";  // the name other plug-ins send messages to

std::string compactJson(const boost::property_tree::ptree& tree) {
  std::ostringstream out;
  boost::property_tree::write_json(out, tree, false);
  return out.str();
}

}  // namespace

std::string BuildSwgStateDocument(const std::string& state) {
  boost::property_tree::ptree document;
  document.put("version", 1);
  document.put("swg_protection_state", state);
  return compactJson(document);
}

// This plug-in carries no web traffic, so its connection counts are honest zeros.
std::string BuildSwgStatsDocument(const std::string& proxy, const std::string& userMessage) {
  boost::property_tree::ptree document;
  document.put("version", 1);
  document.put("web_connections_info.http_connections", 0);
  document.put("web_connections_info.https_connections", 0);
  document.put("web_connections_info.bypassed_connections", 0);
  document.put("tarrow_proxy", proxy);
  document.put("user_message", userMessage);
  return compactJson(document);
}

bool CSwgPlugin::SupportsInterface(const char* interfaceId, u32 version) {
  return interfaceId != nullptr && std::strcmp(interfaceId, HXT_SWG_PLUGIN_ID) == 0 && version == 1;
}

u32 CSwgPlugin::Init(const char*, const char*, const char* profileDir, const char* version,
                     ISWGPluginCallback* callback, IPluginMessagingCallback* messaging, void*) {
  if (callback == nullptr || profileDir == nullptr) {
    Log(LogLevel::Error, kModule, "Init: no callback or no profile folder");
    return kSwgBadArgument;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = callback;
  messaging_ = messaging;
  profileDir_ = profileDir;
  Log(LogLevel::Info, kModule,
      std::string("initialised for service version ") + (version != nullptr ? version : "(none)"));
  return 0;
}

void CSwgPlugin::Uninit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++run_;
  }
  // After Uninit the service must not be called again: nothing queued may run.
  worker_.Drain();
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = nullptr;
  messaging_ = nullptr;
}

u32 CSwgPlugin::Start(const char* payload) {
  std::string profileDir;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback_ == nullptr) return kSwgNotInitialised;
    profileDir = profileDir_;
  }
  // The start request's payload is not used: the profile holds the settings.
  Log(LogLevel::Info, kModule,
      std::string("starting (request payload: ") + (payload ? payload : "none") + ")");
  const SwgConfig config = LoadSwgConfig(profileDir);
  u64 run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = ++run_;
  }
  worker_.Post([this, run, config] { beginRun(run, config); });
  return 0;
}

u32 CSwgPlugin::InitiateStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback_ == nullptr) return kSwgNotInitialised;
    ++run_;
  }
  worker_.Post([this] {
    ISWGPluginCallback* callback;
    bool wasProtecting;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      callback = callback_;
      wasProtecting = state_ != "disabled";
    }
    if (wasProtecting) report("disabled", "", "the web gateway is stopped");
    Log(LogLevel::Info, kModule, "stopped");
    if (callback != nullptr) callback->SWGPluginStopped();
  });
  return 0;
}

u32 CSwgPlugin::ReceiveMessage(const char* from, const char* topic, const char*, u64) {
  if (from == nullptr || topic == nullptr) return kSwgBadArgument;
  Log(LogLevel::Info, kModule, std::string("message \"") + topic + "\" from " + from);
  if (std::strcmp(topic, "GetState") != 0) return kSwgUnknownTopic;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messaging_ == nullptr) return kSwgNotInitialised;
  }
  // Answered from our own thread: the service delivers this call on the sender's.
  worker_.Post([this, to = std::string(from)] {
    IPluginMessagingCallback* messaging;
    std::string state;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      messaging = messaging_;
      state = state_;
    }
    if (messaging == nullptr) return;
    const u32 result =
        messaging->SendPluginMessage(to.c_str(), kOwnName, "SWGState", BuildSwgStateDocument(state).c_str());
    if (result != 0)
      Log(LogLevel::Warning, kModule, "the state answer to " + to + " failed: " + std::to_string(result));
  });
  return 0;
}

void CSwgPlugin::ReceiveMessageResult(const char* plugin, const char* topic, u32 status) {
  Log(LogLevel::Info, kModule,
      std::string("result of \"") + (topic ? topic : "") + "\" from " + (plugin ? plugin : "") + ": " +
          std::to_string(status));
}

bool CSwgPlugin::isCurrent(u64 run) {
  std::lock_guard<std::mutex> lock(mutex_);
  return run == run_;
}

void CSwgPlugin::beginRun(u64 run, const SwgConfig& config) {
  if (!isCurrent(run)) return;
  if (!config.error.empty()) {
    Log(LogLevel::Error, kModule, "profile refused: " + config.error);
    report("config_error", "", "profile refused: " + config.error);
  } else if (!config.enabled) {
    Log(LogLevel::Info, kModule, "the profile does not enable a web gateway");
    report("disabled", "", "the profile does not enable a web gateway");
  } else {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_.clear();  // the first probe of a run always reports
    }
    probe(run, config);
  }
}

void CSwgPlugin::probe(u64 run, const SwgConfig& config) {
  if (!isCurrent(run)) return;
  const ProbeResult result = ProbeTcp(config.host, config.port, timing_.connectTimeout);
  std::string previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (run != run_) return;
    previous = state_;
  }
  const std::string state = result.reachable ? "protected" : "cloud_service_unavailable";
  if (state != previous) {
    Log(result.reachable ? LogLevel::Info : LogLevel::Warning, kModule, state + ": " + result.detail);
    report(state, config.proxy, result.detail);
  }
  worker_.PostAfter(timing_.probeInterval, [this, run, config] { probe(run, config); });
}

void CSwgPlugin::report(const std::string& state, const std::string& proxy, const std::string& message) {
  ISWGPluginCallback* callback;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    callback = callback_;
    state_ = state;
  }
  if (callback == nullptr) return;
  // Called without our lock: the service may call us again from inside.
  callback->SWGStateChanged(BuildSwgStateDocument(state).c_str());
  callback->SWGStatsChanged(BuildSwgStatsDocument(proxy, message).c_str());
}

}  // namespace hxtplugin
