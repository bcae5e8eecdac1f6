// The request path of the orchestrator: redirected DNS requests from the
// listener hosts to the DNS plug-in and its answers back.
//
// Requests arrive on a host's I/O thread and are handed to the plug-in
// synchronously there; answers and errors arrive on the plug-in's threads and
// are routed under listenerMutex, held to the end, so that the host they go
// to cannot be destroyed meanwhile. A plug-in may also answer on the host's
// I/O thread from inside Send: then nothing of the request path is locked on
// this thread. Either way the plug-in's CloseSession for a request is called
// only on the host's I/O thread, after its answer was sent, and never from
// inside Response or under listenerMutex: a plug-in may hold its own locks
// while it answers. The context cache is only ever locked for one of its own
// operations, never around a plug-in call.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent/velmoramainthread.h"
#include "agent/velmoratcplistenerconn.h"
#include "common/applog.h"

namespace hxt {

namespace {

constexpr const char* kProcessDnsRequest = "CVelmoraMainThread::processDnsRequest";
constexpr const char* kOnUdpRequestAvailable = "CVelmoraMainThread::OnUdpRequestAvailable";
constexpr const char* kOnFirstFragment = "CVelmoraMainThread::OnFirstRequestTcpFragmentAvailable";
constexpr const char* kOnFragment = "CVelmoraMainThread::OnRequestTcpFragmentAvailable";
constexpr const char* kCloseSession = "CVelmoraMainThread::CloseSession";
constexpr const char* kResponse = "CVelmoraMainThread::Response";
constexpr const char* kErrorOccurred = "CVelmoraMainThread::ErrorOccurred";

// Error codes the request path reports through ErrorOccurred itself.
constexpr u32 kErrorUnknownContext = 9;
constexpr u32 kErrorSessionNotStored = 11;
// Codes the plug-in reports for a request that timed out or whose socket failed.
constexpr u32 kErrorTimeout = 7;
constexpr u32 kErrorSocket = 18;

// The smallest UDP answer the plug-in can give: a DNS header and one byte.
constexpr u32 kMinUdpResponseSize = 13;
// A UDP answer must fit the header's 16-bit length field.
constexpr u32 kMaxUdpResponseSize = 0xffff;

// Takes listenerMutex for an answer. An answer given on a host's I/O thread
// (the plug-in answering inside Send) must not wait for a holder that is
// stopping this very host: that holder waits for this thread to leave its
// handler. Such an answer gives up (false) once its host was told to stop;
// its host is then as good as gone.
bool lockForAnswer(std::unique_lock<std::mutex>& lock) {
  if (lock.try_lock()) return true;
  if (!CVelmoraListener::OnHostThread()) {
    lock.lock();
    return true;
  }
  for (unsigned tries = 0;; ++tries) {
    if (CVelmoraListener::HostThreadStopping()) return false;
    if (tries < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (lock.try_lock()) return true;
  }
}

}  // namespace

bool CVelmoraMainThread::processDnsRequest(const unsigned char* data, u32 size, bool isUdp,
                                           std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                           bool isFirst, u32& contextId) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(LISTENER_CALLBACK, kProcessDnsRequest)) return false;
  if (data == nullptr || size < kMinRedirectedMessageSize || velmoraPlugin == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, kProcessDnsRequest, "at least one invalid argument");
    return false;
  }
  const unsigned char* message = data + kRedirectHeaderSize;
  u32 length = size - static_cast<u32>(kRedirectHeaderSize);
  if (verbose) HXT_LOGF(LOG_LEVEL_DEBUG, kProcessDnsRequest, "\n%s", HexDump(message, length).c_str());

  u32 transport = isUdp ? kTransportUdp : kTransportTcp;
  ipcManager->IncrementRequestCount(DestinationFamily(data), transport);

  bool opensSession = isUdp || isFirst;
  if (opensSession) contextId = contextCache.Add(data, std::move(connection), isUdp);
  std::string destination = SocketAddressText(data + kDestinationAddressOffset);
  if (verbose) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kProcessDnsRequest, "%s of size %lu meant for %s:%u [ctx %u]",
             opensSession ? "added to cache context for request" : "processing subsequent TCP fragment",
             static_cast<unsigned long>(length), destination.c_str(),
             static_cast<unsigned>(SocketAddressPort(data + kDestinationAddressOffset)), contextId);
  }

  u32 session = 0;
  if (!opensSession) {
    RequestContext context;
    if (!contextCache.Find(contextId, context)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kProcessDnsRequest,
               "cannot find cached context with id %u,ignoring subsequent TCP fragment of size %lu",
               contextId, static_cast<unsigned long>(size));
      ErrorOccurred(0, contextId, kErrorUnknownContext);
      return false;
    }
    session = context.session;
  } else {
    if (u32 result = velmoraPlugin->OpenSession(contextId, destination.c_str(), transport, &session)) {
      HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::OpenSession",
                   kProcessDnsRequest, "context ID %u", contextId);
      ErrorOccurred(session, contextId, result);
      return false;
    }
    if (!contextCache.SetSession(contextId, session)) {
      HXT_LOGF(LOG_LEVEL_ERROR, kProcessDnsRequest, "failed to save session handle to cache [ctx %u]",
               contextId);
      ErrorOccurred(session, contextId, kErrorSessionNotStored);
      return false;
    }
  }

  if (u32 result = velmoraPlugin->Send(session, message, length)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::Send", kProcessDnsRequest,
                 "context ID %u", contextId);
    ErrorOccurred(session, contextId, result);
    return false;
  }
  logStats();
  return true;
}

bool CVelmoraMainThread::OnUdpRequestAvailable(const unsigned char* data, u32 size) {
  u32 contextId = 0;
  bool handed = processDnsRequest(data, size, true, nullptr, false, contextId);
  if (!handed) HXT_LOGF(LOG_LEVEL_ERROR, kOnUdpRequestAvailable, "processDnsRequest failed");
  return handed;
}

bool CVelmoraMainThread::OnFirstRequestTcpFragmentAvailable(
    const unsigned char* data, u32 size, std::shared_ptr<CVelmoraTcpListenerConnection> connection,
    u32& contextId) {
  bool handed = processDnsRequest(data, size, false, std::move(connection), true, contextId);
  if (!handed) {
    HXT_LOGF(LOG_LEVEL_ERROR, kOnFirstFragment,
             "CVelmoraMainThread::OnFirstRequestTcpFragmentAvailable: processDnsRequest failed");
  }
  return handed;
}

bool CVelmoraMainThread::OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) {
  bool handed = processDnsRequest(data, size, false, nullptr, false, contextId);
  if (!handed) {
    HXT_LOGF(LOG_LEVEL_ERROR, kOnFragment,
             "CVelmoraMainThread::OnRequestTcpFragmentAvailable: processDnsRequest failed");
  }
  return handed;
}

bool CVelmoraMainThread::CloseSession(u32 contextId) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(LISTENER_CALLBACK, kCloseSession)) return false;
  RequestContext context;
  // Contexts exist only while a plug-in is loaded: processDnsRequest makes none without one.
  if (!contextCache.Find(contextId, context)) {
    HXT_LOGF(LOG_LEVEL_WARNING, kCloseSession, "cannot find cached context with id %u", contextId);
    return false;
  }
  u32 result = velmoraPlugin->CloseSession(context.session);
  if (result != 0) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(result), false, "IVelmoraPlugin::CloseSession",
                 kCloseSession, "context ID %u", contextId);
  }
  std::size_t remaining = 0;
  if (contextCache.Erase(contextId, remaining)) {
    if (verbose)
      HXT_LOGF(LOG_LEVEL_DEBUG, kCloseSession, "cleared cached context with id %u, %lu remaining entries",
               contextId, static_cast<unsigned long>(remaining));
  } else {
    HXT_LOGF(LOG_LEVEL_ERROR, kCloseSession, "cannot find cached context with id %u", contextId);
  }
  return result == 0;
}

void CVelmoraMainThread::Response(u32 sessionHandle, u32 contextId, const unsigned char* data, u32 size) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, kResponse)) return;
  std::unique_lock<std::mutex> lock(listenerMutex, std::defer_lock);
  const bool hostsHeld = lockForAnswer(lock);
  RequestContext context;
  if (!contextCache.Find(contextId, context)) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kResponse,
             "cannot find cached context with id %u, ignoring response of size %lu", contextId,
             static_cast<unsigned long>(size));
    return;
  }
  bool counted = true;
  if (context.isUdp) {
    if (data == nullptr || size < kMinUdpResponseSize || size > kMaxUdpResponseSize) {
      HXT_LOGF(LOG_LEVEL_ERROR, kResponse, "at least one parameter is invalid");
      return;
    }
  } else if (data == nullptr || size == 0) {
    // The end of a TCP exchange: passed on to close the connection, not an answer.
    HXT_LOGF(LOG_LEVEL_DEBUG, kResponse, "zero-length TCP response");
    counted = false;
    size = 0;
  }
  if (counted && verbose) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kResponse, "response (size %lu):\n%s", static_cast<unsigned long>(size),
             HexDump(data, size).c_str());
  }

  // Any other requester family is handled by the IPv4 host; a UDP answer
  // without that host is dropped like one whose host went away.
  u32 family = RequesterFamily(context.header.data());
  bool knownFamily = family == kAddressFamilyIPv4 || family == kAddressFamilyIPv6;
  CVelmoraListener* host = !hostsHeld                     ? nullptr
                           : family == kAddressFamilyIPv6 ? listener6.get()
                                                          : listener4.get();
  if (!hostsHeld || (host == nullptr && (knownFamily || context.isUdp))) {
    HXT_LOGF(LOG_LEVEL_ERROR, kResponse,
             "received IPv%c %s response, but corresponding listener is not active [ctx %u]",
             family == kAddressFamilyIPv6 ? '6' : '4', context.isUdp ? "UDP" : "TCP", contextId);
    return;
  }

  if (context.isUdp && !knownFamily) {
    // No socket address to answer to: the request ends as a failed one, so
    // that its session is closed and its context forgotten on the listener
    // thread instead of staying behind.
    HXT_LOGF(LOG_LEVEL_ERROR, kResponse, "received UDP response for requester family %u, dropped [ctx %u]",
             family, contextId);
    host->ProcessUdpRequestError(contextId);
    return;
  }
  if (context.isUdp) {
    // Built in a buffer this thread keeps: the datagram is copied out only
    // when the socket cannot take it at once.
    thread_local std::vector<unsigned char> datagram;
    const u32 datagramSize = static_cast<u32>(kRedirectHeaderSize) + size;
    datagram.resize(datagramSize);
    std::copy(context.header.begin(), context.header.begin() + kPayloadLengthOffset, datagram.begin());
    WriteLittleEndian16(datagram.data() + kPayloadLengthOffset, static_cast<u16>(size));
    std::copy(data, data + size, datagram.begin() + kRedirectHeaderSize);
    const unsigned char* requester = context.header.data() + kRequesterAddressOffset;
    // Sent at once or, when the socket is full, by the I/O thread; either way
    // the listener closes the session on its I/O thread afterwards.
    auto outcome = host->TrySendUdpDnsResponse(datagram.data(), datagramSize, requester, contextId);
    if (outcome == CVelmoraUdpListener::SendOutcome::WouldBlock) {
      host->ProcessUdpDnsResponse(std::make_shared<std::vector<unsigned char>>(datagram), datagramSize,
                                  requester, contextId);
    }
  } else if (context.connection) {
    auto answer = std::make_shared<std::vector<unsigned char>>(data, data + size);
    context.connection->ProcessResponseFragment(std::move(answer), size);
  }

  if (counted) {
    ipcManager->IncrementResponseCount(family, context.isUdp ? kTransportUdp : kTransportTcp);
    logStats();
  }
}

void CVelmoraMainThread::ErrorOccurred(u32 sessionHandle, u32 contextId, u32 error) {
  auto entry = callbackGate.Enter();
  if (!entry || !validateStateForActivity(VELMORA_PLUGIN_CALLBACK, kErrorOccurred)) return;
  std::unique_lock<std::mutex> lock(listenerMutex, std::defer_lock);
  const bool hostsHeld = lockForAnswer(lock);
  if (error == kErrorTimeout || error == kErrorSocket) {
    HXT_LOGF(LOG_LEVEL_WARNING, kErrorOccurred, "%s error reported [ctx %u]",
             error == kErrorTimeout ? "Timeout" : "Socket", contextId);
  } else {
    HXT_LOGF(LOG_LEVEL_ERROR, kErrorOccurred, "Error reported: %u [ctx %u]", error, contextId);
  }

  RequestContext context;
  if (!contextCache.Find(contextId, context)) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kErrorOccurred, "cannot find cached context with id %u", contextId);
  } else {
    u32 family = RequesterFamily(context.header.data());
    bool knownFamily = family == kAddressFamilyIPv4 || family == kAddressFamilyIPv6;
    CVelmoraListener* host = !hostsHeld                     ? nullptr
                             : family == kAddressFamilyIPv6 ? listener6.get()
                                                            : listener4.get();
    bool routed = false;
    if (hostsHeld && (host != nullptr || (!knownFamily && !context.isUdp))) {
      if (context.isUdp) {
        host->ProcessUdpRequestError(contextId);
        routed = true;
      } else if (context.connection) {
        // False when the connection's host has gone since: then there is
        // nobody left to close the connection on.
        routed = context.connection->PostRequestProcessingError();
      }
    }
    if (!routed) {
      HXT_LOGF(LOG_LEVEL_WARNING, kErrorOccurred,
               "received IPv%c %s error, but corresponding listener is not active [ctx %u]",
               family == kAddressFamilyIPv6 ? '6' : '4', context.isUdp ? "UDP" : "TCP", contextId);
    }
  }
  ++proxyErrorCount;
  logStats();
}

}  // namespace hxt
