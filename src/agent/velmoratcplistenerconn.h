// One redirected DNS-over-TCP connection from the socket filter.
//
// The filter writes messages framed by the redirection header; every read
// (at most 65535 bytes) must hold whole messages and is parsed on its own.
// The first message opens the request's context and plug-in session through
// the orchestrator; later messages are further fragments of the same request.
// The plug-in's answers go back unframed, one write per answer, in the order
// they were given; a zero-length answer ends the connection.
//
// Ownership: shared. The pending read, the idle timer, pending writes and the
// orchestrator's request context each hold a reference. The connection's
// socket and timer belong to the listener host's I/O service, which may be
// destroyed while the orchestrator still holds the connection: before that
// happens the host calls detachFromIoService, after which the connection
// refuses all I/O ("socket is closed") and can be released from any thread.
//
// Threads: reading, parsing, the hand-over to the orchestrator, the timer and
// handleRequestProcessingError run on the host's I/O thread. The plug-in's
// thread calls ProcessResponseFragment and PostRequestProcessingError. The
// connection's `lock` guards the socket between them; it is never held while
// the orchestrator is called: a plug-in may answer (and so take this lock)
// with its own locks held, and its CloseSession may take those locks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "agent/velmoralistenercb.h"
#include "agent/velmoraredirectheader.h"
#include "agent/velmoraudplistener.h"
#include "common/hxttypes.h"

namespace hxt {

class CVelmoraTcpListenerConnection : public std::enable_shared_from_this<CVelmoraTcpListenerConnection> {
  struct PrivateTag {};

 public:
  // Null when `callback` is null (logged).
  static std::shared_ptr<CVelmoraTcpListenerConnection> Create(
      IVelmoraListenerCB* callback, boost::asio::io_service& ioService,
      std::chrono::milliseconds receiveTimeout = kTcpReceiveTimeout);

  CVelmoraTcpListenerConnection(PrivateTag, IVelmoraListenerCB* callback, boost::asio::io_service& ioService,
                                std::chrono::milliseconds receiveTimeout);
  ~CVelmoraTcpListenerConnection();
  CVelmoraTcpListenerConnection(const CVelmoraTcpListenerConnection&) = delete;
  CVelmoraTcpListenerConnection& operator=(const CVelmoraTcpListenerConnection&) = delete;

  // I/O thread, before the connection is shared: the socket to accept into.
  boost::asio::ip::tcp::socket& acceptSocket() { return *socket; }
  // I/O thread: arms the idle timer and starts one read.
  void startReceive();

  // Any thread: writes the first `size` bytes of `bytes` to the filter, or,
  // for a null or empty answer, ends the connection once earlier answers are out.
  void ProcessResponseFragment(SharedBytes bytes, u32 size);
  // I/O thread: the request failed; closes the socket and the session.
  void handleRequestProcessingError();
  // Any thread: schedules handleRequestProcessingError on the connection's
  // I/O service. False when the connection's host is gone.
  bool PostRequestProcessingError();
  // The host, before its I/O service is destroyed (its thread has ended):
  // closes and frees the socket and the timer.
  void detachFromIoService();

  u32 contextId() const { return contextIdValue.load(); }

  // Finds the next message of a read spanning [first, last] (both inclusive).
  // On the first call `start` is null; on later calls `start` and `size` are
  // the previous message, and the next one begins right after it. Returns
  // the message in `start`/`size`, with `more` set when bytes follow it.
  static bool parseReceivedData(const unsigned char* first, const unsigned char* last,
                                const unsigned char*& start, std::size_t& size, bool& more);

 private:
  void handleReceived(const boost::system::error_code& error, std::size_t bytes);
  void handleReceiveTimeout(const boost::system::error_code& error);
  void handleResponseSent(const boost::system::error_code& error, std::size_t bytes);
  // Expect `lock` held.
  void startWrite();
  bool socketOpen() const { return socket && socket->is_open(); }
  void closeSocket();

  IVelmoraListenerCB* callback;
  // Read once: debug lines, and the texts they format, cost nothing when off.
  bool verbose;
  boost::asio::io_service& ioService;
  std::optional<boost::asio::ip::tcp::socket> socket;
  std::mutex lock;
  std::vector<unsigned char> receiveBuffer;
  bool firstFragmentHandled = false;
  // The session ends once: a processing error closes the socket, and the
  // read it aborts ends as well.
  std::atomic<bool> sessionClosed{false};
  std::optional<boost::asio::steady_timer> receiveTimer;
  std::chrono::milliseconds receiveTimeout;
  std::atomic<u32> contextIdValue{0};
  // Answers waiting for the write in progress (the front one is being written).
  std::deque<std::pair<SharedBytes, u32>> pendingWrites;
  bool closeAfterWrites = false;
};

}  // namespace hxt
