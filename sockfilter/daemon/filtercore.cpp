#include "daemon/filtercore.h"

#include <cstdio>

#include "common/applog.h"
#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

void DaemonCounters::PassThroughAnswered(std::chrono::steady_clock::duration took) {
  const long long us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  std::size_t bucket = 0;
  while (bucket < std::size(kLatencyBoundsMs) &&
         us > static_cast<long long>(kLatencyBoundsMs[bucket]) * 1000) {
    ++bucket;
  }
  ++passThroughLatency[bucket];
  passThroughLatencySumUs += static_cast<u64>(us > 0 ? us : 0);
  ++passThroughAnswers;
}

namespace {
constexpr u32 kLinesPerSecond = 5;
constexpr const char* kServiceFailed = "CFilterCore::ServiceFailed";
// The budget of the sockets whose user could not be told.
constexpr u32 kUnknownUser = ~u32{0};
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

namespace {

std::vector<std::string> normalised(const std::vector<std::string>& entries, char family) {
  std::vector<std::string> out;
  for (const std::string& entry : entries) {
    std::string name;
    if (NormaliseWhiteListEntry(entry, name)) {
      out.push_back(std::move(name));
    } else {
      HXT_LOGF(LOG_LEVEL_WARNING, "CFilterCore::SetParameters", "ignored the IPv%c white-list entry \"%s\"",
               family, entry.c_str());
    }
  }
  return out;
}

}  // namespace

CFilterCore::CFilterCore(const SockFilterConfig& config) : config_(config), resolvers_(config) {
  if (config.attribution) {
    attribution_ = std::make_unique<CAttribution>(config.ignoredPrograms);
  } else if (!config.ignoredPrograms.empty()) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CFilterCore::CFilterCore",
             "IgnoredPrograms needs Attribution: with it off, those programs' queries are redirected too");
  }
}

void CFilterCore::SetParameters(const FilterParameters& parameters) {
  if (parameters.whiteList4 != parameters_.whiteList4) whiteList4_ = normalised(parameters.whiteList4, '4');
  if (parameters.whiteList6 != parameters_.whiteList6) whiteList6_ = normalised(parameters.whiteList6, '6');
  // Whatever the agent sends, it is alive: a hung family tries it again.
  closeBreaker(HXT_AF_INET, parameters.redirect4 ? "sent new parameters" : nullptr);
  closeBreaker(HXT_AF_INET6, parameters.redirect6 ? "sent new parameters" : nullptr);
  bool routingChanged =
      parameters.udpPort4 != parameters_.udpPort4 || parameters.udpPort6 != parameters_.udpPort6 ||
      parameters.tcpPort4 != parameters_.tcpPort4 || parameters.tcpPort6 != parameters_.tcpPort6 ||
      parameters.redirect4 != parameters_.redirect4 || parameters.redirect6 != parameters_.redirect6;
  parameters_ = parameters;
  const std::array<bool, 4> wasForeign = foreign_;
  checkPorts();
  routingChanged = routingChanged || foreign_ != wasForeign;
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
  return flag && ServicePort(family, transport) != 0 && !foreign_[portIndex(family, transport)];
}

void CFilterCore::checkPorts() {
  nextPortCheck_ = std::chrono::steady_clock::now() + config_.portCheckInterval;
  for (u16 family : {static_cast<u16>(HXT_AF_INET), static_cast<u16>(HXT_AF_INET6)}) {
    for (Transport transport : {Transport::Udp, Transport::Tcp}) {
      const u16 port = ServicePort(family, transport);
      const bool flag = family == HXT_AF_INET6 ? parameters_.redirect6 : parameters_.redirect4;
      const bool foreign =
          portCheck_ && flag && port != 0 && !portCheck_(family, transport, port, parameters_.agentPid);
      bool& known = foreign_[portIndex(family, transport)];
      if (foreign != known) {
        HXT_LOGF(foreign ? LOG_LEVEL_ERROR : LOG_LEVEL_INFO, "CFilterCore::checkPorts",
                 foreign
                     ? "the agent's %s listener port %u (IPv%c) is held by another process than the agent "
                       "(pid %u): no query goes there"
                     : "the agent's %s listener port %u (IPv%c) is the agent's (pid %u) again",
                 transport == Transport::Udp ? "UDP" : "TCP", port, family == HXT_AF_INET6 ? '6' : '4',
                 parameters_.agentPid);
      }
      known = foreign;
    }
  }
}

std::string CFilterCore::ForeignPorts() const {
  std::string text;
  for (u16 family : {static_cast<u16>(HXT_AF_INET), static_cast<u16>(HXT_AF_INET6)}) {
    for (Transport transport : {Transport::Udp, Transport::Tcp}) {
      if (!foreign_[portIndex(family, transport)]) continue;
      if (!text.empty()) text += ", ";
      text += std::string(transport == Transport::Udp ? "UDP " : "TCP ") +
              std::to_string(ServicePort(family, transport)) +
              (family == HXT_AF_INET6 ? " (IPv6)" : " (IPv4)");
    }
  }
  return text;
}

u16 CFilterCore::ServicePort(u16 family, Transport transport) const {
  if (family == HXT_AF_INET6)
    return transport == Transport::Udp ? parameters_.udpPort6 : parameters_.tcpPort6;
  return transport == Transport::Udp ? parameters_.udpPort4 : parameters_.tcpPort4;
}

const std::vector<std::string>& CFilterCore::WhiteList(u16 family) const {
  return family == HXT_AF_INET6 ? whiteList6_ : whiteList4_;
}

bool CFilterCore::RouteToService(u16 family, Transport transport) {
  // Only flags change here: whoever routes reads Redirected() again.
  if (portCheck_ && std::chrono::steady_clock::now() >= nextPortCheck_) checkPorts();
  if (!Redirected(family, transport)) return false;
  Breaker& b = breaker(family);
  if (!b.open) return true;
  auto now = std::chrono::steady_clock::now();
  if (now < b.nextProbe) return false;
  b.nextProbe = now + config_.breakerProbeInterval;
  HXT_LOGF(LOG_LEVEL_DEBUG, "CFilterCore::RouteToService", "probing the agent's IPv%c listener with a query",
           family == HXT_AF_INET6 ? '6' : '4');
  return true;
}

void CFilterCore::ServiceTimedOut(u16 family) {
  Breaker& b = breaker(family);
  if (b.open || ++b.timeouts < config_.breakerThreshold) return;
  b.open = true;
  b.nextProbe = std::chrono::steady_clock::now() + config_.breakerProbeInterval;
  ++counters_.breakerTrips;
  HXT_LOGF(
      LOG_LEVEL_WARNING, "CFilterCore::ServiceTimedOut",
      "the agent's IPv%c listener let %u queries in a row time out: passing the family's queries through "
      "at once, trying the agent again every %lld ms",
      family == HXT_AF_INET6 ? '6' : '4', b.timeouts,
      static_cast<long long>(config_.breakerProbeInterval.count()));
}

void CFilterCore::closeBreaker(u16 family, const char* why) {
  Breaker& b = breaker(family);
  b.timeouts = 0;
  if (!b.open) return;
  b.open = false;
  if (why == nullptr) return;  // the family stops being redirected: nothing resumes
  HXT_LOGF(LOG_LEVEL_INFO, "CFilterCore::closeBreaker", "the agent %s: redirecting IPv%c queries again", why,
           family == HXT_AF_INET6 ? '6' : '4');
}

void CFilterCore::ServiceFailed(u16 family, const char* what) {
  // A listener that went away may be back, or another process may have
  // taken its port.
  if (portCheck_) checkPorts();
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
  closeBreaker(family, "answers again");
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

std::size_t EndpointHash::operator()(const boost::asio::ip::udp::endpoint& endpoint) const {
  u64 h = endpoint.port();
  const boost::asio::ip::address address = endpoint.address();
  if (address.is_v4()) {
    h = (h << 32) ^ address.to_v4().to_uint();
  } else {
    for (u8 byte : address.to_v6().to_bytes()) h = (h ^ byte) * 0x100000001B3ull;
  }
  // The table indexes by the low bits: mix the high ones into them.
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return static_cast<std::size_t>(h);
}

bool CFilterCore::AcquireQuery(const boost::asio::ip::udp::endpoint& client,
                               const std::function<std::optional<u32>()>& owner) {
  if (inFlight_ >= config_.maxPendingQueries) return false;
  ClientBudget* mine = perClient_.Find(client);
  if (mine != nullptr && mine->inFlight >= config_.maxPendingPerClient) return false;
  u32 user = mine != nullptr ? mine->user : owner().value_or(kUnknownUser);
  u32* theirs = perUser_.Find(user);
  if (theirs != nullptr && *theirs >= config_.maxPendingPerUser) return false;
  if (config_.maxPendingPerClient == 0 || config_.maxPendingPerUser == 0) return false;
  if (mine == nullptr) {
    mine = &perClient_[client];
    mine->user = user;
  }
  if (theirs == nullptr) theirs = &perUser_[user];
  ++mine->inFlight;
  ++*theirs;
  ++inFlight_;
  return true;
}

void CFilterCore::ReleaseQuery(const boost::asio::ip::udp::endpoint& client) {
  ClientBudget* mine = perClient_.Find(client);
  if (mine == nullptr) return;
  u32 user = mine->user;
  if (--mine->inFlight == 0) perClient_.Erase(client);
  if (u32* theirs = perUser_.Find(user)) {
    if (--*theirs == 0) perUser_.Erase(user);
  }
  if (inFlight_ > 0) --inFlight_;
}

u64 CFilterCore::programOf(int protocol, const boost::asio::ip::udp::endpoint& client,
                           const boost::asio::ip::udp::endpoint& own, std::optional<u32>& uid) {
  std::optional<u64> inode;
  u64* known = nullptr;  // the program found for the socket while it lives
  if (auto identity = owners_.IdentifyLive(protocol, client, own, &known)) {
    uid = identity->uid;
    inode = identity->inode;
  }
  if (known != nullptr && *known != 0 && attribution_->Row(*known) != nullptr) return *known;
  const u64 program = attribution_->ProgramOf(uid, inode);
  // Not yet found, or held by no process: asked again with the next query.
  const ProgramRow* row = attribution_->Row(program);
  if (known != nullptr && row != nullptr && row->exe != kUnknownProgram && row->exe != kExitedProgram)
    *known = program;
  return program;
}

bool CFilterCore::AcquireQuery(int protocol, const boost::asio::ip::udp::endpoint& client,
                               const boost::asio::ip::udp::endpoint& own, const u8* query, std::size_t size,
                               Asker& asker) {
  if (!attribution_) return AcquireQuery(client, [&] { return owners_.Uid(protocol, client, own); });
  u64 program = 0;
  bool looked = false;
  auto owner = [&]() -> std::optional<u32> {
    looked = true;
    std::optional<u32> uid;
    program = programOf(protocol, client, own, uid);
    return uid;
  };
  if (!AcquireQuery(client, owner)) return false;
  ClientBudget* mine = perClient_.Find(client);
  if (looked) {
    mine->program = program;
  } else {
    program = mine->program;
  }
  asker = attribution_->Asked(program, query, size);
  return true;
}

bool CFilterCore::RouteToService(u16 family, Transport transport, const Asker& asker) {
  if (asker.ignored) return false;
  if (!RouteToService(family, transport)) return false;
  if (attribution_) attribution_->ToAgent(asker.program);
  return true;
}

Asker CFilterCore::AttributeConnection(const boost::asio::ip::udp::endpoint& client,
                                       const boost::asio::ip::udp::endpoint& asked, const u8* query,
                                       std::size_t size) {
  if (!attribution_) return Asker();
  std::optional<u32> uid;
  return attribution_->Asked(programOf(IPPROTO_TCP, client, asked, uid), query, size);
}

void CFilterCore::AgentAnswered(const boost::asio::ip::udp::endpoint& client, const u8* answer,
                                std::size_t size) {
  if (!attribution_) return;
  const ClientBudget* mine = perClient_.Find(client);
  if (mine == nullptr) return;
  AgentAnswered(Asker{mine->program, false}, answer, size);
}

void CFilterCore::AgentAnswered(const Asker& asker, const u8* answer, std::size_t size) {
  if (!attribution_) return;
  std::string name;
  if (attribution_->Answered(asker.program, answer, size, name)) logBlocked(asker.program, name);
}

void CFilterCore::ConnectionAsked(const Asker& asker, const u8* query, std::size_t size, bool toAgent) {
  if (!attribution_) return;
  attribution_->Asked(asker.program, query, size);
  if (toAgent) attribution_->ToAgent(asker.program);
}

void CFilterCore::logBlocked(u64 program, const std::string& name) {
  if (!blockedThrottle_.Allow()) return;
  const ProgramRow* row = attribution_->Row(program);
  const u64 suppressed = blockedThrottle_.TakeSuppressed();
  char more[64] = "";
  if (suppressed > 0)
    std::snprintf(more, sizeof more, " (%llu more not logged)", static_cast<unsigned long long>(suppressed));
  if (row == nullptr) {
    HXT_LOGF(LOG_LEVEL_INFO, "CFilterCore::AgentAnswered", "blocked %s%s", name.c_str(), more);
    return;
  }
  HXT_LOGF(LOG_LEVEL_INFO, "CFilterCore::AgentAnswered", "blocked %s, asked by %s (pid %u, uid %s, %s)%s",
           name.c_str(), row->exe.c_str(), row->pid, row->uidKnown ? std::to_string(row->uid).c_str() : "?",
           row->unit.empty() ? "-" : row->unit.c_str(), more);
}

std::vector<std::string> CFilterCore::ProgramTable(bool withNames) const {
  return attribution_ ? attribution_->Table(withNames) : std::vector<std::string>();
}

}  // namespace hxt::sockfilter
