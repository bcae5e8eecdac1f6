#include "fakes/controlpeer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "fakes/dnstestkit.h"

namespace hxt::test {

using namespace hxt::sockfilter;

ControlPeer::ControlPeer(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

ControlPeer::~ControlPeer() {
  Close();
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

std::optional<u32> ControlPeer::Hello(u32 version, std::string* text) {
  u32 sequence = sequence_++;
  FrameWriter w(kMsgHello, sequence);
  w.U32(version);
  w.U32(static_cast<u32>(::getpid()));
  w.String("test peer");
  if (!SendRaw(w.Finish())) return std::nullopt;
  auto reply = next(std::chrono::seconds(5));
  if (!reply || reply->type != kMsgHelloReply || reply->sequence != sequence) return std::nullopt;
  FrameReader r(reply->body.data(), reply->body.size());
  u32 status = 0;
  u32 daemonVersion = 0;
  u32 pid = 0;
  std::string message;
  if (!r.U32(status) || !r.U32(daemonVersion) || !r.U32(pid) || !r.String(message)) return std::nullopt;
  if (text != nullptr) *text = message;
  return status;
}

std::optional<u32> ControlPeer::Request(u16 type, const std::vector<u8>& body) {
  u32 sequence = sequence_++;
  FrameWriter w(type, sequence);
  w.Bytes(body.data(), body.size());
  if (!SendRaw(w.Finish())) return std::nullopt;
  while (true) {
    auto reply = next(std::chrono::seconds(5));
    if (!reply) return std::nullopt;
    if (reply->type == kMsgDisruption) {
      notices_.push_back(*reply);
      continue;
    }
    if (reply->type != kMsgResult || reply->sequence != sequence) return std::nullopt;
    FrameReader r(reply->body.data(), reply->body.size());
    u32 status = 0;
    if (!r.U32(status)) return std::nullopt;
    return status;
  }
}

namespace {
std::vector<u8> bodyOf(FrameWriter& w) {
  std::vector<u8> bytes = w.Finish();
  return std::vector<u8>(bytes.begin() + kFrameHeaderSize, bytes.end());
}
}  // namespace

std::optional<u32> ControlPeer::Open(ApiInterface which, const std::string& pluginId) {
  FrameWriter w(0, 0);
  w.U8(static_cast<u8>(which));
  w.String(pluginId);
  return Request(kMsgOpen, bodyOf(w));
}

std::optional<u32> ControlPeer::SetParameters(u32 kind, const FilterParameters& parameters) {
  FrameWriter w(0, 0);
  EncodeParameters(w, kind, parameters);
  return Request(kMsgSetParameters, bodyOf(w));
}

std::optional<u32> ControlPeer::WaitDisruption(std::chrono::milliseconds timeout) {
  if (notices_.empty()) {
    auto frame = next(timeout);
    if (!frame || frame->type != kMsgDisruption) return std::nullopt;
    notices_.push_back(*frame);
  }
  Frame notice = notices_.front();
  notices_.erase(notices_.begin());
  FrameReader r(notice.body.data(), notice.body.size());
  u32 reason = 0;
  if (!r.U32(reason)) return std::nullopt;
  return reason;
}

bool ControlPeer::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  u8 buffer[4096];
  while (WaitReadable(fd_, deadline)) {
    if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) return true;
  }
  return false;
}

FilterParameters RedirectTo(u16 udpPort4, u16 tcpPort4, u16 udpPort6, u16 tcpPort6) {
  FilterParameters p;
  p.udpPort4 = udpPort4;
  p.tcpPort4 = tcpPort4;
  p.udpPort6 = udpPort6;
  p.tcpPort6 = tcpPort6;
  p.redirect4 = udpPort4 != 0 || tcpPort4 != 0;
  p.redirect6 = udpPort6 != 0 || tcpPort6 != 0;
  return p;
}

std::unique_ptr<ControlPeer> OpenAndRedirect(const std::string& path, const FilterParameters& parameters) {
  auto peer = std::make_unique<ControlPeer>(path);
  EXPECT_EQ(peer->Hello(), std::optional<u32>(0));
  EXPECT_EQ(peer->Open(ApiInterface::Velmora), std::optional<u32>(0));
  EXPECT_EQ(peer->SetParameters(FILTER_UPDATE_ALL, parameters), std::optional<u32>(0));
  return peer;
}

}  // namespace hxt::test
