// The reference cloud downloader ("com.truvane.helixor.cloud_downloader"). It
// downloads nothing: it watches a local update location for a version
// manifest above the installed version and announces it with UpdateAvailable.
#ifndef HXT_PLUGINS_CLOUDDOWNLOADER_CLOUDDOWNLOADERPLUGIN_H
#define HXT_PLUGINS_CLOUDDOWNLOADER_CLOUDDOWNLOADERPLUGIN_H

#include <hxtarrow/plugin.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "pluginworker.h"

namespace hxtplugin {

// Results of the plug-in's calls besides 0.
enum CloudDownloaderResult : u32 {
  kDownloaderBadArgument = 1,
  kDownloaderNotRegistered = 2,
  kDownloaderUnsupportedLocation = 3,
};

class CCloudDownloaderPlugin final : public ICloudDownloaderPlugin {
 public:
  struct Timing {
    std::chrono::milliseconds second{1000};  // one second of the check interval
    u32 defaultIntervalSeconds = 3600;       // when UpdateParameters gives 0
    u32 minimumIntervalSeconds = 60;
  };

  CCloudDownloaderPlugin(std::string installedVersion, Timing timing)
      : installedVersion_(std::move(installedVersion)), timing_(timing) {}
  ~CCloudDownloaderPlugin() { Unregister(nullptr); }

  bool SupportsInterface(const char* interfaceId, u32 version) override;
  void Reserved() override {}
  u32 Register(ICloudDownloaderPluginCB* callback) override;
  void Unregister(ICloudDownloaderPluginCB* callback) override;
  u32 Start() override;
  u32 Stop() override;
  u32 UpdateParameters(const char* downloadUrl, u32 intervalSeconds, bool windowOpen) override;
  u32 UserSessionChange(u32 event) override;

  // How many checks of the location have ended; for diagnostics and tests.
  u64 CheckCount() const { return checks_; }

 private:
  // Starts a new series of checks at once if the plug-in runs and knows where to look.
  void checkSoon(std::unique_lock<std::mutex>& lock);
  void check(u64 series);  // worker task

  const std::string installedVersion_;
  const Timing timing_;
  std::mutex mutex_;  // guards the members below
  ICloudDownloaderPluginCB* callback_ = nullptr;
  bool running_ = false;
  std::string location_;
  u32 intervalSeconds_ = 0;
  bool windowOpen_ = false;
  u64 series_ = 0;          // a check of an older series ends quietly
  std::string announced_;   // the version UpdateAvailable was accepted for
  std::string lastDetail_;  // what the previous check found, so that a finding is logged once
  std::atomic<u64> checks_{0};
  PluginWorker worker_;  // last: its thread ends before the rest goes away
};

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_CLOUDDOWNLOADER_CLOUDDOWNLOADERPLUGIN_H
