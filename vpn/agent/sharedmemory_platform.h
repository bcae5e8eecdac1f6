// The operating system's side of sharedmemory.h: named section, named mutex,
// named manual-reset event. Every call returns 0 or the system's error code;
// nothing here logs. One implementation per platform (sharedmemory_posix.cpp,
// sharedmemory_win.cpp).
#pragma once

#include <cstddef>
#include <string>

#include "common/hxttypes.h"
#include "vpn/agent/sharedmemory.h"

namespace hxt::platform {

// What sets this process's object names apart (null: the installed system's
// names). POSIX: HXT_ROOT, which also moves every folder of a private root.
// Windows: only the dedicated HXT_OBJECT_NAMESPACE, since HXT_ROOT moves no
// folder there and a machine-wide HXT_ROOT must not cut the service off from
// the VPN agent's objects.
const char* ObjectNamespace();

enum class WaitOutcome {
  Acquired,  // the mutex is ours, or the event was set or pulsed
  TimedOut,
  Abandoned,  // the mutex is ours, but its last holder died holding it
  Failed,     // `code` says why
};

// Creates the section `name` of `size` bytes, or opens it when it exists
// (`existed` then true). The section is mapped read-write into `view`.
int CreateMapping(const std::string& name, std::size_t size, PlatformMapping*& mapping, void*& view,
                  bool& existed);
// Unmaps the view; the section handle stays open.
int UnmapView(PlatformMapping* mapping, void*& view);
void CloseMapping(PlatformMapping*& mapping);

int CreateMutex(const std::string& name, PlatformSync*& mutex);
WaitOutcome LockMutex(PlatformSync* mutex, u32 timeoutMs, int& code);
// Makes a mutex whose holder died usable again; the caller still owns it.
void RepairMutex(PlatformSync* mutex);
int UnlockMutex(PlatformSync* mutex);

int CreateEvent(const std::string& name, PlatformSync*& event);
WaitOutcome WaitEvent(PlatformSync* event, u32 timeoutMs, int& code);
int SetEvent(PlatformSync* event);
int PulseEvent(PlatformSync* event);

void CloseSync(PlatformSync*& object);

// Removes the named objects; 0 also when an object did not exist.
int RemoveNamedObject(const std::string& name);

}  // namespace hxt::platform
