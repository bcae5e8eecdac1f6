// Event log and debugger output on Windows: the records go to the
// Application log under the registered source; texts are ANSI as the A
// functions take them (the service's own texts are ASCII).
#include <windows.h>

#include "common/eventlog.h"
#include "common/win/widestring.h"

namespace hxt::platform {

EventSourceHandle RegisterEventSource(const char* sourceName) {
  if (sourceName == nullptr || *sourceName == '\0') {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidEventSource;
  }
  HANDLE source = ::RegisterEventSourceA(nullptr, sourceName);
  return source == nullptr ? kInvalidEventSource : reinterpret_cast<EventSourceHandle>(source);
}

bool ReportEvent(EventSourceHandle source, EventType type, u16 category, u32 eventId, const char* text) {
  if (text == nullptr || source == kInvalidEventSource) return false;
  WORD kind = type == EventType::Error     ? EVENTLOG_ERROR_TYPE
              : type == EventType::Warning ? EVENTLOG_WARNING_TYPE
                                           : EVENTLOG_INFORMATION_TYPE;
  const char* strings[] = {text};
  return ::ReportEventA(reinterpret_cast<HANDLE>(source), kind, category, eventId, nullptr, 1, 0, strings,
                        nullptr) != FALSE;
}

void DeregisterEventSource(EventSourceHandle source) {
  if (source != kInvalidEventSource) ::DeregisterEventSource(reinterpret_cast<HANDLE>(source));
}

void OutputDebugString(const char* text) {
  if (text != nullptr) ::OutputDebugStringA(text);
}

std::string SystemErrorText(u32 code) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0 || buffer == nullptr) return std::string();
  // The system's texts end with a line break that a log line does not want.
  while (n > 0 && (buffer[n - 1] == L'\n' || buffer[n - 1] == L'\r' || buffer[n - 1] == L' ')) --n;
  std::string text = WideToUtf8(buffer, n);
  ::LocalFree(buffer);
  return text;
}

u32 LastSystemError() {
  return ::GetLastError();
}

u32 CurrentThreadId() {
  return ::GetCurrentThreadId();
}

}  // namespace hxt::platform
