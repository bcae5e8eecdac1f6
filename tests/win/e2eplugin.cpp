// The three plug-ins of the Windows end-to-end run, in one DLL. The SWG and
// cloud-downloader stand-ins accept every call and do nothing. The DNS
// protection answers no DNS (Windows has no redirection) and reports what a
// DNS protection shows of the VPN: "disabled_due_to_vpn" while the tunnel
// is connected, "protected" otherwise, so the status proves the VPN record
// travelled from its publisher through the service.
#include <hxtarrow/plugin.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

// Reports come from a thread of the plug-in's own, never inside the call.
class Reporter {
 public:
  template <typename Report>
  void Post(Report report) {
    Join();
    thread_ = std::thread(report);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  ~Reporter() { Join(); }

 private:
  std::thread thread_;
};

class VpnAwareDns final : public IVelmoraPlugin {
 public:
  bool SupportsInterface(const char* id, u32 version) override {
    return id != nullptr && std::strcmp(id, HXT_VELMORA_PLUGIN_ID) == 0 && version == 1;
  }
  void Reserved() override {}
  void ReservedSink() override {}
  u32 ReceiveMessage(const char*, const char*, const char*, u64) override { return 0; }
  void ReceiveMessageResult(const char*, const char*, u32) override {}
  u32 Init(const char*, const char*, const char*, const char*, const char*, IVelmoraPluginCallback* callback,
           IPluginMessagingCallback*, void*) override {
    callback_ = callback;
    return 0;
  }
  void Uninit() override { reporter_.Join(); }
  u32 Start() override { return 0; }
  u32 InitiateStop() override {
    reporter_.Post([callback = callback_] { callback->PluginStopped(); });
    return 0;
  }
  u32 OpenSession(u32, const char*, u32, u32*) override { return 1; }
  u32 Send(u32, const unsigned char*, u32) override { return 1; }
  u32 CloseSession(u32) override { return 0; }
  u32 VpnStateChanged(const char* json) override {
    const bool tunnel = json != nullptr && std::strstr(json, R"("vpn_ipv4":{"state":"connected")") != nullptr;
    const std::string family =
        std::string(R"({"protection_state":")") + (tunnel ? "disabled_due_to_vpn" : "protected") + R"("})";
    const std::string state = R"({"version":1,"dns4":)" + family + R"(,"dns6":)" + family +
                              R"(,"client_display_name":"e2e","user_name":"e2e","last_policy_sync_time":0,)"
                              R"("log_upload_enabled":false})";
    reporter_.Post([callback = callback_, state] { callback->ProtectionStateChanged(state.c_str()); });
    return 0;
  }
  u32 UpgradeStateChanged(const char*) override { return 0; }
  u32 DnsRedirectionDisrupted() override { return 0; }

 private:
  IVelmoraPluginCallback* callback_ = nullptr;
  Reporter reporter_;
};

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
  void Uninit() override { reporter_.Join(); }
  u32 Start(const char*) override { return 0; }
  u32 InitiateStop() override {
    reporter_.Post([callback = callback_] { callback->SWGPluginStopped(); });
    return 0;
  }

 private:
  ISWGPluginCallback* callback_ = nullptr;
  Reporter reporter_;
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

const InterfaceDescriptor kInterfaces[] = {
    {HXT_VELMORA_PLUGIN_ID, nullptr}, {HXT_SWG_PLUGIN_ID, nullptr}, {HXT_CLOUD_DOWNLOADER_ID, nullptr}};

}  // namespace

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 3};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr) return nullptr;
  if (std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) == 0) return new VpnAwareDns;
  if (std::strcmp(interfaceId, HXT_SWG_PLUGIN_ID) == 0) return new IdleSwg;
  if (std::strcmp(interfaceId, HXT_CLOUD_DOWNLOADER_ID) == 0) return new IdleDownloader;
  return nullptr;
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  if (object->SupportsInterface(HXT_VELMORA_PLUGIN_ID, 1)) {
    delete static_cast<VpnAwareDns*>(object);
  } else if (object->SupportsInterface(HXT_SWG_PLUGIN_ID, 1)) {
    delete static_cast<IdleSwg*>(object);
  } else {
    delete static_cast<IdleDownloader*>(object);
  }
}

}  // extern "C"
