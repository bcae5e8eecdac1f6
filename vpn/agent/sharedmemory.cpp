#include "vpn/agent/sharedmemory.h"

#include <cstdio>
#include <cstring>

#include "common/applog.h"
#include "vpn/agent/sharedmemory_platform.h"

namespace hxt {

namespace {

// FNV-1a: stable across builds and platforms, so the agent and a separately
// built publisher derive the same names from the same root.
u64 fnv1a(const std::string& text) {
  u64 hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

VpnSharedObjectNames VpnSharedObjectNames::ForRoot(const char* root) {
  std::string suffix;
  if (root != nullptr && *root != '\0') {
    char hex[20];
    std::snprintf(hex, sizeof hex, ".%016llx", static_cast<unsigned long long>(fnv1a(root)));
    suffix = hex;
  }
  return {kVpnMappingName + suffix, kVpnLockName + suffix, kVpnEventName + suffix};
}

VpnSharedObjectNames VpnSharedObjectNames::FromEnvironment() {
  return ForRoot(platform::ObjectNamespace());
}

bool RemoveVpnSharedObjects(const VpnSharedObjectNames& names, std::string& error) {
  error.clear();
  for (const std::string* name : {&names.mapping, &names.lock, &names.event}) {
    if (int code = platform::RemoveNamedObject(*name)) {
      if (!error.empty()) error += "; ";
      error += *name + ": " + std::strerror(code);
    }
  }
  return error.empty();
}

// ---- CInterProcessSync -----------------------------------------------------------

CInterProcessSync::CInterProcessSync(u32 kind, bool& ok, const VpnSharedObjectNames& names)
    : name_(kind == kSyncKindLock ? names.lock : names.event), kind_(kind) {
  ok = kind_ == kSyncKindLock ? initLock() : initEvent();
}

CInterProcessSync::~CInterProcessSync() {
  Close();
}

bool CInterProcessSync::initLock() {
  if (int code = platform::CreateMutex(name_, mutex_)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterProcessSync::initLock", "Unable to create the lock - %d", code);
    return false;
  }
  return true;
}

bool CInterProcessSync::initEvent() {
  if (event_ != nullptr) return true;
  if (int code = platform::CreateEvent(name_, event_)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterProcessSync::initEvent", "Unable to fetch the named event - %d", code);
    return false;
  }
  return true;
}

bool CInterProcessSync::Lock() {
  constexpr const char* kFunction = "CInterProcessSync::Lock";
  if (mutex_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Synchronization primitive not initialized");
    return false;
  }
  int code = 0;
  switch (platform::LockMutex(mutex_, kSharedMemoryLockTimeoutMs, code)) {
    case platform::WaitOutcome::Acquired:
      return true;
    case platform::WaitOutcome::TimedOut:
      return false;
    case platform::WaitOutcome::Abandoned:
      // The record may be half written: report the wait as failed, but do
      // not keep the mutex we were handed, or nobody could take it again.
      platform::RepairMutex(mutex_);
      platform::UnlockMutex(mutex_);
      break;
    case platform::WaitOutcome::Failed:
      break;
  }
  HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "WaitForSingleObject failed - %d", code);
  return false;
}

bool CInterProcessSync::Unlock() {
  if (mutex_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterProcessSync::Unlock", "Synchronization primitive not initialized");
    return false;
  }
  return platform::UnlockMutex(mutex_) == 0;
}

bool CInterProcessSync::Wait(u32 timeoutMs) {
  constexpr const char* kFunction = "CInterProcessSync::Wait";
  if (event_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Synchronization primitive not initialized");
    return false;
  }
  int code = 0;
  switch (platform::WaitEvent(event_, timeoutMs, code)) {
    case platform::WaitOutcome::Acquired:
      return true;
    case platform::WaitOutcome::TimedOut:
      return false;
    case platform::WaitOutcome::Abandoned:
    case platform::WaitOutcome::Failed:
      break;
  }
  HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "WaitForSingleObject failed - %d", code);
  return false;
}

bool CInterProcessSync::Signal() {
  if (event_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterProcessSync::Signal", "Synchronization primitive not initialized");
    return false;
  }
  return platform::SetEvent(event_) == 0;
}

bool CInterProcessSync::SignalAll() {
  if (event_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterProcessSync::SignalAll", "Synchronization primitive not initialized");
    return false;
  }
  return platform::PulseEvent(event_) == 0;
}

bool CInterProcessSync::Close() {
  platform::CloseSync(mutex_);
  platform::CloseSync(event_);
  return true;
}

// ---- CSharedMemory -----------------------------------------------------------------

CSharedMemory::CSharedMemory(bool& ok, const void* initialData, u32 dataSize, u32 role,
                             const VpnSharedObjectNames& names)
    : role_(role), dataSize_(dataSize), mappingName_(names.mapping) {
  ok = false;
  if (!initSharedMemory(initialData)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CSharedMemory::CSharedMemory", "Unable to initialize shared memory");
    return;
  }
  bool lockOk = false;
  lock_ = std::make_unique<CInterProcessSync>(kSyncKindLock, lockOk, names);
  ok = lockOk;
}

CSharedMemory::~CSharedMemory() {
  if (!RemoveSharedMemory()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CSharedMemory::~CSharedMemory", "Failed to remove shared memory");
  }
  lock_.reset();
}

bool CSharedMemory::initSharedMemory(const void* initialData) {
  constexpr const char* kFunction = "CSharedMemory::initSharedMemory";
  const std::size_t size =
      (dataSize_ + kSharedMemoryPageSize - 1) / kSharedMemoryPageSize * kSharedMemoryPageSize;
  bool existed = false;
  if (int code = platform::CreateMapping(mappingName_, size, mapping_, view_, existed)) {
    // The platform maps in the same step; tell which step failed.
    if (mapping_ != nullptr) {
      HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Could not map view of file - (%d)", code);
      platform::CloseMapping(mapping_);
    } else {
      HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Unable to initialize shared memory - (%d)", code);
    }
    return false;
  }
  created_ = !existed;
  if (created_) {
    if (initialData != nullptr) {
      std::memcpy(view_, initialData, dataSize_);
    } else {
      std::memset(view_, 0, size);
    }
  }
  return true;
}

bool CSharedMemory::ReadSharedMemory(u32& size, void* destination) {
  constexpr const char* kFunction = "CSharedMemory::ReadSharedMemory";
  if (lock_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Lock to read the shared memory not initialized");
    return false;
  }
  if (!lock_->Lock()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Unable to read the shared memory as the lock was not available");
    return false;
  }
  if (view_ == nullptr || destination == nullptr || size < dataSize_) {
    size = dataSize_;
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction,
             "Unable to read the shared memory, memory corrupted or not initialized");
    lock_->Unlock();
    return false;
  }
  std::memcpy(destination, view_, dataSize_);
  size = dataSize_;
  lock_->Unlock();
  return true;
}

bool CSharedMemory::WriteToSharedMemory(const void* source, u32& size) {
  constexpr const char* kFunction = "CSharedMemory::WriteToSharedMemory";
  if (role_ != kSharedMemoryRolePublisher) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Only the publisher can write to shared memory");
    return false;
  }
  if (lock_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Lock to write into shared memory not initialized");
    return false;
  }
  if (!lock_->Lock()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Unable to write to shared memory as the lock was not available");
    return false;
  }
  if (view_ == nullptr || source == nullptr || size != dataSize_) {
    size = dataSize_;
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction,
             "Unable to write in the shared memory, memory corrupted or not initialized");
    lock_->Unlock();
    return false;
  }
  std::memcpy(view_, source, dataSize_);
  lock_->Unlock();
  return true;
}

bool CSharedMemory::detachSharedMemory() {
  if (view_ == nullptr) return true;
  if (int code = platform::UnmapView(mapping_, view_)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CSharedMemory::detachSharedMemory",
             "Unable to detach shared memory from the process (%d)", code);
    return false;
  }
  return true;
}

bool CSharedMemory::RemoveSharedMemory() {
  constexpr const char* kFunction = "CSharedMemory::RemoveSharedMemory";
  bool result = true;
  if (!detachSharedMemory()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Failed to detach shared memory from the process");
    result = false;
  }
  platform::CloseMapping(mapping_);
  if (lock_ != nullptr && !lock_->Close()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kFunction, "Failed to unlink lock object");
  }
  return result;
}

}  // namespace hxt
