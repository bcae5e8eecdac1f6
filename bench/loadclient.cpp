#include "loadclient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "agent/velmoraredirectheader.h"

namespace hxt::bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kUdpRetry{500};

const unsigned char kQuery[] = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0x03, 'w',  'w',  'w',  0x07, 'e',  'x',  'a',  'm',  'p',
                                'l',  'e',  0x03, 'c',  'o',  'm',  0x00, 0x00, 0x01, 0x00, 0x01};

int nativeFamily(u32 family) {
  return family == kAddressFamilyIPv6 ? AF_INET6 : AF_INET;
}

socklen_t loopbackAddress(u32 family, u16 port, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof(out));
  if (family == kAddressFamilyIPv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    a->sin6_port = htons(port);
    return sizeof(sockaddr_in6);
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a->sin_port = htons(port);
  return sizeof(sockaddr_in);
}

u16 localPort(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                           : reinterpret_cast<sockaddr_in*>(&local)->sin_port);
}

void setNonBlocking(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// A closed connection leaves no TIME_WAIT behind: a run opens tens of
// thousands of them.
void closeWithReset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
}

struct Slot {
  int fd = -1;
  std::vector<unsigned char> request;
  std::size_t expected = 0;
  std::size_t received = 0;
  Clock::time_point sentAt;
  bool connecting = false;
};

class Loop {
 public:
  Loop(const Target& target, Transport transport, unsigned inFlight, Clock::time_point measureFrom)
      : target_(target), transport_(transport), slots_(inFlight), measureFrom_(measureFrom) {
    buffer_.resize(70000);
  }
  ~Loop() {
    for (Slot& s : slots_) {
      if (s.fd >= 0) closeWithReset(s.fd);
    }
  }

  void Run(Clock::time_point end, Result& result) {
    for (Slot& s : slots_) start(s);
    std::vector<pollfd> fds(slots_.size());
    while (Clock::now() < end) {
      for (std::size_t i = 0; i < slots_.size(); ++i) {
        fds[i].fd = slots_[i].fd;
        fds[i].events = slots_[i].connecting ? POLLOUT : POLLIN;
        fds[i].revents = 0;
      }
      int n = ::poll(fds.data(), fds.size(), 50);
      Clock::time_point now = Clock::now();
      for (std::size_t i = 0; i < slots_.size() && n > 0; ++i) {
        if (fds[i].revents != 0) onReady(slots_[i], now, result);
      }
      if (transport_ == Transport::Udp) {
        for (Slot& s : slots_) {
          if (now - s.sentAt > kUdpRetry) {
            ++retried_;
            send(s, now);
          }
        }
      }
    }
    std::sort(latencies_.begin(), latencies_.end());
    result.completed = latencies_.size();
    result.retried = retried_;
    result.failed = failed_;
    if (!latencies_.empty()) {
      result.p50Microseconds = latencies_[latencies_.size() / 2] / 1000.0;
      result.p99Microseconds =
          latencies_[std::min(latencies_.size() - 1, latencies_.size() * 99 / 100)] / 1000.0;
    }
  }

 private:
  void start(Slot& s) {
    int type = transport_ == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM;
    s.fd = ::socket(nativeFamily(target_.family), type, 0);
    if (s.fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_storage local;
    socklen_t length = loopbackAddress(target_.family, 0, local);
    ::bind(s.fd, reinterpret_cast<sockaddr*>(&local), length);
    s.request = BuildRequest(target_.family, localPort(s.fd), transport_);
    s.expected = target_.answerSize(transport_, s.request.size());
    Clock::time_point now = Clock::now();
    if (transport_ == Transport::Udp) {
      setNonBlocking(s.fd);
      send(s, now);
      return;
    }
    int one = 1;
    setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setNonBlocking(s.fd);
    sockaddr_storage to;
    length = loopbackAddress(target_.family, target_.tcpPort, to);
    s.sentAt = now;
    if (::connect(s.fd, reinterpret_cast<sockaddr*>(&to), length) == 0) {
      s.connecting = false;
      send(s, now, false);
    } else if (errno == EINPROGRESS) {
      s.connecting = true;
    } else {
      throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    }
  }

  void send(Slot& s, Clock::time_point now, bool stamp = true) {
    if (stamp) s.sentAt = now;
    s.received = 0;
    if (transport_ == Transport::Udp) {
      sockaddr_storage to;
      socklen_t length = loopbackAddress(target_.family, target_.udpPort, to);
      ::sendto(s.fd, s.request.data(), s.request.size(), 0, reinterpret_cast<sockaddr*>(&to), length);
    } else if (::send(s.fd, s.request.data(), s.request.size(), MSG_NOSIGNAL) !=
               static_cast<ssize_t>(s.request.size())) {
      restart(s, true);
    }
  }

  void restart(Slot& s, bool failed) {
    if (failed) ++failed_;
    closeWithReset(s.fd);
    s.fd = -1;
    s.connecting = false;
    start(s);
  }

  void complete(Slot& s, Clock::time_point now) {
    if (s.sentAt >= measureFrom_)
      latencies_.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(now - s.sentAt).count());
  }

  void onReady(Slot& s, Clock::time_point now, Result&) {
    if (s.connecting) {
      int error = 0;
      socklen_t length = sizeof(error);
      getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return restart(s, true);
      s.connecting = false;
      return send(s, now, false);
    }
    if (transport_ == Transport::Udp) {
      while (true) {
        ssize_t n = ::recv(s.fd, buffer_.data(), buffer_.size(), 0);
        if (n < 0) return;
        if (static_cast<std::size_t>(n) != s.expected) continue;
        complete(s, Clock::now());
        send(s, Clock::now());
        return;
      }
    }
    ssize_t n = ::recv(s.fd, buffer_.data(), buffer_.size(), 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) return restart(s, true);
    s.received += static_cast<std::size_t>(n);
    if (s.received < s.expected) return;
    complete(s, now);
    if (transport_ == Transport::TcpPerRequest) return restart(s, false);
    send(s, now);
  }

  Target target_;
  Transport transport_;
  std::vector<Slot> slots_;
  Clock::time_point measureFrom_;
  std::vector<unsigned char> buffer_;
  std::vector<long long> latencies_;
  unsigned long long retried_ = 0;
  unsigned long long failed_ = 0;
};

}  // namespace

const char* TransportName(Transport transport) {
  switch (transport) {
    case Transport::Udp:
      return "udp";
    case Transport::TcpPerRequest:
      return "tcp/conn-per-request";
    case Transport::TcpLong:
      return "tcp/one-connection";
  }
  return "?";
}

std::vector<unsigned char> BuildRequest(u32 family, u16 requesterPort, Transport transport) {
  std::vector<unsigned char> dns;
  if (transport != Transport::Udp) dns = {0, static_cast<unsigned char>(sizeof(kQuery))};
  dns.insert(dns.end(), kQuery, kQuery + sizeof(kQuery));
  std::vector<unsigned char> out(kRedirectHeaderSize + dns.size(), 0);
  for (std::size_t i = 0; i < kFilterBytesSize; ++i) out[i] = static_cast<unsigned char>(0xa0 + i);
  unsigned char* requester = out.data() + kRequesterAddressOffset;
  unsigned char* destination = out.data() + kDestinationAddressOffset;
  WriteLittleEndian16(requester, static_cast<u16>(family));
  requester[2] = static_cast<unsigned char>(requesterPort >> 8);
  requester[3] = static_cast<unsigned char>(requesterPort & 0xff);
  WriteLittleEndian16(destination, static_cast<u16>(family));
  destination[3] = 53;
  if (family == kAddressFamilyIPv6) {
    requester[8 + 15] = 1;
    inet_pton(AF_INET6, "2001:db8::53", destination + 8);
  } else {
    inet_pton(AF_INET, "127.0.0.1", requester + 4);
    inet_pton(AF_INET, "192.0.2.53", destination + 4);
  }
  WriteLittleEndian16(out.data() + kPayloadLengthOffset, static_cast<u16>(dns.size()));
  std::copy(dns.begin(), dns.end(), out.begin() + kRedirectHeaderSize);
  return out;
}

Result RunLoad(const Target& target, Transport transport, unsigned inFlight, std::chrono::milliseconds warmUp,
               std::chrono::milliseconds measure) {
  Clock::time_point begin = Clock::now();
  Result result;
  Loop loop(target, transport, inFlight, begin + warmUp);
  loop.Run(begin + warmUp + measure, result);
  result.requestsPerSecond = result.completed / (measure.count() / 1000.0);
  return result;
}

}  // namespace hxt::bench
