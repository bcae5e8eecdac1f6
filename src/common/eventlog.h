// Platform seam for the event log and the debugger output.
//
// Windows: RegisterEventSourceA / ReportEventA / DeregisterEventSource /
// OutputDebugStringA / FormatMessageW. POSIX: journald's native protocol when
// the process runs under systemd, otherwise standard error; the debugger
// output is standard error.
#pragma once

#include <cstdint>
#include <string>

#include "common/hxttypes.h"

namespace hxt::platform {

using EventSourceHandle = std::intptr_t;
constexpr EventSourceHandle kInvalidEventSource = -1;  // all bits set

enum class EventType { Information, Warning, Error };

// Registers the named event source on the local machine; kInvalidEventSource
// on failure (the reason is in LastSystemError()).
EventSourceHandle RegisterEventSource(const char* sourceName);
bool ReportEvent(EventSourceHandle source, EventType type, u16 category, u32 eventId, const char* text);
void DeregisterEventSource(EventSourceHandle source);
void OutputDebugString(const char* text);

// The system's text for an error code, empty when the system has none.
std::string SystemErrorText(u32 code);
u32 LastSystemError();

// The calling thread's id as the log lines show it.
u32 CurrentThreadId();

}  // namespace hxt::platform
