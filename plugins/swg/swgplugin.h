// The reference web-gateway plug-in ("com.truvane.swg.plugin"). It carries no
// web traffic itself: it reads the gateway named by the profile, checks that
// the gateway accepts connections, and reports the state that follows.
#ifndef HXT_PLUGINS_SWG_SWGPLUGIN_H
#define HXT_PLUGINS_SWG_SWGPLUGIN_H

#include <hxtarrow/plugin.h>

#include <chrono>
#include <mutex>
#include <string>

#include "pluginworker.h"
#include "swgconfig.h"

namespace hxtplugin {

// Results of the plug-in's calls besides 0.
enum SwgResult : u32 {
  kSwgBadArgument = 1,
  kSwgNotInitialised = 2,
  kSwgUnknownTopic = 3,
};

// Builds the two documents the service reads.
std::string BuildSwgStateDocument(const std::string& state);
std::string BuildSwgStatsDocument(const std::string& proxy, const std::string& userMessage);

// How often the gateway is checked, and how long a check may wait for it.
struct SwgTiming {
  std::chrono::milliseconds probeInterval{30000};
  std::chrono::milliseconds connectTimeout{3000};
};

class CSwgPlugin final : public ISWGPlugin {
 public:
  explicit CSwgPlugin(SwgTiming timing = SwgTiming{}) : timing_(timing) {}
  ~CSwgPlugin() { Uninit(); }

  bool SupportsInterface(const char* interfaceId, u32 version) override;
  void Reserved() override {}
  void ReservedSink() override {}
  u32 ReceiveMessage(const char* from, const char* topic, const char* payload, u64 milliseconds) override;
  void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) override;

  u32 Init(const char* binDir, const char* libDir, const char* profileDir, const char* version,
           ISWGPluginCallback* callback, IPluginMessagingCallback* messaging, void* reserved) override;
  void Uninit() override;
  u32 Start(const char* payload) override;
  u32 InitiateStop() override;

 private:
  // Worker tasks. A run is one Start; tasks of an earlier run end quietly.
  void beginRun(u64 run, const SwgConfig& config);
  void probe(u64 run, const SwgConfig& config);
  void report(const std::string& state, const std::string& proxy, const std::string& message);
  bool isCurrent(u64 run);

  const SwgTiming timing_;
  std::mutex mutex_;  // guards the members below
  ISWGPluginCallback* callback_ = nullptr;
  IPluginMessagingCallback* messaging_ = nullptr;
  std::string profileDir_;
  u64 run_ = 0;
  std::string state_ = "disabled";  // last reported; read by the "GetState" message
  PluginWorker worker_;             // last: its thread ends before the rest goes away
};

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_SWG_SWGPLUGIN_H
