#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/serviceprocess.h"

namespace hxt::test {
namespace {

class ServiceE2E : public ::testing::Test {
 protected:
  TestRoot root;
  std::string logPath = root.path() + "/agent.log";
  NotifySocket notify{root.path() + "/notify.sock"};
};

TEST_F(ServiceE2E, ReportsReadyAndStopsCleanlyOnSigterm) {
  ServiceProcess agent(root.path(), logPath, {{"NOTIFY_SOCKET", notify.path()}});
  ASSERT_TRUE(notify.WaitFor("READY=1")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("State transition: INITIAL -> SERVICE_STARTED")) << agent.Log();

  agent.Signal(SIGUSR1);  // pause: accepted, nothing changes
  ASSERT_TRUE(agent.WaitForLog("SERVICE_CONTROL_PAUSE received"));
  agent.Signal(SIGUSR2);  // continue: reported running again
  ASSERT_TRUE(notify.WaitFor("READY=1")) << agent.Log();

  agent.Signal(SIGTERM);
  auto stopping = notify.Receive();
  ASSERT_TRUE(stopping.has_value());
  EXPECT_NE(stopping->find("STOPPING=1"), std::string::npos) << *stopping;
  EXPECT_NE(stopping->find("EXTEND_TIMEOUT_USEC=65000000"), std::string::npos) << *stopping;
  EXPECT_TRUE(notify.WaitFor("STATUS=Stopped"));
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  EXPECT_NE(agent.Log().find("ioService run complete"), std::string::npos);
}

TEST_F(ServiceE2E, BadRootMeansNoLoggerAndExitCodeOne) {
  ServiceProcess agent(root.path(), logPath, {{"HXT_ROOT", "relative"}});
  EXPECT_EQ(agent.WaitForExit(), 1);
  EXPECT_NE(agent.Log().find("Failed to instance logger"), std::string::npos) << agent.Log();
}

}  // namespace
}  // namespace hxt::test
