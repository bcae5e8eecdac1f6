// Platform seam for the service manager.
//
// Windows: StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerExW,
// SetServiceStatus, OpenSCManagerW/OpenServiceW/ControlService.
// Linux: the dispatcher blocks the control signals in every thread, runs the
// service's main function on a thread of its own and turns signals into
// control codes (SIGTERM, SIGINT → stop; SIGPWR → shutdown; SIGUSR1 → pause;
// SIGUSR2 → continue; SIGHUP → interrogate); status reports speak systemd's
// notify protocol and succeed silently outside systemd.
#pragma once

#include "common/hxttypes.h"

namespace hxt::platform {

using ServiceMainFunction = void (*)(u32 argc, char** argv);
using ServiceHandlerFunction = u32 (*)(u32 control, u32 eventType, void* eventData, void* context);
using ServiceStatusHandle = void*;

struct ServiceStatus {
  u32 serviceType;
  u32 currentState;
  u32 controlsAccepted;
  u32 win32ExitCode;
  u32 serviceSpecificExitCode;
  u32 checkPoint;
  u32 waitHint;
};

// Runs the service's main function and dispatches controls to the registered
// handler until it returns. False when the dispatcher cannot start (the
// reason in LastSystemError()).
bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain, u32 argc,
                                char** argv);
// Null on failure.
ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName, ServiceHandlerFunction handler,
                                               void* context);
bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// Asks the service manager to stop the service. 0, or the system error of
// the step named in `failedCall` ("OpenSCManager" or "OpenService").
u32 RequestServiceStop(const char* serviceName, const char*& failedCall);

// Removes the current directory from the library search path (no-op where
// the loader never searches it).
void HardenLibrarySearchPath();

[[noreturn]] void ExitProcess(int code);

// Makes a write to a peer that went away fail with an error instead of
// ending the process (no-op where the platform has no such signal).
void IgnoreBrokenPipe();

}  // namespace hxt::platform
