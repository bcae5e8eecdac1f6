// What every part of hxsockfilterd shares: the filter's parameters as the
// agent last set them, the query budget, the disruption episodes and the
// counters. Lives on the daemon's I/O thread; only the counters are read from
// other threads (tests, status).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "common/controlproto.h"
#include "daemon/attribution.h"
#include "daemon/flatmap.h"
#include "daemon/resolversource.h"
#include "daemon/socketowner.h"
#include "daemon/sockfilterconfig.h"

namespace hxt::sockfilter {

enum class Transport { Udp, Tcp };

struct EndpointHash {
  std::size_t operator()(const boost::asio::ip::udp::endpoint& endpoint) const;
};

struct DaemonCounters {
  std::atomic<u64> redirected{0};       // queries and TCP connections sent to the agent
  std::atomic<u64> passedThrough{0};    // sent to a pass-through resolver
  std::atomic<u64> failedOver{0};       // sent to the agent first, then passed through
  std::atomic<u64> answeredLocally{0};  // error answers the daemon made itself
  std::atomic<u64> dropped{0};          // input that could not be answered at all
  std::atomic<u64> unmatched{0};        // answers from the agent that match no query
  std::atomic<u64> disruptions{0};      // disruption notices raised
  std::atomic<u64> overBudget{0};       // queries dropped over the in-flight budget (a flood)
  std::atomic<u64> rejectedAnswers{0};  // resolver answers of a wrong id, question or sender
  std::atomic<u64> breakerTrips{0};     // a family gave up on a hung agent
  std::atomic<bool> ownerConnected{false};
  // Pass-through resolvers' answers by the time from the query to its
  // answer, retries included: per bucket (the first bound it is within, the
  // last for anything slower), their sum in microseconds and their count.
  static constexpr u32 kLatencyBoundsMs[] = {1, 5, 10, 25, 50, 100, 250, 500, 1000, 2500};
  static constexpr std::size_t kLatencyBuckets = std::size(kLatencyBoundsMs) + 1;
  std::atomic<u64> passThroughLatency[kLatencyBuckets] = {};
  std::atomic<u64> passThroughLatencySumUs{0};
  std::atomic<u64> passThroughAnswers{0};
  void PassThroughAnswered(std::chrono::steady_clock::duration took);
};

// Transparent mode's, per family.
struct TransparentCounters {
  std::atomic<u64> intercepted{0};    // UDP queries and TCP connections that reached the daemon
  std::atomic<u64> redirected{0};     // of those, sent to the agent
  std::atomic<u64> whiteListed{0};    // passed on because the name is white-listed
  std::atomic<u64> passedThrough{0};  // sent on to the original resolver (white-listed ones included)
};

// Logs at most a few lines of one kind per second, then counts the rest, so
// that a flood of bad input cannot flood the journal.
class CLogThrottle {
 public:
  bool Allow();
  u64 TakeSuppressed();

 private:
  std::chrono::steady_clock::time_point windowStart_{};
  u32 inWindow_ = 0;
  u64 suppressed_ = 0;
};

class CFilterCore {
 public:
  explicit CFilterCore(const SockFilterConfig& config);

  const SockFilterConfig& config() const { return config_; }
  const FilterParameters& parameters() const { return parameters_; }
  DaemonCounters& counters() { return counters_; }

  // Replaces the parameters and tells the listeners (the stubs) when the
  // agent's ports or redirect flags changed.
  void SetParameters(const FilterParameters& parameters);
  void SetParametersListener(std::function<void()> listener) { parametersChanged_ = std::move(listener); }
  // Told of every parameter record, and when the agent asks for its process
  // ids to be read again (transparent mode maps them to cgroups).
  void SetEveryChangeListener(std::function<void()> listener) { everyChange_ = std::move(listener); }
  void PidsRefreshed() {
    if (everyChange_) everyChange_();
  }

  // Whether a family (2 or 23) is redirected over a transport: its flag set,
  // the agent's listener port known and not another process's.
  bool Redirected(u16 family, Transport transport) const;
  // Tells whether the socket listening on a loopback port may be sent the
  // queries of the agent (pid): false when another process holds it.
  using PortCheck = std::function<bool(u16 family, Transport transport, u16 port, u32 pid)>;
  // Asked when parameters arrive, when a listener fails and, while queries
  // are routed, once every portCheckInterval. Unset: every port may.
  void SetPortCheck(PortCheck check) { portCheck_ = std::move(check); }
  // The listener ports another process holds, as "UDP 5353 (IPv4)"; empty
  // when there are none.
  std::string ForeignPorts() const;
  // Whether this query goes to the agent: redirected, and the family's
  // breaker closed, or open and due for a probe.
  bool RouteToService(u16 family, Transport transport);
  bool BreakerOpen(u16 family) const { return breaker(family).open; }
  // The agent's listener of a family let a query time out.
  void ServiceTimedOut(u16 family);
  // The pass-through resolvers, following resolv.conf.
  const std::vector<boost::asio::ip::udp::endpoint>& Resolvers() { return resolvers_.Current(); }
  const CResolverSource& ResolverSource() const { return resolvers_; }
  u16 ServicePort(u16 family, Transport transport) const;
  // The family's white list, normalised once when the parameters arrived.
  const std::vector<std::string>& WhiteList(u16 family) const;

  // The agent's listener of a family failed; the first failure of an episode
  // raises the disruption notice.
  void ServiceFailed(u16 family, const char* what);
  // The listener answered: the episode, if any, is over, and the breaker
  // closes.
  void ServiceAnswered(u16 family);
  // Raises a notice through the control server's sender.
  void RaiseDisruption(u32 reason, const std::string& text);
  void SetDisruptionSender(std::function<void(u32, const std::string&)> sender) {
    sender_ = std::move(sender);
  }

  // At most maxPendingQueries queries in flight, at most maxPendingPerClient
  // of them from one client socket, and at most maxPendingPerUser from the
  // sockets of one user, so that a user cannot take the budget from the
  // others by opening more sockets. `owner` tells the socket's user
  // (nothing: not known, and all such sockets share one budget); it is asked
  // only when the socket has nothing in flight yet.
  bool AcquireQuery(const boost::asio::ip::udp::endpoint& client,
                    const std::function<std::optional<u32>()>& owner);
  // The same, also telling which program asked (`asker`) and counting the
  // query for it. The socket's owner is asked of the kernel whenever the
  // socket has nothing in flight, never taken from a cache of an earlier
  // socket on the same port: a port another process took is looked up
  // anew. `own` is the socket's peer as the kernel knows it (the stub
  // address, or the resolver asked in transparent mode).
  bool AcquireQuery(int protocol, const boost::asio::ip::udp::endpoint& client,
                    const boost::asio::ip::udp::endpoint& own, const u8* query, std::size_t size,
                    Asker& asker);
  // RouteToService for a query of `asker`: never to the agent for an ignored
  // program; counted for the program when it goes there.
  bool RouteToService(u16 family, Transport transport, const Asker& asker);
  // A TCP connection's program, looked up and counted on its first message
  // (the connection is alive, so the kernel finds it).
  Asker AttributeConnection(const boost::asio::ip::udp::endpoint& client,
                            const boost::asio::ip::udp::endpoint& asked, const u8* query, std::size_t size);
  // A later message of that connection: counted for its program, and as sent
  // to the agent when the connection goes there (it was routed once, by its
  // first message).
  void ConnectionAsked(const Asker& asker, const u8* query, std::size_t size, bool toAgent);
  // The agent answered a UDP query of `client` (called before its
  // ReleaseQuery): a blocked answer is counted and logged with its program.
  void AgentAnswered(const boost::asio::ip::udp::endpoint& client, const u8* answer, std::size_t size);
  // The same for one answer message on a TCP connection of `asker`.
  void AgentAnswered(const Asker& asker, const u8* answer, std::size_t size);
  // Per program rows (CAttribution::Table); none when attribution is off.
  std::vector<std::string> ProgramTable(bool withNames) const;
  bool Attributing() const { return attribution_ != nullptr; }
  void ReleaseQuery(const boost::asio::ip::udp::endpoint& client);
  u32 QueriesInFlight() const { return inFlight_; }
  // Who owns a client's socket, for the budgets.
  CSocketOwners& SocketOwners() { return owners_; }

  // Transparent mode was asked for but cannot run: the agent's OpenPlugin
  // is answered "awaits approval" (40).
  void SetAwaitingApproval(bool awaiting) { awaitingApproval_ = awaiting; }
  bool AwaitingApproval() const { return awaitingApproval_; }
  // The daemon's status text, for the control protocol's STATUS.
  void SetStatusProvider(std::function<std::string()> provider) { status_ = std::move(provider); }
  std::string Status() const { return status_ ? status_() : std::string(); }
  // Its counters and states as "name value" lines, for COUNTERS.
  void SetCountersProvider(std::function<std::string()> provider) { counterText_ = std::move(provider); }
  std::string CounterText() const { return counterText_ ? counterText_() : std::string(); }

 private:
  struct Breaker {
    u32 timeouts = 0;
    bool open = false;
    std::chrono::steady_clock::time_point nextProbe{};
  };
  Breaker& breaker(u16 family) { return family == HXT_AF_INET6 ? breaker6_ : breaker4_; }
  // The program of a client socket, asked of the kernel each time (attribution
  // on); `uid` is the socket's owner when the kernel knows it.
  u64 programOf(int protocol, const boost::asio::ip::udp::endpoint& client,
                const boost::asio::ip::udp::endpoint& own, std::optional<u32>& uid);
  const Breaker& breaker(u16 family) const { return family == HXT_AF_INET6 ? breaker6_ : breaker4_; }
  void closeBreaker(u16 family, const char* why);
  static std::size_t portIndex(u16 family, Transport transport) {
    return (family == HXT_AF_INET6 ? 2u : 0u) + (transport == Transport::Tcp ? 1u : 0u);
  }
  void checkPorts();

  const SockFilterConfig& config_;
  CResolverSource resolvers_;
  FilterParameters parameters_;
  std::vector<std::string> whiteList4_;
  std::vector<std::string> whiteList6_;
  Breaker breaker4_;
  Breaker breaker6_;
  std::function<void()> parametersChanged_;
  std::function<void()> everyChange_;
  std::function<void(u32, const std::string&)> sender_;
  PortCheck portCheck_;
  std::array<bool, 4> foreign_{};
  std::chrono::steady_clock::time_point nextPortCheck_{};
  bool episode4_ = false;
  bool episode6_ = false;
  u32 inFlight_ = 0;
  bool awaitingApproval_ = false;
  std::function<std::string()> status_;
  std::function<std::string()> counterText_;
  struct ClientBudget {
    u32 inFlight = 0;
    u32 user = 0;
    u64 program = 0;  // while the socket has queries in flight
  };
  void logBlocked(u64 program, const std::string& name);
  struct UserHash {
    std::size_t operator()(u32 user) const {
      return static_cast<std::size_t>(user * 0x9E3779B97F4A7C15ull >> 32);
    }
  };
  CFlatMap<boost::asio::ip::udp::endpoint, ClientBudget, EndpointHash> perClient_;
  CFlatMap<u32, u32, UserHash> perUser_;
  CSocketOwners owners_;
  std::unique_ptr<CAttribution> attribution_;
  CLogThrottle blockedThrottle_;
  DaemonCounters counters_;
};

}  // namespace hxt::sockfilter
