#include "daemon/sockfilterdaemon.h"

#include <random>

#include "common/applog.h"
#include "daemon/controlserver.h"
#include "daemon/passthrough.h"
#include "daemon/tcpstub.h"
#include "daemon/transparentmode.h"
#include "daemon/udprelay.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;

namespace {

// Answers meant for an earlier run of the daemon must not match this one's
// queries, whatever serial they carry.
Nonce makeNonce() {
  std::random_device random;
  Nonce nonce{};
  for (auto& byte : nonce) byte = static_cast<u8>(random());
  return nonce;
}

}  // namespace

CSockFilterDaemon::CSockFilterDaemon(asio::io_context& io, const SockFilterConfig& config)
    : io_(io), config_(config), core_(config_) {}

CSockFilterDaemon::~CSockFilterDaemon() {
  Stop();
}

bool CSockFilterDaemon::startFamily(Family& family, const asio::ip::udp::endpoint& stub) {
  // Port 0 gives one port for both transports: TCP takes the port UDP got. A
  // TCP socket elsewhere may hold that port already, so port 0 tries again.
  constexpr int kPortZeroAttempts = 8;
  for (int attempt = 0; attempt < (stub.port() == 0 ? kPortZeroAttempts : 1); ++attempt) {
    Nonce nonce = makeNonce();
    family.udp = std::make_unique<CUdpRelay>(io_, core_, *passThrough_, nonce);
    family.tcp = std::make_unique<CTcpStub>(io_, core_, nonce);
    std::string why;
    if (!family.udp->Start(stub, why)) {
      HXT_LOGF(LOG_LEVEL_ERROR, "CSockFilterDaemon::startFamily", "%s", why.c_str());
      break;
    }
    asio::ip::udp::endpoint bound = family.udp->LocalEndpoint();
    if (family.tcp->Start(asio::ip::tcp::endpoint(bound.address(), bound.port()))) return true;
  }
  family.udp.reset();
  family.tcp.reset();
  return false;
}

bool CSockFilterDaemon::Start() {
  passThrough_ = std::make_unique<CPassThrough>(io_, core_);
  control_ = std::make_unique<CControlServer>(io_, core_);
  if (!control_->Start()) return false;
  if (config_.attribution && !core_.SocketOwners().WatchClosedSockets(io_))
    HXT_LOGF(LOG_LEVEL_INFO, "CSockFilterDaemon::Start",
             "no notices of closed sockets: %s", CSocketOwners::kLookupEverySocket);
  if (config_.mode == kModeTransparent) startTransparent();
  // Without its capability transparent mode still answers the agent (40).
  bool any = transparent_ != nullptr || core_.AwaitingApproval();
  if (config_.stub4) any = startFamily(v4_, *config_.stub4) || any;
  if (config_.stub6) any = startFamily(v6_, *config_.stub6) || any;
  if (!any) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CSockFilterDaemon::Start", "no stub address could be bound");
    control_->Stop();
    return false;
  }
  core_.SetParametersListener([this] {
    for (Family* family : {&v4_, &v6_}) {
      if (family->udp) family->udp->RoutingChanged();
    }
  });
  core_.SetEveryChangeListener([this] {
    if (transparent_) transparent_->ParametersChanged();
  });
  core_.SetStatusProvider([this] { return Describe(); });
  core_.SetCountersProvider([this] { return CounterLines(); });
  HXT_LOGF(LOG_LEVEL_INFO, "CSockFilterDaemon::Start",
           "stub mode: IPv4 stub %s, IPv6 stub %s, control socket %s",
           v4_.udp ? EndpointText(v4_.udp->LocalEndpoint()).c_str() : "off",
           v6_.udp ? EndpointText(v6_.udp->LocalEndpoint()).c_str() : "off", config_.controlPath.c_str());
  core_.ResolverSource().LogState(false);
  return true;
}

void CSockFilterDaemon::Stop() {
  core_.SetParametersListener(nullptr);
  core_.SetEveryChangeListener(nullptr);
  core_.SetStatusProvider(nullptr);
  core_.SetCountersProvider(nullptr);
  if (control_) control_->Stop();
  if (transparent_) transparent_->Stop();
  for (Family* family : {&v4_, &v6_}) {
    if (family->udp) family->udp->Stop();
    if (family->tcp) family->tcp->Stop();
  }
  if (passThrough_) passThrough_->Stop();
}

void CSockFilterDaemon::startTransparent() {
  transparent_ = std::make_unique<CTransparentMode>(io_, core_, *passThrough_, makeNonce());
  std::string why;
  if (transparent_->Start(why)) return;
  transparent_.reset();
  core_.SetAwaitingApproval(true);
  HXT_LOGF(LOG_LEVEL_ERROR, "CSockFilterDaemon::startTransparent",
           "transparent mode does not start: %s; the agent's OpenPlugin is answered 40 (awaits approval)%s",
           why.c_str(), config_.stub4 || config_.stub6 ? "; serving stub mode" : "");
}

std::optional<asio::ip::udp::endpoint> CSockFilterDaemon::UdpStub(u16 family) const {
  const Family& f = family == HXT_AF_INET6 ? v6_ : v4_;
  if (!f.udp) return std::nullopt;
  return f.udp->LocalEndpoint();
}

std::optional<asio::ip::tcp::endpoint> CSockFilterDaemon::TcpStub(u16 family) const {
  const Family& f = family == HXT_AF_INET6 ? v6_ : v4_;
  if (!f.tcp) return std::nullopt;
  return f.tcp->LocalEndpoint();
}

std::string CSockFilterDaemon::Describe() const {
  const FilterParameters& p = core_.parameters();
  std::string text = core_.counters().ownerConnected ? "agent connected" : "no agent: passing through";
  if (transparent_) return text + "; " + transparent_->Describe();
  if (core_.AwaitingApproval()) text += "; transparent mode awaits CAP_NET_ADMIN";
  text += p.redirect4 && p.udpPort4 != 0 ? ", IPv4 redirected" : ", IPv4 passed through";
  text += p.redirect6 && p.udpPort6 != 0 ? ", IPv6 redirected" : ", IPv6 passed through";
  if (core_.BreakerOpen(HXT_AF_INET)) text += ", the agent's IPv4 listener hangs";
  if (core_.BreakerOpen(HXT_AF_INET6)) text += ", the agent's IPv6 listener hangs";
  if (core_.Resolvers().empty()) text += "; WARNING: no pass-through resolver";
  return text;
}

std::string CSockFilterDaemon::CounterLines() const {
  const DaemonCounters& c = counters();
  std::string text;
  auto line = [&text](const std::string& name, u64 value) {
    text += name + " " + std::to_string(value) + "\n";
  };
  text += std::string("mode ") +
          (transparent_               ? "transparent"
           : core_.AwaitingApproval() ? "awaiting_capability"
                                      : "stub") +
          "\n";
  line("agent_connected", c.ownerConnected ? 1 : 0);
  line("redirected", c.redirected);
  line("passed_through", c.passedThrough);
  line("failed_over", c.failedOver);
  line("answered_locally", c.answeredLocally);
  line("dropped", c.dropped);
  line("unmatched_answers", c.unmatched);
  line("disruptions", c.disruptions);
  line("over_budget", c.overBudget);
  line("rejected_answers", c.rejectedAnswers);
  line("breaker_trips", c.breakerTrips);
  line("in_flight", core_.QueriesInFlight());
  // Cumulative, as histograms count: answers within each bound.
  u64 within = 0;
  for (std::size_t i = 0; i < std::size(DaemonCounters::kLatencyBoundsMs); ++i) {
    within += c.passThroughLatency[i];
    line("pass_through_latency_le_ms." + std::to_string(DaemonCounters::kLatencyBoundsMs[i]), within);
  }
  line("pass_through_latency_sum_us", c.passThroughLatencySumUs);
  line("pass_through_latency_count", c.passThroughAnswers);
  for (u16 family : {static_cast<u16>(HXT_AF_INET), static_cast<u16>(HXT_AF_INET6)}) {
    const std::string suffix = family == HXT_AF_INET6 ? ".ipv6" : ".ipv4";
    line("redirection" + suffix, core_.Redirected(family, Transport::Udp) ? 1 : 0);
    line("breaker_open" + suffix, core_.BreakerOpen(family) ? 1 : 0);
    if (!transparent_) continue;
    const TransparentCounters& t = transparent_->Counters(family);
    line("intercepted" + suffix, t.intercepted);
    line("intercepted_redirected" + suffix, t.redirected);
    line("intercepted_white_listed" + suffix, t.whiteListed);
    line("intercepted_passed_through" + suffix, t.passedThrough);
  }
  return text;
}

}  // namespace hxt::sockfilter
