#include "agent/service.h"

#include <mutex>

#include "agent/servicecontrol.h"
#include "agent/velmoramainthread.h"
#include "common/applog.h"
#include "common/eventlog.h"
#include "common/minidump.h"

namespace hxt {

namespace {

// The status record and its handle are shared by the service thread and the
// dispatcher's thread.
std::mutex& statusMutex() {
  static std::mutex m;
  return m;
}
platform::ServiceStatusHandle g_statusHandle = nullptr;
platform::ServiceStatus g_status = {kServiceWin32OwnProcess, SERVICE_STOPPED, 0, 0, 0, 0, 0};

}  // namespace

void ResetServiceStatusForTesting() {
  std::lock_guard<std::mutex> lock(statusMutex());
  g_statusHandle = nullptr;
}

int ServiceProcessMain(u32 argc, char** argv) {
  // Before any thread exists, so that every thread inherits it: a write to a
  // peer that went away fails with an error instead of ending the process.
  platform::IgnoreBrokenPipe();
  if (!CAppLog::createSingletonInstance()) {
    platform::OutputDebugString("Failed to instance logger");
    return kExitFailure;
  }
  static CExceptionHandlerEx crashHandler;
  crashHandler.InstallGlobalExceptionHandler();
  platform::HardenLibrarySearchPath();

  int result = kExitOk;
  if (!platform::StartServiceCtrlDispatcher(kServiceName, &ServiceMain, argc, argv)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(platform::LastSystemError()), true,
                 "StartServiceCtrlDispatcher", "WinMain", nullptr);
    result = kExitNoDispatcher;
  }
  CAppLog::releaseInstance();
  return result;
}

void ServiceMain(u32, char**) {
  PrepareThreadForCrashDumps();  // the orchestrator's loop runs on this thread
  platform::ServiceStatusHandle handle =
      platform::RegisterServiceCtrlHandler(kServiceName, &ServiceControlHandler, nullptr);
  if (handle == nullptr) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(platform::LastSystemError()), true,
                 "RegisterServiceCtrlHandler", "ServiceMain", nullptr);
  } else {
    {
      std::lock_guard<std::mutex> lock(statusMutex());
      g_statusHandle = handle;
      g_status.serviceType = kServiceWin32OwnProcess;
      g_status.serviceSpecificExitCode = 0;
    }
    if (!ReportStatusToSCMgr(SERVICE_START_PENDING, 1, kStartWaitHintMs)) {
      HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(platform::LastSystemError()), true,
                   "ReportStatusToSCMgr (start pending)", "ServiceMain", nullptr);
    } else if (!ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0)) {
      HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(platform::LastSystemError()), true,
                   "ReportStatusToSCMgr (running)", "ServiceMain", nullptr);
    } else if (!CVelmoraMainThread::createSingletonInstance(MainThreadSettings::FromEnvironment())) {
      HXT_LOGF(LOG_LEVEL_ERROR, "ServiceMain", "CVelmoraMainThread::createSingletonInstance failed");
    } else if (!CVelmoraMainThread::instance()->Run()) {
      HXT_LOGF(LOG_LEVEL_ERROR, "ServiceMain", "CVelmoraMainThread::Run failed");
    }
  }
  CVelmoraMainThread::releaseInstance();
  ReportStatusToSCMgr(SERVICE_STOPPED, 0, 0);
}

u32 ServiceControlHandler(u32 control, u32, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      HXT_LOG(LOG_LEVEL_INFO, "ServiceControl: SERVICE_CONTROL STOP/SHUTDOWN received");
      ReportStatusToSCMgr(SERVICE_STOP_PENDING, 1, kStopWaitHintMs);
      // Without an orchestrator yet the request is remembered and carried
      // out as soon as it exists.
      CVelmoraMainThread::requestShutdownOfInstance();
      return 0;
    case SERVICE_CONTROL_PAUSE:
      HXT_LOG(LOG_LEVEL_INFO, "ServiceControl: SERVICE_CONTROL_PAUSE received");
      return 0;
    case SERVICE_CONTROL_CONTINUE:
      HXT_LOG(LOG_LEVEL_INFO, "ServiceControl: SERVICE_CONTROL_CONTINUE received");
      ReportStatusToSCMgr(SERVICE_RUNNING, 0, 0);
      return 0;
    case SERVICE_CONTROL_INTERROGATE:
      return 0;
    default:
      return kErrorCallNotImplemented;
  }
}

bool ReportStatusToSCMgr(u32 state, u32 checkPoint, u32 waitHint) {
  bool failed = false;
  {
    std::lock_guard<std::mutex> lock(statusMutex());
    if (g_statusHandle == nullptr) {
      HXT_LOG(LOG_LEVEL_ERROR, "Service handle invalid:  %d, %d, %d, %d", static_cast<int>(state), 0,
              static_cast<int>(checkPoint), static_cast<int>(waitHint));
      return false;
    }
    g_status.currentState = state;
    g_status.controlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedControls;
    g_status.win32ExitCode = 0;
    g_status.checkPoint = checkPoint;
    g_status.waitHint = waitHint;
    if (!platform::SetServiceStatus(g_statusHandle, g_status)) {
      HXT_LOG(LOG_LEVEL_ERROR, "SetServiceStatus failed, Error: %d, %d, %d, %d", static_cast<int>(state), 0,
              static_cast<int>(checkPoint), static_cast<int>(waitHint));
      failed = true;
    }
  }
  if (failed) TerminateService();
  return true;
}

void TerminateService() {
  HXT_LOG(LOG_LEVEL_INFO, "exitcode = %d", kExitFailure);
  CVelmoraMainThread::requestShutdownOfInstance();
  const char* failedCall = nullptr;
  if (u32 error = platform::RequestServiceStop(kServiceName, failedCall)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(error), true, failedCall ? failedCall : "ControlService",
                 "TerminateService", nullptr);
  }
  platform::ExitProcess(kExitFailure);
}

}  // namespace hxt
