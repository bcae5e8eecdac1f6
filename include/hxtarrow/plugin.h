// hxtarrowagent plug-in SDK: the one header a plug-in author compiles against.
//
// A plug-in is a shared library (".so" on Linux, ".dll" on Windows) in the
// service's Plugins folder that exports the three C functions below. The
// service calls the interfaces through their virtual tables, so the order of
// the virtual operations in every class here is a binary contract: never
// reorder, insert or remove one, and never add a virtual destructor where
// none is declared (under the Itanium ABI a destructor takes two slots and
// would move every later slot). Objects are destroyed only through
// DisposePlugin.
//
// Conventions: strings are NUL-terminated UTF-8; a u32 status is 0 on success,
// and any other value is logged by the service as a failure of the call.
#ifndef HXTARROW_PLUGIN_H
#define HXTARROW_PLUGIN_H

#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t i32;

#define HXT_VELMORA_PLUGIN_ID "com.tarrow.plugin"
#define HXT_SWG_PLUGIN_ID "com.truvane.swg.plugin"
#define HXT_CLOUD_DOWNLOADER_ID "com.truvane.helixor.cloud_downloader"

#define HXT_TRANSPORT_TCP 1u
#define HXT_TRANSPORT_UDP 2u

#define HXT_USER_SESSION_OTHER 0u
#define HXT_USER_SESSION_LOGON 1u
#define HXT_USER_SESSION_LOGOFF 2u

// ---- Callbacks the service implements -------------------------------------

// Called by the DNS-protection plug-in on its own threads.
class IVelmoraPluginCallback {
 public:
  /* 0 */ virtual void Response(u32 sessionHandle, u32 contextId, const unsigned char* data, u32 size) = 0;
  /* 1 */ virtual void ErrorOccurred(u32 sessionHandle, u32 contextId, u32 error) = 0;
  /* 2 */ virtual void SystemErrorOccurred(u32 code) = 0;
  /* 3 */ virtual void ProtectionStateChanged(const char* json) = 0;
  /* 4 */ virtual void ChangeDnsRedirectionMode(const char* json) = 0;
  /* 5 */ virtual void UpgradeDetailsChanged(const char* json) = 0;
  /* 6 */ virtual void PluginStopped() = 0;
  /* 7 */ virtual ~IVelmoraPluginCallback() {}
};

// Called by the SWG plug-in on its own threads.
class ISWGPluginCallback {
 public:
  /* 0 */ virtual void SystemErrorOccurred(u32 code) = 0;
  /* 1 */ virtual void SWGStateChanged(const char* json) = 0;
  /* 2 */ virtual void SWGStatsChanged(const char* json) = 0;
  /* 3 */ virtual void SWGPluginStopped() = 0;
  /* 4 */ virtual ~ISWGPluginCallback() {}
};

// Messages between plug-ins, relayed by the service.
class IPluginMessagingCallback {
 public:
  /* 0 */ virtual u32 SendPluginMessage(const char* to, const char* from, const char* topic,
                                        const char* payload) = 0;
  /* 1 */ virtual ~IPluginMessagingCallback() {}
};

// Called by the cloud downloader on its own threads.
class ICloudDownloaderPluginCB {
 public:
  /* 0 */ virtual i32 UpdateAvailable() = 0;
  /* 1 */ virtual i32 UpdateInProgress() = 0;
  /* 2 */ virtual ~ICloudDownloaderPluginCB() {}
};

// ---- Interfaces a plug-in implements --------------------------------------

// First base of every plug-in object.
class IPlugin {
 public:
  /* 0 */ virtual bool SupportsInterface(const char* interfaceId, u32 version) = 0;
  /* 1 */ virtual void Reserved() = 0;  // never called by the service
};

// Second base of the DNS-protection and SWG plug-ins.
class IPluginMessageSink {
 public:
  /* 0 */ virtual void ReservedSink() = 0;  // never called by the service
  /* 1 */ virtual u32 ReceiveMessage(const char* from, const char* topic, const char* payload,
                                     u64 millisecondsSince1970) = 0;
  /* 2 */ virtual void ReceiveMessageResult(const char* plugin, const char* topic, u32 status) = 0;
};

// "com.tarrow.plugin". Slots 0-1 are IPlugin's.
class IVelmoraPlugin : public IPlugin, public IPluginMessageSink {
 public:
  /* 2 */ virtual u32 Init(const char* binDir, const char* libDir, const char* profileDir,
                           const char* version, const char* udid, IVelmoraPluginCallback* callback,
                           IPluginMessagingCallback* messaging, void* reserved) = 0;
  /* 3 */ virtual void Uninit() = 0;
  /* 4 */ virtual u32 Start() = 0;
  /* 5 */ virtual u32 InitiateStop() = 0;
  /* 6 */ virtual u32 OpenSession(u32 contextId, const char* address, u32 transport, u32* sessionHandle) = 0;
  /* 7 */ virtual u32 Send(u32 sessionHandle, const unsigned char* data, u32 length) = 0;
  /* 8 */ virtual u32 CloseSession(u32 sessionHandle) = 0;
  /* 9 */ virtual u32 VpnStateChanged(const char* json) = 0;
  /* 10 */ virtual u32 UpgradeStateChanged(const char* json) = 0;
  /* 11 */ virtual u32 DnsRedirectionDisrupted() = 0;
};

// "com.truvane.swg.plugin". Slots 0-1 are IPlugin's.
class ISWGPlugin : public IPlugin, public IPluginMessageSink {
 public:
  /* 2 */ virtual u32 Init(const char* binDir, const char* libDir, const char* profileDir,
                           const char* version, ISWGPluginCallback* callback,
                           IPluginMessagingCallback* messaging, void* reserved) = 0;
  /* 3 */ virtual void Uninit() = 0;
  /* 4 */ virtual u32 Start(const char* payload) = 0;
  /* 5 */ virtual u32 InitiateStop() = 0;
};

// "com.truvane.helixor.cloud_downloader". Slots 0-1 are IPlugin's.
class ICloudDownloaderPlugin : public IPlugin {
 public:
  /* 2 */ virtual u32 Register(ICloudDownloaderPluginCB* callback) = 0;
  /* 3 */ virtual void Unregister(ICloudDownloaderPluginCB* callback) = 0;
  /* 4 */ virtual u32 Start() = 0;
  /* 5 */ virtual u32 Stop() = 0;
  /* 6 */ virtual u32 UpdateParameters(const char* downloadUrl, u32 intervalSeconds, bool windowOpen) = 0;
  /* 7 */ virtual u32 UserSessionChange(u32 event) = 0;
};

// ---- Exports --------------------------------------------------------------

// Two words: the interface id, then a word the service never reads.
typedef struct InterfaceDescriptor {
  const char* interfaceId;
  const void* reserved;
} InterfaceDescriptor;

typedef struct InterfaceList {
  const InterfaceDescriptor* descriptors;
  u32 count;
} InterfaceList;

extern "C" {

#ifdef _WIN32
#define HXT_PLUGIN_EXPORT __declspec(dllexport)
#else
#define HXT_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

typedef InterfaceList (*GetAvailableInterfacesFn)(void);
typedef IPlugin* (*CreatePluginFn)(const char* interfaceId);
typedef void (*DisposePluginFn)(IPlugin* object);

#define HXT_GET_AVAILABLE_INTERFACES "GetAvailableInterfaces"
#define HXT_CREATE_PLUGIN "CreatePlugin"
#define HXT_DISPOSE_PLUGIN "DisposePlugin"

// A plug-in library defines these three. Declaring them here makes a
// definition with the wrong signature a compile error, and exports them even
// when the library is built with hidden visibility.
//
// The ids the plug-in offers; the descriptors stay owned by the plug-in and
// must remain valid while the library is loaded.
HXT_PLUGIN_EXPORT InterfaceList GetAvailableInterfaces(void);
// The object for the id (as its first base, IPlugin), or null. The service
// converts it to the interface of the id only after SupportsInterface(id, 1)
// returned true, and asks for at most one object per id.
HXT_PLUGIN_EXPORT IPlugin* CreatePlugin(const char* interfaceId);
// Destroys an object made by CreatePlugin; the service unloads the library
// after the last one, so every thread of the object must have ended on return.
HXT_PLUGIN_EXPORT void DisposePlugin(IPlugin* object);
}

#endif  // HXTARROW_PLUGIN_H
