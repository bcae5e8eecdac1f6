// hxsockfilterd as a process under test, and the DNS client side of the
// end-to-end tests (dig, free ports).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "common/hxttypes.h"
#include "fakes/testroot.h"

namespace hxt::test {

// The daemon's process, its standard error in a file in the root.
class DaemonProcess {
 public:
  DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                const std::string& notifySocket = "");
  ~DaemonProcess();  // kills the process if it still runs
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  void Signal(int signo) const;
  std::optional<int> WaitForExit();
  std::string Log() const;
  bool WaitForLog(const std::string& text) const;

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// A port free for UDP and TCP on both loopbacks at the time of asking; 0 when none was found.
u16 FreePort();

// dig's short answer for `name` and `type` ("" when it got none).
std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp = false,
                const std::string& type = "A");

}  // namespace hxt::test
