// Whether a TCP service accepts connections: the gateway's reachability check.
#ifndef HXT_PLUGINS_SWG_PROXYPROBE_H
#define HXT_PLUGINS_SWG_PROXYPROBE_H

#include <chrono>
#include <cstdint>
#include <string>

namespace hxtplugin {

struct ProbeResult {
  bool reachable = false;
  std::string detail;  // what happened, for the log and the user message
};

// Connects to host:port (an address, or a name resolved by the system) and
// closes the connection at once; sends no data. Gives up after `timeout`.
ProbeResult ProbeTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout);

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_SWG_PROXYPROBE_H
