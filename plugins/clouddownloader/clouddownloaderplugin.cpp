#include "clouddownloaderplugin.h"

#include <algorithm>
#include <cstring>

#include "pluginlog.h"
#include "updatemanifest.h"

namespace hxtplugin {
namespace {
constexpr const char* kModule = "clouddownloader";
}

bool CCloudDownloaderPlugin::SupportsInterface(const char* interfaceId, u32 version) {
  return interfaceId != nullptr && std::strcmp(interfaceId, HXT_CLOUD_DOWNLOADER_ID) == 0 && version == 1;
}

u32 CCloudDownloaderPlugin::Register(ICloudDownloaderPluginCB* callback) {
  if (callback == nullptr) return kDownloaderBadArgument;
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = callback;
  Log(LogLevel::Info, kModule, "registered; installed version " + installedVersion_);
  return 0;
}

// A null callback (the destructor's) unregisters whatever is registered.
void CCloudDownloaderPlugin::Unregister(ICloudDownloaderPluginCB* callback) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback != nullptr && callback != callback_) {
      Log(LogLevel::Warning, kModule, "Unregister: not the registered callback");
      return;
    }
    running_ = false;
    ++series_;
  }
  // After Unregister the service must not be called again: nothing queued may run.
  worker_.Drain();
  std::lock_guard<std::mutex> lock(mutex_);
  callback_ = nullptr;
}

u32 CCloudDownloaderPlugin::Start() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (callback_ == nullptr) return kDownloaderNotRegistered;
  running_ = true;
  Log(LogLevel::Info, kModule, location_.empty() ? "started; waiting for the update location" : "started");
  checkSoon(lock);
  return 0;
}

u32 CCloudDownloaderPlugin::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  running_ = false;
  ++series_;
  Log(LogLevel::Info, kModule, "stopped");
  return 0;
}

u32 CCloudDownloaderPlugin::UpdateParameters(const char* downloadUrl, u32 intervalSeconds, bool windowOpen) {
  if (downloadUrl == nullptr) return kDownloaderBadArgument;
  std::string location, error;
  if (!LocationFromUrl(downloadUrl, location, error)) {
    Log(LogLevel::Error, kModule, std::string("update location \"") + downloadUrl + "\" refused: " + error);
    return kDownloaderUnsupportedLocation;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  location_ = location;
  intervalSeconds_ = intervalSeconds == 0 ? timing_.defaultIntervalSeconds
                                          : std::max(intervalSeconds, timing_.minimumIntervalSeconds);
  windowOpen_ = windowOpen;
  Log(LogLevel::Info, kModule,
      "checking " + location_ + " every " + std::to_string(intervalSeconds_) + " s, upgrade window " +
          (windowOpen ? "open" : "closed"));
  checkSoon(lock);
  return 0;
}

// A log-on is a good moment to look again: the user is there to see an update.
u32 CCloudDownloaderPlugin::UserSessionChange(u32 event) {
  if (event > HXT_USER_SESSION_LOGOFF) return kDownloaderBadArgument;
  static const char* const kEvents[] = {"other session event", "log-on", "log-off"};
  Log(LogLevel::Info, kModule, kEvents[event]);
  std::unique_lock<std::mutex> lock(mutex_);
  if (event == HXT_USER_SESSION_LOGON) checkSoon(lock);
  return 0;
}

void CCloudDownloaderPlugin::checkSoon(std::unique_lock<std::mutex>& lock) {
  if (!running_ || location_.empty()) return;
  const u64 series = ++series_;
  lock.unlock();
  worker_.Post([this, series] { check(series); });
}

void CCloudDownloaderPlugin::check(u64 series) {
  std::string location;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (series != series_) return;
    location = location_;
  }
  const LocationCheck found = CheckLocation(location, installedVersion_);
  ICloudDownloaderPluginCB* callback = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (series != series_) return;
    const bool news = found.detail != lastDetail_;
    if (news) {
      Log(found.kind == LocationCheck::kInvalid ? LogLevel::Warning : LogLevel::Info, kModule, found.detail);
      lastDetail_ = found.detail;
    }
    if (found.kind == LocationCheck::kNewer && found.version != announced_) {
      if (windowOpen_) {
        callback = callback_;
      } else if (news) {
        Log(LogLevel::Info, kModule, "version " + found.version + " waits for the upgrade window");
      }
    }
  }
  // Called without our lock; a refusal (the service is not ready) is tried again next time.
  if (callback != nullptr) {
    const i32 result = callback->UpdateAvailable();
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == 0) {
      announced_ = found.version;
      Log(LogLevel::Info, kModule, "announced version " + found.version);
    } else {
      Log(LogLevel::Warning, kModule,
          "UpdateAvailable refused (" + std::to_string(result) + "); trying again later");
    }
  }
  ++checks_;
  std::lock_guard<std::mutex> lock(mutex_);
  if (series != series_) return;
  worker_.PostAfter(timing_.second * intervalSeconds_, [this, series] { check(series); });
}

}  // namespace hxtplugin
