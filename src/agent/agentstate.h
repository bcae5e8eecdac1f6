// The agent state machine's values, activities and acceptable-state table.
// The state itself lives in CVelmoraMainThread under its stateMutex.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/hxttypes.h"

namespace hxt {

enum AgentState : u32 {
  INITIAL = 0,
  SERVICE_STARTED = 1,
  VELMORA_PLUGIN_STARTED = 2,
  VELMORA_SWG_PLUGINS_STARTED = 3,
  SWG_PLUGIN_STOPPING = 4,
  VELMORA_PLUGIN_STOPPING = 5,
  VELMORA_SWG_PLUGINS_STOPPING = 6,
  FAILED = 7,
};

enum AgentActivity : u32 {
  START_VELMORA_PLUGIN = 0,
  STOP_VELMORA_PLUGIN = 1,
  START_SWG_PLUGIN = 2,
  STOP_SWG_PLUGIN = 3,
  LISTENER_CALLBACK = 4,
  VELMORA_PLUGIN_CALLBACK = 5,
  VELMORA_PLUGIN_STOPPED_CALLBACK = 6,
  SWG_PLUGIN_CALLBACK = 7,
  SWG_PLUGIN_STOPPED_CALLBACK = 8,
  PROFILE_MONITOR_CALLBACK = 9,
  VPN_STATE_MONITOR_CALLBACK = 10,
  UPDATE_READY_CALLBACK = 11,
  UPDATE_IN_PROGRESS_CALLBACK = 12,
};

// Why the DNS plug-in was not loaded.
enum MissingDependency : u32 {
  MISSING_NONE = 0,
  MISSING_DOTNET = 1,
  MISSING_KEXT_APPROVAL = 2,
};

// Printed names; "UNKNOWN" outside the ranges.
const char* AgentStateName(u32 state);
const char* AgentActivityName(u32 activity);

using ValidatorTable = std::map<AgentActivity, std::vector<AgentState>>;

// The acceptable states of every activity, in their stored order.
ValidatorTable BuildValidatorTable();

}  // namespace hxt
