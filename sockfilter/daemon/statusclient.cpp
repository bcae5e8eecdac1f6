#include "daemon/statusclient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/controlproto.h"

namespace hxt::sockfilter {

namespace {

constexpr int kReplyTimeoutMs = 5000;

// The reply frame to `sequence`; notices in between are skipped.
bool exchange(int fd, std::vector<u8> request, u32 sequence, std::vector<u8>& rx, Frame& reply) {
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
    return false;
  for (;;) {
    TakeResult taken = TakeFrame(rx, reply);
    if (taken == TakeResult::Malformed) return false;
    if (taken == TakeResult::Frame) {
      if (reply.sequence == sequence) return true;
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kReplyTimeoutMs) <= 0) return false;
    u8 buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    rx.insert(rx.end(), buffer, buffer + n);
  }
}

}  // namespace

int PrintDaemonStatus(const std::string& controlPath) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, controlPath.c_str(), sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "hxsockfilterd: no daemon listens on %s\n", controlPath.c_str());
    if (fd >= 0) ::close(fd);
    return 1;
  }
  std::vector<u8> rx;
  Frame reply;
  FrameWriter hello(kMsgHello, 1);
  hello.U32(kProtocolVersion);
  hello.U32(static_cast<u32>(::getpid()));
  hello.String("hxsockfilterd --status");
  u32 status = 1;
  std::string text;
  if (exchange(fd, hello.Finish(), 1, rx, reply) &&
      exchange(fd, FrameWriter(kMsgStatus, 2).Finish(), 2, rx, reply)) {
    FrameReader r(reply.body.data(), reply.body.size());
    if (!r.U32(status) || !r.String(text)) status = 1;
  }
  ::close(fd);
  if (status != 0) {
    std::fprintf(stderr, "hxsockfilterd: the daemon on %s gave no status\n", controlPath.c_str());
    return 1;
  }
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace hxt::sockfilter
