// The service manager on Windows: the control dispatcher, the control handler
// registration and status reports, and the stop request TerminateService
// sends to the manager about its own service.
//
// The system calls the service's main function with wide-character
// arguments and the handler with its own types; two small trampolines turn
// those into the portable signatures of servicecontrol.h.
#include "agent/servicecontrol.h"

#include <atomic>
#include <string>
#include <vector>

namespace hxt::platform {

namespace {

std::atomic<ServiceMainFunction> g_serviceMain{nullptr};
std::atomic<ServiceHandlerFunction> g_handler{nullptr};

std::wstring widen(const char* text) {
  int size = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
  wide.resize(static_cast<std::size_t>(size - 1));
  return wide;
}

std::string narrow(const wchar_t* text) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(size - 1));
  return utf8;
}

void WINAPI serviceMainTrampoline(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> arguments;
  for (DWORD i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i]));
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
  std::wstring name = widen(serviceName);
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
  return ::RegisterServiceCtrlHandlerExW(widen(serviceName).c_str(), &handlerTrampoline, context);
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
  ServiceHandle service(::OpenServiceW(manager.get(), widen(serviceName).c_str(), SERVICE_ALL_ACCESS));
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
