// The service process: its control handler, a write to a vanished peer, and crash dumps. Each crash runs in a
// child process, which must end by its signal after leaving one dump file and its log line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <stdexcept>
#include <tuple>

#include "agent/service.h"
#include "agent/velmoramainthread.h"
#include "common/minidump.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

#define HXT_NO_SANITIZE __attribute__((noinline, no_sanitize("undefined", "address")))

HXT_NO_SANITIZE void nullDereference() {
  *static_cast<volatile int*>(nullptr) = 1;
}

volatile int g_neverReached = -1;
HXT_NO_SANITIZE void divideByZero() {
  volatile int zero = 0;
  g_neverReached = 7 / zero;
}

HXT_NO_SANITIZE int recurse(int depth) {
  if (depth == g_neverReached) return 0;
  volatile char frame[4096];
  frame[0] = static_cast<char>(depth);
  return recurse(depth + 1) + frame[0];
}

void throwUncaught() {
  throw std::runtime_error("nobody catches this");
}

std::string executableName() {
  return fs::read_symlink("/proc/self/exe").filename().string();
}

// Runs `crash` in a child whose temporary folder is `tmpdir` and whose
// standard error goes to `errPath`; the wait status.
int runChild(const std::string& tmpdir, const std::string& errPath, const std::function<void()>& crash) {
  pid_t pid = ::fork();
  if (pid == 0) {
    rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    std::freopen(errPath.c_str(), "w", stderr);
    static CExceptionHandlerEx handler;
    if (handler.InstallGlobalExceptionHandler() != 0) std::_Exit(90);
    crash();
    std::_Exit(91);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

std::vector<std::string> dumpsIn(const std::string& dir) {
  std::regex pattern(executableName() + "_\\d+\\.\\d+\\.\\d+_\\d{14}\\.mdmp");
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir))
    if (std::regex_match(entry.path().filename().string(), pattern)) out.push_back(entry.path().string());
  return out;
}

class MiniDumpTest : public ::testing::Test {
 protected:
  test::TestRoot root;
  std::string dumps = root.path() + "/tmp";
  std::string errPath = root.path() + "/stderr.txt";
  MiniDumpTest() { fs::create_directories(dumps); }
};

TEST_F(MiniDumpTest, EachCrashLeavesOneDumpAndItsLineAndEndsByItsSignal) {
  const std::tuple<const char*, std::function<void()>, int, const char*> cases[] = {
      {"null dereference", nullDereference, SIGSEGV, "(0xC0000005), ACCESS_VIOLATION"},
      {"integer division by zero", divideByZero, SIGFPE, "(0xC0000094), INT_DIVIDE_BY_ZERO"},
      // Through noexcept: the test framework would catch it on the way out of the test body.
      {"uncaught exception", []() noexcept { throwUncaught(); }, SIGABRT,
       "(0xE06D7363), Microsoft Compiler Generated (Q185294)"},
      {"stack overflow", [] { recurse(0); }, SIGSEGV, "(0xC00000FD), STACK_OVERFLOW"}};
  for (const auto& [name, crash, signo, code] : cases) {
    SCOPED_TRACE(name);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers own the thread's stack layout and catch overflows first.
    if (std::string(name) == "stack overflow") continue;
#endif
    fs::remove_all(dumps);
    fs::create_directories(dumps);
    const int status = runChild(dumps, errPath, crash);
    const std::string err = test::ReadFile(errPath);
    ASSERT_TRUE(WIFSIGNALED(status)) << status << "\n" << err;
    EXPECT_EQ(WTERMSIG(status), signo);
    auto files = dumpsIn(dumps);
    ASSERT_EQ(files.size(), 1u) << err;
    EXPECT_THAT(err, HasSubstr(std::string("UNHANDLED_EXCEPTION - ") + code +
                               ". A minidump file is located at: " + files[0]));
    EXPECT_THAT(test::ReadFile(files[0]), AllOf(StartsWith("HXTARROW CRASH DUMP 1\n"),
                                                HasSubstr("Backtrace: "), HasSubstr("Memory map:\n")));
  }

  // Without its folder the dump goes beside the executable.
  const std::string beside = fs::read_symlink("/proc/self/exe").parent_path().string();
  const auto before = dumpsIn(beside);
  EXPECT_TRUE(WIFSIGNALED(runChild(root.path() + "/absent", errPath, nullDereference)));
  const auto after = dumpsIn(beside);
  ASSERT_EQ(after.size(), before.size() + 1) << test::ReadFile(errPath);
  for (const auto& file : after)
    if (std::find(before.begin(), before.end(), file) == before.end()) fs::remove(file);
}

TEST_F(MiniDumpTest, InstallationPrunesToTheNewestFiveAndRefusesASecondOne) {
  // Seven earlier dumps, one hour apart; a file of another version stays.
  const std::string prefix = dumps + "/" + executableName() + "_" + HXT_TEST_BUILD_VERSION + "_2026010112000";
  std::time_t now = std::time(nullptr);
  for (int i = 0; i < 7; ++i) {
    std::string path = prefix + std::to_string(i) + ".mdmp";
    std::ofstream(path) << i;
    fs::last_write_time(path, now - (7 - i) * 3600);
  }
  std::ofstream(dumps + "/" + executableName() + "_0.0.1_20260101120000.mdmp") << "other";
  ::setenv("TMPDIR", dumps.c_str(), 1);
  test::ScopedCaptureLog log;
  {
    CExceptionHandlerEx first, second;
    EXPECT_EQ(first.InstallGlobalExceptionHandler(), 0u);
    EXPECT_EQ(second.InstallGlobalExceptionHandler(), 1u);
  }
  ::unsetenv("TMPDIR");
  char pid[16];
  std::snprintf(pid, sizeof pid, "%.8X", unsigned(::getpid()));
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Mutex lock already exists (CExceptionHandlerEx_0x" +
                                             std::string(pid) + ") for this process. Error = 0x800700B7"))
      << log.Dump();
  for (int i = 0; i < 7; ++i) EXPECT_EQ(fs::exists(prefix + std::to_string(i) + ".mdmp"), i >= 2) << i;
  EXPECT_EQ(dumpsIn(dumps).size(), 6u);
}

TEST(ServiceControl, HandlerAnswersEveryCodeAndLogsTheKnownOnes) {
  ResetServiceStatusForTesting();
  test::ScopedCaptureLog log;
  const std::string stop = "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received",
                    noHandle = "Service handle invalid:  3, 0, 1, 65000",
                    noHandle4 = "Service handle invalid:  4, 0, 0, 0";
  const std::tuple<u32, u32, std::vector<std::string>> cases[] = {
      {SERVICE_CONTROL_PAUSE, 0, {"ServiceControl: SERVICE_CONTROL_PAUSE received"}},
      // Reporting the running state again needs a service handle.
      {SERVICE_CONTROL_CONTINUE, 0, {"ServiceControl: SERVICE_CONTROL_CONTINUE received", noHandle4}},
      {SERVICE_CONTROL_INTERROGATE, 0, {}},
      {0, kErrorCallNotImplemented, {}},
      {6, kErrorCallNotImplemented, {}},
      {0xffffffffu, kErrorCallNotImplemented, {}},
      // Without an orchestrator a stop is remembered.
      {SERVICE_CONTROL_STOP, 0, {stop, noHandle}},
      {SERVICE_CONTROL_SHUTDOWN, 0, {stop, noHandle}}};
  for (const auto& [control, result, messages] : cases) {
    log.Clear();
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), result) << control;
    EXPECT_EQ(log.Messages(), messages) << control;
  }
  // The remembered stop is consumed by the next instance; clear it for the other tests.
  CVelmoraMainThread::clearPendingShutdown();
  EXPECT_FALSE(ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0));
}

TEST(ServiceProcess, WriteToAVanishedPeerNeverEndsTheProcess) {
  // In a child: the process entry (which ends at once without a logger),
  // then a write into a pipe nobody reads.
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("HXT_ROOT", "relative", 1);
    ::close(STDERR_FILENO);
    ServiceProcessMain(0, nullptr);
    int fds[2];
    if (::pipe(fds) != 0) std::_Exit(2);
    ::close(fds[0]);
    std::_Exit(::write(fds[1], "x", 1) < 0 && errno == EPIPE ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace hxt
