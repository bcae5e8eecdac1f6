// A hand-driven control connection to hxsockfilterd, speaking the protocol frame by frame, for tests that
// need to do what the filter library never does (other versions, garbage, half frames). Blocking calls with a
// time-out; one thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/controlproto.h"

namespace hxt::test {

class ControlPeer {
 public:
  explicit ControlPeer(const std::string& path);
  ~ControlPeer() { Close(); }

  // HELLO with `version`; the reply's status (0 accepted), its text in `text`.
  std::optional<u32> Hello(u32 version = sockfilter::kProtocolVersion, std::string* text = nullptr);
  // One request and the status of its reply.
  std::optional<u32> Request(u16 type, const std::vector<u8>& body);
  std::optional<u32> Open(sockfilter::ApiInterface which, const std::string& pluginId = "");
  std::optional<u32> SetParameters(u32 kind, const sockfilter::FilterParameters& parameters);
  // The reason of the next disruption notice, or nothing within `timeout`.
  std::optional<u32> WaitDisruption(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool SendRaw(const std::vector<u8>& bytes);
  // Whether the daemon closed the connection within `timeout`.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close();

 private:
  std::optional<sockfilter::Frame> next(std::chrono::milliseconds timeout);
  std::optional<sockfilter::Frame> exchange(u16 type, u16 replyType,
                                            const std::function<void(sockfilter::FrameWriter&)>& body);
  std::optional<u32> request(u16 type, const std::function<void(sockfilter::FrameWriter&)>& body);
  int fd_ = -1;
  u32 sequence_ = 1;
  std::vector<u8> rx_;
  std::vector<sockfilter::Frame> notices_;
};

// The parameters that redirect a family to a test service.
sockfilter::FilterParameters RedirectTo(u16 udpPort4, u16 tcpPort4, u16 udpPort6, u16 tcpPort6);
// An agent-like owner at `path`: HELLO, OPEN and all of `parameters`, each expected to be accepted.
std::unique_ptr<ControlPeer> OpenAndRedirect(const std::string& path,
                                             const sockfilter::FilterParameters& parameters);

}  // namespace hxt::test
