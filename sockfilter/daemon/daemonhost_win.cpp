// hxsockfilterd as a Windows service of its own ("hxsockfilterd"), built on
// the service-manager seam the agent uses (agent/servicecontrol.h).
//
// The NRPT rule is written once the stub listens and removed when the daemon
// stops, on --uninstall, and by the recovery command the SCM runs when the
// process dies (--recover, installed by --install): that command removes the
// rule at once and then starts the service again, at once after the first
// two failures and a minute later after any further one. The SCM passes the
// failure count (%1%); the rule is gone within moments of a crash whatever
// the count, and comes back only when a stub listens again.
#include <winsock2.h>

#include <windows.h>

#include "daemon/daemonhost.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>

#include "agent/service.h"
#include "agent/servicecontrol.h"
#include "common/applog.h"
#include "common/win/widestring.h"
#include "daemon/nrpt.h"
#include "daemon/sockfilterdaemon.h"

namespace hxt::sockfilter {

namespace {

constexpr const char* kDaemonService = "hxsockfilterd";
constexpr const wchar_t* kDisplayName = L"Truvane socket filter";
constexpr u32 kOwnProcess = SERVICE_WIN32_OWN_PROCESS;
constexpr u32 kWaitHintMs = 10000;
// Failures after which the restart waits, and how long.
constexpr unsigned long kImmediateRestarts = 2;
constexpr auto kLaterRestartDelay = std::chrono::minutes(1);
constexpr DWORD kFailureCountReset = 24 * 60 * 60;

// What the service's control handler reaches: set while the daemon runs.
std::mutex g_mutex;
boost::asio::io_context* g_io = nullptr;
std::function<void()> g_stop;
const SockFilterConfig* g_config = nullptr;
platform::ServiceStatusHandle g_status = nullptr;
std::atomic<int> g_exit{0};

void report(u32 state, u32 exitCode = 0) {
  if (g_status == nullptr) return;
  platform::ServiceStatus status{
      kOwnProcess,
      state,
      state == SERVICE_RUNNING ? static_cast<u32>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN) : 0u,
      exitCode,
      0,
      0,
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : kWaitHintMs};
  platform::SetServiceStatus(g_status, status);
}

void requestStop() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_io != nullptr && g_stop) boost::asio::post(*g_io, g_stop);
}

int runLoop(const SockFilterConfig& config, bool service) {
  boost::asio::io_context io;
  CSockFilterDaemon daemon(io, config);
  if (!daemon.Start()) return kExitSetup;
  bool steered = false;
  if (service) {
    std::string why;
    steered = WriteNrptRule(why);
    if (steered) {
      HXT_LOG(LOG_LEVEL_INFO, "hxsockfilterd: the NRPT rule sends every name to the stub");
    } else {
      HXT_LOG(LOG_LEVEL_ERROR, "hxsockfilterd: %s; the DNS client is not steered to the stub", why.c_str());
    }
  }
  auto stop = [&] {
    HXT_LOG(LOG_LEVEL_INFO, "hxsockfilterd: stopping");
    std::string why;
    // The rule goes first: a name asked meanwhile goes to the adapters'
    // servers instead of a stub that no longer answers.
    if (steered && !RemoveNrptRule(why)) HXT_LOG(LOG_LEVEL_ERROR, "hxsockfilterd: %s", why.c_str());
    daemon.Stop();
    io.stop();
  };
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_io = &io;
    g_stop = stop;
  }
  boost::asio::signal_set signals(io);
  if (!service) {
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
      if (!ec) stop();
    });
  }
  report(SERVICE_RUNNING);
  io.run();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_io = nullptr;
  g_stop = nullptr;
  return 0;
}

u32 handler(u32 control, u32, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report(SERVICE_STOP_PENDING);
      requestStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void serviceMain(u32, char**) {
  g_status = platform::RegisterServiceCtrlHandler(kDaemonService, &handler, nullptr);
  if (g_status == nullptr) return;
  report(SERVICE_START_PENDING);
  int code = runLoop(*g_config, true);
  g_exit = code;
  report(SERVICE_STOPPED, code == 0 ? 0 : ERROR_SERVICE_SPECIFIC_ERROR);
}

std::wstring ownPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ScHandle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

int failed(const char* what) {
  std::fprintf(stderr, "hxsockfilterd: %s failed [%lu]\n", what, ::GetLastError());
  return 1;
}

int setRecovery(SC_HANDLE service, const std::wstring& binary) {
  std::wstring command = binary + L" --recover %1%";
  SC_ACTION actions[] = {{SC_ACTION_RUN_COMMAND, 0}, {SC_ACTION_RUN_COMMAND, 0}, {SC_ACTION_RUN_COMMAND, 0}};
  SERVICE_FAILURE_ACTIONSW failure{kFailureCountReset, nullptr, command.data(), 3, actions};
  if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return failed("ChangeServiceConfig2 (recovery actions)");
  return 0;
}

int install() {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) return failed("OpenSCManager");
  const std::wstring binary = L"\"" + ownPath() + L"\"";
  ScHandle service(::CreateServiceW(manager.get(), L"hxsockfilterd", kDisplayName, SERVICE_ALL_ACCESS,
                                    SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.get() == nullptr && ::GetLastError() == ERROR_SERVICE_EXISTS) {
    // A repair or a reinstall over a registered service (the installer runs
    // this command on each): the same registration, this binary's path.
    ScHandle existing(::OpenServiceW(manager.get(), L"hxsockfilterd", SERVICE_ALL_ACCESS));
    if (existing.get() == nullptr) return failed("OpenService");
    if (!::ChangeServiceConfigW(existing.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr, nullptr,
                                nullptr, kDisplayName))
      return failed("ChangeServiceConfig");
    return setRecovery(existing.get(), binary);
  }
  if (service.get() == nullptr) return failed("CreateService");
  return setRecovery(service.get(), binary);
}

int uninstall() {
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (manager.get() == nullptr) return failed("OpenSCManager");
  ScHandle service(::OpenServiceW(manager.get(), L"hxsockfilterd", SERVICE_ALL_ACCESS));
  int code = 0;
  if (service.get() != nullptr) {
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (!::DeleteService(service.get())) code = failed("DeleteService");
  }
  std::string why;
  if (!RemoveNrptRule(why)) {
    std::fprintf(stderr, "hxsockfilterd: %s\n", why.c_str());
    code = 1;
  }
  return code;
}

int recover(unsigned long failures) {
  std::string why;
  int code = 0;
  if (!RemoveNrptRule(why)) {
    std::fprintf(stderr, "hxsockfilterd: %s\n", why.c_str());
    code = 1;
  }
  if (failures > kImmediateRestarts) std::this_thread::sleep_for(kLaterRestartDelay);
  ScHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return failed("OpenSCManager");
  ScHandle service(::OpenServiceW(manager.get(), L"hxsockfilterd", SERVICE_START));
  if (service.get() == nullptr) return failed("OpenService");
  if (!::StartServiceW(service.get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return failed("StartService");
  return code;
}

}  // namespace

bool HostCommand(int argc, char** argv, int& code) {
  if (argc < 2) return false;
  const std::string command = argv[1];
  if (command == "--install") {
    code = install();
  } else if (command == "--uninstall") {
    code = uninstall();
  } else if (command == "--recover") {
    code = recover(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
  } else if (command == "--remove-nrpt") {
    std::string why;
    code = RemoveNrptRule(why) ? 0 : 1;
    if (code != 0) std::fprintf(stderr, "hxsockfilterd: %s\n", why.c_str());
  } else {
    return false;
  }
  return true;
}

int RunDaemon(const SockFilterConfig& config) {
  g_config = &config;
  if (platform::StartServiceCtrlDispatcher(kDaemonService, &serviceMain, 0, nullptr)) return g_exit;
  // Started from a console, not by the SCM: the same daemon in the
  // foreground, leaving the DNS client as it is.
  if (::GetLastError() != ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
    return failed("StartServiceCtrlDispatcher");
  return runLoop(config, false);
}

}  // namespace hxt::sockfilter
