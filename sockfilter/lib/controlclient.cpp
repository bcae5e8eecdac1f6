#include "lib/controlclient.h"

#include <algorithm>
#include <chrono>

namespace hxt::sockfilter {

namespace {

using Clock = std::chrono::steady_clock;

// The daemon answers from memory; a reply that takes longer means it hangs.
constexpr auto kReplyTimeout = std::chrono::seconds(5);
// Reconnect attempts start fast (a restart under systemd takes a moment) and
// back off so that a daemon that stays away costs next to nothing.
constexpr int kFirstRetryMs = 50;
constexpr int kMaxRetryMs = 2000;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CControlClient::CControlClient(ApiInterface which, bool reconnect) : which_(which), reconnect_(reconnect) {
  thread_ = std::thread([this] { run(); });
}

CControlClient::~CControlClient() {
  {
    std::lock_guard<std::mutex> io(ioMutex_);
    stop_ = true;
  }
  wake();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // released from its own callback: misuse, but do not deadlock
    } else {
      thread_.join();
    }
  }
  std::lock_guard<std::mutex> io(ioMutex_);
  disconnectLocked(false);
}

void CControlClient::wake() {
  channel_.Wake();
}

ngc_error_t CControlClient::connectLocked() {
  if (channel_.Connected()) return HXT_NGC_OK;
  ngc_error_t connected = channel_.Connect(DefaultControlPath());
  if (connected != HXT_NGC_OK) return connected;
  rx_.clear();

  u32 sequence = nextSequence_++;
  FrameWriter hello(kMsgHello, sequence);
  hello.U32(kProtocolVersion);
  hello.U32(CControlChannel::ProcessId());
  hello.String(InterfaceName(which_));
  Frame reply;
  ngc_error_t code = exchangeLocked(hello.Finish(), sequence, kMsgHelloReply, reply);
  if (code != HXT_NGC_OK) return code;
  FrameReader r(reply.body.data(), reply.body.size());
  u32 status = 0;
  u32 version = 0;
  if (!r.U32(status) || !r.U32(version)) {
    disconnectLocked(false);
    return kErrBadRequest;
  }
  if (status != HXT_NGC_OK || version != kProtocolVersion) {
    disconnectLocked(false);
    return status == HXT_NGC_OK ? kErrVersionMismatch : status;
  }
  established_ = true;
  wake();  // the watching thread now has a connection to watch
  return HXT_NGC_OK;
}

void CControlClient::disconnectLocked(bool lost) {
  if (!channel_.Connected()) return;
  channel_.Disconnect();
  rx_.clear();
  bool wasEstablished = established_;
  established_ = false;
  // Only a working connection that breaks is a disruption; a failed attempt
  // to reconnect is not a new one.
  if (lost && open_ && wasEstablished) ++pendingDisruptions_;
  // A thread blocked in poll() on a descriptor that another thread closes
  // is not woken by the close.
  wake();
}

ngc_error_t CControlClient::exchangeLocked(std::vector<u8> frame, u32 sequence, u16 replyType, Frame& reply) {
  if (!channel_.Connected()) return kErrConnectionLost;
  Clock::time_point deadline = Clock::now() + kReplyTimeout;
  ngc_error_t sent = channel_.Send(frame, deadline);
  if (sent != HXT_NGC_OK) {
    disconnectLocked(true);
    return sent;
  }
  while (true) {
    Frame frameIn;
    TakeResult taken = TakeFrame(rx_, frameIn);
    if (taken == TakeResult::Malformed) {
      disconnectLocked(true);
      return kErrConnectionLost;
    }
    if (taken == TakeResult::Frame) {
      if (frameIn.type == kMsgDisruption) {
        ++pendingDisruptions_;
        wake();
      } else if (frameIn.sequence == sequence && (frameIn.type == replyType || frameIn.type == kMsgResult)) {
        reply = std::move(frameIn);
        if (reply.type != replyType && replyType == kMsgHelloReply) {
          // A daemon that refuses HELLO answers with a plain result.
          FrameReader r(reply.body.data(), reply.body.size());
          u32 status = kErrBadRequest;
          r.U32(status);
          disconnectLocked(false);
          return status == HXT_NGC_OK ? kErrBadRequest : status;
        }
        return HXT_NGC_OK;
      }
      continue;  // a stale reply of an exchange that timed out
    }
    if (!channel_.WaitReadable(remainingMs(deadline))) {
      // Whatever comes later belongs to an abandoned exchange: start afresh.
      disconnectLocked(true);
      return kErrTimeout;
    }
    if (!readAvailableLocked()) {
      disconnectLocked(true);
      return kErrConnectionLost;
    }
  }
}

bool CControlClient::readAvailableLocked() {
  return channel_.ReadAvailable(rx_);
}

void CControlClient::takeNoticesLocked() {
  Frame frame;
  while (true) {
    TakeResult taken = TakeFrame(rx_, frame);
    if (taken == TakeResult::NeedMore) return;
    if (taken == TakeResult::Malformed) {
      disconnectLocked(true);
      return;
    }
    if (frame.type == kMsgDisruption) ++pendingDisruptions_;
  }
}

ngc_error_t CControlClient::simpleRequestLocked(u16 type, const std::vector<u8>& body) {
  u32 sequence = nextSequence_++;
  FrameWriter w(type, sequence);
  w.Bytes(body.data(), body.size());
  Frame reply;
  ngc_error_t code = exchangeLocked(w.Finish(), sequence, kMsgResult, reply);
  if (code != HXT_NGC_OK) return code;
  FrameReader r(reply.body.data(), reply.body.size());
  u32 status = kErrBadRequest;
  r.U32(status);
  return status;
}

ngc_error_t CControlClient::openLocked() {
  ngc_error_t code = connectLocked();
  if (code != HXT_NGC_OK) return code;
  FrameWriter body(0, 0);
  body.U8(static_cast<u8>(which_));
  body.String(pluginId_);
  std::vector<u8> bytes = body.Finish();
  return simpleRequestLocked(kMsgOpen, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
}

ngc_error_t CControlClient::Open(const char* pluginId, IKdfApiCB* callback) {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (open_ && channel_.Connected()) {
    callback_ = callback;
    return HXT_NGC_OK;
  }
  pluginId_ = pluginId != nullptr ? pluginId : "";
  ngc_error_t code = openLocked();
  if (code != HXT_NGC_OK) {
    // A refused open leaves the connection useless for this client.
    if (!open_) disconnectLocked(false);
    return code;
  }
  if (open_ && haveMirror_) {
    // Reopened after the daemon came back: give it the state it lost.
    FrameWriter body(0, 0);
    EncodeParameters(body, FILTER_UPDATE_ALL, mirror_);
    std::vector<u8> bytes = body.Finish();
    simpleRequestLocked(kMsgSetParameters, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
  }
  open_ = true;
  callback_ = callback;
  return HXT_NGC_OK;
}

ngc_error_t CControlClient::Close() {
  {
    std::lock_guard<std::mutex> call(callMutex_);
    std::lock_guard<std::mutex> io(ioMutex_);
    ngc_error_t code = HXT_NGC_OK;
    if (channel_.Connected() && open_) {
      std::vector<u8> body{static_cast<u8>(which_)};
      code = simpleRequestLocked(kMsgClose, body);
    }
    open_ = false;
    haveMirror_ = false;
    mirror_ = FilterParameters();
    callback_ = nullptr;
    pendingDisruptions_ = 0;
    disconnectLocked(false);
    if (code != HXT_NGC_OK && code != kErrConnectionLost) return code;
  }
  // Wait out a callback that is running on the library's thread.
  if (std::this_thread::get_id() != thread_.get_id()) std::lock_guard<std::mutex> delivery(deliveryMutex_);
  return HXT_NGC_OK;
}

bool CControlClient::IsOpen() {
  std::lock_guard<std::mutex> io(ioMutex_);
  return open_ && channel_.Connected();
}

ngc_error_t CControlClient::Clear() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  ngc_error_t code = simpleRequestLocked(kMsgClear, {});
  if (code == HXT_NGC_OK) {
    mirror_ = FilterParameters();
    haveMirror_ = false;
  }
  return code;
}

ngc_error_t CControlClient::SetParameters(u32 kind, const FilterParameters& record) {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  FrameWriter body(0, 0);
  EncodeParameters(body, kind, record);
  std::vector<u8> bytes = body.Finish();
  // The daemon would take a larger frame for a broken peer and drop the
  // connection; refuse it here and keep the connection.
  if (bytes.size() - 4 > kMaxFrameLength) return kErrTooLarge;
  ngc_error_t code =
      simpleRequestLocked(kMsgSetParameters, std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
  // With foreign ports the daemon took the record all the same.
  if ((code == HXT_NGC_OK || code == kErrForeignPort) && mirror_.Apply(kind, record)) haveMirror_ = true;
  return code;
}

ngc_error_t CControlClient::StartEncryptedDnsHandling() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  ngc_error_t code = connectLocked();
  if (code != HXT_NGC_OK) return code;
  return simpleRequestLocked(kMsgStartEncryptedDns, {});
}

ngc_error_t CControlClient::RefreshPids() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!open_) return kErrNotOpen;
  return simpleRequestLocked(kMsgRefreshPids, {static_cast<u8>(which_)});
}

bool CControlClient::tryReconnect() {
  std::lock_guard<std::mutex> call(callMutex_);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (stop_ || !open_) return true;
  if (channel_.Connected()) return true;  // a caller got there first
  if (openLocked() != HXT_NGC_OK) {
    disconnectLocked(false);
    return false;
  }
  if (haveMirror_) {
    FrameWriter body(0, 0);
    EncodeParameters(body, FILTER_UPDATE_ALL, mirror_);
    std::vector<u8> bytes = body.Finish();
    ngc_error_t code = simpleRequestLocked(kMsgSetParameters,
                                           std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end()));
    // Foreign ports are the agent's to fix; the restored state stands.
    if (code != HXT_NGC_OK && code != kErrForeignPort) {
      disconnectLocked(false);
      return false;
    }
  }
  return true;
}

void CControlClient::deliver(u32 disruptions) {
  std::lock_guard<std::mutex> delivery(deliveryMutex_);
  for (u32 i = 0; i < disruptions; ++i) {
    IKdfApiCB* callback = nullptr;
    {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (stop_ || !open_) return;
      callback = callback_;
    }
    if (callback != nullptr) callback->OnKdfDisruption();
  }
}

void CControlClient::run() {
  int retryMs = kFirstRetryMs;
  while (true) {
    CControlChannel::Token watched = CControlChannel::kNone;
    bool reconnectWanted = false;
    u32 disruptions = 0;
    {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (stop_) return;
      watched = channel_.Watched();
      reconnectWanted = watched == CControlChannel::kNone && open_ && reconnect_;
      disruptions = pendingDisruptions_;
      pendingDisruptions_ = 0;
    }
    if (disruptions > 0) {
      deliver(disruptions);
      continue;
    }
    CControlChannel::Event event = channel_.WaitIdle(watched, reconnectWanted ? retryMs : -1);
    if (event == CControlChannel::Event::Failed) return;
    if (event == CControlChannel::Event::Woken) continue;
    if (event == CControlChannel::Event::Readable) {
      std::lock_guard<std::mutex> io(ioMutex_);
      if (channel_.Watched() != watched) continue;  // replaced or closed meanwhile
      bool alive = readAvailableLocked();
      takeNoticesLocked();
      if (!alive) disconnectLocked(true);
      retryMs = kFirstRetryMs;
      continue;
    }
    if (reconnectWanted) {
      retryMs = tryReconnect() ? kFirstRetryMs : std::min(retryMs * 2, kMaxRetryMs);
    }
  }
}

}  // namespace hxt::sockfilter
