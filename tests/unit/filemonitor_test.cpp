// The profile file monitor over real inotify, with a shortened settle time.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <mutex>
#include <vector>

#include "agent/filemonitor.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;
using namespace std::chrono_literals;

class FileMonitorTest : public ::testing::Test {
 public:
  // Reports the handler received, in order.
  std::vector<FileAction> Reports() {
    std::lock_guard<std::mutex> lock(mutex);
    return reports;
  }
  std::unique_ptr<CFileMonitor> Make(std::chrono::milliseconds settle = 300ms, std::string path = {}) {
    bool ok = false;
    auto monitor = std::make_unique<CFileMonitor>(
        path.empty() ? file : path,
        [this](FileAction action) {
          std::lock_guard<std::mutex> lock(mutex);
          reports.push_back(action);
        },
        ok, settle);
    EXPECT_TRUE(ok);
    return monitor;
  }
  bool Started() {
    return test::WaitFor([&] { return log.Has("Starting monitoring file " + file); });
  }
  void Write(const std::string& name) { std::ofstream(dir + "/" + name) << "{}"; }

  test::TestRoot root;
  test::ScopedCaptureLog log{true};
  std::string dir = root.path() + "/profile";
  std::string file = dir + "/OrgInfo.json";
  std::mutex mutex;
  std::vector<FileAction> reports;
};

TEST_F(FileMonitorTest, EachBurstIsReportedOnceWithTheLastActionOnTheFile) {
  // Whether the file exists before the burst, the burst, the action reported.
  const std::tuple<const char*, bool, std::function<void(FileMonitorTest&)>, FileAction> cases[] = {
      {"several saves", false,
       [](auto& t) { t.Write("OrgInfo.json"), t.Write("OrgInfo.json"), t.Write("OrgInfo.json"); },
       FILE_ACTION_MODIFIED},
      {"delete", true, [](auto& t) { fs::remove(t.file); }, FILE_ACTION_DELETED},
      {"rename onto the name", false,
       [](auto& t) { t.Write("draft.tmp"), fs::rename(t.dir + "/draft.tmp", t.file); }, FILE_ACTION_MODIFIED},
      {"name in other case", false, [](auto& t) { t.Write("ORGINFO.json"); }, FILE_ACTION_MODIFIED},
      {"other files do not override", true, [](auto& t) { fs::remove(t.file), t.Write("other.txt"); },
       FILE_ACTION_DELETED},
      // Other files alone report nothing: a later save of the file is the first report.
      {"other files alone", false,
       [](FileMonitorTest& t) {
         t.Write("other.txt");
         ASSERT_TRUE(test::WaitFor(
             [&] { return t.log.Has("Directory change signaled, no changes in monitored file."); }));
         EXPECT_TRUE(t.log.Has(LOG_LEVEL_DEBUG, "Ignored file action: 1 (file: other.txt)"));
         t.Write("OrgInfo.json");
       },
       FILE_ACTION_MODIFIED}};
  for (const auto& [name, fileExists, burst, expected] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (fileExists) Write("OrgInfo.json");
    log.Clear();
    reports.clear();
    auto monitor = Make();
    ASSERT_TRUE(monitor->StartMonitor());
    ASSERT_TRUE(Started());
    burst(*this);
    ASSERT_TRUE(test::WaitFor([&] { return !Reports().empty(); })) << log.Dump();
    EXPECT_TRUE(monitor->StopMonitor());
    EXPECT_EQ(Reports(), std::vector<FileAction>{expected});
    EXPECT_TRUE(log.Has(std::string("Reporting file change event: ") + FileActionName(expected) + " (" +
                        file + ")."));
  }
}

TEST_F(FileMonitorTest, StopEndsTheThreadIdleOrWithAReportPending) {
  fs::create_directories(dir);
  // Stopped before its thread has set up the watch: the stop is not lost.
  for (int round = 0; round < 5; ++round) {
    auto monitor = Make(1h);
    ASSERT_TRUE(monitor->StartMonitor());
    EXPECT_TRUE(monitor->StopMonitor()) << round;
  }
  for (bool pending : {false, true}) {
    SCOPED_TRACE(pending);
    log.Clear();
    auto monitor = Make(1h);
    ASSERT_TRUE(monitor->StartMonitor());
    ASSERT_TRUE(Started());
    EXPECT_TRUE(monitor->StartMonitor());
    EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "File monitor thread is already running"));
    if (pending) {
      Write("OrgInfo.json");
      ASSERT_TRUE(test::WaitFor([&] { return log.Has("Directory change signaled, last change: MODIFIED"); }));
    }
    EXPECT_TRUE(monitor->StopMonitor());
    EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Successfully stopped file monitor thread"));
    EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Finished monitoring file " + file));
  }
  EXPECT_TRUE(Reports().empty());
}

TEST_F(FileMonitorTest, BadPathsAndHandlersAreRefused) {
  bool noPath = true, noHandler = true;
  CFileMonitor(
      "", [](FileAction) {}, noPath),
      CFileMonitor(file, nullptr, noHandler);
  EXPECT_FALSE(noPath || noHandler);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Invalid file path parameter."));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Invalid callback function pointer parameter."));

  fs::create_directories(dir);
  EXPECT_FALSE(Make(300ms, dir)->StartMonitor());
  EXPECT_TRUE(log.Has(
      LOG_LEVEL_ERROR,
      "Unable to start file monitoring because the path is a directory (expected file path): " + dir));

  // A missing directory ends the thread at set-up, with one error line.
  auto monitor = Make(300ms, root.path() + "/absent/OrgInfo.json");
  EXPECT_TRUE(monitor->StartMonitor());
  const std::string failed = "Failed to obtain handle to the directory " + root.path() + "/absent.";
  EXPECT_TRUE(test::WaitFor([&] {
    for (const auto& m : log.Messages(LOG_LEVEL_ERROR))
      if (m.find(failed) != std::string::npos) return true;
    return false;
  })) << log.Dump();
  EXPECT_TRUE(monitor->StopMonitor());
}

}  // namespace
}  // namespace hxt
