#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "agent/service.h"
#include "agent/velmoramainthread.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

TEST(ServiceControl, HandlerAnswersEveryCodeAndLogsTheKnownOnes) {
  ResetServiceStatusForTesting();
  test::ScopedCaptureLog log;
  struct Case {
    u32 control;
    u32 result;
    const char* message;  // null: nothing logged
  };
  const Case cases[] = {
      {SERVICE_CONTROL_PAUSE, 0, "ServiceControl: SERVICE_CONTROL_PAUSE received"},
      {SERVICE_CONTROL_CONTINUE, 0, "ServiceControl: SERVICE_CONTROL_CONTINUE received"},
      {SERVICE_CONTROL_INTERROGATE, 0, nullptr},
      {0, kErrorCallNotImplemented, nullptr},
      {6, kErrorCallNotImplemented, nullptr},
      {0xffffffffu, kErrorCallNotImplemented, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.control);
    log.Clear();
    EXPECT_EQ(ServiceControlHandler(c.control, 0, nullptr, nullptr), c.result);
    if (c.message != nullptr) {
      EXPECT_EQ(log.Messages().at(0), c.message);
    } else {
      EXPECT_TRUE(log.Records().empty()) << log.Dump();
    }
  }
  CVelmoraMainThread::clearPendingShutdown();
}

TEST(ServiceControl, StopWithoutOrchestratorIsRememberedAndStatusNeedsAHandle) {
  ResetServiceStatusForTesting();
  test::ScopedCaptureLog log;
  for (u32 control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
    log.Clear();
    EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), 0u);
    auto messages = log.Messages();
    ASSERT_EQ(messages.size(), 2u) << log.Dump();
    EXPECT_EQ(messages[0], "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received");
    EXPECT_EQ(messages[1], "Service handle invalid:  3, 0, 1, 65000");
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
