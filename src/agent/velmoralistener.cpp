#include "agent/velmoralistener.h"

#include <condition_variable>
#include <exception>
#include <mutex>

#include <boost/asio/post.hpp>
#include <boost/chrono.hpp>

#include "agent/velmoratcplistener.h"
#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kConstructor = "CVelmoraListener::CVelmoraListener";
constexpr const char* kDestructor = "CVelmoraListener::~CVelmoraListener";
constexpr const char* kStop = "CVelmoraListener::stop";
constexpr const char* kThread = "CVelmoraListener::ioListenerServiceThread";
constexpr const char* kGetListenerPorts = "CVelmoraListener::GetListenerPorts";
constexpr const char* kProcessUdpDnsResponse = "CVelmoraListener::ProcessUdpDnsResponse";

// Every host thread of the process, counted from start until its last step.
struct ThreadCount {
  std::mutex mutex;
  std::condition_variable ended;
  unsigned running = 0;
};

ThreadCount& threadCount() {
  static ThreadCount count;
  return count;
}

// The I/O service of the host whose thread this is; null on other threads.
thread_local const boost::asio::io_service* tHostService = nullptr;

}  // namespace

// What the I/O thread works on. Members are destroyed in reverse order: the
// TCP listener, the UDP listener, then the I/O service they use.
struct CVelmoraListener::Core {
  boost::asio::io_service ioService;
  std::unique_ptr<CVelmoraUdpListener> udpListener;
  std::unique_ptr<CVelmoraTcpListener> tcpListener;
};

CVelmoraListener::CVelmoraListener(IVelmoraListenerCB* callbackIn, u32 familyIn, bool& ok,
                                   const ListenerSettings& settingsIn)
    : family(familyIn), core(std::make_shared<Core>()), callback(callbackIn), settings(settingsIn) {
  ok = false;
  if (callback == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid callback interface parameter");
    return;
  }
  if (family != kAddressFamilyIPv4 && family != kAddressFamilyIPv6) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid address family parameter");
    return;
  }
  bool created = false;
  core->udpListener = std::make_unique<CVelmoraUdpListener>(callback, core->ioService, family, created,
                                                            settings.sentCloseWindow);
  if (!created) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "CVelmoraUdpListener failure");
    return;
  }
  core->tcpListener = std::make_unique<CVelmoraTcpListener>(callback, core->ioService, family, created,
                                                            settings.tcpReceiveTimeout);
  if (!created) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "CVelmoraTcpListener failure");
    return;
  }
  ok = true;
}

CVelmoraListener::~CVelmoraListener() {
  stop();
  if (thread && thread->joinable()) {
    // The thread is still inside a handler. It keeps the core and frees it
    // when it ends; only the handle goes.
    HXT_LOGF(LOG_LEVEL_WARNING, kDestructor,
             "ioListenerService thread still running, it releases the listeners");
    thread->detach();
  }
  core.reset();
  thread.reset();
}

bool CVelmoraListener::OnHostThread() {
  return tHostService != nullptr;
}

bool CVelmoraListener::HostThreadStopping() {
  return tHostService != nullptr && tHostService->stopped();
}

void CVelmoraListener::start() {
  if (thread && thread->joinable()) thread->detach();
  {
    std::lock_guard<std::mutex> lock(threadCount().mutex);
    ++threadCount().running;
  }
  try {
    // The thread object keeps its function until the thread is reaped; the
    // core moves out of it so that the thread's last step really releases it.
    thread = std::make_unique<boost::thread>([core = core, callback = callback, family = family]() mutable {
      ioListenerServiceThread(std::move(core), callback, family);
    });
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraListener::start", "thread creation failed - %s", e.what());
    std::lock_guard<std::mutex> lock(threadCount().mutex);
    --threadCount().running;
    threadCount().ended.notify_all();
  }
}

void CVelmoraListener::ioListenerServiceThread(std::shared_ptr<Core> core, IVelmoraListenerCB* callback,
                                               u32 family) {
  HXT_LOGF(LOG_LEVEL_INFO, kThread, "ioListenerServiceThread running...");
  tHostService = &core->ioService;
  try {
    core->ioService.run();
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, kThread, "ioListenerService run exception - %s", e.what());
    callback->OnListenerException(family);
  } catch (...) {
    HXT_LOGF(LOG_LEVEL_ERROR, kThread, "ioListenerService run exception - %s", "unknown exception");
    callback->OnListenerException(family);
  }
  HXT_LOGF(LOG_LEVEL_INFO, kThread, "ioListenerService run complete");
  // When the host is gone already, the listeners and the service end here.
  tHostService = nullptr;
  core.reset();
  std::lock_guard<std::mutex> lock(threadCount().mutex);
  --threadCount().running;
  threadCount().ended.notify_all();
}

void CVelmoraListener::requestStop() {
  core->ioService.stop();
}

void CVelmoraListener::stop() {
  core->ioService.stop();
  if (thread && thread->joinable()) {
    if (thread->get_id() == boost::this_thread::get_id()) {
      // Stopped from one of its own handlers: the thread ends when the
      // handler returns; it cannot wait for itself.
      thread->detach();
    } else if (!thread->try_join_for(boost::chrono::milliseconds(settings.stopWait.count()))) {
      HXT_LOGF(LOG_LEVEL_ERROR, kStop, "Failed to stop ioListenerService thread");
      return;
    }
  }
  HXT_LOGF(LOG_LEVEL_INFO, kStop, "Successfully stopped ioListenerService thread");
}

bool CVelmoraListener::GetListenerPorts(u16& udpPort, u16& tcpPort) {
  udpPort = 0;
  tcpPort = 0;
  if (!core->udpListener || !core->tcpListener) {
    HXT_LOGF(LOG_LEVEL_ERROR, kGetListenerPorts, "At least one listener is not initialized.");
    return false;
  }
  udpPort = core->udpListener->LocalPort();
  tcpPort = core->tcpListener->LocalPort();
  return true;
}

void CVelmoraListener::ProcessUdpDnsResponse(SharedBytes bytes, u32 size,
                                             const unsigned char* requesterAddress, u32 contextId) {
  if (!bytes || size == 0 || requesterAddress == nullptr || SocketAddressFamily(requesterAddress) != family ||
      !core->udpListener) {
    HXT_LOGF(LOG_LEVEL_ERROR, kProcessUdpDnsResponse, "At least one argument is invalid");
    return;
  }
  core->udpListener->ProcessDnsResponse(std::move(bytes), size, requesterAddress, contextId);
}

CVelmoraUdpListener::SendOutcome CVelmoraListener::TrySendUdpDnsResponse(
    const unsigned char* bytes, u32 size, const unsigned char* requesterAddress, u32 contextId) {
  if (bytes == nullptr || size == 0 || requesterAddress == nullptr ||
      SocketAddressFamily(requesterAddress) != family || !core->udpListener) {
    HXT_LOGF(LOG_LEVEL_ERROR, kProcessUdpDnsResponse, "At least one argument is invalid");
    return CVelmoraUdpListener::SendOutcome::Dropped;
  }
  return core->udpListener->TrySendDnsResponse(bytes, size, requesterAddress, contextId);
}

void CVelmoraListener::ProcessUdpRequestError(u32 contextId) {
  if (!core->udpListener) return;
  boost::asio::post(core->ioService, [listener = core->udpListener.get(), contextId] {
    listener->handleRequestProcessingError(contextId);
  });
}

bool CVelmoraListener::WaitForAllThreads(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(threadCount().mutex);
  return threadCount().ended.wait_for(lock, timeout, [] { return threadCount().running == 0; });
}

unsigned CVelmoraListener::RunningThreads() {
  std::lock_guard<std::mutex> lock(threadCount().mutex);
  return threadCount().running;
}

boost::asio::io_service& CVelmoraListener::ioServiceForTesting() {
  return core->ioService;
}

}  // namespace hxt
