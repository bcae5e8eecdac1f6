#include "agent/velmoraudplistener.h"

#ifndef _WIN32
#include <sys/socket.h>
#endif

#include <cerrno>
#include <cstring>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/address_v6.hpp>
#include <boost/asio/post.hpp>

#include "agent/velmorakdfpluginmgr.h"
#include "common/applog.h"
#include "common/singleton.h"

namespace hxt {

namespace {

constexpr const char* kConstructor = "CVelmoraUdpListener::CVelmoraUdpListener";
constexpr const char* kHandleReceived = "CVelmoraUdpListener::handleReceived";
constexpr const char* kProcessDnsResponse = "CVelmoraUdpListener::ProcessDnsResponse";
constexpr const char* kHandleResponseSent = "CVelmoraUdpListener::handleResponseSent";
constexpr const char* kHandleRequestProcessingError = "CVelmoraUdpListener::handleRequestProcessingError";

// Asks the system for a datagram's real length even when it did not fit the
// buffer, so that oversized datagrams are recognised instead of being seen
// truncated. Where the flag does not exist the length check catches them.
#ifdef MSG_TRUNC
constexpr boost::asio::socket_base::message_flags kReceiveFlags = MSG_TRUNC;
#else
constexpr boost::asio::socket_base::message_flags kReceiveFlags = 0;
#endif

// Datagrams read in one turn of the receive loop before the reactor runs again.
constexpr unsigned kMaxDatagramsPerWakeUp = 32;

u32 readLittleEndian32(const unsigned char* p) {
  return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
         (static_cast<u32>(p[3]) << 24);
}

// Where the filter waits for the answer to a request: its loopback address
// at the requester's port. For IPv6 the flow label and scope id travel along.
boost::asio::ip::udp::endpoint responseDestination(const unsigned char* requesterAddress, u32 family) {
  u16 port = SocketAddressPort(requesterAddress);
  if (family == kAddressFamilyIPv4) {
    return boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(), port);
  }
  u32 scopeId = readLittleEndian32(requesterAddress + 24);
  boost::asio::ip::udp::endpoint destination(
      boost::asio::ip::address_v6(boost::asio::ip::address_v6::loopback().to_bytes(), scopeId), port);
  // sin6_flowinfo is kept in network order in both layouts: copy it as is.
  auto* native = reinterpret_cast<sockaddr_in6*>(destination.data());
  std::memcpy(&native->sin6_flowinfo, requesterAddress + 4, sizeof(native->sin6_flowinfo));
  return destination;
}

}  // namespace

CVelmoraUdpListener::CVelmoraUdpListener(IVelmoraListenerCB* callbackIn, boost::asio::io_service& ioService,
                                         u32 familyIn, bool& ok, std::chrono::milliseconds sentCloseWindowIn)
    : callback(callbackIn),
      family(familyIn),
      verbose(IsVerboseLogging(LoggerHandle())),
      socket(ioService),
      ioService(ioService),
      sentCloseWindow(sentCloseWindowIn),
      closeTimer(ioService) {
  ok = false;
  if (callback == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid callback interface");
    return;
  }
  if (family != kAddressFamilyIPv4 && family != kAddressFamilyIPv6) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "Invalid address family parameter");
    return;
  }
  // Answers go back through the filter; without its manager nobody could
  // have told the filter where this listener is.
  if (CSingletonSlot<CVelmoraKdfPluginMgr>::Peek() == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "KDF plugin manager not initialized");
    return;
  }
  bool v4 = family == kAddressFamilyIPv4;
  boost::system::error_code error;
  socket.open(v4 ? boost::asio::ip::udp::v4() : boost::asio::ip::udp::v6(), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "socket open failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  socket.set_option(boost::asio::socket_base::reuse_address(false), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "socket set_option failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  boost::asio::ip::address loopback = v4 ? boost::asio::ip::address(boost::asio::ip::address_v4::loopback())
                                         : boost::asio::ip::address(boost::asio::ip::address_v6::loopback());
  socket.bind(boost::asio::ip::udp::endpoint(loopback, 0), error);
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kConstructor, "socket bind failure [%d-%s]", error.value(),
             error.message().c_str());
    return;
  }
  startReceive();
  ok = true;
}

CVelmoraUdpListener::~CVelmoraUdpListener() {
  std::lock_guard<std::mutex> lock(socketMutex);
  boost::system::error_code ignored;
  socket.close(ignored);
}

u16 CVelmoraUdpListener::LocalPort() const {
  boost::system::error_code error;
  auto endpoint = socket.local_endpoint(error);
  return error ? 0 : endpoint.port();
}

void CVelmoraUdpListener::startReceive() {
  std::lock_guard<std::mutex> lock(socketMutex);
  // A socket closed under a running service would fail every receive at once;
  // re-arming it would only spin.
  if (!socket.is_open()) return;
  socket.async_receive_from(
      boost::asio::buffer(receiveBuffer), senderEndpoint, kReceiveFlags,
      [this](const boost::system::error_code& error, std::size_t bytes) { handleReceived(error, bytes); });
}

void CVelmoraUdpListener::handleReceived(const boost::system::error_code& error, std::size_t bytes) {
  answeredOnIoThread = 0;
  unsigned handed = handleDatagram(error, bytes) ? 1 : 0;
  // Under load more datagrams are already queued: reading them here spares a
  // pass through the reactor for each. The cap gives the TCP listener, which
  // shares this thread, its turn.
  if (!error) {
    boost::system::error_code next;
    std::size_t size = 0;
    for (unsigned i = 0; i < kMaxDatagramsPerWakeUp && receiveQueued(next, size); ++i) {
      if (handleDatagram(next, size)) ++handed;
      if (next) break;
    }
  }
  // Answers given inside the requests just handed on are closed now, before
  // the next wait, rather than by a handler of their own; so are those sent
  // on other threads since the last pass.
  closeSent();
#ifdef MSG_DONTWAIT
  // Only answers that TrySendDnsResponse sent wait to be closed; without it
  // every answer is closed by its own send's completion.
  if (handed > answeredOnIoThread) armCloseTimer();
#else
  (void)handed;
#endif
  startReceive();
}

bool CVelmoraUdpListener::receiveQueued(boost::system::error_code& error, std::size_t& bytes) {
#ifndef MSG_DONTWAIT
  // Without a per-call non-blocking flag every datagram comes through the
  // reactor, as it did before the drain.
  (void)error;
  (void)bytes;
  return false;
#else
  for (;;) {
    socklen_t length = static_cast<socklen_t>(senderEndpoint.capacity());
    ssize_t received = ::recvfrom(socket.native_handle(), receiveBuffer.data(), receiveBuffer.size(),
                                  MSG_DONTWAIT | kReceiveFlags, senderEndpoint.data(), &length);
    if (received >= 0) {
      senderEndpoint.resize(length);
      error.clear();
      bytes = static_cast<std::size_t>(received);
      return true;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    error.assign(errno, boost::system::system_category());
    bytes = 0;
    return true;
  }
#endif
}

bool CVelmoraUdpListener::handleDatagram(const boost::system::error_code& error, std::size_t bytes) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "receive error [%d-%s]", error.value(),
             error.message().c_str());
  } else if (bytes > kMaxUdpDatagramSize) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "received %lu bytes (max expected - %lu), ignoring data",
             static_cast<unsigned long>(bytes), static_cast<unsigned long>(kMaxUdpDatagramSize));
  } else {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kHandleReceived, "received %lu bytes from [%s]:%u",
               static_cast<unsigned long>(bytes), senderEndpoint.address().to_string().c_str(),
               static_cast<unsigned>(senderEndpoint.port()));
    if (bytes < kMinRedirectedMessageSize) {
      HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "Malformed received payload (expected at least %lu)",
               static_cast<unsigned long>(kMinRedirectedMessageSize));
    } else if (std::size_t expected = kRedirectHeaderSize + PayloadLength(receiveBuffer.data());
               bytes != expected) {
      HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "Malformed received payload (expected %lu)",
               static_cast<unsigned long>(expected));
    } else if (!callback->OnUdpRequestAvailable(receiveBuffer.data(), static_cast<u32>(bytes))) {
      HXT_LOGF(LOG_LEVEL_ERROR, kHandleReceived, "OnUdpRequestAvailable failed");
    } else {
      return true;
    }
  }
  return false;
}

bool CVelmoraUdpListener::checkResponse(const unsigned char* bytes, u32 size,
                                        const unsigned char* requesterAddress) const {
  if (bytes != nullptr && size != 0 && requesterAddress != nullptr &&
      SocketAddressFamily(requesterAddress) == family)
    return true;
  HXT_LOGF(LOG_LEVEL_ERROR, kProcessDnsResponse, "at least one argument is invalid");
  return false;
}

CVelmoraUdpListener::SendOutcome CVelmoraUdpListener::TrySendDnsResponse(
    const unsigned char* bytes, u32 size, const unsigned char* requesterAddress, u32 contextId) {
  if (!checkResponse(bytes, size, requesterAddress)) return SendOutcome::Dropped;
#ifndef MSG_DONTWAIT
  // No per-call non-blocking send here: the answer takes the asynchronous
  // path on the I/O thread.
  (void)contextId;
  return SendOutcome::WouldBlock;
#else
  boost::asio::ip::udp::endpoint destination = responseDestination(requesterAddress, family);
  boost::system::error_code error;
  ssize_t sent = 0;
  for (;;) {
    sent = ::sendto(socket.native_handle(), bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL, destination.data(),
                    static_cast<socklen_t>(destination.size()));
    if (sent >= 0 || errno != EINTR) break;
  }
  if (sent < 0) {
    // A full send buffer: ProcessDnsResponse then waits for room, and logs
    // that it sends, on the I/O thread.
    if (errno == EAGAIN || errno == EWOULDBLOCK) return SendOutcome::WouldBlock;
    error.assign(errno, boost::system::system_category());
  }
  if (verbose)
    HXT_LOGF(LOG_LEVEL_DEBUG, kProcessDnsResponse,
             "Sending to KDF UDP DNS response of size %lu to %s:%u [ctx %u]",
             static_cast<unsigned long>(size), destination.address().to_string().c_str(),
             static_cast<unsigned>(destination.port()), contextId);
  logResponseSent(contextId, error, sent < 0 ? 0 : static_cast<std::size_t>(sent));
  scheduleClose(contextId);
  return SendOutcome::Sent;
#endif
}

void CVelmoraUdpListener::scheduleClose(u32 contextId) {
  // An answer given inside Send is closed at the end of its pass.
  const bool onIoThread = ioService.get_executor().running_in_this_thread();
  if (onIoThread) ++answeredOnIoThread;
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(closeMutex);
    sentToClose.push_back(contextId);
    post = !closePosted && !closeTimerArmed;
    closePosted = closePosted || post;
  }
  // Without a timer on its way: one wake-up of the I/O thread for all the
  // answers sent until it runs (none when this is that thread).
  if (post) boost::asio::post(socket.get_executor(), [this] { closeSent(); });
}

void CVelmoraUdpListener::armCloseTimer() {
  {
    std::lock_guard<std::mutex> lock(closeMutex);
    if (closeTimerArmed) return;
    closeTimerArmed = true;
  }
  closeTimer.expires_after(sentCloseWindow);
  closeTimer.async_wait([this](const boost::system::error_code& error) {
    // Aborted only when the listener is being destroyed.
    if (error == boost::asio::error::operation_aborted) return;
    {
      std::lock_guard<std::mutex> lock(closeMutex);
      closeTimerArmed = false;
    }
    closeSent();
  });
}

void CVelmoraUdpListener::closeSent() {
  {
    std::lock_guard<std::mutex> lock(closeMutex);
    closing.swap(sentToClose);
    closePosted = false;
  }
  for (u32 contextId : closing) callback->CloseSession(contextId);
  closing.clear();
}

void CVelmoraUdpListener::ProcessDnsResponse(SharedBytes bytes, u32 size,
                                             const unsigned char* requesterAddress, u32 contextId) {
  if (!checkResponse(bytes ? bytes->data() : nullptr, bytes && size <= bytes->size() ? size : 0,
                     requesterAddress))
    return;
  boost::asio::ip::udp::endpoint destination = responseDestination(requesterAddress, family);
  if (verbose)
    HXT_LOGF(LOG_LEVEL_DEBUG, kProcessDnsResponse,
             "Sending to KDF UDP DNS response of size %lu to %s:%u [ctx %u]",
             static_cast<unsigned long>(size), destination.address().to_string().c_str(),
             static_cast<unsigned>(destination.port()), contextId);
  std::lock_guard<std::mutex> lock(socketMutex);
  auto buffer = boost::asio::buffer(bytes->data(), size);
  socket.async_send_to(
      buffer, destination,
      [this, contextId, keep = std::move(bytes)](const boost::system::error_code& error, std::size_t sent) {
        handleResponseSent(contextId, error, sent);
      });
}

void CVelmoraUdpListener::handleResponseSent(u32 contextId, const boost::system::error_code& error,
                                             std::size_t bytes) {
  logResponseSent(contextId, error, bytes);
  callback->CloseSession(contextId);
}

void CVelmoraUdpListener::logResponseSent(u32 contextId, const boost::system::error_code& error,
                                          std::size_t bytes) {
  if (error) {
    HXT_LOGF(LOG_LEVEL_ERROR, kHandleResponseSent, "Failed to sent UDP DNS response to KDF [%d-%s] [ctx %u]",
             error.value(), error.message().c_str(), contextId);
  } else {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kHandleResponseSent, "Sent UDP DNS response of size %lu to KDF [ctx %u]",
               static_cast<unsigned long>(bytes), contextId);
  }
}

void CVelmoraUdpListener::handleRequestProcessingError(u32 contextId) {
  if (verbose)
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandleRequestProcessingError,
             "Handling UDP request processing failure [ctx %u]", contextId);
  callback->CloseSession(contextId);
}

}  // namespace hxt
