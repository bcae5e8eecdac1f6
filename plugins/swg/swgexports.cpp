// The module's exports: one object, the web-gateway plug-in.
#include <hxtarrow/plugin.h>

#include <cstring>

#include "swgplugin.h"

namespace {
const InterfaceDescriptor kInterfaces[] = {{HXT_SWG_PLUGIN_ID, nullptr}};
}

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 1};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr || std::strcmp(interfaceId, HXT_SWG_PLUGIN_ID) != 0) return nullptr;
  try {
    return new hxtplugin::CSwgPlugin;
  } catch (...) {
    return nullptr;  // no memory or no thread: nothing may leave an export
  }
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  delete static_cast<hxtplugin::CSwgPlugin*>(object);
}

}  // extern "C"
