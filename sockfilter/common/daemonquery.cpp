#include "common/daemonquery.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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

bool ask(int fd, u16 request, const char* clientName, std::string& text, std::vector<std::string>* rows,
         std::string& why) {
  std::vector<u8> rx;
  Frame reply;
  FrameWriter hello(kMsgHello, 1);
  hello.U32(kProtocolVersion);
  hello.U32(static_cast<u32>(::getpid()));
  hello.String(clientName);
  u32 status = 0;
  if (!exchange(fd, hello.Finish(), 1, rx, reply)) {
    why = "the daemon did not answer HELLO";
    return false;
  }
  // A refused peer (1009) or another protocol version (1002) hears so here.
  FrameReader helloReply(reply.body.data(), reply.body.size());
  if (reply.type == kMsgHelloReply && helloReply.U32(status) && status != 0) {
    why = "the daemon refused: " + std::string(ErrorText(static_cast<ngc_error_t>(status)));
    return false;
  }
  if (!exchange(fd, FrameWriter(request, 2).Finish(), 2, rx, reply)) {
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
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, controlPath.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    why = (error == EACCES ? "no access to " : "no daemon listens on ") + controlPath + " (" +
          std::strerror(error) + ")";
    ::close(fd);
    return false;
  }
  bool answered = ask(fd, request, clientName, text, rows, why);
  ::close(fd);
  return answered;
}

}  // namespace hxt::sockfilter
