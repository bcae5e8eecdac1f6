// The module's exports: one object, the cloud downloader.
#include <hxtarrow/plugin.h>

#include <cstring>

#include "clouddownloaderplugin.h"

namespace {
const InterfaceDescriptor kInterfaces[] = {{HXT_CLOUD_DOWNLOADER_ID, nullptr}};
}

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 1};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr || std::strcmp(interfaceId, HXT_CLOUD_DOWNLOADER_ID) != 0) return nullptr;
  try {
    // The suite version this module ships with is the installed version.
    return new hxtplugin::CCloudDownloaderPlugin(HXT_SUITE_VERSION,
                                                 hxtplugin::CCloudDownloaderPlugin::Timing{});
  } catch (...) {
    return nullptr;  // no memory or no thread: nothing may leave an export
  }
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  delete static_cast<hxtplugin::CCloudDownloaderPlugin*>(object);
}

}  // extern "C"
