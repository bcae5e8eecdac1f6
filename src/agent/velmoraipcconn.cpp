#include "agent/velmoraipcconn.h"

#include <string>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/applog.h"
#include "common/ipcframe.h"

namespace hxt {

CVelmoraIpcConnection::PendingFrame::PendingFrame(boost::asio::io_service& ioService, PayloadType frameType,
                                                  std::vector<unsigned char> bytes)
    : type(frameType), frame(std::move(bytes)), timer(ioService) {}

CVelmoraIpcConnection::CVelmoraIpcConnection(IVelmoraIpcConCB* callback, boost::asio::io_service& ioService,
                                             u32 connectionNumber, std::chrono::milliseconds sendTimeout)
    : callback_(callback),
      socket_(ioService),
      receiveBuffer_{0},
      connectionNumber_(connectionNumber),
      ioService_(ioService),
      sendTimeout_(sendTimeout) {}

CVelmoraIpcConnection::~CVelmoraIpcConnection() = default;

void CVelmoraIpcConnection::Start() {
  startReceive();
  SendPayload(PAYLOAD_TYPE_STATUS);
  SendPayload(PAYLOAD_TYPE_STATS);
}

void CVelmoraIpcConnection::Close() {
  closed_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

bool CVelmoraIpcConnection::buildPayload(PayloadType type, std::vector<unsigned char>& frame) {
  frame.clear();
  std::string json;
  if (!callback_->GetJsonPayload(type, json)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcConnection::buildPayload", "Failed to retrieve JSON %s payload",
             PayloadTypeName(type));
    return false;
  }
  if (json.empty()) {
    HXT_LOGF(LOG_LEVEL_DEBUG, "CVelmoraIpcConnection::buildPayload", "Retrieved empty JSON %s payload",
             PayloadTypeName(type));
    return true;
  }
  return BuildIpcFrame(type, json, frame);
}

void CVelmoraIpcConnection::SendPayload(PayloadType type) {
  // A closed connection only waits for its pending completions to report the
  // closure; a send started now would fail on a descriptor that is gone.
  if (closed_) return;
  std::vector<unsigned char> frame;
  if (!buildPayload(type, frame)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcConnection::SendPayload", "Failed to build %s payload",
             PayloadTypeName(type));
    return;
  }
  if (frame.empty()) {
    HXT_LOGF(LOG_LEVEL_DEBUG, "CVelmoraIpcConnection::SendPayload", "Skip sending empty %s payload to API",
             PayloadTypeName(type));
    return;
  }
  {
    LoggerHandle logger;
    if (IsVerboseLogging(logger)) {
      const std::string dump = HexDump(frame.data(), static_cast<u32>(frame.size()));
      LogFunction(logger, LOG_LEVEL_DEBUG, SourceBaseName(__FILE__), __LINE__,
                  "CVelmoraIpcConnection::SendPayload", "Sending to API %s payload of size %lu\n%s",
                  PayloadTypeName(type), static_cast<unsigned long>(frame.size()), dump.c_str());
    }
  }

  auto pending = std::make_shared<PendingFrame>(ioService_, type, std::move(frame));
  auto self = shared_from_this();
  pending->timer.expires_after(sendTimeout_);
  pending->timer.async_wait(
      [self, pending](const boost::system::error_code& error) { self->handleSendTimeout(pending, error); });
  sendQueue_.push_back(pending);
  if (sendQueue_.size() == 1) writeFront();
}

void CVelmoraIpcConnection::writeFront() {
  PendingFramePtr pending = sendQueue_.front();
  auto self = shared_from_this();
  if (closed_) {
    // Queued behind a send that succeeded just before the close: it fails
    // as the writes in flight did, through the same completion.
    boost::asio::post(
        ioService_, [self, pending] { self->handleSent(pending, boost::asio::error::operation_aborted, 0); });
    return;
  }
  // A large frame goes out in several writes; each next one is started here
  // only while the connection is open (asio's composed async_write would
  // start it on a descriptor the send time-out has just closed).
  socket_.async_write_some(
      boost::asio::buffer(pending->frame.data() + pending->sent, pending->frame.size() - pending->sent),
      [self, pending](boost::system::error_code error, std::size_t bytesSent) {
        pending->sent += bytesSent;
        if (!error && pending->sent < pending->frame.size()) {
          if (!self->closed_) return self->writeFront();
          error = boost::asio::error::operation_aborted;
        }
        self->handleSent(pending, error, pending->sent);
      });
}

void CVelmoraIpcConnection::handleSent(const PendingFramePtr& pending, const boost::system::error_code& error,
                                       std::size_t bytesSent) {
  pending->finished = true;
  pending->timer.cancel();
  if (!sendQueue_.empty() && sendQueue_.front() == pending) sendQueue_.pop_front();
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcConnection::handleSent", "Failed to sent %s payload to API [%d-%s]",
             PayloadTypeName(pending->type), error.value(), error.message().c_str());
    Close();
    callback_->OnConnectionClose(connectionNumber_);
    abandonQueuedFrames();
    return;
  }
  HXT_LOGF(LOG_LEVEL_DEBUG, "CVelmoraIpcConnection::handleSent", "Sent %s payload of size %lu to API",
           PayloadTypeName(pending->type), static_cast<unsigned long>(bytesSent));
  if (!sendQueue_.empty()) writeFront();
}

void CVelmoraIpcConnection::abandonQueuedFrames() {
  std::deque<PendingFramePtr> abandoned;
  abandoned.swap(sendQueue_);
  for (const auto& pending : abandoned) {
    handleSent(pending, boost::asio::error::operation_aborted, 0);
  }
}

void CVelmoraIpcConnection::handleSendTimeout(const PendingFramePtr& pending,
                                              const boost::system::error_code& error) {
  // The deadline may already have been queued when the send completed; the
  // flag tells a finished send from a late one.
  if (error == boost::asio::error::operation_aborted || pending->finished) return;
  HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraIpcConnection::handleSendTimeout", "send timed out");
  // The write in progress now fails and handleSent reports the closure.
  Close();
}

void CVelmoraIpcConnection::startReceive() {
  auto self = shared_from_this();
  socket_.async_read_some(boost::asio::buffer(receiveBuffer_),
                          [self](const boost::system::error_code& error, std::size_t bytesReceived) {
                            self->handleReceived(error, bytesReceived);
                          });
}

void CVelmoraIpcConnection::handleReceived(const boost::system::error_code& error,
                                           std::size_t bytesReceived) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_DEBUG, "CVelmoraIpcConnection::handleReceived", "receive error [%d-%s]", error.value(),
             error.message().c_str());
    Close();
    callback_->OnConnectionClose(connectionNumber_);
    return;
  }
  HXT_LOGF(LOG_LEVEL_WARNING, "CVelmoraIpcConnection::handleReceived", "received %lu bytes, ignoring data",
           static_cast<unsigned long>(bytesReceived));
  startReceive();
}

}  // namespace hxt
