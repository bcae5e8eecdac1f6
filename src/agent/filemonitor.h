// Watches one file for modification and deletion and reports each settled
// burst of changes to a handler, on a thread of its own.
//
// The platform reports changes per directory, so the watch is on the file's
// parent directory and the notifications are filtered by the file's name
// (letter case ignored). Every change in the directory restarts the settle
// time; when it expires, the last action on the file, if any, is reported
// once. The file itself need not exist; its directory must.
//
// Threads: StartMonitor and StopMonitor from one owner thread; the handler
// runs on the monitoring thread and must only hand its work on. StopMonitor
// signals the stop event, the one object the two threads share.
//
// Platform: CDirectoryWatch below is the seam. On Linux it is inotify on the
// directory with an eventfd as the stop event and poll as the wait.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

#include "common/hxttypes.h"

namespace hxt {

// The change reported to the handler (0: none pending).
enum FileAction : u8 {
  FILE_ACTION_NONE = 0,
  FILE_ACTION_MODIFIED = 1,
  FILE_ACTION_DELETED = 2,
};

// "MODIFIED", "DELETED", or "UNDEFINED" for any other value.
const char* FileActionName(u32 action);

constexpr std::chrono::milliseconds kFileMonitorSettle{3000};
constexpr std::chrono::milliseconds kFileMonitorStopJoin{1000};

// One change in the watched directory: the action (1 added, 2 removed,
// 3 modified, 4 old name of a rename, 5 new name of a rename) and the name
// relative to the directory.
struct FileNotifyRecord {
  u32 action;
  std::string name;
};

// Change notification on one directory: the platform half of the monitor.
// Every operation but SignalStop runs on the monitoring thread.
class CDirectoryWatch {
 public:
  // The system call Wait blocks in, as its failure is logged.
  static const char* const kWaitCall;

  enum WaitResult { WATCH_STOP, WATCH_TIMEOUT, WATCH_CHANGE, WATCH_FAILED };

  CDirectoryWatch();
  ~CDirectoryWatch();
  CDirectoryWatch(const CDirectoryWatch&) = delete;
  CDirectoryWatch& operator=(const CDirectoryWatch&) = delete;

  // Set-up steps, in this order. Each returns 0 or the system error, with the
  // failed call's name in `failedCall`.
  u32 CreateStopEvent(const char*& failedCall);
  u32 CreateChangeEvent(const char*& failedCall);
  u32 Open(const std::string& directory, const char*& failedCall);
  // Starts the next change read; the records of a change are collected until
  // the wait reports it.
  u32 Arm(const char*& failedCall);
  // Any thread: wakes the wait with WATCH_STOP (auto-reset).
  void SignalStop();
  // Waits for the stop event or a change; a negative timeout waits forever.
  // WATCH_CHANGE fills `records`; a notification queue that overflowed gives
  // no records. WATCH_FAILED sets `error`.
  WaitResult Wait(std::chrono::milliseconds timeout, std::vector<FileNotifyRecord>& records, u32& error);

 private:
  struct Handles;
  std::unique_ptr<Handles> handles_;
};

class CFileMonitor {
 public:
  using Handler = std::function<void(FileAction)>;

  // `ok` false (after an error line) for an empty path or handler.
  CFileMonitor(const std::string& path, Handler handler, bool& ok,
               std::chrono::milliseconds settle = kFileMonitorSettle);
  ~CFileMonitor();
  CFileMonitor(const CFileMonitor&) = delete;
  CFileMonitor& operator=(const CFileMonitor&) = delete;

  // False when the path names a directory; a running monitor is left alone
  // with a warning. Set-up failures inside the thread are only logged.
  bool StartMonitor();
  // Signals the stop event and joins the thread for at most one second.
  bool StopMonitor();

  // The last matching record decides the pending action; false when no
  // record names `fileName`.
  static bool ScanRecords(const std::vector<FileNotifyRecord>& records, const std::string& fileName,
                          u8& lastAction);

 private:
  void fileMonitorThread();

  std::atomic<u8> lastAction{FILE_ACTION_NONE};
  std::string path;
  Handler handler;
  std::shared_ptr<boost::thread> monitorThread;
  std::atomic<bool> threadRunning{false};
  // The watch whose stop event StopMonitor signals; set while the thread has one.
  std::mutex watchMutex;
  CDirectoryWatch* watch = nullptr;
  // Set by StopMonitor, so that a thread still setting up its watch stops
  // as soon as it has one.
  bool stopRequested = false;
  std::string fileName;
  std::chrono::milliseconds settle;
};

}  // namespace hxt
