// hx_sock_fltr_api: the socket-filter library the agent drives.
//
// The library redirects the machine's DNS traffic to the agent's loopback
// listeners. It offers four interfaces, each made and destroyed by a static
// class factory; the agent is its only caller. Every interface here is called
// through its virtual table, so the order of the virtual operations is a
// binary interface: never reorder, insert or remove one. Unused positions hold
// reserved operations that the agent never calls. Only IVelmoraInfo and
// IKdfApiCB have a virtual destructor (under the Itanium ABI it takes two
// table entries, which is why the others have none): the API objects are
// destroyed only through their factory's ReleaseInstance.
//
// Conventions: strings are NUL-terminated UTF-8; an ngc_error_t is 0 on
// success. Address families carry the values 2 (IPv4) and 23 (IPv6) on every
// platform.
#ifndef HXTARROW_SOCKFLTRAPI_H
#define HXTARROW_SOCKFLTRAPI_H

#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t i32;

typedef u32 ngc_error_t;

#define HXT_NGC_OK 0u
// The filter's extension is installed but still awaits the user's approval.
#define HXT_NGC_AWAITING_APPROVAL 40u

#define HXT_AF_INET 2u
#define HXT_AF_INET6 23u
#define HXT_IPPROTO_UDP 17u

// The plug-in id ISocketRedirectorApi::OpenPlugin expects from the agent.
#define HXT_SOCKET_REDIRECTOR_PLUGIN_ID "LumewaySocketFilterPlugin1.0"

#if defined(_WIN32)
#if defined(HX_SOCK_FLTR_API_BUILD)
#define HX_SOCK_FLTR_API __declspec(dllexport)
#else
#define HX_SOCK_FLTR_API __declspec(dllimport)
#endif
#else
#define HX_SOCK_FLTR_API __attribute__((visibility("default")))
#endif

// An address family followed by 16 address bytes; an IPv4 address fills the
// first 4 and the other 12 are zero.
struct IpAddressRecord {
  u32 family;
  u8 address[16];
};
static_assert(sizeof(IpAddressRecord) == 20, "IpAddressRecord is 20 bytes on the wire");

// Which fields an IVelmoraInfo carries. Fields outside the kind are empty
// lists, zero or false.
enum FilterUpdateKind : u32 {
  FILTER_UPDATE_ALL = 0,          // everything
  FILTER_UPDATE_PIDS = 1,         // agent process id, ignored process ids
  FILTER_UPDATE_WHITE_LISTS = 2,  // IPv4 and IPv6 white lists
  FILTER_UPDATE_RESOLVERS = 3,    // IPv4 and IPv6 resolvers
  FILTER_UPDATE_PORTS = 4,        // the four listener ports
};

// The parameter record the agent hands to IVelmoraApi::SetParameters. It is
// valid only during that call; the library reads it through these getters
// from the calling thread and keeps nothing that points into it.
//
// Each list has a cursor. "First" places the cursor on the first element,
// "Next" reads the element under it; on success both copy the element and
// advance the cursor. They return false and copy nothing when the cursor is at
// the end, when the destination is null, or (strings) when the entry does not
// fit and truncation is not allowed; a false result leaves the cursor where it
// was. A string is copied as at most size - 1 bytes and a terminating zero.
class IVelmoraInfo {
 public:
  /* 0 */ virtual ~IVelmoraInfo() {}
  /* 1 */ virtual u32 GetWhiteList4Count() = 0;
  /* 2 */ virtual bool GetFirstWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) = 0;
  /* 3 */ virtual bool GetNextWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) = 0;
  /* 4 */ virtual u32 GetWhiteList6Count() = 0;
  /* 5 */ virtual bool GetFirstWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) = 0;
  /* 6 */ virtual bool GetNextWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) = 0;
  /* 7 */ virtual u32 GetResolver4Count() = 0;
  /* 8 */ virtual bool GetFirstResolver4(IpAddressRecord* record) = 0;
  /* 9 */ virtual bool GetNextResolver4(IpAddressRecord* record) = 0;
  /* 10 */ virtual u32 GetResolver6Count() = 0;
  /* 11 */ virtual bool GetFirstResolver6(IpAddressRecord* record) = 0;
  /* 12 */ virtual bool GetNextResolver6(IpAddressRecord* record) = 0;
  // Family 23 selects the IPv6 ports, any other the IPv4 ones; protocol 17
  // selects the UDP port, any other the TCP one.
  /* 13 */ virtual u16 GetListenerPort(u32 family, u32 protocol) = 0;
  /* 14 */ virtual u32 GetAgentPid() = 0;
  /* 15 */ virtual u32 GetIgnoredPidCount() = 0;
  /* 16 */ virtual bool GetFirstIgnoredPid(u32* pid) = 0;
  /* 17 */ virtual bool GetNextIgnoredPid(u32* pid) = 0;
  /* 18 */ virtual bool IsRedirect4Enabled() = 0;
  /* 19 */ virtual bool IsRedirect6Enabled() = 0;
  /* 20 */ virtual u32 GetUpdateKind() = 0;
};

// Implemented by the agent. The library calls it on a thread of its own when
// the filter's redirection was disrupted; the call must return promptly.
class IKdfApiCB {
 public:
  /* 0 */ virtual ~IKdfApiCB() {}
  /* 1 */ virtual void OnKdfDisruption() = 0;
};

// The filter's DNS plug-in: redirection of the machine's DNS traffic.
class IVelmoraApi {
 public:
  /* 0 */ virtual ngc_error_t Reserved0() = 0;
  /* 1 */ virtual bool IsPreloadNeeded() = 0;
  /* 2 */ virtual bool IsPluginOpen() = 0;
  // HXT_NGC_AWAITING_APPROVAL while the filter's extension awaits approval.
  /* 3 */ virtual ngc_error_t OpenPlugin(IKdfApiCB* callback) = 0;
  /* 4 */ virtual ngc_error_t ClosePlugin() = 0;
  // Stops redirecting at once.
  /* 5 */ virtual ngc_error_t Clear() = 0;
  /* 6 */ virtual ngc_error_t SetParameters(IVelmoraInfo* info) = 0;
  /* 7 */ virtual ngc_error_t StartEncryptedDnsHandling() = 0;

 protected:
  ~IVelmoraApi() {}
};

// The sibling filters below only need to learn the agent's process ids again
// whenever the agent changes its ignore list.
class IVpnDnsApi {
 public:
  /* 0 */ virtual ngc_error_t Reserved0() = 0;
  /* 1 */ virtual ngc_error_t Reserved1() = 0;
  /* 2 */ virtual ngc_error_t Reserved2() = 0;
  /* 3 */ virtual ngc_error_t OpenPlugin(IKdfApiCB* callback) = 0;
  /* 4 */ virtual ngc_error_t ClosePlugin() = 0;
  /* 5 */ virtual ngc_error_t Reserved5() = 0;
  /* 6 */ virtual ngc_error_t Reserved6() = 0;
  /* 7 */ virtual ngc_error_t Reserved7() = 0;
  /* 8 */ virtual ngc_error_t Reserved8() = 0;
  /* 9 */ virtual ngc_error_t Reserved9() = 0;
  /* 10 */ virtual ngc_error_t Reserved10() = 0;
  /* 11 */ virtual ngc_error_t RefreshVelmoraPids() = 0;

 protected:
  ~IVpnDnsApi() {}
};

class IKestrumApi {
 public:
  /* 0 */ virtual ngc_error_t Reserved0() = 0;
  /* 1 */ virtual ngc_error_t Reserved1() = 0;
  /* 2 */ virtual ngc_error_t OpenPlugin(IKdfApiCB* callback) = 0;
  /* 3 */ virtual ngc_error_t ClosePlugin() = 0;
  /* 4 */ virtual ngc_error_t Reserved4() = 0;
  /* 5 */ virtual ngc_error_t Reserved5() = 0;
  /* 6 */ virtual ngc_error_t Reserved6() = 0;
  /* 7 */ virtual ngc_error_t RefreshVelmoraPids() = 0;

 protected:
  ~IKestrumApi() {}
};

class ISocketRedirectorApi {
 public:
  /* 0 */ virtual ngc_error_t Reserved0() = 0;
  /* 1 */ virtual ngc_error_t Reserved1() = 0;
  /* 2 */ virtual ngc_error_t OpenPlugin(const char* pluginId, IKdfApiCB* callback) = 0;
  /* 3 */ virtual ngc_error_t ClosePlugin() = 0;
  /* 4 */ virtual ngc_error_t Reserved4() = 0;
  /* 5 */ virtual ngc_error_t Reserved5() = 0;
  /* 6 */ virtual ngc_error_t Reserved6() = 0;
  /* 7 */ virtual ngc_error_t Reserved7() = 0;
  /* 8 */ virtual ngc_error_t Reserved8() = 0;
  /* 9 */ virtual ngc_error_t RefreshVelmoraPids() = 0;

 protected:
  ~ISocketRedirectorApi() {}
};

// Class factories. CreateInstance returns a new instance or null;
// ReleaseInstance destroys the instance *instance points at and sets the
// pointer to null.
class HX_SOCK_FLTR_API CVelmoraApiClassFactory {
 public:
  static IVelmoraApi* CreateInstance();
  static ngc_error_t ReleaseInstance(IVelmoraApi** instance);
};

class HX_SOCK_FLTR_API CVpnDnsApiClassFactory {
 public:
  static IVpnDnsApi* CreateInstance();
  static ngc_error_t ReleaseInstance(IVpnDnsApi** instance);
};

class HX_SOCK_FLTR_API CKestrumApiClassFactory {
 public:
  static IKestrumApi* CreateInstance();
  static ngc_error_t ReleaseInstance(IKestrumApi** instance);
};

class HX_SOCK_FLTR_API CSocketRedirectorApiClassFactory {
 public:
  static ISocketRedirectorApi* CreateInstance();
  static ngc_error_t ReleaseInstance(ISocketRedirectorApi** instance);
};

#endif  // HXTARROW_SOCKFLTRAPI_H
