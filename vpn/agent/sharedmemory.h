// The named objects shared with the VPN agent: the record's memory section,
// the mutex that guards it and the event the publisher pulses after a change.
//
// `CSharedMemory` maps the section and copies whole records in or out under
// the named mutex; `CInterProcessSync` is either that mutex (kind lock) or the
// event (kind event). The logic and every log line live here; the operating
// system's objects are behind the small adapter of sharedmemory_platform.h
// (sharedmemory_posix.cpp on Linux).
//
// Names: on an installed system the objects carry the well-known names below.
// When a private root is set (HXT_ROOT on POSIX, HXT_OBJECT_NAMESPACE on
// Windows), each name gets a suffix derived from it, so that private roots
// (tests, the demo) never share a record with each other or with the
// machine's VPN agent.
//
// Threads: an object is used by one thread at a time (the VPN consumer's
// polling thread, or the thread that starts it before the thread exists).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/hxttypes.h"

namespace hxt {

constexpr const char* kVpnMappingName = "TruvaneHxTempMemory";
constexpr const char* kVpnLockName = "TruvaneHxMemoryLock";
constexpr const char* kVpnEventName = "TruvaneHxNamedEvent";

constexpr u32 kSharedMemoryRoleReader = 1;
constexpr u32 kSharedMemoryRolePublisher = 4;
constexpr u32 kSyncKindEvent = 0;
constexpr u32 kSyncKindLock = 1;
// How long a reader or writer waits for the named mutex.
constexpr u32 kSharedMemoryLockTimeoutMs = 1000;
constexpr std::size_t kSharedMemoryPageSize = 4096;

// The names of the three objects for one root.
struct VpnSharedObjectNames {
  std::string mapping;
  std::string lock;
  std::string event;

  // The names for `root` (an HXT_ROOT value; null or empty: the installed system's names).
  static VpnSharedObjectNames ForRoot(const char* root);
  // The names for this process's private root, if any.
  static VpnSharedObjectNames FromEnvironment();
};

// Unlinks the three objects (processes that hold them keep them until they
// close them). False, with the failures in `error`, when an object existed
// and could not be removed; objects that do not exist are no failure.
bool RemoveVpnSharedObjects(const VpnSharedObjectNames& names, std::string& error);

// Operating-system objects, opaque to this layer; null means none.
struct PlatformMapping;
struct PlatformSync;

class IProcessSync {
 public:
  /* 0 */ virtual bool Lock() = 0;
  /* 1 */ virtual bool Unlock() = 0;
  /* 2 */ virtual bool Wait(u32 timeoutMs) = 0;
  /* 3 */ virtual bool Signal() = 0;
  /* 4 */ virtual bool SignalAll() = 0;
  /* 5 */ virtual bool initEvent() = 0;
  /* 6 */ virtual bool Close() = 0;
  /* 7 */ virtual ~IProcessSync() = default;
};

class CInterProcessSync : public IProcessSync {
 public:
  // Kind lock creates (or opens) the named mutex at once; kind event opens
  // the event through initEvent. `ok` reports whether that worked.
  CInterProcessSync(u32 kind, bool& ok,
                    const VpnSharedObjectNames& names = VpnSharedObjectNames::FromEnvironment());
  ~CInterProcessSync() override;
  CInterProcessSync(const CInterProcessSync&) = delete;
  CInterProcessSync& operator=(const CInterProcessSync&) = delete;

  // Waits at most kSharedMemoryLockTimeoutMs. A holder that died holding the
  // mutex leaves it to us: that is logged as a failed wait and reported as
  // false, and the mutex is released again so that it does not stay held.
  bool Lock() override;
  bool Unlock() override;
  // True when the event was set or pulsed within `timeoutMs`.
  bool Wait(u32 timeoutMs) override;
  // Sets the event; it stays set (every later wait returns at once).
  bool Signal() override;
  // Pulses the event: every process waiting at this moment wakes, later
  // waiters do not.
  bool SignalAll() override;
  bool initEvent() override;
  bool Close() override;

 private:
  bool initLock();

  PlatformSync* mutex_ = nullptr;
  PlatformSync* event_ = nullptr;
  std::string name_;
  u32 kind_;
};

class ISharedMemory {
 public:
  /* 0 */ virtual bool ReadSharedMemory(u32& size, void* destination) = 0;
  /* 1 */ virtual bool WriteToSharedMemory(const void* source, u32& size) = 0;
  /* 2 */ virtual bool RemoveSharedMemory() = 0;
  /* 3 */ virtual bool initSharedMemory(const void* initialData) = 0;
  /* 4 */ virtual bool detachSharedMemory() = 0;
  virtual ~ISharedMemory() = default;
};

class CSharedMemory : public ISharedMemory {
 public:
  // Maps the section of `dataSize` bytes (rounded up to whole pages). When
  // this call creates the section, `initialData` (dataSize bytes) is copied
  // into it, or without it the section is zeroed; a section that existed is
  // left as it is. Then creates the lock.
  CSharedMemory(bool& ok, const void* initialData, u32 dataSize, u32 role = kSharedMemoryRoleReader,
                const VpnSharedObjectNames& names = VpnSharedObjectNames::FromEnvironment());
  ~CSharedMemory() override;
  CSharedMemory(const CSharedMemory&) = delete;
  CSharedMemory& operator=(const CSharedMemory&) = delete;

  // Copies the whole record out under the lock. A `size` below the record
  // size is refused and set to the record size.
  bool ReadSharedMemory(u32& size, void* destination) override;
  // Publisher role only: copies exactly one record in under the lock.
  bool WriteToSharedMemory(const void* source, u32& size) override;
  bool RemoveSharedMemory() override;
  bool initSharedMemory(const void* initialData) override;
  bool detachSharedMemory() override;

  // Whether initSharedMemory created the section (false: it existed).
  bool createdSection() const { return created_; }

 private:
  u32 role_;
  PlatformMapping* mapping_ = nullptr;
  u32 dataSize_;
  void* view_ = nullptr;
  std::unique_ptr<IProcessSync> lock_;
  std::string mappingName_;
  bool created_ = false;
};

}  // namespace hxt
