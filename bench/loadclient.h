// The benchmark's load generator: speaks the redirection format to a server
// on loopback and measures throughput and latency with a fixed number of
// requests in flight, from one thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/hxttypes.h"

namespace hxt::bench {

enum class Transport { Udp, TcpPerRequest, TcpLong };

const char* TransportName(Transport transport);

// Where to send and what comes back.
struct Target {
  u32 family = 2;
  u16 udpPort = 0;
  u16 tcpPort = 0;
  // Size of an answer to a request of `requestSize` bytes (header included).
  std::size_t (*answerSize)(Transport transport, std::size_t requestSize) = nullptr;
};

struct Result {
  double requestsPerSecond = 0;
  double p50Microseconds = 0;
  double p99Microseconds = 0;
  unsigned long long completed = 0;
  unsigned long long retried = 0;  // UDP requests sent again after a loss
  unsigned long long failed = 0;   // broken TCP exchanges
};

// Runs `inFlight` concurrent request loops for `warmUp` + `measure` and
// reports what completed during `measure`.
Result RunLoad(const Target& target, Transport transport, unsigned inFlight, std::chrono::milliseconds warmUp,
               std::chrono::milliseconds measure);

// The request every loop sends: the redirection header (requester port
// filled in per socket) and a 33-byte DNS query for www.example.com/A, over
// TCP behind its 16-bit length as DNS over TCP carries it.
std::vector<unsigned char> BuildRequest(u32 family, u16 requesterPort, Transport transport);

}  // namespace hxt::bench
