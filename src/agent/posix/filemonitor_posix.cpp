// Directory change notification on Linux: inotify on the directory, an
// eventfd as the stop event, poll as the wait.
//
// inotify keeps its watch between reads, so arming only checks that the
// watch still exists (the kernel drops it when the directory goes). Events
// map onto the record actions: created 1, deleted 2, written or closed after
// writing 3, moved away 4, moved here 5. A queue overflow loses the events,
// so it yields no records: no change of the file is reported for it.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "agent/filemonitor.h"

namespace hxt {

namespace {

constexpr u32 kWatchMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                           IN_ONLYDIR | IN_EXCL_UNLINK;

u32 actionOf(u32 mask) {
  if (mask & IN_CREATE) return 1;
  if (mask & IN_DELETE) return 2;
  if (mask & IN_MOVED_FROM) return 4;
  if (mask & IN_MOVED_TO) return 5;
  return 3;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

const char* const CDirectoryWatch::kWaitCall = "::poll";

struct CDirectoryWatch::Handles {
  int stopFd = -1;
  int inotifyFd = -1;
  int watchDescriptor = -1;
  bool watchGone = false;
};

CDirectoryWatch::CDirectoryWatch() : handles_(std::make_unique<Handles>()) {}

CDirectoryWatch::~CDirectoryWatch() {
  closeFd(handles_->inotifyFd);
  closeFd(handles_->stopFd);
}

u32 CDirectoryWatch::CreateStopEvent(const char*& failedCall) {
  failedCall = "::eventfd";
  handles_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return handles_->stopFd < 0 ? static_cast<u32>(errno) : 0;
}

u32 CDirectoryWatch::CreateChangeEvent(const char*& failedCall) {
  failedCall = "::inotify_init1";
  handles_->inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  return handles_->inotifyFd < 0 ? static_cast<u32>(errno) : 0;
}

u32 CDirectoryWatch::Open(const std::string& directory, const char*& failedCall) {
  failedCall = "::inotify_add_watch";
  handles_->watchDescriptor = ::inotify_add_watch(handles_->inotifyFd, directory.c_str(), kWatchMask);
  return handles_->watchDescriptor < 0 ? static_cast<u32>(errno) : 0;
}

u32 CDirectoryWatch::Arm(const char*& failedCall) {
  failedCall = "::inotify_add_watch";
  return handles_->watchGone ? static_cast<u32>(ENOENT) : 0;
}

void CDirectoryWatch::SignalStop() {
  std::uint64_t one = 1;
  while (::write(handles_->stopFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

CDirectoryWatch::WaitResult CDirectoryWatch::Wait(std::chrono::milliseconds timeout,
                                                  std::vector<FileNotifyRecord>& records, u32& error) {
  pollfd fds[2] = {{handles_->stopFd, POLLIN, 0}, {handles_->inotifyFd, POLLIN, 0}};
  int n = 0;
  do {
    n = ::poll(fds, 2, timeout.count() < 0 ? -1 : static_cast<int>(timeout.count()));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    error = static_cast<u32>(errno);
    return WATCH_FAILED;
  }
  if (n == 0) return WATCH_TIMEOUT;
  if (fds[0].revents != 0) {
    std::uint64_t count = 0;
    while (::read(handles_->stopFd, &count, sizeof count) < 0 && errno == EINTR) {
    }
    return WATCH_STOP;
  }

  alignas(inotify_event) char buffer[4096];
  bool overflow = false;
  while (true) {
    ssize_t got = ::read(handles_->inotifyFd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // EAGAIN: everything queued has been read
    for (char* p = buffer; p < buffer + got;) {
      auto* event = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) overflow = true;
      if (event->mask & IN_IGNORED) handles_->watchGone = true;
      if (event->len == 0 || (event->mask & kWatchMask) == 0) continue;
      records.push_back(
          {actionOf(event->mask), std::string(event->name, ::strnlen(event->name, event->len))});
    }
  }
  if (overflow) records.clear();
  return WATCH_CHANGE;
}

}  // namespace hxt
