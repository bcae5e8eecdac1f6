// The service manager on Linux: signals in, systemd notifications out.
//
// The control signals are blocked before the service thread exists, so every
// thread inherits the mask and only the dispatcher receives them, through a
// signalfd. One eventfd tells the dispatcher that the service's main function
// returned, another that the control handler was registered: controls that
// arrive before the handler exists are queued and delivered then, as a
// service manager would.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "agent/service.h"
#include "agent/servicecontrol.h"
#include "common/servicemanager.h"

namespace hxt::platform {

namespace {

std::atomic<ServiceHandlerFunction> g_handler{nullptr};
std::atomic<void*> g_handlerContext{nullptr};
std::atomic<int> g_registeredFd{-1};
int g_handleToken = 0;  // its address is the (opaque, non-null) status handle

u32 controlForSignal(int signo) {
  switch (signo) {
    case SIGTERM:
    case SIGINT:
      return SERVICE_CONTROL_STOP;
    case SIGPWR:
      return SERVICE_CONTROL_SHUTDOWN;
    case SIGUSR1:
      return SERVICE_CONTROL_PAUSE;
    case SIGUSR2:
      return SERVICE_CONTROL_CONTINUE;
    default:
      return SERVICE_CONTROL_INTERROGATE;
  }
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool StartServiceCtrlDispatcher(const char* serviceName, ServiceMainFunction serviceMain, u32 argc,
                                char** argv) {
  if (serviceName == nullptr || serviceMain == nullptr) {
    errno = EINVAL;
    return false;
  }
  sigset_t controls;
  sigemptyset(&controls);
  for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGPWR}) sigaddset(&controls, signo);
  if (int err = ::pthread_sigmask(SIG_BLOCK, &controls, nullptr)) {
    errno = err;
    return false;
  }
  FileDescriptor signals(::signalfd(-1, &controls, SFD_CLOEXEC));
  FileDescriptor finished(::eventfd(0, EFD_CLOEXEC));
  FileDescriptor registered(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (signals.get() < 0 || finished.get() < 0 || registered.get() < 0) return false;
  g_registeredFd = registered.get();

  std::thread service([&] {
    serviceMain(argc, argv);
    std::uint64_t one = 1;
    while (::write(finished.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  });

  std::vector<u32> queued;
  auto deliver = [&] {
    ServiceHandlerFunction handler = g_handler.load();
    if (handler == nullptr) return;
    for (u32 control : queued) handler(control, 0, nullptr, g_handlerContext.load());
    queued.clear();
  };
  pollfd fds[3] = {{signals.get(), POLLIN, 0}, {finished.get(), POLLIN, 0}, {registered.get(), POLLIN, 0}};
  while (true) {
    int n = ::poll(fds, 3, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // cannot wait any longer: let the service end on its own
    }
    if (fds[1].revents != 0) break;
    if (fds[2].revents & POLLIN) {
      std::uint64_t count = 0;
      while (::read(registered.get(), &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signals.get(), &info, sizeof info) == sizeof info) {
        queued.push_back(controlForSignal(static_cast<int>(info.ssi_signo)));
      }
    }
    deliver();
  }
  service.join();
  g_registeredFd = -1;
  return true;
}

ServiceStatusHandle RegisterServiceCtrlHandler(const char* serviceName, ServiceHandlerFunction handler,
                                               void* context) {
  if (serviceName == nullptr || handler == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  g_handlerContext = context;
  g_handler = handler;
  int fd = g_registeredFd.load();
  if (fd >= 0) {
    std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  return &g_handleToken;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle != &g_handleToken) {
    errno = EINVAL;
    return false;
  }
  std::string message;
  switch (status.currentState) {
    case SERVICE_START_PENDING:
      message = "STATUS=Starting";
      break;
    case SERVICE_RUNNING:
      message = "READY=1\nSTATUS=Running";
      break;
    case SERVICE_STOP_PENDING:
      message = "STOPPING=1\nEXTEND_TIMEOUT_USEC=" +
                std::to_string(static_cast<std::uint64_t>(status.waitHint) * 1000) + "\nSTATUS=Stopping";
      break;
    case SERVICE_STOPPED:
      message = "STATUS=Stopped";
      break;
    default:
      message = "STATUS=State " + std::to_string(status.currentState);
      break;
  }
  // Without NOTIFY_SOCKET (not under systemd) there is nothing to tell.
  return NotifyServiceManager(message);
}

u32 RequestServiceStop(const char*, const char*& failedCall) {
  // Under systemd the exit code that follows is the request: the unit fails
  // and the unit's Restart= setting brings the service back. Say why first.
  failedCall = nullptr;
  NotifyServiceManager("STOPPING=1\nSTATUS=Terminating: the service status could not be reported");
  return 0;
}

void HardenLibrarySearchPath() {}

void IgnoreBrokenPipe() {
  ::signal(SIGPIPE, SIG_IGN);
}

void ExitProcess(int code) {
  // Other threads still run: skip static destructors that could pull their
  // objects away.
  std::_Exit(code);
}

}  // namespace hxt::platform
