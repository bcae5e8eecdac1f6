// The listener host of one address family: a UDP and a TCP listener on the
// family's loopback address, driven by an I/O service of their own on a
// thread of their own.
//
// The orchestrator keeps at most one host per family, creates it when the
// family's redirection is activated and destroys it when it is deactivated
// or when the host's thread failed; a host is never restarted. Creation, the
// port query and destruction are serialised by the orchestrator's
// listenerMutex.
//
// Threads: the listeners' work all runs on the host's I/O thread.
// ProcessUdpDnsResponse and ProcessUdpRequestError are called from the thread
// on which the DNS plug-in answers; the first starts the send there, the
// second posts to the I/O thread.
//
// Lifetime: the I/O service and both listeners live in a core that the host
// shares with its I/O thread. Stopping waits a bounded time for the thread
// (the thread may be inside a call that waits for a lock its stopper holds;
// the orchestrator only tells hosts to stop under listenerMutex and waits for
// them after releasing it).
// If it has not ended when the host is destroyed, the thread keeps the core
// and frees it itself once its current handler has returned; nothing the
// thread can still touch is freed under it. Such a thread still calls the
// orchestrator, so the orchestrator waits for every host thread
// (WaitForAllThreads) before it lets go of what they call into.
#pragma once

#include <chrono>
#include <memory>

#include <boost/asio/io_service.hpp>
#include <boost/thread/thread.hpp>

#include "agent/velmoralistenercb.h"
#include "agent/velmoraredirectheader.h"
#include "agent/velmoraudplistener.h"
#include "common/hxttypes.h"

namespace hxt {

class CVelmoraTcpListener;

// How long the owner waits, at teardown, for host threads that were still
// busy when their hosts were destroyed.
constexpr std::chrono::milliseconds kListenerThreadsDrainTimeout = std::chrono::seconds(10);

// Fixed durations of a host; tests shorten them.
struct ListenerSettings {
  std::chrono::milliseconds stopWait = kListenerStopWait;
  std::chrono::milliseconds tcpReceiveTimeout = kTcpReceiveTimeout;
  std::chrono::milliseconds sentCloseWindow = kSentCloseWindow;
};

class CVelmoraListener {
 public:
  // `ok` is true only when both listeners were created and bound.
  CVelmoraListener(IVelmoraListenerCB* callback, u32 family, bool& ok,
                   const ListenerSettings& settings = ListenerSettings());
  // Stops the host; see Lifetime above.
  ~CVelmoraListener();
  CVelmoraListener(const CVelmoraListener&) = delete;
  CVelmoraListener& operator=(const CVelmoraListener&) = delete;

  // Starts the I/O thread (after a successful construction).
  void start();
  // Stops the I/O service (pending handlers are not run) and waits up to
  // settings.stopWait for the thread.
  void stop();
  // Only tells the I/O service to stop; the destructor waits for the thread.
  void requestStop();

  bool GetListenerPorts(u16& udpPort, u16& tcpPort);
  // Sends a complete response datagram (its first `size` bytes) to the
  // requester named by the request header's 28-byte requester address.
  void ProcessUdpDnsResponse(SharedBytes bytes, u32 size, const unsigned char* requesterAddress,
                             u32 contextId);
  // Sends a complete response datagram at once on the caller's thread if the
  // socket takes it without blocking (see CVelmoraUdpListener::TrySendDnsResponse).
  CVelmoraUdpListener::SendOutcome TrySendUdpDnsResponse(const unsigned char* bytes, u32 size,
                                                         const unsigned char* requesterAddress,
                                                         u32 contextId);
  // Schedules the UDP listener's failure handling for the context on the I/O
  // thread and returns at once.
  void ProcessUdpRequestError(u32 contextId);

  u32 Family() const { return family; }

  // Waits until every host thread of the process has ended, including those
  // left running by destroyed hosts. False when `timeout` passed first.
  static bool WaitForAllThreads(std::chrono::milliseconds timeout);
  // Host threads currently running.
  static unsigned RunningThreads();
  // Whether the calling thread is a host's I/O thread, and whether that
  // host is being stopped (its I/O service was told to stop). A plug-in may
  // answer on this thread from inside the request it was handed; an answer
  // that cannot get the orchestrator's lock because the holder is stopping
  // this very host must give up rather than wait for it.
  static bool OnHostThread();
  static bool HostThreadStopping();

  // Tests: the host's I/O service, to run work on the I/O thread.
  boost::asio::io_service& ioServiceForTesting();

 private:
  struct Core;
  static void ioListenerServiceThread(std::shared_ptr<Core> core, IVelmoraListenerCB* callback, u32 family);

  u32 family;
  std::unique_ptr<boost::thread> thread;
  std::shared_ptr<Core> core;
  IVelmoraListenerCB* callback;
  ListenerSettings settings;
};

}  // namespace hxt
