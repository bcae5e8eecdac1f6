// The SWG and cloud-downloader plug-ins of the Windows end-to-end run, in one
// DLL: they accept every call and do nothing, which is all the service needs
// from them to start beside the example DNS-protection plug-in.
#include <hxtarrow/plugin.h>

#include <cstring>
#include <thread>

namespace {

class IdleSwg final : public ISWGPlugin {
 public:
  bool SupportsInterface(const char* id, u32 version) override {
    return id != nullptr && std::strcmp(id, HXT_SWG_PLUGIN_ID) == 0 && version == 1;
  }
  void Reserved() override {}
  void ReservedSink() override {}
  u32 ReceiveMessage(const char*, const char*, const char*, u64) override { return 0; }
  void ReceiveMessageResult(const char*, const char*, u32) override {}
  u32 Init(const char*, const char*, const char*, const char*, ISWGPluginCallback* callback,
           IPluginMessagingCallback*, void*) override {
    callback_ = callback;
    return 0;
  }
  void Uninit() override {
    if (stopper_.joinable()) stopper_.join();
  }
  u32 Start(const char*) override { return 0; }
  // The stop is reported from a thread of the plug-in's own, never inside the call.
  u32 InitiateStop() override {
    if (stopper_.joinable()) stopper_.join();
    stopper_ = std::thread([callback = callback_] { callback->SWGPluginStopped(); });
    return 0;
  }
  ~IdleSwg() { Uninit(); }

 private:
  ISWGPluginCallback* callback_ = nullptr;
  std::thread stopper_;
};

class IdleDownloader final : public ICloudDownloaderPlugin {
 public:
  bool SupportsInterface(const char* id, u32 version) override {
    return id != nullptr && std::strcmp(id, HXT_CLOUD_DOWNLOADER_ID) == 0 && version == 1;
  }
  void Reserved() override {}
  u32 Register(ICloudDownloaderPluginCB*) override { return 0; }
  void Unregister(ICloudDownloaderPluginCB*) override {}
  u32 Start() override { return 0; }
  u32 Stop() override { return 0; }
  u32 UpdateParameters(const char*, u32, bool) override { return 0; }
  u32 UserSessionChange(u32) override { return 0; }
};

const InterfaceDescriptor kInterfaces[] = {{HXT_SWG_PLUGIN_ID, nullptr}, {HXT_CLOUD_DOWNLOADER_ID, nullptr}};

}  // namespace

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 2};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr) return nullptr;
  if (std::strcmp(interfaceId, HXT_SWG_PLUGIN_ID) == 0) return new IdleSwg;
  if (std::strcmp(interfaceId, HXT_CLOUD_DOWNLOADER_ID) == 0) return new IdleDownloader;
  return nullptr;
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  if (object->SupportsInterface(HXT_SWG_PLUGIN_ID, 1)) {
    delete static_cast<IdleSwg*>(object);
  } else {
    delete static_cast<IdleDownloader*>(object);
  }
}

}  // extern "C"
