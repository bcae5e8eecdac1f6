#include "common/daemonquery.h"

#include <chrono>
#include <vector>

#include "common/controlproto.h"
#include "lib/controlchannel.h"

namespace hxt::sockfilter {

namespace {

constexpr int kReplyTimeoutMs = 5000;

// The reply frame to `sequence`; notices in between are skipped.
bool exchange(CControlChannel& channel, std::vector<u8> request, u32 sequence, std::vector<u8>& rx,
              Frame& reply) {
  const auto deadline = CControlChannel::Clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  if (channel.Send(request, deadline) != HXT_NGC_OK) return false;
  for (;;) {
    TakeResult taken = TakeFrame(rx, reply);
    if (taken == TakeResult::Malformed) return false;
    if (taken == TakeResult::Frame) {
      if (reply.sequence == sequence) return true;
      continue;
    }
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CControlChannel::Clock::now());
    if (left.count() <= 0 || !channel.WaitReadable(static_cast<int>(left.count()))) return false;
    if (!channel.ReadAvailable(rx)) return false;
  }
}

bool ask(CControlChannel& channel, u16 request, const char* clientName, std::string& text,
         std::vector<std::string>* rows, std::string& why) {
  std::vector<u8> rx;
  Frame reply;
  FrameWriter hello(kMsgHello, 1);
  hello.U32(kProtocolVersion);
  hello.U32(CControlChannel::ProcessId());
  hello.String(clientName);
  u32 status = 0;
  if (!exchange(channel, hello.Finish(), 1, rx, reply)) {
    why = "the daemon did not answer HELLO";
    return false;
  }
  // A refused peer (1009) or another protocol version (1002) hears so here.
  FrameReader helloReply(reply.body.data(), reply.body.size());
  if (reply.type == kMsgHelloReply && helloReply.U32(status) && status != 0) {
    why = "the daemon refused: " + std::string(ErrorText(static_cast<ngc_error_t>(status)));
    return false;
  }
  if (!exchange(channel, FrameWriter(request, 2).Finish(), 2, rx, reply)) {
    why = "the daemon did not answer the request";
    return false;
  }
  FrameReader r(reply.body.data(), reply.body.size());
  if (!r.U32(status) || !r.String(text)) {
    why = "the daemon's reply is undecodable";
    return false;
  }
  if (status != 0) {
    why = "the daemon answered " + std::to_string(status) + " (" + text + ")";
    return false;
  }
  if (rows == nullptr) return true;
  u32 count = 0;
  if (!r.U32(count)) {
    why = "the daemon's reply holds no rows";
    return false;
  }
  rows->clear();
  for (u32 i = 0; i < count; ++i) {
    std::string row;
    if (!r.String(row)) {
      why = "the daemon's reply is undecodable";
      return false;
    }
    rows->push_back(std::move(row));
  }
  return true;
}

}  // namespace

bool QueryDaemon(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                 std::string& why) {
  return QueryDaemonRows(controlPath, request, clientName, text, nullptr, why);
}

bool QueryDaemonRows(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                     std::vector<std::string>* rows, std::string& why) {
  CControlChannel channel;
  ngc_error_t connected = channel.Connect(controlPath);
  if (connected != HXT_NGC_OK) {
    why = (connected == kErrRefused ? "no access to " : "no daemon listens on ") + controlPath + " (" +
          channel.ConnectError() + ")";
    return false;
  }
  bool answered = ask(channel, request, clientName, text, rows, why);
  return answered;
}

}  // namespace hxt::sockfilter
