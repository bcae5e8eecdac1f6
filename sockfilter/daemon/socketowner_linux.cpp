#include "daemon/socketowner.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include <boost/asio/posix/stream_descriptor.hpp>

#include "common/applog.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {

namespace {

void putAddress(__be32* out, const boost::asio::ip::address& address) {
  if (address.is_v4()) {
    auto bytes = address.to_v4().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  } else {
    auto bytes = address.to_v6().to_bytes();
    std::memcpy(out, bytes.data(), bytes.size());
  }
}

}  // namespace

struct CSocketOwners::ClosedSockets {
  explicit ClosedSockets(boost::asio::io_context& io) : notices(io) {}
  boost::asio::posix::stream_descriptor notices;
  alignas(nlmsghdr) std::array<u8, 16384> buffer{};
};

CSocketOwners::CSocketOwners() = default;

CSocketOwners::~CSocketOwners() {
  if (fd_ >= 0) ::close(fd_);
}

bool CSocketOwners::WatchClosedSockets(boost::asio::io_context& io, int queueBytes) {
  if (closed_) return true;
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  // A burst of closes must not overflow it often: an overflow forgets every port.
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
  sockaddr_nl self{};  // a multicast member needs an address of its own
  self.nl_family = AF_NETLINK;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
    ::close(fd);
    return false;
  }
  for (int group : {SKNLGRP_INET_UDP_DESTROY, SKNLGRP_INET6_UDP_DESTROY}) {
    if (::setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      ::close(fd);
      return false;
    }
  }
  closed_ = std::make_unique<ClosedSockets>(io);
  closed_->notices.assign(fd);
  readClosed();
  return true;
}

void CSocketOwners::readClosed() {
  closed_->notices.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                              [this](const boost::system::error_code& ec) {
                                if (ec) return;
                                drainClosed();
                              });
}

void CSocketOwners::drainClosed() {
  for (;;) {
    ssize_t n = ::recv(closed_->notices.native_handle(), closed_->buffer.data(), closed_->buffer.size(), 0);
    if (n < 0 && errno == ENOBUFS) {
      live_.clear();  // notices were lost: nothing remembered can be trusted
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    if (n <= 0) {
      // The notices stopped: from here on every lookup asks the kernel.
      const int error = n < 0 ? errno : 0;
      HXT_LOGF(LOG_LEVEL_WARNING, "CSocketOwners::drainClosed", "notices of closed sockets stopped [%d-%s]; %s",
               error, n < 0 ? std::strerror(error) : "socket closed", kLookupEverySocket);
      live_.clear();
      closed_.reset();
      return;
    }
    auto length = static_cast<u32>(n);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(closed_->buffer.data()); NLMSG_OK(header, length);
         header = NLMSG_NEXT(header, length)) {
      if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
          header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
        continue;
      const auto* closed = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
      forgetPort(closed->idiag_family == AF_INET6, ntohs(closed->id.idiag_sport));
    }
  }
  readClosed();
}

std::optional<CSocketOwners::Identity> CSocketOwners::askKernel(int protocol,
                                                                const boost::asio::ip::udp::endpoint& own,
                                                                const boost::asio::ip::udp::endpoint& peer) {
  ++kernelLookups_;
  if (fd_ < 0) {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd_ < 0) return std::nullopt;
    timeval timeout{0, 200000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  if (own.address().is_v4() != peer.address().is_v4()) return std::nullopt;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  u32 sequence = ++sequence_;
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = sequence;
  inet_diag_req_v2& r = message.request;
  r.sdiag_family = static_cast<u8>(own.address().is_v4() ? AF_INET : AF_INET6);
  r.sdiag_protocol = static_cast<u8>(protocol);
  r.idiag_states = ~0u;
  r.id.idiag_cookie[0] = r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  // TCP finds the socket by its own address as the source; UDP, for
  // historical reasons, by its own address as the destination.
  const bool ownIsSource = protocol == IPPROTO_TCP;
  const auto& source = ownIsSource ? own : peer;
  const auto& destination = ownIsSource ? peer : own;
  r.id.idiag_sport = htons(source.port());
  r.id.idiag_dport = htons(destination.port());
  putAddress(r.id.idiag_src, source.address());
  putAddress(r.id.idiag_dst, destination.address());
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return std::nullopt;
  alignas(nlmsghdr) std::array<u8, 4096> buffer{};
  for (;;) {
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n <= 0) return std::nullopt;
    const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data());
    if (!NLMSG_OK(header, static_cast<u32>(n))) return std::nullopt;
    if (header->nlmsg_seq != sequence) continue;  // a late answer to an earlier request
    if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY || header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
      return std::nullopt;
    const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
    return Identity{found->idiag_uid, found->idiag_inode};
  }
}

std::optional<bool> LoopbackListenerOwnedBy(CSocketOwners& owners, int protocol, u16 family, u16 port,
                                            u32 pid) {
  const ListenerKey key = LoopbackListenerKey(family, port);
  auto identity = owners.Identify(protocol, key.own, key.peer);
  if (!identity) return std::nullopt;
  if (pid == 0) return false;
  const std::string wanted = "socket:[" + std::to_string(identity->inode) + "]";
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = ::opendir(folder.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  char target[64];
  while (!found) {
    const dirent* entry = ::readdir(fds);
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    const std::string link = folder + "/" + entry->d_name;
    ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    found = n == static_cast<ssize_t>(wanted.size()) && wanted.compare(0, wanted.size(), target, n) == 0;
  }
  ::closedir(fds);
  return found;
}

}  // namespace hxt::sockfilter
