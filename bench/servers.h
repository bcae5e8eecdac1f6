// The servers the benchmark measures against each other, each on loopback
// ports of one address family, serving from threads of their own.
#pragma once

#include <memory>

#include "loadclient.h"

namespace hxt::bench {

class Server {
 public:
  virtual ~Server() = default;
  virtual const char* Name() const = 0;
  virtual Target GetTarget() const = 0;
};

// The baseline: a bare Asio echo server (UDP and TCP) on one I/O thread,
// sending every request back as it came.
std::unique_ptr<Server> MakeEchoServer(u32 family);

// A listener host (UDP and TCP listeners on their I/O thread) whose callback
// answers every request at once, as a DNS plug-in answering synchronously
// would: it keeps a request context as the orchestrator does and sends the
// query back as the answer.
std::unique_ptr<Server> MakeListenerServer(u32 family);

// The service's whole path in-process: the orchestrator with the fake DNS
// plug-in answering every query from its own thread (Echo mode), hosts made
// by the plug-in's redirect payload, the socket filter's test double.
std::unique_ptr<Server> MakeAgentServer(u32 family);

}  // namespace hxt::bench
