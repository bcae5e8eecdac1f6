// hxt_dns_bench: throughput and latency of the DNS redirection path on
// loopback, against a bare echo server as the baseline.
//
//   hxt_dns_bench [--seconds S] [--family 4|6] [--server listener|agent] [--transport udp|tcp|tcplong]
//
// Every run uses the same client (bench/loadclient.cpp) with 1 and 16
// requests in flight; the table prints requests per second, p50 and p99
// latency and the ratio to the echo baseline of the same shape.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/applog.h"
#include "loadclient.h"
#include "servers.h"

namespace hxt::bench {
namespace {

// Verbose logging off, as in production: debug lines are dropped before
// they are formatted, everything else is discarded here.
class NullSink : public ILogger {
 public:
  bool Write(u32, u8, const char*) override { return true; }
  std::string GetErrorText(u32) override { return std::string(); }
};

struct Options {
  std::chrono::milliseconds measure{3000};
  u32 family = 2;
  std::vector<std::string> servers = {"listener", "agent"};
  std::vector<Transport> transports = {Transport::Udp, Transport::TcpPerRequest, Transport::TcpLong};
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--seconds" && value) {
      options.measure = std::chrono::milliseconds(static_cast<long>(std::stod(value) * 1000));
    } else if (arg == "--family" && value) {
      options.family = std::string(value) == "6" ? 23 : 2;
    } else if (arg == "--server" && value) {
      options.servers = {value};
    } else if (arg == "--transport" && value) {
      std::string t = value;
      options.transports = {t == "udp"   ? Transport::Udp
                            : t == "tcp" ? Transport::TcpPerRequest
                                         : Transport::TcpLong};
    } else {
      std::fprintf(
          stderr,
          "usage: %s [--seconds S] [--family 4|6] [--server listener|agent] [--transport udp|tcp|tcplong]\n",
          argv[0]);
      return false;
    }
    ++i;
  }
  return true;
}

std::unique_ptr<Server> makeServer(const std::string& name, u32 family) {
  if (name == "echo") return MakeEchoServer(family);
  if (name == "listener") return MakeListenerServer(family);
  if (name == "agent") return MakeAgentServer(family);
  return nullptr;
}

void printRow(const char* transport, unsigned inFlight, const char* server, const Result& r, double ratio) {
  std::printf("%-22s %8u  %-9s %10.0f %9.1f %9.1f", transport, inFlight, server, r.requestsPerSecond,
              r.p50Microseconds, r.p99Microseconds);
  if (ratio > 0) {
    std::printf(" %7.0f%%", ratio * 100);
  } else {
    std::printf(" %8s", "");
  }
  if (r.retried || r.failed) std::printf("  (udp resent %llu, tcp failed %llu)", r.retried, r.failed);
  std::printf("\n");
  std::fflush(stdout);
}

int run(const Options& options) {
  const std::chrono::milliseconds warmUp(300);
  std::printf("family IPv%c, %.1f s per run, verbose logging off\n\n", options.family == 23 ? '6' : '4',
              options.measure.count() / 1000.0);
  std::printf("%-22s %8s  %-9s %10s %9s %9s %8s\n", "transport", "inflight", "server", "req/s", "p50(us)",
              "p99(us)", "vs echo");
  for (Transport transport : options.transports) {
    for (unsigned inFlight : {1u, 16u}) {
      Result baseline;
      {
        auto echo = MakeEchoServer(options.family);
        baseline = RunLoad(echo->GetTarget(), transport, inFlight, warmUp, options.measure);
        printRow(TransportName(transport), inFlight, "echo", baseline, 0);
      }
      for (const std::string& name : options.servers) {
        auto server = makeServer(name, options.family);
        if (!server) {
          std::fprintf(stderr, "unknown server %s\n", name.c_str());
          return 2;
        }
        Result r = RunLoad(server->GetTarget(), transport, inFlight, warmUp, options.measure);
        printRow(TransportName(transport), inFlight, server->Name(), r,
                 baseline.requestsPerSecond > 0 ? r.requestsPerSecond / baseline.requestsPerSecond : 0);
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace hxt::bench

int main(int argc, char** argv) {
  using namespace hxt;
  bench::Options options;
  if (!bench::parse(argc, argv, options)) return 2;
  auto* log = new CAppLog(std::make_unique<bench::NullSink>(), false);
  if (!CAppLog::registerInstance(log)) return 1;
  int code = bench::run(options);
  CAppLog::releaseInstance();
  return code;
}
