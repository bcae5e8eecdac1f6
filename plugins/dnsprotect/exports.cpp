// The three exports of dnsprotect.so.
#include <hxtarrow/plugin.h>

#include <cstring>
#include <new>

#include "dnsprotectplugin.h"

namespace {
const InterfaceDescriptor kInterfaces[] = {{HXT_VELMORA_PLUGIN_ID, nullptr}};
}

extern "C" {

HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void) {
  return InterfaceList{kInterfaces, 1};
}

HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId) {
  if (interfaceId == nullptr || std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) != 0) return nullptr;
  return new (std::nothrow) hxt::dnsprotect::CDnsProtectPlugin;
}

HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object) {
  delete static_cast<hxt::dnsprotect::CDnsProtectPlugin*>(object);
}

}  // extern "C"
