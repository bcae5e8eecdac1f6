#include "agent/agentstate.h"

namespace hxt {

const char* AgentStateName(u32 state) {
  static const char* const kNames[] = {"INITIAL",
                                       "SERVICE_STARTED",
                                       "VELMORA_PLUGIN_STARTED",
                                       "VELMORA_SWG_PLUGINS_STARTED",
                                       "SWG_PLUGIN_STOPPING",
                                       "VELMORA_PLUGIN_STOPPING",
                                       "VELMORA_SWG_PLUGINS_STOPPING",
                                       "FAILED"};
  return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "UNKNOWN";
}

const char* AgentActivityName(u32 activity) {
  static const char* const kNames[] = {"START_VELMORA_PLUGIN",
                                       "STOP_VELMORA_PLUGIN",
                                       "START_SWG_PLUGIN",
                                       "STOP_SWG_PLUGIN",
                                       "LISTENER_CALLBACK",
                                       "VELMORA_PLUGIN_CALLBACK",
                                       "VELMORA_PLUGIN_STOPPED_CALLBACK",
                                       "SWG_PLUGIN_CALLBACK",
                                       "SWG_PLUGIN_STOPPED_CALLBACK",
                                       "PROFILE_MONITOR_CALLBACK",
                                       "VPN_STATE_MONITOR_CALLBACK",
                                       "UPDATE_READY_CALLBACK",
                                       "UPDATE_IN_PROGRESS_CALLBACK"};
  return activity < sizeof kNames / sizeof kNames[0] ? kNames[activity] : "UNKNOWN";
}

ValidatorTable BuildValidatorTable() {
  // Shared rows: the callbacks that need a running DNS plug-in that is not
  // itself on the way down.
  const std::vector<AgentState> pluginRunning = {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED,
                                                 VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING};
  ValidatorTable t;
  t[START_VELMORA_PLUGIN] = {SERVICE_STARTED};
  t[STOP_VELMORA_PLUGIN] = {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, FAILED};
  t[START_SWG_PLUGIN] = {VELMORA_PLUGIN_STARTED};
  t[STOP_SWG_PLUGIN] = {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED,
                        VELMORA_PLUGIN_STOPPING, FAILED};
  t[LISTENER_CALLBACK] = pluginRunning;
  t[VELMORA_PLUGIN_CALLBACK] = {VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED, SWG_PLUGIN_STOPPING,
                                VELMORA_SWG_PLUGINS_STOPPING, VELMORA_PLUGIN_STOPPING};
  t[VELMORA_PLUGIN_STOPPED_CALLBACK] = {VELMORA_PLUGIN_STOPPING};
  t[SWG_PLUGIN_CALLBACK] = {VELMORA_SWG_PLUGINS_STARTED, VELMORA_PLUGIN_STOPPING, VELMORA_SWG_PLUGINS_STOPPING,
                            SWG_PLUGIN_STOPPING};
  t[SWG_PLUGIN_STOPPED_CALLBACK] = {VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING};
  t[PROFILE_MONITOR_CALLBACK] = {SERVICE_STARTED, VELMORA_PLUGIN_STARTED, VELMORA_SWG_PLUGINS_STARTED,
                                 VELMORA_SWG_PLUGINS_STOPPING, SWG_PLUGIN_STOPPING};
  t[VPN_STATE_MONITOR_CALLBACK] = pluginRunning;
  t[UPDATE_READY_CALLBACK] = pluginRunning;
  t[UPDATE_IN_PROGRESS_CALLBACK] = pluginRunning;
  return t;
}

}  // namespace hxt
