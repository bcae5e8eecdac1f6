// The named pipe to the daemon, opened for overlapped I/O. One read is kept
// pending while connected: its event is what the watching thread and a
// waiting exchange wait on, and ReadAvailable collects what it brought and
// starts the next. The wake-up is a manual-reset event that WaitIdle resets.
#include <windows.h>

#include "lib/controlchannel.h"

#include <array>
#include <string>

namespace hxt::sockfilter {

namespace {

int remainingMs(CControlChannel::Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CControlChannel::Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

}  // namespace

struct CControlChannel::Native {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE wake = nullptr;
  HANDLE readEvent = nullptr;
  HANDLE writeEvent = nullptr;
  OVERLAPPED read{};
  bool reading = false;  // `read` is pending or done and not yet collected
  std::array<u8, 16384> buffer{};

  // Starts the next read; false when the pipe is broken.
  bool startRead() {
    read = OVERLAPPED{};
    read.hEvent = readEvent;
    if (::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &read) ||
        ::GetLastError() == ERROR_IO_PENDING) {
      reading = true;  // done at once or later, the event says so either way
      return true;
    }
    reading = false;
    return ::GetLastError() == ERROR_MORE_DATA;
  }

  void close() {
    if (pipe == INVALID_HANDLE_VALUE) return;
    if (reading) {
      ::CancelIoEx(pipe, &read);
      DWORD ignored = 0;
      ::GetOverlappedResult(pipe, &read, &ignored, TRUE);
      reading = false;
    }
    ::CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
  }
};

CControlChannel::CControlChannel() : native_(std::make_unique<Native>()) {
  native_->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  native_->readEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  native_->writeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CControlChannel::~CControlChannel() {
  native_->close();
  for (HANDLE event : {native_->wake, native_->readEvent, native_->writeEvent}) {
    if (event != nullptr) ::CloseHandle(event);
  }
}

ngc_error_t CControlChannel::Connect(const std::string& path) {
  const std::wstring name = wide(path);
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Identification only: the daemon may look at who connects, never act as it.
    HANDLE pipe =
        ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      native_->pipe = pipe;
      if (!native_->startRead()) {
        native_->close();
        return kErrConnectionLost;
      }
      return HXT_NGC_OK;
    }
    DWORD error = ::GetLastError();
    connectError_ = "Windows error " + std::to_string(error);
    // The pipe's security keeps this process out: not a missing daemon.
    if (error == ERROR_ACCESS_DENIED) return kErrRefused;
    // Every instance taken: the daemon makes the next one at once.
    if (error != ERROR_PIPE_BUSY || !::WaitNamedPipeW(name.c_str(), 1000)) return kErrNoDaemon;
  }
  return kErrNoDaemon;
}

bool CControlChannel::Connected() const {
  return native_->pipe != INVALID_HANDLE_VALUE;
}

void CControlChannel::Disconnect() {
  native_->close();
}

ngc_error_t CControlChannel::Send(const std::vector<u8>& data, Clock::time_point deadline) {
  Native& n = *native_;
  std::size_t sent = 0;
  while (sent < data.size()) {
    OVERLAPPED write{};
    write.hEvent = n.writeEvent;
    DWORD done = 0;
    if (!::WriteFile(n.pipe, data.data() + sent, static_cast<DWORD>(data.size() - sent), nullptr, &write) &&
        ::GetLastError() != ERROR_IO_PENDING)
      return kErrConnectionLost;
    if (::WaitForSingleObject(n.writeEvent, static_cast<DWORD>(remainingMs(deadline))) != WAIT_OBJECT_0) {
      ::CancelIoEx(n.pipe, &write);
      ::GetOverlappedResult(n.pipe, &write, &done, TRUE);
      return kErrTimeout;
    }
    if (!::GetOverlappedResult(n.pipe, &write, &done, FALSE)) return kErrConnectionLost;
    sent += done;
  }
  return HXT_NGC_OK;
}

bool CControlChannel::WaitReadable(int ms) {
  if (!native_->reading) return false;
  return ::WaitForSingleObject(native_->readEvent, static_cast<DWORD>(ms > 0 ? ms : 0)) == WAIT_OBJECT_0;
}

bool CControlChannel::ReadAvailable(std::vector<u8>& rx) {
  Native& n = *native_;
  // Bytes that came before the end are handed over first; the end shows on
  // the next call, as a socket's end of stream does.
  bool any = false;
  while (n.reading) {
    DWORD got = 0;
    if (!::GetOverlappedResult(n.pipe, &n.read, &got, FALSE)) {
      DWORD error = ::GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return true;  // nothing more yet
      if (error != ERROR_MORE_DATA) {
        n.reading = false;
        return any;  // the daemon closed its end, or the pipe broke
      }
    }
    rx.insert(rx.end(), n.buffer.begin(), n.buffer.begin() + got);
    any = true;
    if (!n.startRead()) return true;
  }
  return false;
}

CControlChannel::Token CControlChannel::Watched() const {
  return native_->pipe != INVALID_HANDLE_VALUE ? reinterpret_cast<Token>(native_->readEvent) : kNone;
}

CControlChannel::Event CControlChannel::WaitIdle(Token token, int ms) {
  HANDLE handles[2] = {native_->wake, reinterpret_cast<HANDLE>(token)};
  DWORD count = token != kNone ? 2 : 1;
  DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
  if (result == WAIT_OBJECT_0) {
    ::ResetEvent(native_->wake);
    return Event::Woken;
  }
  if (result == WAIT_OBJECT_0 + 1) return Event::Readable;
  if (result == WAIT_TIMEOUT) return Event::TimedOut;
  return Event::Failed;
}

void CControlChannel::Wake() {
  if (native_->wake != nullptr) ::SetEvent(native_->wake);
}

u32 CControlChannel::ProcessId() {
  return static_cast<u32>(::GetCurrentProcessId());
}

}  // namespace hxt::sockfilter
