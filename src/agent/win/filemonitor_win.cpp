// Directory change notification on Windows: an overlapped
// ReadDirectoryChangesW on the directory completing on the change event,
// an auto-reset stop event, WaitForMultipleObjects as the wait.
//
// Each read fills the 1024-byte buffer with FILE_NOTIFY_INFORMATION records,
// whose actions are already the record actions; names are turned into UTF-8.
// A read that completes with no bytes means the system's buffer overflowed:
// no records. The read in flight is cancelled and awaited before the buffer
// goes away.
#include "agent/filemonitor.h"

#include <winsock2.h>

#include <windows.h>

#include <cstring>

#include "common/win/widestring.h"

namespace hxt {

namespace {

constexpr DWORD kBufferSize = 1024;
constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;

void closeHandle(HANDLE& handle) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

const char* const CDirectoryWatch::kWaitCall = "::WaitForMultipleObjects";

struct CDirectoryWatch::Handles {
  HANDLE stopEvent = nullptr;
  HANDLE changeEvent = nullptr;
  HANDLE directory = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  bool reading = false;
  alignas(DWORD) unsigned char buffer[kBufferSize];
};

CDirectoryWatch::CDirectoryWatch() : handles_(std::make_unique<Handles>()) {}

CDirectoryWatch::~CDirectoryWatch() {
  if (handles_->reading) {
    DWORD bytes = 0;
    ::CancelIoEx(handles_->directory, &handles_->overlapped);
    ::GetOverlappedResult(handles_->directory, &handles_->overlapped, &bytes, TRUE);
  }
  closeHandle(handles_->directory);
  closeHandle(handles_->changeEvent);
  closeHandle(handles_->stopEvent);
}

u32 CDirectoryWatch::CreateStopEvent(const char*& failedCall) {
  failedCall = "::CreateEvent";
  handles_->stopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return handles_->stopEvent == nullptr ? ::GetLastError() : 0;
}

u32 CDirectoryWatch::CreateChangeEvent(const char*& failedCall) {
  failedCall = "::CreateEvent";
  handles_->changeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return handles_->changeEvent == nullptr ? ::GetLastError() : 0;
}

u32 CDirectoryWatch::Open(const std::string& directory, const char*& failedCall) {
  failedCall = "::CreateFile";
  handles_->directory =
      ::CreateFileW(platform::Utf8ToWide(directory).c_str(), FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  return handles_->directory == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
}

u32 CDirectoryWatch::Arm(const char*& failedCall) {
  failedCall = "::ReadDirectoryChangesW";
  std::memset(handles_->buffer, 0, kBufferSize);
  handles_->overlapped = OVERLAPPED{};
  handles_->overlapped.hEvent = handles_->changeEvent;
  handles_->reading =
      ::ReadDirectoryChangesW(handles_->directory, handles_->buffer, kBufferSize, FALSE, kNotifyFilter,
                              nullptr, &handles_->overlapped, nullptr) != FALSE;
  return handles_->reading ? 0 : ::GetLastError();
}

void CDirectoryWatch::SignalStop() {
  ::SetEvent(handles_->stopEvent);
}

CDirectoryWatch::WaitResult CDirectoryWatch::Wait(std::chrono::milliseconds timeout,
                                                  std::vector<FileNotifyRecord>& records, u32& error) {
  const HANDLE events[2] = {handles_->stopEvent, handles_->changeEvent};
  const DWORD milliseconds = timeout.count() < 0 ? INFINITE : static_cast<DWORD>(timeout.count());
  switch (::WaitForMultipleObjects(2, events, FALSE, milliseconds)) {
    case WAIT_OBJECT_0:
      return WATCH_STOP;
    case WAIT_TIMEOUT:
      return WATCH_TIMEOUT;
    case WAIT_OBJECT_0 + 1:
      break;
    default:
      error = ::GetLastError();
      return WATCH_FAILED;
  }
  DWORD bytes = 0;
  handles_->reading = false;
  if (!::GetOverlappedResult(handles_->directory, &handles_->overlapped, &bytes, FALSE)) {
    // The read failed (the directory went away, say): no records, and the
    // next Arm reports why.
    return WATCH_CHANGE;
  }
  for (DWORD offset = 0; bytes != 0 && offset + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
    const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(handles_->buffer + offset);
    const DWORD nameBytes = info->FileNameLength;
    if (offset + offsetof(FILE_NOTIFY_INFORMATION, FileName) + nameBytes > bytes) break;
    records.push_back({info->Action, platform::WideToUtf8(info->FileName, nameBytes / sizeof(WCHAR))});
    if (info->NextEntryOffset == 0) break;
    offset += info->NextEntryOffset;
  }
  return WATCH_CHANGE;
}

}  // namespace hxt
