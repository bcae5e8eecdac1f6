#include "fakes/controlpeer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "fakes/dnstestkit.h"

namespace hxt::test {

using namespace hxt::sockfilter;

ControlPeer::ControlPeer(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Close();
}

void ControlPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ControlPeer::SendRaw(const std::vector<u8>& bytes) {
  return SendAll(fd_, bytes.data(), bytes.size());
}

std::optional<Frame> ControlPeer::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (Frame frame;;) {
    const TakeResult taken = TakeFrame(rx_, frame);
    if (taken == TakeResult::Frame) return frame;
    u8 buffer[4096];
    const ssize_t n = taken == TakeResult::NeedMore && WaitReadable(fd_, deadline)
                          ? ::recv(fd_, buffer, sizeof buffer, 0)
                          : -1;
    if (n <= 0) return std::nullopt;
    rx_.insert(rx_.end(), buffer, buffer + n);
  }
}

// Sends the frame `body` writes and returns the reply of type `replyType`
// to it; disruption notices that come first are kept for WaitDisruption.
std::optional<Frame> ControlPeer::exchange(u16 type, u16 replyType,
                                           const std::function<void(FrameWriter&)>& body) {
  const u32 sequence = sequence_++;
  FrameWriter w(type, sequence);
  body(w);
  if (!SendRaw(w.Finish())) return std::nullopt;
  auto reply = next(std::chrono::seconds(5));
  for (; reply && reply->type == kMsgDisruption; reply = next(std::chrono::seconds(5)))
    notices_.push_back(*reply);
  if (!reply || reply->type != replyType || reply->sequence != sequence) return std::nullopt;
  return reply;
}

std::optional<u32> ControlPeer::Hello(u32 version, std::string* text) {
  auto reply = exchange(kMsgHello, kMsgHelloReply, [&](FrameWriter& w) {
    w.U32(version);
    w.U32(static_cast<u32>(::getpid()));
    w.String("test peer");
  });
  u32 status = 0, daemonVersion = 0, pid = 0;
  std::string message;
  FrameReader r(reply ? reply->body.data() : nullptr, reply ? reply->body.size() : 0);
  if (!r.U32(status) || !r.U32(daemonVersion) || !r.U32(pid) || !r.String(message)) return std::nullopt;
  if (text != nullptr) *text = message;
  return status;
}

std::optional<u32> ControlPeer::request(u16 type, const std::function<void(FrameWriter&)>& body) {
  auto reply = exchange(type, kMsgResult, body);
  u32 status = 0;
  FrameReader r(reply ? reply->body.data() : nullptr, reply ? reply->body.size() : 0);
  return r.U32(status) ? std::optional<u32>(status) : std::nullopt;
}

std::optional<u32> ControlPeer::Request(u16 type, const std::vector<u8>& body) {
  return request(type, [&](FrameWriter& w) { w.Bytes(body.data(), body.size()); });
}

std::optional<u32> ControlPeer::Open(ApiInterface which, const std::string& pluginId) {
  return request(kMsgOpen, [&](FrameWriter& w) {
    w.U8(static_cast<u8>(which));
    w.String(pluginId);
  });
}

std::optional<u32> ControlPeer::SetParameters(u32 kind, const FilterParameters& parameters) {
  return request(kMsgSetParameters, [&](FrameWriter& w) { EncodeParameters(w, kind, parameters); });
}

std::optional<u32> ControlPeer::WaitDisruption(std::chrono::milliseconds timeout) {
  if (notices_.empty()) {
    auto frame = next(timeout);
    if (!frame || frame->type != kMsgDisruption) return std::nullopt;
    notices_.push_back(*frame);
  }
  const Frame notice = notices_.front();
  notices_.erase(notices_.begin());
  u32 reason = 0;
  FrameReader r(notice.body.data(), notice.body.size());
  return r.U32(reason) ? std::optional<u32>(reason) : std::nullopt;
}

bool ControlPeer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  u8 buffer[4096];
  while (WaitReadable(fd_, deadline))
    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
  return false;
}

FilterParameters RedirectTo(u16 udpPort4, u16 tcpPort4, u16 udpPort6, u16 tcpPort6) {
  FilterParameters p;
  std::tie(p.udpPort4, p.tcpPort4, p.udpPort6, p.tcpPort6) = std::tie(udpPort4, tcpPort4, udpPort6, tcpPort6);
  p.redirect4 = udpPort4 != 0 || tcpPort4 != 0;
  p.redirect6 = udpPort6 != 0 || tcpPort6 != 0;
  return p;
}

std::unique_ptr<ControlPeer> OpenAndRedirect(const std::string& path, const FilterParameters& parameters) {
  auto peer = std::make_unique<ControlPeer>(path);
  EXPECT_TRUE(peer->Hello() == 0u && peer->Open(ApiInterface::Velmora) == 0u &&
              peer->SetParameters(FILTER_UPDATE_ALL, parameters) == 0u);
  return peer;
}

}  // namespace hxt::test
