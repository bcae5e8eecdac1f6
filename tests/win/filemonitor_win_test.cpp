// The file monitor over ReadDirectoryChangesW: each burst of changes in the
// directory becomes one report with the last action on the watched file.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/filemonitor.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; !condition();) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(FileMonitorWin, EachBurstIsReportedOnceWithTheLastActionOnTheFile) {
  struct Case {
    const char* name;
    bool fileExists;
    std::function<void(const fs::path&)> burst;
    std::vector<FileAction> expected;
  };
  auto write = [](const fs::path& path) { std::ofstream(path) << "{}"; };
  const std::vector<Case> cases = {
      {"saves",
       false,
       [&](const fs::path& d) { write(d / "OrgInfo.json"), write(d / "OrgInfo.json"); },
       {FILE_ACTION_MODIFIED}},
      {"delete", true, [](const fs::path& d) { fs::remove(d / "OrgInfo.json"); }, {FILE_ACTION_DELETED}},
      {"rename onto it",
       false,
       [&](const fs::path& d) { write(d / "new.json"), fs::rename(d / "new.json", d / "OrgInfo.json"); },
       {FILE_ACTION_MODIFIED}},
      {"other letter case",
       false,
       [&](const fs::path& d) { write(d / "ORGINFO.JSON"); },
       {FILE_ACTION_MODIFIED}},
      {"other file", false, [&](const fs::path& d) { write(d / "other.json"); }, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScopedCaptureLog log{true};
    const fs::path dir =
        fs::temp_directory_path() / ("hxt-filemonitor-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (c.fileExists) write(dir / "OrgInfo.json");
    std::mutex mutex;
    std::vector<FileAction> reports;
    bool ok = false;
    const std::string path = (dir / "OrgInfo.json").string();
    CFileMonitor monitor(
        path,
        [&](FileAction action) {
          std::lock_guard<std::mutex> lock(mutex);
          reports.push_back(action);
        },
        ok, 200ms);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(monitor.StartMonitor());
    ASSERT_TRUE(WaitFor([&] { return log.Has("Starting monitoring file " + path); }));
    c.burst(dir);
    // Without an expected report, the wait is the time a report would take.
    WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return reports.size() >= c.expected.size() && !c.expected.empty();
        },
        c.expected.empty() ? 1s : 10s);
    EXPECT_TRUE(monitor.StopMonitor());
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reports, c.expected);
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace hxt
