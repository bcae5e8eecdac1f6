// The hxtarrowagent process under test, and a systemd-style notify socket.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/hxttypes.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt::test {

// A port free for UDP and TCP on both loopbacks a moment ago.
u16 FreePort();

// Runs `binary` with `arguments` (shell words); its exit code and everything it printed.
std::pair<int, std::string> RunTool(const std::string& binary, const std::string& arguments);

// What a shell command printed, standard error included, without trailing blanks.
std::string Output(const std::string& command);

// A process under test: the test's environment without systemd's variables,
// plus HXT_LOG=stderr and `environment`; its output in `logPath`.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& logPath,
               const std::map<std::string, std::string>& environment);
  ~ChildProcess();  // kills the process if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signo) const { ::kill(pid_, signo); }
  // The exit code, or nothing when the process did not exit in time (or was killed by a signal).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::string Log() const { return ReadFile(logPath_); }
  bool WaitForLog(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string logPath_;
};

// The agent with HXT_ROOT=`root`, the IPC server on a free port (HXT_IPC_PORT)
// unless `environment` names one.
class ServiceProcess : public ChildProcess {
 public:
  ServiceProcess(const std::string& root, const std::string& logPath,
                 const std::map<std::string, std::string>& environment = {});
};

// Makes `root` one the agent starts in: the runtime recorded present, a machine id, and the plug-in `modules`
// installed; with `profile`, an empty organization profile too.
inline void PrepareAgentRoot(const TestRoot& root, const std::vector<std::string>& modules,
                             bool profile = true) {
  root.WriteRegistry(TestRoot::DotNetPresentEntry());
  root.WriteMachineId("0123456789abcdef0123456789abcdef\n");
  if (profile) root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}");
  for (const auto& module : modules) InstallPlugin(module, root.PluginsPath());
}

// A datagram socket that receives sd_notify messages.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path);
  ~NotifySocket();
  const std::string& path() const { return path_; }
  // The next message, or nothing after `timeout`.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Reads messages until one contains `text`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace hxt::test
