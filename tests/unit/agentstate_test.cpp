#include <gtest/gtest.h>

#include <string>

#include "agent/velmoramainthread.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

// The acceptable states of each activity, written out independently of the
// production table so that a slip in either shows.
const std::vector<std::vector<AgentState>> kExpected = {
    /* START_VELMORA_PLUGIN */ {SERVICE_STARTED},
    /* STOP_VELMORA_PLUGIN */ {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, FAILED},
    /* START_SWG_PLUGIN */ {VELMORA_PLUGIN_STARTED},
    /* STOP_SWG_PLUGIN */
    {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_PLUGIN_STOPPING, FAILED},
    /* LISTENER_CALLBACK */
    {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
    /* VELMORA_PLUGIN_CALLBACK */
    {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, SWG_PLUGIN_STOPPING, VELMORA_SWG_PLUGINS_STOPPING,
     VELMORA_PLUGIN_STOPPING},
    /* VELMORA_PLUGIN_STOPPED_CALLBACK */ {VELMORA_PLUGIN_STOPPING},
    /* SWG_PLUGIN_CALLBACK */
    {VELMORA_SWG_PLUGINS_STARTED, VELMORA_PLUGIN_STOPPING, VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
    /* SWG_PLUGIN_STOPPED_CALLBACK */ {VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
    /* PROFILE_MONITOR_CALLBACK */
    {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_SWG_PLUGINS_STOPPING,
     SWG_PLUGIN_STOPPING},
    /* VPN_STATE_MONITOR_CALLBACK */
    {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
    /* UPDATE_READY_CALLBACK */
    {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
    /* UPDATE_IN_PROGRESS_CALLBACK */
    {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING},
};

const char* const kStateNames[] = {"INITIAL",
                                   "SERVICE_STARTED",
                                   "VELMORA_PLUGIN_STARTED",
                                   "VELMORA_SWG_PLUGINS_STARTED",
                                   "SWG_PLUGIN_STOPPING",
                                   "VELMORA_PLUGIN_STOPPING",
                                   "VELMORA_SWG_PLUGINS_STOPPING",
                                   "FAILED"};

class AgentStateTest : public ::testing::Test {
 protected:
  AgentStateTest() {
    // No runtime recorded: the orchestrator constructs without plug-ins.
    bool ok = false;
    MainThreadSettings settings;
    settings.ipc.port = 0;
    orchestrator = std::make_unique<CVelmoraMainThread>(ok, settings);
    EXPECT_TRUE(ok);
  }
  test::TestRoot root;
  test::ScopedCaptureLog log;
  std::unique_ptr<CVelmoraMainThread> orchestrator;
};

TEST_F(AgentStateTest, EveryStateActivityPairFollowsTheTable) {
  for (u32 activity = 0; activity < kExpected.size(); ++activity) {
    std::string list;
    for (AgentState s : kExpected[activity]) list += (list.empty() ? "" : ", ") + std::string(kStateNames[s]);
    for (u32 state = 0; state <= FAILED; ++state) {
      SCOPED_TRACE(std::string(kStateNames[state]) + " / " + AgentActivityName(activity));
      orchestrator->updateState(static_cast<AgentState>(state));
      log.Clear();
      bool accepted = false;
      for (AgentState s : kExpected[activity]) accepted = accepted || s == state;
      EXPECT_EQ(orchestrator->validateStateForActivity(static_cast<AgentActivity>(activity), "Probe::op"),
                accepted);
      if (accepted) {
        EXPECT_TRUE(log.Records().empty());
      } else {
        ASSERT_EQ(log.Records().size(), 1u);
        EXPECT_EQ(log.Records()[0].level, LOG_LEVEL_ERROR);
        EXPECT_EQ(log.Messages()[0], "Current state " + std::string(kStateNames[state]) + " is not valid for " +
                                         AgentActivityName(activity) + " (validator Probe::op). Acceptable states: " +
                                         list + ".");
      }
    }
  }
}

TEST_F(AgentStateTest, UnknownValuesPrintAsUnknown) {
  EXPECT_FALSE(orchestrator->validateStateForActivity(static_cast<AgentActivity>(13), "V"));
  EXPECT_EQ(log.Messages().back(),
            "Current state INITIAL is not valid for UNKNOWN (validator V). Acceptable states: .");
  orchestrator->updateState(static_cast<AgentState>(8));
  EXPECT_EQ(log.Messages().back(), "State transition: INITIAL -> UNKNOWN");
  EXPECT_FALSE(orchestrator->validateStateForActivity(START_SWG_PLUGIN, "V"));
  EXPECT_EQ(log.Messages().back(),
            "Current state UNKNOWN is not valid for START_SWG_PLUGIN (validator V). Acceptable states: "
            "VELMORA_PLUGIN_STARTED.");
}

TEST_F(AgentStateTest, UpdateStateLogsOnlyRealTransitions) {
  log.Clear();
  orchestrator->updateState(SERVICE_STARTED);
  orchestrator->updateState(SERVICE_STARTED);
  orchestrator->updateState(VELMORA_PLUGIN_STOPPING);
  EXPECT_EQ(log.Messages(LOG_LEVEL_INFO),
            (std::vector<std::string>{"State transition: INITIAL -> SERVICE_STARTED",
                                      "State transition: SERVICE_STARTED -> VELMORA_PLUGIN_STOPPING"}));
  EXPECT_EQ(orchestrator->getState(), VELMORA_PLUGIN_STOPPING);
}

}  // namespace
}  // namespace hxt
