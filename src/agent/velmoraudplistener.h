// Receives the DNS datagrams the socket filter redirects for one address
// family, checks their framing and hands each to the orchestrator; sends the
// plug-in's answers back to the filter on the same socket.
//
// Owned by its listener host (CVelmoraListener), which creates it before the
// host's I/O thread exists and destroys it after that thread ended. The
// socket is bound to the family's loopback address on a port the system
// chooses, so the port is known as soon as construction succeeded.
//
// Threads: the receive loop, the send completions and
// handleRequestProcessingError run on the host's I/O thread. ProcessDnsResponse
// and TrySendDnsResponse are called on the thread that delivered the plug-in's
// answer: the first only starts an asynchronous send there, the second sends
// at once with a non-blocking system call on the socket's descriptor, which
// needs no serialisation. Asio sockets are not safe for concurrent use, so
// starting a receive and starting a send are serialised by `socketMutex`; the
// mutex is never held while the callback runs.
//
// Whichever way an answer went out, the callback's CloseSession for it runs on
// the I/O thread, never on the thread that answered: a plug-in may hold its
// own locks while it answers and take them again when its session closes.
// Sessions of answers sent on other threads are queued (`closeMutex`,
// innermost) and closed in batches: by the I/O thread's next pass over
// received datagrams when one comes soon, else by a timer that pass armed,
// else by a wake-up of their own. A session outlives its sent answer by at
// most its window (kSentCloseWindow).
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "agent/velmoralistenercb.h"
#include "agent/velmoraredirectheader.h"
#include "common/hxttypes.h"

namespace hxt {

// A response datagram shared between its builder and the send that carries it.
using SharedBytes = std::shared_ptr<const std::vector<unsigned char>>;

class CVelmoraUdpListener {
 public:
  // `ok` is true when the socket is bound and its first receive is queued
  // (it runs once the I/O service runs).
  CVelmoraUdpListener(IVelmoraListenerCB* callback, boost::asio::io_service& ioService, u32 family, bool& ok,
                      std::chrono::milliseconds sentCloseWindow = kSentCloseWindow);
  ~CVelmoraUdpListener();
  CVelmoraUdpListener(const CVelmoraUdpListener&) = delete;
  CVelmoraUdpListener& operator=(const CVelmoraUdpListener&) = delete;

  // Sends the first `size` bytes of `bytes` (a complete response datagram) to
  // the filter at the loopback address and the port of `requesterAddress`
  // (the request header's 28-byte requester socket address). The session of
  // `contextId` is closed once the send completed, successfully or not.
  void ProcessDnsResponse(SharedBytes bytes, u32 size, const unsigned char* requesterAddress, u32 contextId);
  enum class SendOutcome {
    Sent,        // the send finished (successfully or not, logged); the session is closed on the I/O thread
    WouldBlock,  // nothing was sent: hand the datagram to ProcessDnsResponse
    Dropped,     // invalid arguments, logged; nothing to close
  };
  // Sends the datagram at once on the caller's thread without blocking. This
  // spares the I/O thread a wake-up per answer: the send is done when this
  // returns, and the session of `contextId` is queued to be closed on the I/O
  // thread, so it still ends only after its answer went out.
  SendOutcome TrySendDnsResponse(const unsigned char* bytes, u32 size, const unsigned char* requesterAddress,
                                 u32 contextId);
  // I/O thread: the orchestrator could not hand the request on; closes its session.
  void handleRequestProcessingError(u32 contextId);

  // The bound port, 0 when unknown.
  u16 LocalPort() const;

 private:
  void startReceive();
  void handleReceived(const boost::system::error_code& error, std::size_t bytes);
  // True when the request was handed to the orchestrator.
  bool handleDatagram(const boost::system::error_code& error, std::size_t bytes);
  // Reads what else is queued on the socket without blocking; false when
  // nothing was.
  bool receiveQueued(boost::system::error_code& error, std::size_t& bytes);
  bool checkResponse(const unsigned char* bytes, u32 size, const unsigned char* requesterAddress) const;
  void logResponseSent(u32 contextId, const boost::system::error_code& error, std::size_t bytes);
  void handleResponseSent(u32 contextId, const boost::system::error_code& error, std::size_t bytes);
  // Queues the session of an answer sent on another thread; closeSent (I/O
  // thread) closes every queued one.
  void scheduleClose(u32 contextId);
  void closeSent();
  // I/O thread: requests of this pass went to another thread for their
  // answers; their sessions are closed within sentCloseWindow.
  void armCloseTimer();

  IVelmoraListenerCB* callback;
  u32 family;
  // Read once: debug lines, and the texts they format, cost nothing when off.
  bool verbose;
  boost::asio::ip::udp::socket socket;
  std::mutex socketMutex;
  boost::asio::ip::udp::endpoint senderEndpoint;
  std::array<unsigned char, kMaxUdpDatagramSize> receiveBuffer{};
  std::mutex closeMutex;
  std::vector<u32> sentToClose;  // guarded by closeMutex
  bool closePosted = false;      // guarded by closeMutex: a closeSent is on its way
  bool closeTimerArmed = false;  // guarded by closeMutex: closeTimer will run closeSent
  boost::asio::io_service& ioService;
  const std::chrono::milliseconds sentCloseWindow;
  boost::asio::steady_timer closeTimer;  // I/O thread only
  unsigned answeredOnIoThread = 0;       // I/O thread only: answers given inside this pass's requests
  std::vector<u32> closing;      // I/O thread only; kept to reuse its storage
};

}  // namespace hxt
