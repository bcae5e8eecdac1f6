// Whether one user's flood takes another user's DNS: hxsockfilterd's stub
// on 127.0.0.1:5353, its pass-through resolver on 127.0.0.1:5354 answering
// every name but the flooder's (those stay in flight until the daemon gives
// up on them, the worst case for the budgets). User nobody floods from many
// sockets; meanwhile root asks one query at a time and the bench prints how
// those fared: answered, SERVFAIL, lost (no answer within 1 s), latency.
//
//   sudo build/release/bench/hxt_fairness_bench build/release/sockfilter/hxsockfilterd
//        [--seconds 5] [--sockets 64] [--rate 20000]
//
// Runs in a network namespace of its own (unshare): nothing leaves it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kStubPort = 5353;
constexpr uint16_t kResolverPort = 5354;
constexpr uid_t kFlooder = 65534;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// An A query for `label`.test with `id`.
std::vector<uint8_t> Query(const std::string& label, uint16_t id) {
  std::vector<uint8_t> q = {
      static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  q.push_back(static_cast<uint8_t>(label.size()));
  q.insert(q.end(), label.begin(), label.end());
  const uint8_t tail[] = {4, 't', 'e', 's', 't', 0, 0, 1, 0, 1};
  q.insert(q.end(), std::begin(tail), std::end(tail));
  return q;
}

// Answers every query but the flooder's with an empty NOERROR answer.
void Resolver(int fd, const std::atomic<bool>& stop) {
  uint8_t buffer[512];
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 13 || std::memcmp(buffer + 13, "flood", 5) == 0) continue;
    buffer[2] |= 0x80;  // a response
    buffer[3] = 0x80;   // recursion available, NOERROR
    ::sendto(fd, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), length);
  }
}

// As nobody: `sockets` sockets, each sending in turn, `rate` queries a second
// in all, until killed.
[[noreturn]] void Flood(int sockets, int rate) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(kFlooder) != 0 || ::setuid(kFlooder) != 0) ::_exit(1);
  std::vector<int> fds;
  for (int i = 0; i < sockets; ++i) fds.push_back(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0));
  const sockaddr_in stub = Loopback(kStubPort);
  const auto step = std::chrono::nanoseconds(1000000000LL * sockets / std::max(rate, 1));
  auto next = Clock::now();
  uint8_t drain[512];
  for (uint16_t id = 0;; ++id) {
    for (int fd : fds) {
      std::vector<uint8_t> q = Query("flood" + std::to_string(id), id);
      ::sendto(fd, q.data(), q.size(), 0, reinterpret_cast<const sockaddr*>(&stub), sizeof stub);
      while (::recv(fd, drain, sizeof drain, 0) > 0) {
      }
    }
    next += step;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s HXSOCKFILTERD [--seconds N] [--sockets N] [--rate N]\n", argv[0]);
    return 2;
  }
  const std::string daemon = std::filesystem::absolute(argv[1]).string();
  double seconds = 5;
  int sockets = 64, rate = 20000;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--sockets") sockets = std::atoi(argv[i + 1]);
    if (option == "--rate") rate = std::atoi(argv[i + 1]);
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    std::perror("unshare(CLONE_NEWNET) (run as root)");
    return 1;
  }
  if (std::system("ip link set lo up") != 0) return 1;

  int resolverFd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at = Loopback(kResolverPort);
  if (::bind(resolverFd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return 1;
  std::atomic<bool> stop{false};
  std::thread resolver(Resolver, resolverFd, std::cref(stop));

  char rootTemplate[] = "/tmp/hxt-fairness-XXXXXX";
  const std::string root = ::mkdtemp(rootTemplate);
  pid_t daemonPid = ::fork();
  if (daemonPid == 0) {
    ::setenv("HXT_ROOT", root.c_str(), 1);
    // Its journal lines (every dropped excess) would drown the figures.
    int log = ::open((root + "/hxsockfilterd.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    ::execl(daemon.c_str(), daemon.c_str(), "--stub4", "127.0.0.1:5353", "--stub6", "off", "--resolvers",
            "127.0.0.1:5354", "--control", (root + "/hxsockfilterd.sock").c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }

  // Root's single client: one query at a time, 1 s to answer it.
  int client = ::socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in stub = Loopback(kStubPort);
  ::connect(client, reinterpret_cast<const sockaddr*>(&stub), sizeof stub);
  uint16_t id = 0;
  auto ask = [&](double& ms) -> int {  // 0 answered, 2 SERVFAIL, -1 lost
    ++id;
    std::vector<uint8_t> q = Query("victim" + std::to_string(id), id);
    const auto start = Clock::now();
    ::send(client, q.data(), q.size(), 0);
    uint8_t answer[512];
    for (;;) {
      int left =
          1000 - static_cast<int>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
      pollfd p{client, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, left) <= 0) return -1;
      ssize_t n = ::recv(client, answer, sizeof answer, 0);
      if (n < 12 || answer[0] != q[0] || answer[1] != q[1]) continue;  // late, or refused before start
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      return answer[3] & 0x0F;
    }
  };
  double ms = 0;
  bool up = false;
  for (int i = 0; i < 50 && !up; ++i) up = ask(ms) == 0;
  if (!up) {
    std::fprintf(stderr, "the daemon did not answer\n");
    ::kill(daemonPid, SIGKILL);
    return 1;
  }

  pid_t flooder = ::fork();
  if (flooder == 0) Flood(sockets, rate);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the flood fills its budget

  std::vector<double> latencies;
  int answered = 0, servfail = 0, lost = 0, other = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    int rcode = ask(ms);
    if (rcode == 0) {
      ++answered;
      latencies.push_back(ms);
    } else if (rcode == 2) {
      ++servfail;
    } else if (rcode < 0) {
      ++lost;
    } else {
      ++other;
    }
  }
  // Datagrams the kernel dropped because a socket's receive queue was full
  // (this namespace only): the stub's, when the daemon is busy.
  std::string snmp;
  if (FILE* f = std::fopen("/proc/net/snmp", "r")) {
    char line[1024];
    while (std::fgets(line, sizeof line, f) != nullptr) snmp += line;
    std::fclose(f);
  }
  ::kill(flooder, SIGKILL);
  ::waitpid(flooder, nullptr, 0);
  ::kill(daemonPid, SIGTERM);
  ::waitpid(daemonPid, nullptr, 0);
  stop = true;
  resolver.join();
  std::filesystem::remove_all(root);

  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    return latencies.empty()
               ? 0.0
               : latencies[std::min(latencies.size() - 1, static_cast<size_t>(p * latencies.size()))];
  };
  std::printf("flood: user %u, %d sockets, %d queries/s its resolver never answers\n", kFlooder, sockets,
              rate);
  std::printf(
      "root's queries: %d answered, %d SERVFAIL, %d lost, %d other; p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
      answered, servfail, lost, other, percentile(0.5), percentile(0.99),
      latencies.empty() ? 0.0 : latencies.back());
  // The second "Udp:" line holds the values of the names in the first.
  std::size_t names = snmp.find("Udp:"), values = snmp.find("Udp:", names + 1);
  if (names != std::string::npos && values != std::string::npos) {
    auto field = [&](std::size_t at, int index) {
      std::size_t end = snmp.find('\n', at);
      std::string row = snmp.substr(at, end - at);
      std::size_t start = 0;
      for (int i = 0; i <= index; ++i) {
        start = row.find(' ', start);
        if (start == std::string::npos) return std::string();
        ++start;
      }
      return row.substr(start, row.find(' ', start) - start);
    };
    for (int i = 0; i < 12; ++i) {
      if (field(names, i) == "RcvbufErrors")
        std::printf("UDP datagrams dropped on a full receive queue: %s\n", field(values, i).c_str());
    }
  }
  return servfail + lost + other == 0 ? 0 : 3;
}
