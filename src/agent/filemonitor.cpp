#include "agent/filemonitor.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kThreadFunction = "CFileMonitor::fileMonitorThread";
constexpr std::chrono::milliseconds kInfinite{-1};

}  // namespace

const char* FileActionName(u32 action) {
  switch (action) {
    case FILE_ACTION_MODIFIED:
      return "MODIFIED";
    case FILE_ACTION_DELETED:
      return "DELETED";
    default:
      return "UNDEFINED";
  }
}

CFileMonitor::CFileMonitor(const std::string& pathIn, Handler handlerIn, bool& ok,
                           std::chrono::milliseconds settleIn)
    : path(pathIn), handler(std::move(handlerIn)), settle(settleIn) {
  ok = false;
  if (path.empty()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CFileMonitor::CFileMonitor", "Invalid file path parameter.");
    return;
  }
  if (!handler) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CFileMonitor::CFileMonitor", "Invalid callback function pointer parameter.");
    return;
  }
  ok = true;
}

CFileMonitor::~CFileMonitor() {
  StopMonitor();
  // A thread that did not stop in time keeps running detached; it owns
  // nothing of this object but what it reads through `this`, so the owner
  // is told by the error line above.
  monitorThread.reset();
  handler = nullptr;
}

bool CFileMonitor::StartMonitor() {
  boost::system::error_code ec;
  if (boost::filesystem::is_directory(path, ec)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CFileMonitor::StartMonitor",
             "Unable to start file monitoring because the path is a directory (expected file path): %s",
             path.c_str());
    return false;
  }
  if (monitorThread && monitorThread->joinable()) {
    if (threadRunning.load()) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CFileMonitor::StartMonitor", "File monitor thread is already running");
      return true;
    }
    monitorThread->join();  // ended on its own (set-up failure); start afresh
  }
  // Only while no thread reads it.
  fileName = boost::filesystem::path(path).filename().string();
  {
    std::lock_guard<std::mutex> lock(watchMutex);
    stopRequested = false;
  }
  threadRunning = true;
  monitorThread = std::make_shared<boost::thread>([this] {
    fileMonitorThread();
    threadRunning = false;
  });
  return true;
}

bool CFileMonitor::StopMonitor() {
  {
    std::lock_guard<std::mutex> lock(watchMutex);
    stopRequested = true;
    if (watch != nullptr) watch->SignalStop();
  }
  if (!monitorThread || !monitorThread->joinable()) return true;
  try {
    if (monitorThread->try_join_for(boost::chrono::milliseconds(kFileMonitorStopJoin.count()))) {
      HXT_LOGF(LOG_LEVEL_INFO, "CFileMonitor::StopMonitor", "Successfully stopped file monitor thread");
      return true;
    }
    HXT_LOGF(LOG_LEVEL_ERROR, "CFileMonitor::StopMonitor", "Failed to stop file monitor thread");
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CFileMonitor::StopMonitor", "Caught file monitor thread exception - %s",
             e.what());
  }
  return false;
}

bool CFileMonitor::ScanRecords(const std::vector<FileNotifyRecord>& records, const std::string& name,
                               u8& last) {
  bool matched = false;
  int count = 0;
  for (const FileNotifyRecord& record : records) {
    if (record.action < 1 || record.action > 5) continue;
    if (!boost::algorithm::iequals(record.name, name)) {
      HXT_LOGF(LOG_LEVEL_DEBUG, "CFileMonitor::fileMonitorThread", "Ignored file action: %d (file: %s)",
               static_cast<int>(record.action), record.name.c_str());
      continue;
    }
    last = record.action == 2 || record.action == 4 ? FILE_ACTION_DELETED : FILE_ACTION_MODIFIED;
    HXT_LOGF(LOG_LEVEL_DEBUG, "CFileMonitor::fileMonitorThread", "Monitored file action: %d, count=%d",
             static_cast<int>(record.action), count++);
    matched = true;
  }
  return matched;
}

void CFileMonitor::fileMonitorThread() {
  lastAction = FILE_ACTION_NONE;
  std::string directory = boost::filesystem::path(path).parent_path().string();
  if (directory.empty()) directory = ".";

  CDirectoryWatch dirWatch;
  const char* failedCall = nullptr;
  auto setupFailed = [&](u32 error, const char* message) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(error), true, failedCall, kThreadFunction, message,
                 directory.c_str());
  };
  if (u32 error = dirWatch.CreateStopEvent(failedCall)) {
    setupFailed(error, "Failed to create stop event for file monitoring.");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(watchMutex);
    watch = &dirWatch;
    // A stop asked for before this thread had its stop event must not be
    // lost: the wait would then never end.
    if (stopRequested) dirWatch.SignalStop();
  }
  auto finish = [&] {
    std::lock_guard<std::mutex> lock(watchMutex);
    watch = nullptr;
  };
  if (u32 error = dirWatch.CreateChangeEvent(failedCall)) {
    setupFailed(error, "Failed to create event for directory monitoring.");
    return finish();
  }
  if (u32 error = dirWatch.Open(directory, failedCall)) {
    setupFailed(error, "Failed to obtain handle to the directory %s.");
    return finish();
  }
  if (u32 error = dirWatch.Arm(failedCall)) {
    setupFailed(error, "Failed to register for directory changes notification.");
    return finish();
  }

  HXT_LOGF(LOG_LEVEL_INFO, kThreadFunction, "Starting monitoring file %s", path.c_str());
  std::chrono::milliseconds timeout = kInfinite;
  std::vector<FileNotifyRecord> records;
  bool running = true;
  while (running) {
    u32 error = 0;
    records.clear();
    switch (dirWatch.Wait(timeout, records, error)) {
      case CDirectoryWatch::WATCH_STOP:
        running = false;
        break;
      case CDirectoryWatch::WATCH_TIMEOUT: {
        u8 action = lastAction.exchange(FILE_ACTION_NONE);
        if (action != FILE_ACTION_NONE) {
          HXT_LOGF(LOG_LEVEL_INFO, kThreadFunction, "Reporting file change event: %s (%s).",
                   FileActionName(action), path.c_str());
          handler(static_cast<FileAction>(action));
        }
        timeout = kInfinite;
        break;
      }
      case CDirectoryWatch::WATCH_CHANGE: {
        u8 action = lastAction.load();
        if (ScanRecords(records, fileName, action)) {
          lastAction = action;
          HXT_LOGF(LOG_LEVEL_DEBUG, kThreadFunction, "Directory change signaled, last change: %s",
                   FileActionName(action));
        } else {
          HXT_LOGF(LOG_LEVEL_DEBUG, kThreadFunction,
                   "Directory change signaled, no changes in monitored file.");
        }
        if (dirWatch.Arm(failedCall) == 0) {
          timeout = settle;
        } else {
          // Further changes go unseen; the stop event still works.
          HXT_LOGF(LOG_LEVEL_ERROR, kThreadFunction,
                   "Failed to register for directory changes notification.");
        }
        break;
      }
      case CDirectoryWatch::WATCH_FAILED:
        HXT_LOGF(LOG_LEVEL_ERROR, kThreadFunction, "%s returned WAIT_FAILED, last error: %u ",
                 CDirectoryWatch::kWaitCall, error);
        running = false;
        break;
    }
  }
  finish();
  HXT_LOGF(LOG_LEVEL_INFO, kThreadFunction, "Finished monitoring file %s", path.c_str());
}

}  // namespace hxt
