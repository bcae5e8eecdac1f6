// The service manager on Windows: the control dispatcher, the control handler
// registration and status reports, and the stop request TerminateService
// sends to the manager about its own service.
//
// The system calls the service's main function with wide-character
// arguments and the handler with its own types; two small trampolines turn
// those into the portable signatures of servicecontrol.h.
#include <winsock2.h>

#include <windows.h>

#include "agent/service.h"
#include "agent/servicecontrol.h"

#include <atomic>
#include <cwchar>
#include <string>
#include <vector>

#include "common/win/widestring.h"

namespace hxt::platform {

namespace {

std::atomic<ServiceMainFunction> g_serviceMain{nullptr};
std::atomic<ServiceHandlerFunction> g_handler{nullptr};

void WINAPI serviceMainTrampoline(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> arguments;
  for (DWORD i = 0; i < argc; ++i) arguments.push_back(WideToUtf8(argv[i], std::wcslen(argv[i])));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  g_serviceMain.load()(static_cast<u32>(argc), pointers.data());
}

DWORD WINAPI handlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  ServiceHandlerFunction handler = g_handler.load();
  return handler != nullptr ? handler(control, eventType, eventData, context) : ERROR_CALL_NOT_IMPLEMENTED;
}

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

}  // namespace

// The process's own arguments are not the service's: the manager passes
// those of the start request to the service's main function.
bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain, u32, char**) {
  if (serviceName == nullptr || serviceMain == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  g_serviceMain = serviceMain;
  std::wstring name = Utf8ToWide(serviceName);
  SERVICE_TABLE_ENTRYW table[] = {{name.data(), &serviceMainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName, ServiceHandlerFunction handler,
                                               void* context) {
  if (serviceName == nullptr || handler == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  g_handler = handler;
  return ::RegisterServiceCtrlHandlerExW(Utf8ToWide(serviceName).c_str(), &handlerTrampoline, context);
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS record{status.serviceType,
                        status.currentState,
                        status.controlsAccepted,
                        status.win32ExitCode,
                        status.serviceSpecificExitCode,
                        status.checkPoint,
                        status.waitHint};
  return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record) != FALSE;
}

u32 RequestServiceStop(const char* serviceName, const char*& failedCall) {
  failedCall = "OpenSCManager";
  ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) return ::GetLastError();
  failedCall = "OpenService";
  ServiceHandle service(::OpenServiceW(manager.get(), Utf8ToWide(serviceName).c_str(), SERVICE_ALL_ACCESS));
  if (service.get() == nullptr) return ::GetLastError();
  // The process ends right after this; whether the manager took the request
  // shows in the service's state, not here.
  failedCall = nullptr;
  SERVICE_STATUS answer{};
  ::ControlService(service.get(), SERVICE_CONTROL_STOP, &answer);
  return 0;
}

void HardenLibrarySearchPath() {
  ::SetDllDirectoryW(L"");
}

void IgnoreBrokenPipe() {}

void ExitProcess(int code) {
  ::ExitProcess(static_cast<UINT>(code));
}

}  // namespace hxt::platform
