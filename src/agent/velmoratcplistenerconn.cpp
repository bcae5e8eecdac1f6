#include "agent/velmoratcplistenerconn.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kCreate = "CVelmoraTcpListenerConnection::Create";
constexpr const char* kHandleReceived = "CVelmoraTcpListenerConnection::handleReceived";
constexpr const char* kHandleReceiveTimeout = "CVelmoraTcpListenerConnection::handleReceiveTimeout";
constexpr const char* kParseReceivedData = "CVelmoraTcpListenerConnection::parseReceivedData";
constexpr const char* kProcessResponseFragment = "CVelmoraTcpListenerConnection::ProcessResponseFragment";
constexpr const char* kHandleResponseSent = "CVelmoraTcpListenerConnection::handleResponseSent";
constexpr const char* kHandleRequestProcessingError =
    "CVelmoraTcpListenerConnection::handleRequestProcessingError";

}  // namespace

std::shared_ptr<CVelmoraTcpListenerConnection> CVelmoraTcpListenerConnection::Create(
    IVelmoraListenerCB* callback, boost::asio::io_service& ioService,
    std::chrono::milliseconds receiveTimeout) {
  if (callback == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kCreate, "bad callback interface");
    return nullptr;
  }
  return std::make_shared<CVelmoraTcpListenerConnection>(PrivateTag{}, callback, ioService, receiveTimeout);
}

CVelmoraTcpListenerConnection::CVelmoraTcpListenerConnection(PrivateTag, IVelmoraListenerCB* callbackIn,
                                                             boost::asio::io_service& ioServiceIn,
                                                             std::chrono::milliseconds receiveTimeoutIn)
    : callback(callbackIn),
      verbose(IsVerboseLogging(LoggerHandle())),
      ioService(ioServiceIn),
      socket(std::in_place, ioServiceIn),
      receiveBuffer(kMaxTcpReadSize),
      receiveTimer(std::in_place, ioServiceIn),
      receiveTimeout(receiveTimeoutIn) {}

CVelmoraTcpListenerConnection::~CVelmoraTcpListenerConnection() = default;

void CVelmoraTcpListenerConnection::startReceive() {
  std::lock_guard<std::mutex> guard(lock);
  if (!socketOpen()) return;
  auto self = shared_from_this();
  receiveTimer->expires_after(receiveTimeout);
  receiveTimer->async_wait(
      [self](const boost::system::error_code& error) { self->handleReceiveTimeout(error); });
  socket->async_read_some(boost::asio::buffer(receiveBuffer),
                          [self](const boost::system::error_code& error, std::size_t bytes) {
                            self->handleReceived(error, bytes);
                          });
}

void CVelmoraTcpListenerConnection::closeSocket() {
  boost::system::error_code ignored;
  socket->shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  socket->close(ignored);
}

void CVelmoraTcpListenerConnection::handleReceived(const boost::system::error_code& error,
                                                   std::size_t bytes) {
  {
    std::lock_guard<std::mutex> guard(lock);
    if (receiveTimer) receiveTimer->cancel();
  }
  if (error) {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kHandleReceived, "receive error [%d-%s], ctx %u", error.value(),
               error.message().c_str(), contextId());
    {
      std::lock_guard<std::mutex> guard(lock);
      if (socket) closeSocket();
    }
    // Outside the connection's lock: a plug-in answering with its own locks
    // held takes this lock in Response, and its CloseSession may take those.
    if (firstFragmentHandled && !sessionClosed.exchange(true)) callback->CloseSession(contextId());
    return;
  }
  if (bytes > kMaxTcpReadSize) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "received %lu bytes (max expected - %lu), ignoring data",
             static_cast<unsigned long>(bytes), static_cast<unsigned long>(kMaxTcpReadSize));
    startReceive();
    return;
  }
  if (verbose)
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandleReceived, "received %lu bytes", static_cast<unsigned long>(bytes));
  const unsigned char* first = receiveBuffer.data();
  const unsigned char* last = first + (bytes == 0 ? 0 : bytes - 1);
  const unsigned char* start = nullptr;
  std::size_t size = 0;
  bool more = bytes > 0;
  while (more) {
    if (!parseReceivedData(first, last, start, size, more)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "Failed to parse received data, ignoring");
      break;
    }
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kHandleReceived, "Successfully parsed payload of size %lu, %s to be parsed",
               static_cast<unsigned long>(size),
               more ? "at least another payload still" : "no other payload");
    if (firstFragmentHandled) {
      if (!callback->OnRequestTcpFragmentAvailable(start, static_cast<u32>(size), contextId())) {
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "OnRequestFragmentAvailable failed");
        return;
      }
    } else {
      // The orchestrator may answer on another thread before this call
      // returns; the id is published as soon as it is known.
      u32 id = 0;
      bool handed =
          callback->OnFirstRequestTcpFragmentAvailable(start, static_cast<u32>(size), shared_from_this(), id);
      contextIdValue.store(id);
      firstFragmentHandled = true;
      if (!handed) {
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "OnFirstRequestFragmentAvailable failed");
        return;
      }
    }
  }
  startReceive();
}

bool CVelmoraTcpListenerConnection::parseReceivedData(const unsigned char* first, const unsigned char* last,
                                                      const unsigned char*& start, std::size_t& size,
                                                      bool& more) {
  more = false;
  if (start == nullptr) {
    start = first;
  } else {
    const unsigned char* next = start + size;
    if (next <= first || next >= last) {
      HXT_LOGF(LOG_LEVEL_ERROR, kParseReceivedData, "Payload start out of bounds");
      return false;
    }
    start = next;
  }
  std::size_t remaining = static_cast<std::size_t>(last - start) + 1;
  if (remaining < kMinRedirectedMessageSize) {
    HXT_LOGF(LOG_LEVEL_ERROR, kParseReceivedData,
             "Insufficient remaining buffer (%lu bytes, expected at least %lu)",
             static_cast<unsigned long>(remaining), static_cast<unsigned long>(kMinRedirectedMessageSize));
    return false;
  }
  std::size_t message = kRedirectHeaderSize + PayloadLength(start);
  if (remaining < message) {
    HXT_LOGF(LOG_LEVEL_ERROR, kParseReceivedData,
             "Insufficient remaining buffer (%lu bytes, expected at least %lu)",
             static_cast<unsigned long>(remaining), static_cast<unsigned long>(message));
    return false;
  }
  size = message;
  more = remaining > message;
  return true;
}

void CVelmoraTcpListenerConnection::handleReceiveTimeout(const boost::system::error_code& error) {
  if (error == boost::asio::error::operation_aborted) return;
  std::lock_guard<std::mutex> guard(lock);
  // A wait that expired while a read completed is stale: the read re-armed
  // the timer with a later expiry.
  if (!receiveTimer || receiveTimer->expiry() > boost::asio::steady_timer::clock_type::now()) return;
  if (!socketOpen()) return;
  HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceiveTimeout, "receive timed out");
  boost::system::error_code ignored;
  socket->cancel(ignored);
}

void CVelmoraTcpListenerConnection::ProcessResponseFragment(SharedBytes bytes, u32 size) {
  std::lock_guard<std::mutex> guard(lock);
  if (!socketOpen()) {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kProcessResponseFragment, "TCP socket is closed [ctx %u]", contextId());
    return;
  }
  if (bytes && size > 0 && size <= bytes->size()) {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kProcessResponseFragment,
               "Sending to KDF TCP DNS response fragment of size %lu", static_cast<unsigned long>(size));
    pendingWrites.emplace_back(std::move(bytes), size);
    if (pendingWrites.size() == 1) startWrite();
    return;
  }
  // The end of the exchange. Answers still being written go out first; the
  // cancelled read then closes the connection and its session.
  if (!pendingWrites.empty()) {
    closeAfterWrites = true;
    return;
  }
  boost::system::error_code ignored;
  socket->cancel(ignored);
}

void CVelmoraTcpListenerConnection::startWrite() {
  const auto& [bytes, size] = pendingWrites.front();
  boost::asio::async_write(
      *socket, boost::asio::buffer(bytes->data(), size),
      [self = shared_from_this(), keep = bytes](const boost::system::error_code& error, std::size_t written) {
        self->handleResponseSent(error, written);
      });
}

void CVelmoraTcpListenerConnection::handleResponseSent(const boost::system::error_code& error,
                                                       std::size_t bytes) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleResponseSent, "Failed to sent TCP DNS response fragment to KDF [%d-%s]",
             error.value(), error.message().c_str());
  } else {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kHandleResponseSent, "Sent TCP DNS response fragment of size %lu to KDF",
               static_cast<unsigned long>(bytes));
  }
  std::lock_guard<std::mutex> guard(lock);
  if (!pendingWrites.empty()) pendingWrites.pop_front();
  if (!socketOpen()) {
    pendingWrites.clear();
    return;
  }
  if (!pendingWrites.empty()) {
    startWrite();
  } else if (closeAfterWrites) {
    boost::system::error_code ignored;
    socket->cancel(ignored);
  }
}

void CVelmoraTcpListenerConnection::handleRequestProcessingError() {
  if (verbose)
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandleRequestProcessingError,
             "Handling TCP request processing failure [ctx %u]", contextId());
  {
    std::lock_guard<std::mutex> guard(lock);
    if (socketOpen()) {
      closeSocket();
    } else {
      if (verbose) HXT_LOGF(LOG_LEVEL_DEBUG, kHandleRequestProcessingError, "TCP socket is already closed");
    }
  }
  // Outside the connection's lock, as in handleReceived.
  if (!sessionClosed.exchange(true)) callback->CloseSession(contextId());
}

bool CVelmoraTcpListenerConnection::PostRequestProcessingError() {
  std::lock_guard<std::mutex> guard(lock);
  if (!socket) return false;
  boost::asio::post(ioService, [self = shared_from_this()] { self->handleRequestProcessingError(); });
  return true;
}

void CVelmoraTcpListenerConnection::detachFromIoService() {
  std::lock_guard<std::mutex> guard(lock);
  if (socket) {
    boost::system::error_code ignored;
    socket->close(ignored);
  }
  socket.reset();
  receiveTimer.reset();
  pendingWrites.clear();
}

}  // namespace hxt
