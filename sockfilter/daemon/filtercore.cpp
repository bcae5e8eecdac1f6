#include "daemon/filtercore.h"

#include "common/applog.h"

namespace hxt::sockfilter {

namespace {
constexpr u32 kLinesPerSecond = 5;
constexpr const char* kServiceFailed = "CFilterCore::ServiceFailed";
}  // namespace

bool CLogThrottle::Allow() {
  auto now = std::chrono::steady_clock::now();
  if (now - windowStart_ >= std::chrono::seconds(1)) {
    windowStart_ = now;
    inWindow_ = 0;
  }
  if (inWindow_ < kLinesPerSecond) {
    ++inWindow_;
    return true;
  }
  ++suppressed_;
  return false;
}

u64 CLogThrottle::TakeSuppressed() {
  u64 n = suppressed_;
  suppressed_ = 0;
  return n;
}

void CFilterCore::SetParameters(const FilterParameters& parameters) {
  bool routingChanged =
      parameters.udpPort4 != parameters_.udpPort4 || parameters.udpPort6 != parameters_.udpPort6 ||
      parameters.tcpPort4 != parameters_.tcpPort4 || parameters.tcpPort6 != parameters_.tcpPort6 ||
      parameters.redirect4 != parameters_.redirect4 || parameters.redirect6 != parameters_.redirect6;
  parameters_ = parameters;
  if (routingChanged) {
    // New listeners, new chances: failures of the old ones are history.
    episode4_ = false;
    episode6_ = false;
    if (parametersChanged_) parametersChanged_();
  }
  if (everyChange_) everyChange_();
}

bool CFilterCore::Redirected(u16 family, Transport transport) const {
  bool flag = family == HXT_AF_INET6 ? parameters_.redirect6 : parameters_.redirect4;
  return flag && ServicePort(family, transport) != 0;
}

u16 CFilterCore::ServicePort(u16 family, Transport transport) const {
  if (family == HXT_AF_INET6)
    return transport == Transport::Udp ? parameters_.udpPort6 : parameters_.tcpPort6;
  return transport == Transport::Udp ? parameters_.udpPort4 : parameters_.tcpPort4;
}

const std::vector<std::string>& CFilterCore::WhiteList(u16 family) const {
  return family == HXT_AF_INET6 ? parameters_.whiteList6 : parameters_.whiteList4;
}

void CFilterCore::ServiceFailed(u16 family, const char* what) {
  bool& episode = family == HXT_AF_INET6 ? episode6_ : episode4_;
  if (episode) return;
  episode = true;
  char text[256];
  std::snprintf(text, sizeof text, "the agent's IPv%c listener %s; passing queries through",
                family == HXT_AF_INET6 ? '6' : '4', what);
  HXT_LOGF(LOG_LEVEL_WARNING, kServiceFailed, "%s", text);
  RaiseDisruption(kDisruptionServiceUnreachable, text);
}

void CFilterCore::ServiceAnswered(u16 family) {
  bool& episode = family == HXT_AF_INET6 ? episode6_ : episode4_;
  if (episode) {
    episode = false;
    HXT_LOGF(LOG_LEVEL_INFO, "CFilterCore::ServiceAnswered", "the agent's IPv%c listener answers again",
             family == HXT_AF_INET6 ? '6' : '4');
  }
}

void CFilterCore::RaiseDisruption(u32 reason, const std::string& text) {
  ++counters_.disruptions;
  if (sender_) sender_(reason, text);
}

bool CFilterCore::AcquireQuery(const boost::asio::ip::udp::endpoint& client) {
  if (inFlight_ >= config_.maxPendingQueries) return false;
  u32& mine = perClient_[client];
  if (mine >= config_.maxPendingPerClient) return false;
  ++mine;
  ++inFlight_;
  return true;
}

void CFilterCore::ReleaseQuery(const boost::asio::ip::udp::endpoint& client) {
  auto it = perClient_.find(client);
  if (it == perClient_.end()) return;
  if (--it->second == 0) perClient_.erase(it);
  if (inFlight_ > 0) --inFlight_;
}

}  // namespace hxt::sockfilter
