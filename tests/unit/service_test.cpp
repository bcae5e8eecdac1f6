#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "agent/service.h"
#include "agent/velmoramainthread.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

TEST(ServiceControl, HandlerAnswersEveryCodeAndLogsTheKnownOnes) {
  ResetServiceStatusForTesting();
  test::ScopedCaptureLog log;
  const std::string stop = "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received",
                    noHandle = "Service handle invalid:  3, 0, 1, 65000";
  const std::tuple<u32, u32, std::vector<std::string>> cases[] = {
      {SERVICE_CONTROL_PAUSE, 0, {"ServiceControl: SERVICE_CONTROL_PAUSE received"}},
      // Reporting the running state again needs a service handle.
      {SERVICE_CONTROL_CONTINUE,
       0,
       {"ServiceControl: SERVICE_CONTROL_CONTINUE received", "Service handle invalid:  4, 0, 0, 0"}},
      {SERVICE_CONTROL_INTERROGATE, 0, {}},
      {0, kErrorCallNotImplemented, {}},
      {6, kErrorCallNotImplemented, {}},
      {0xffffffffu, kErrorCallNotImplemented, {}},
      // Without an orchestrator a stop is remembered.
      {SERVICE_CONTROL_STOP, 0, {stop, noHandle}},
      {SERVICE_CONTROL_SHUTDOWN, 0, {stop, noHandle}},
  };
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
