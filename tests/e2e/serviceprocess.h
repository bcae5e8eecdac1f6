// The hxtarrowagent process under test, and a systemd-style notify socket.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace hxt::test {

// A loopback TCP port that was free a moment ago.
unsigned short FreeLoopbackPort();

// Runs `binary` with `arguments` (shell words); its exit code and everything it printed.
std::pair<int, std::string> RunTool(const std::string& binary, const std::string& arguments);

class ServiceProcess {
 public:
  // Starts the agent with HXT_ROOT=`root`, standard error to `logPath`, the
  // IPC server on a free port (HXT_IPC_PORT) and the extra environment given.
  ServiceProcess(const std::string& root, const std::string& logPath,
                 const std::map<std::string, std::string>& environment = {});
  ~ServiceProcess();  // kills the process if it still runs
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  void Signal(int signo) const;
  // The exit code, or nothing when the process did not exit in time (or was killed by a signal).
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // What the process wrote to standard error so far.
  std::string Log() const;
  // Waits until the log holds `text`.
  bool WaitForLog(const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string logPath_;
};

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
