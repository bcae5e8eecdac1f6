#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>

#include "e2e/serviceprocess.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

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

TEST_F(ServiceE2E, StopDuringStartIsCarriedOut) {
  // The stop arrives as soon as the service reports that it starts, most
  // likely before the orchestrator exists; either way the process must end.
  ServiceProcess agent(root.path(), logPath, {{"NOTIFY_SOCKET", notify.path()}});
  ASSERT_TRUE(notify.WaitFor("STATUS=Starting")) << agent.Log();
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
}

TEST_F(ServiceE2E, BadRootMeansNoLoggerAndExitCodeOne) {
  ServiceProcess agent(root.path(), logPath, {{"HXT_ROOT", "relative"}});
  EXPECT_EQ(agent.WaitForExit(), 1);
  EXPECT_NE(agent.Log().find("Failed to instance logger"), std::string::npos) << agent.Log();
}

// Without a notify socket (a terminal) the agent runs as well; the plug-ins'
// loading and unloading the in-process lifecycle tests show.
TEST_F(ServiceE2E, WithoutProfileWaitsForIt) {
  PrepareAgentRoot(root, {HXT_FAKE_PLUGIN_VELMORA, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER},
                   false);
  ServiceProcess agent(root.path(), logPath);
  ASSERT_TRUE(agent.WaitForLog("not starting Velmora plugin")) << agent.Log();

  // Writing the profile starts the plug-in once the writes have settled.
  ASSERT_TRUE(agent.WaitForLog("Starting monitoring file")) << agent.Log();
  root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}");
  ASSERT_TRUE(agent.WaitForLog("State transition: SERVICE_STARTED -> VELMORA_PLUGIN_STARTED")) << agent.Log();
  std::string log = agent.Log();
  EXPECT_LT(log.find("Received Orginfo file change notification: MODIFIED"), log.find("startVelmoraPlugin"));
  EXPECT_NE(log.find("Successfully stopped file monitor thread"), std::string::npos) << log;
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
}

}  // namespace
}  // namespace hxt::test
