// The service entry and its control handler: the process-level glue between
// the platform's service manager and the orchestrator.
#pragma once

#include "common/hxttypes.h"

namespace hxt {

constexpr const char* kServiceName = "hxtarrowagent";

#ifndef SERVICE_STOPPED
// Windows' headers define these codes, with the same values, as macros.
enum ServiceStateCode : u32 {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
};

enum ServiceControlCode : u32 {
  SERVICE_CONTROL_STOP = 1,
  SERVICE_CONTROL_PAUSE = 2,
  SERVICE_CONTROL_CONTINUE = 3,
  SERVICE_CONTROL_INTERROGATE = 4,
  SERVICE_CONTROL_SHUTDOWN = 5,
};
#endif

constexpr u32 kServiceWin32OwnProcess = 0x10;
constexpr u32 kStartWaitHintMs = 20000;
constexpr u32 kStopWaitHintMs = 65000;
constexpr u32 kAcceptedControls = 7;  // stop | pause/continue | shutdown
constexpr u32 kErrorCallNotImplemented = 120;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;       // no logger, or TerminateService
constexpr int kExitNoDispatcher = 2;  // the dispatcher failed to start

// The process entry: logger, crash handler, dispatcher. Returns the exit code.
int ServiceProcessMain(u32 argc, char** argv);

// The service's main function, on the dispatcher's service thread.
void ServiceMain(u32 argc, char** argv);

// The control handler, on the dispatcher's thread.
u32 ServiceControlHandler(u32 control, u32 eventType, void* eventData, void* context);

bool ReportStatusToSCMgr(u32 state, u32 checkPoint, u32 waitHint);

[[noreturn]] void TerminateService();

// Tests only: forget the registered status handle.
void ResetServiceStatusForTesting();

}  // namespace hxt
