// hxtsvcrecovery.exe SERVICE: gives the agent's service its recovery actions
// and its unrestricted service SID. The installer runs it right after it
// registered the service: Windows Installer's ServiceInstall has neither, and
// wixl, which builds our installer, has no element for the tables that would
// carry them.
// The service is restarted 5 s after each of its first three failures in a
// day; `sc qfailure SERVICE` shows them. The SID type puts the service's own
// SID (NT SERVICE\SERVICE) into its token, which is how hxsockfilterd's
// control pipe admits the agent; `sc qsidtype SERVICE` shows it. Exit code 0,
// or the failing call's system error.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>

#include "common/win/widestring.h"

namespace {

constexpr DWORD kRestartDelayMs = 5000;  // as the Linux unit's RestartSec
constexpr DWORD kResetPeriodS = 24 * 60 * 60;

int fail(const char* call) {
  DWORD error = ::GetLastError();
  std::fprintf(stderr, "hxtsvcrecovery: %s failed with error %lu\n", call, static_cast<unsigned long>(error));
  return error != 0 ? static_cast<int>(error) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hxtsvcrecovery SERVICE\n");
    return 2;
  }
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return fail("OpenSCManagerW");
  // A restart action needs the right to start the service as well.
  SC_HANDLE service = ::OpenServiceW(manager, hxt::platform::Utf8ToWide(argv[1]).c_str(),
                                     SERVICE_CHANGE_CONFIG | SERVICE_START);
  int result = 0;
  if (service == nullptr) {
    result = fail("OpenServiceW");
  } else {
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs},
                            {SC_ACTION_RESTART, kRestartDelayMs}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = kResetPeriodS;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    SERVICE_SID_INFO sid{SERVICE_SID_TYPE_UNRESTRICTED};
    if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
      result = fail("ChangeServiceConfig2W (recovery actions)");
    } else if (!::ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
      // Every Windows since Vista knows the level; Wine's service manager
      // does not (and puts no service SIDs into tokens either), so there the
      // step is reported and passed over rather than failing the install.
      if (::GetLastError() == ERROR_INVALID_LEVEL) {
        std::fprintf(stderr, "hxtsvcrecovery: this service manager has no service SID types; none set\n");
      } else {
        result = fail("ChangeServiceConfig2W (service SID type)");
      }
    }
    ::CloseServiceHandle(service);
  }
  ::CloseServiceHandle(manager);
  return result;
}
