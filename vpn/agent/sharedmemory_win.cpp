// Windows realisation of the named objects: a page-file backed section, a
// named mutex and a named manual-reset event, created or opened by name in
// the session's namespace. The system destroys each object with its last
// handle, so there is nothing to remove by name.
#include <winsock2.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/win/widestring.h"
#include "vpn/agent/sharedmemory_platform.h"

namespace hxt {

struct PlatformMapping {
  HANDLE handle;
};

struct PlatformSync {
  HANDLE handle;
};

namespace platform {

namespace {

int lastError() {
  return static_cast<int>(::GetLastError());
}

// The wait's own result is what the caller reports for anything but
// success and time-out.
WaitOutcome waitFor(HANDLE handle, u32 timeoutMs, int& code) {
  DWORD result = ::WaitForSingleObject(handle, timeoutMs);
  code = static_cast<int>(result);
  switch (result) {
    case WAIT_OBJECT_0:
      return WaitOutcome::Acquired;
    case WAIT_TIMEOUT:
      return WaitOutcome::TimedOut;
    case WAIT_ABANDONED:
      return WaitOutcome::Abandoned;
    default:
      return WaitOutcome::Failed;
  }
}

}  // namespace

int CreateMapping(const std::string& name, std::size_t size, PlatformMapping*& mapping, void*& view,
                  bool& existed) {
  const unsigned long long wide = size;
  HANDLE handle =
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wide >> 32),
                           static_cast<DWORD>(wide & 0xffffffffu), Utf8ToWide(name).c_str());
  if (handle == nullptr) return lastError();
  existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  mapping = new PlatformMapping{handle};
  view = ::MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, size);
  return view == nullptr ? lastError() : 0;
}

int UnmapView(PlatformMapping*, void*& view) {
  if (view == nullptr) return 0;
  if (!::UnmapViewOfFile(view)) return lastError();
  view = nullptr;
  return 0;
}

void CloseMapping(PlatformMapping*& mapping) {
  if (mapping == nullptr) return;
  ::CloseHandle(mapping->handle);
  delete mapping;
  mapping = nullptr;
}

int CreateMutex(const std::string& name, PlatformSync*& mutex) {
  HANDLE handle = ::CreateMutexW(nullptr, FALSE, Utf8ToWide(name).c_str());
  if (handle == nullptr) return lastError();
  mutex = new PlatformSync{handle};
  return 0;
}

WaitOutcome LockMutex(PlatformSync* mutex, u32 timeoutMs, int& code) {
  return waitFor(mutex->handle, timeoutMs, code);
}

// An abandoned mutex is owned by the waiter and usable as it is.
void RepairMutex(PlatformSync*) {}

int UnlockMutex(PlatformSync* mutex) {
  return ::ReleaseMutex(mutex->handle) ? 0 : lastError();
}

int CreateEvent(const std::string& name, PlatformSync*& event) {
  HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, Utf8ToWide(name).c_str());
  if (handle == nullptr) return lastError();
  event = new PlatformSync{handle};
  return 0;
}

WaitOutcome WaitEvent(PlatformSync* event, u32 timeoutMs, int& code) {
  return waitFor(event->handle, timeoutMs, code);
}

int SetEvent(PlatformSync* event) {
  return ::SetEvent(event->handle) ? 0 : lastError();
}

// Set, a moment for every waiter to wake, reset: the system's own pulse can
// miss a waiter that is briefly taken out of its wait.
int PulseEvent(PlatformSync* event) {
  if (!::SetEvent(event->handle)) return lastError();
  ::Sleep(1);
  return ::ResetEvent(event->handle) ? 0 : lastError();
}

void CloseSync(PlatformSync*& object) {
  if (object == nullptr) return;
  ::CloseHandle(object->handle);
  delete object;
  object = nullptr;
}

const char* ObjectNamespace() {
  return std::getenv("HXT_OBJECT_NAMESPACE");
}

int RemoveNamedObject(const std::string&) {
  return 0;
}

}  // namespace platform
}  // namespace hxt
