// One accepted connection of the user interface.
//
// The connection pushes framed payloads to the UI and watches its socket for
// closure; it never interprets what the UI sends (each byte read is discarded
// with a warning). Its pending operations own it through shared pointers, so it
// lives until the manager's map has dropped it and the last completion has run.
//
// Threads: everything, `Start`, `SendPayload` and `Close` included, runs on the
// thread of the I/O service that owns the socket. The callback (the manager)
// must outlive every completion that runs; completions still queued when the
// manager goes are destroyed with the I/O service without running.
//
// Frames leave strictly one after another: a send that completes partially is
// continued before the next frame starts, so frames never interleave on the
// stream. Each frame has its own send deadline, counted from the moment it was
// handed to `SendPayload`; a UI that stops reading has its connection closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "agent/velmoraipcconcb.h"
#include "common/apidata.h"
#include "common/hxttypes.h"

namespace hxt {

constexpr std::chrono::milliseconds kIpcSendTimeout{1000};

class CVelmoraIpcConnection : public std::enable_shared_from_this<CVelmoraIpcConnection> {
 public:
  CVelmoraIpcConnection(IVelmoraIpcConCB* callback, boost::asio::io_service& ioService, u32 connectionNumber,
                        std::chrono::milliseconds sendTimeout = kIpcSendTimeout);
  virtual ~CVelmoraIpcConnection();

  CVelmoraIpcConnection(const CVelmoraIpcConnection&) = delete;
  CVelmoraIpcConnection& operator=(const CVelmoraIpcConnection&) = delete;

  // The socket the manager accepts into.
  boost::asio::ip::tcp::socket& Socket() { return socket_; }
  u32 Number() const { return connectionNumber_; }

  // Arms the read that detects closure, then sends the status and the
  // statistics documents, so a new UI has both at once.
  void Start();
  // Frames and sends the current document of `type`; an empty document is skipped.
  void SendPayload(PayloadType type);
  // Closes the socket; outstanding operations complete with an error.
  void Close();

 private:
  // One frame on its way out, with its own deadline.
  struct PendingFrame {
    PendingFrame(boost::asio::io_service& ioService, PayloadType frameType, std::vector<unsigned char> bytes);
    PayloadType type;
    std::vector<unsigned char> frame;
    boost::asio::steady_timer timer;
    std::size_t sent = 0;
    bool finished = false;
  };
  using PendingFramePtr = std::shared_ptr<PendingFrame>;

  // `frame` stays empty when the document is empty.
  bool buildPayload(PayloadType type, std::vector<unsigned char>& frame);
  void startReceive();
  void writeFront();
  void handleSent(const PendingFramePtr& pending, const boost::system::error_code& error,
                  std::size_t bytesSent);
  void handleSendTimeout(const PendingFramePtr& pending, const boost::system::error_code& error);
  void handleReceived(const boost::system::error_code& error, std::size_t bytesReceived);
  // Frames queued behind a failed send can no longer go out; each is reported
  // as failed like the send in front of it.
  void abandonQueuedFrames();

  IVelmoraIpcConCB* callback_;
  boost::asio::ip::tcp::socket socket_;
  unsigned char receiveBuffer_[1];
  u32 connectionNumber_;
  boost::asio::io_service& ioService_;
  std::chrono::milliseconds sendTimeout_;
  std::deque<PendingFramePtr> sendQueue_;  // front: the frame being written
  bool closed_ = false;                    // Close ran: no write starts any more
};

}  // namespace hxt
