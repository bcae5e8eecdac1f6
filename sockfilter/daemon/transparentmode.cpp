#include "daemon/transparentmode.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>
#include <vector>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <boost/asio/generic/raw_protocol.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "common/acceptbackoff.h"
#include "common/applog.h"
#include "daemon/dnsmessage.h"
#include "daemon/tcprelay.h"
#include "daemon/transparenthost.h"
#include "daemon/udprelay.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;

namespace {

asio::ip::address loopbackOf(u16 family) {
  if (family == HXT_AF_INET6) return asio::ip::address_v6::loopback();
  return asio::ip::address_v4::loopback();
}

std::string addressText(const asio::ip::address& address) {
  return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

}  // namespace

// ---------------------------------------------------------------------------
// TCP: one acceptor per family; each connection is relayed as the stub's are.

class CTransparentMode::Tcp {
 public:
  Tcp(CTransparentMode& owner, u16 family)
      : owner_(owner), core_(owner.core_), family_(family), acceptor_(owner.io_), backoff_(owner.io_) {}

  bool Start(const tcp::endpoint& bind, std::string& why) {
    boost::system::error_code ec;
    if (bind.address().is_v6()) scope_ = bind.address().to_v6().scope_id();
    acceptor_.open(bind.protocol(), ec);
    if (!ec && family_ == HXT_AF_INET6) acceptor_.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor_.bind(bind, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) port_ = acceptor_.local_endpoint(ec).port();
    if (ec) {
      why = "cannot open the TCP listener on " + addressText(bind.address()) + ": " + ec.message();
      return false;
    }
    accept();
    return true;
  }

  void Stop();
  u16 Port() const { return port_; }

 private:
  void accept();
  void relay(tcp::socket socket);
  void forget(CTcpRelay* connection) {
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
      if (it->get() == connection) {
        userSlots_.Give(connection->User());
        connections_.erase(it);
        return;
      }
    }
  }

  CTransparentMode& owner_;
  CFilterCore& core_;
  const u16 family_;
  tcp::acceptor acceptor_;
  CAcceptBackoff backoff_;
  u16 port_ = 0;
  u32 scope_ = 0;  // the interface of a listener on a link-local address
  std::set<std::shared_ptr<CTcpRelay>> connections_;
  CTcpUserSlots userSlots_;
  u32 nextSerial_ = 1;
  CLogThrottle throttle_;
  bool stopped_ = false;
};

// Relayed as a stub connection is, with the resolver the program asked as
// the requested destination and as the only one to pass through to.
void CTransparentMode::Tcp::relay(tcp::socket socket) {
  boost::system::error_code ec;
  tcp::endpoint peer = socket.remote_endpoint(ec);
  tcp::endpoint original;
  if (ec || !OriginalDestination(socket, original) || original.port() == port_) {
    ++core_.counters().dropped;
    socket.close(ec);
    return;
  }
  TransparentCounters& counters = owner_.counters_[family_ == HXT_AF_INET6 ? 1 : 0];
  ++counters.intercepted;
  if (scope_ != 0 && original.address().to_v6().is_link_local()) {
    // Taken from a link-local resolver's interface: reached through it too.
    asio::ip::address_v6 resolver = original.address().to_v6();
    resolver.scope_id(scope_);
    original.address(resolver);
  }
  u32 user = 0;
  if (!userSlots_.Take(core_.SocketOwners(), peer, original, core_.config().maxTcpConnectionsPerUser, user)) {
    ++core_.counters().dropped;
    if (throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::Tcp::relay",
               "user %u has %u TCP connections open already; refusing another", user,
               core_.config().maxTcpConnectionsPerUser);
    }
    socket.close(ec);
    return;
  }
  TcpRelayRoute route;
  route.user = user;
  route.family = family_;
  route.nonce = owner_.nonce_;
  route.requested = original;
  route.resolvers = {udp::endpoint(original.address(), original.port())};
  route.counters = &counters;
  auto connection =
      std::make_shared<CTcpRelay>(owner_.io_, core_, std::move(socket), nextSerial_++, std::move(route),
                                  throttle_, [this](CTcpRelay* closed) { forget(closed); });
  connections_.insert(connection);
  connection->Start(peer);
}

void CTransparentMode::Tcp::Stop() {
  stopped_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  backoff_.Cancel();
  auto all = connections_;
  for (const auto& connection : all) connection->Close();
  connections_.clear();
}

void CTransparentMode::Tcp::accept() {
  acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    switch (ScreenAccept(ec, socket, stopped_, connections_.size(), core_, throttle_, backoff_,
                         "CTransparentMode::Tcp::accept")) {
      case AcceptOutcome::Stopped:
        return;
      case AcceptOutcome::BackingOff:
        backoff_.Wait([this] {
          if (!stopped_) accept();
        });
        return;
      case AcceptOutcome::Relay:
        relay(std::move(socket));
        break;
      case AcceptOutcome::Refused:
      case AcceptOutcome::Failed:
        break;
    }
    accept();
  });
}

// ---------------------------------------------------------------------------

// UDP: one listener per family, relayed as the stub's queries are.
struct CTransparentMode::Family {
  Family(CTransparentMode& owner, u16 family)
      : udp(owner.io_, owner.core_, owner.passThrough_, owner.nonce_,
            &owner.counters_[family == HXT_AF_INET6 ? 1 : 0]),
        tcp(owner, family),
        family(family) {}
  // On loopback, or on the machine's own link-local address of an interface.
  bool Start(const asio::ip::address& at, std::string& why) {
    return udp.Start(asio::ip::udp::endpoint(at, 0), why) && tcp.Start(tcp::endpoint(at, 0), why);
  }
  void Stop() {
    udp.Stop();
    tcp.Stop();
  }
  CUdpRelay udp;
  Tcp tcp;
  const u16 family;
};

// The listeners on the machine's own link-local addresses, one pair per
// interface, and the netlink watch that follows interfaces and addresses.
struct CTransparentMode::Links {
  explicit Links(asio::io_context& io) : netlink(io), settle(io) {}
  struct Link {
    LinkLocalAddress where;
    std::unique_ptr<Family> sides;
  };
  std::vector<Link> listening;
  // Stopped sides wait here until no pass-through answer can still call them.
  std::vector<std::unique_ptr<Family>> retired;
  std::set<std::string> refusedNames;  // logged once each
  asio::generic::raw_protocol::socket netlink;
  asio::steady_timer settle;
  std::array<u8, 8192> buffer{};
};

CTransparentMode::CTransparentMode(asio::io_context& io, CFilterCore& core, CPassThrough& passThrough,
                                   const Nonce& nonce)
    : io_(io), core_(core), passThrough_(passThrough), nonce_(nonce) {}

void CTransparentMode::watchLinks() {
  links_->netlink.async_receive(
      asio::buffer(links_->buffer), [this](const boost::system::error_code& ec, std::size_t) {
        if (ec == asio::error::operation_aborted || stopped_) return;
        // Whatever the message (an overrun included), look again once the burst
        // of a change has settled.
        links_->settle.expires_after(std::chrono::milliseconds(100));
        links_->settle.async_wait([this](const boost::system::error_code& waited) {
          if (!waited && !stopped_) refreshLinks();
        });
        if (ec && ec != asio::error::no_buffer_space) {
          HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::watchLinks",
                   "cannot follow network interfaces any more: %s", ec.message().c_str());
          return;
        }
        watchLinks();
      });
}

void CTransparentMode::refreshLinks() {
  if (stopped_ || !v6_ || !links_) return;
  if (passThrough_.InFlight() == 0) links_->retired.clear();
  const std::vector<LinkLocalAddress> now = LinkLocalAddresses();
  bool changed = false;
  auto& listening = links_->listening;
  for (auto it = listening.begin(); it != listening.end();) {
    bool kept = std::any_of(now.begin(), now.end(), [&](const LinkLocalAddress& l) {
      return l.interface == it->where.interface && l.index == it->where.index &&
             l.address == it->where.address;
    });
    if (kept) {
      ++it;
      continue;
    }
    HXT_LOGF(LOG_LEVEL_INFO, "CTransparentMode::refreshLinks", "link-local DNS on %s: no longer taken",
             it->where.interface.c_str());
    it->sides->Stop();
    links_->retired.push_back(std::move(it->sides));
    it = listening.erase(it);
    changed = true;
  }
  for (const LinkLocalAddress& link : now) {
    if (std::any_of(listening.begin(), listening.end(),
                    [&](const Links::Link& l) { return l.where.interface == link.interface; }))
      continue;
    if (!NftInterfaceName(link.interface)) {
      if (links_->refusedNames.insert(link.interface).second) {
        HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::refreshLinks",
                 "an interface name nft cannot take as it is: its link-local DNS leaves untouched");
      }
      continue;
    }
    auto sides = std::make_unique<Family>(*this, HXT_AF_INET6);
    std::string why;
    if (!sides->Start(link.address, why)) {
      // An address still being checked for duplicates cannot be bound yet;
      // the kernel reports when it can, and it is tried again then.
      HXT_LOGF(LOG_LEVEL_DEBUG, "CTransparentMode::refreshLinks", "link-local DNS on %s: %s",
               link.interface.c_str(), why.c_str());
      sides->Stop();
      links_->retired.push_back(std::move(sides));
      continue;
    }
    HXT_LOGF(LOG_LEVEL_INFO, "CTransparentMode::refreshLinks",
             "link-local DNS on %s taken to the listeners on %s (UDP %u, TCP %u)", link.interface.c_str(),
             link.address.to_string().c_str(), sides->udp.LocalEndpoint().port(), sides->tcp.Port());
    listening.push_back({link, std::move(sides)});
    changed = true;
  }
  if (changed) applyRules();
}

CTransparentMode::~CTransparentMode() {
  Stop();
}

bool CTransparentMode::Start(std::string& why) {
  if (!HasNetAdmin()) {
    why = "the daemon lacks CAP_NET_ADMIN, which the redirection rules need";
    return false;
  }
  v4_ = std::make_unique<Family>(*this, HXT_AF_INET);
  if (!v4_->Start(loopbackOf(HXT_AF_INET), why)) {
    Stop();
    return false;
  }
  // A machine without IPv6 still gets its IPv4 DNS redirected.
  v6_ = std::make_unique<Family>(*this, HXT_AF_INET6);
  if (!v6_->Start(loopbackOf(HXT_AF_INET6), why)) {
    HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::Start", "IPv6 DNS is never redirected: %s", why.c_str());
    v6_->Stop();
    v6_.reset();
  }
  if (!table_.Create(why)) {
    why = "cannot create the nftables table " + std::string(kNftTable) + ": " + why;
    Stop();
    return false;
  }
  if (v6_) {
    links_ = std::make_unique<Links>(io_);
    boost::system::error_code ec;
    links_->netlink.open(asio::generic::raw_protocol(AF_NETLINK, NETLINK_ROUTE), ec);
    sockaddr_nl groups{};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV6_IFADDR;
    if (!ec) links_->netlink.bind(asio::generic::raw_protocol::endpoint(&groups, sizeof groups), ec);
    if (ec) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::Start",
               "cannot follow network interfaces (%s): link-local DNS is taken only where it was at start",
               ec.message().c_str());
    } else {
      watchLinks();
    }
    refreshLinks();
  }
  HXT_LOGF(LOG_LEVEL_INFO, "CTransparentMode::Start",
           "transparent mode: table inet %s in place; listeners UDP %u/%u, TCP %u/%u (IPv4/IPv6); "
           "nothing is redirected until the agent asks",
           kNftTable, v4_->udp.LocalEndpoint().port(), v6_ ? v6_->udp.LocalEndpoint().port() : 0,
           v4_->tcp.Port(), v6_ ? v6_->tcp.Port() : 0);
  return true;
}

void CTransparentMode::Stop() {
  if (stopped_) return;
  stopped_ = true;
  table_.Close();
  for (auto* family : {v4_.get(), v6_.get()}) {
    if (family != nullptr) family->Stop();
  }
  if (links_) {
    boost::system::error_code ignored;
    links_->netlink.close(ignored);
    links_->settle.cancel();
    for (auto& link : links_->listening) link.sides->Stop();
  }
}

const TransparentCounters& CTransparentMode::Counters(u16 family) const {
  return counters_[family == HXT_AF_INET6 ? 1 : 0];
}

NftRules CTransparentMode::buildRules() {
  const FilterParameters& p = core_.parameters();
  NftRules rules;
  bool wanted =
      core_.Redirected(HXT_AF_INET, Transport::Udp) || core_.Redirected(HXT_AF_INET, Transport::Tcp) ||
      core_.Redirected(HXT_AF_INET6, Transport::Udp) || core_.Redirected(HXT_AF_INET6, Transport::Tcp);
  if (!wanted) return rules;

  std::string why;
  auto agent = ExemptionForPid(p.agentPid, why);
  if (!agent) {
    // Its plug-in's own queries would come back to it: better not redirect.
    std::string problem = "the agent (pid " + std::to_string(p.agentPid) + ") cannot be exempted: " + why +
                          "; nothing is redirected";
    if (problem != lastExemptionProblem_) {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::buildRules", "%s", problem.c_str());
      lastExemptionProblem_ = problem;
    }
    return rules;
  }
  lastExemptionProblem_.clear();
  auto add = [&rules](const NftCgroup& cgroup) {
    for (const auto& known : rules.exempt) {
      if (known.nftPath == cgroup.nftPath) return;
    }
    rules.exempt.push_back(cgroup);
  };
  add(*agent);
  // The daemon's own cgroup (its unit's under systemd), so that what its stub
  // passes through is not caught again; nothing when it shares the root.
  if (auto own = ExemptionForPid(static_cast<u32>(::getpid()), why)) add(*own);
  for (const std::string& path : core_.config().exemptCgroups) {
    if (auto cgroup = ExemptionForCgroup(path, why)) add(*cgroup);
  }
  for (u32 pid : p.ignoredPids) {
    if (auto cgroup = ExemptionForPid(pid, why)) {
      add(*cgroup);
    } else {
      HXT_LOGF(LOG_LEVEL_WARNING, "CTransparentMode::buildRules", "ignored %s; its queries stay redirected",
               why.c_str());
    }
  }
  // Resolvers to include: an address of either list counts for its own family.
  for (const auto* list : {&p.resolvers4, &p.resolvers6}) {
    for (const IpAddressRecord& record : *list) {
      if (record.family == HXT_AF_INET6) {
        asio::ip::address_v6::bytes_type bytes;
        std::memcpy(bytes.data(), record.address, 16);
        rules.v6.resolvers.push_back(asio::ip::address_v6(bytes).to_string());
      } else {
        asio::ip::address_v4::bytes_type bytes;
        std::memcpy(bytes.data(), record.address, 4);
        rules.v4.resolvers.push_back(asio::ip::address_v4(bytes).to_string());
      }
    }
  }
  // Each resolver once in the rules, however often the lists name it.
  for (auto* resolvers : {&rules.v4.resolvers, &rules.v6.resolvers}) {
    std::sort(resolvers->begin(), resolvers->end());
    resolvers->erase(std::unique(resolvers->begin(), resolvers->end()), resolvers->end());
  }
  for (auto [family, out, sides] : {std::make_tuple(HXT_AF_INET, &rules.v4, v4_.get()),
                                    std::make_tuple(HXT_AF_INET6, &rules.v6, v6_.get())}) {
    if (sides == nullptr) continue;
    u16 f = static_cast<u16>(family);
    out->redirectUdp = core_.Redirected(f, Transport::Udp);
    out->redirectTcp = core_.Redirected(f, Transport::Tcp);
    out->udpPort = sides->udp.LocalEndpoint().port();
    out->tcpPort = sides->tcp.Port();
    if (out == &rules.v6 && links_) {
      for (const auto& link : links_->listening) {
        NftLinkLocal entry;
        entry.interface = link.where.interface;
        const auto bytes = link.where.address.to_bytes();
        std::copy(bytes.begin(), bytes.end(), entry.address.begin());
        entry.udpPort = link.sides->udp.LocalEndpoint().port();
        entry.tcpPort = link.sides->tcp.Port();
        out->linkLocal.push_back(entry);
      }
    }
    // Only the other family's resolvers listed: this family is not included.
    if (out->resolvers.empty() && (!rules.v4.resolvers.empty() || !rules.v6.resolvers.empty())) {
      out->redirectUdp = out->redirectTcp = false;
    }
  }
  return rules;
}

void CTransparentMode::ParametersChanged() {
  if (stopped_ || !table_.InPlace()) return;
  for (Family* family : {v4_.get(), v6_.get()}) {
    if (family != nullptr) family->udp.RoutingChanged();
  }
  if (links_) {
    for (auto& link : links_->listening) link.sides->udp.RoutingChanged();
  }
  applyRules();
}

void CTransparentMode::applyRules() {
  if (stopped_ || !table_.InPlace()) return;
  NftRules rules = buildRules();
  std::string error;
  if (!table_.Apply(rules, error)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CTransparentMode::applyRules", "cannot change the redirection rules: %s",
             error.c_str());
    // Whatever stood before may not match the agent any more: redirect nothing.
    if (!table_.Apply(NftRules(), error)) table_.Close();
    return;
  }
  auto side = [](const NftFamilyRules& f) -> std::string {
    if (!f.redirectUdp && !f.redirectTcp) return "not redirected";
    std::string text = f.redirectUdp && f.redirectTcp ? "UDP and TCP redirected"
                       : f.redirectUdp                ? "UDP redirected"
                                                      : "TCP redirected";
    return f.resolvers.empty() ? text + " (every resolver)"
                               : text + " (" + std::to_string(f.resolvers.size()) + " resolvers)";
  };
  std::string summary = "IPv4 " + side(rules.v4) + ", IPv6 " + side(rules.v6) + ", " +
                        std::to_string(rules.exempt.size()) + " exempt cgroups";
  if ((rules.v6.redirectUdp || rules.v6.redirectTcp) && !rules.v6.linkLocal.empty())
    summary += ", link-local DNS taken on " + std::to_string(rules.v6.linkLocal.size()) + " interfaces";
  if (summary != lastRulesSummary_) {
    HXT_LOGF(LOG_LEVEL_INFO, "CTransparentMode::applyRules", "transparent rules: %s", summary.c_str());
    lastRulesSummary_ = summary;
  }
}

std::string CTransparentMode::Describe() const {
  std::string text = std::string("transparent mode, rules ") + (table_.InPlace() ? "in place" : "absent");
  if (!lastRulesSummary_.empty()) text += " (" + lastRulesSummary_ + ")";
  for (u16 family : {static_cast<u16>(HXT_AF_INET), static_cast<u16>(HXT_AF_INET6)}) {
    const TransparentCounters& c = Counters(family);
    text += std::string("; IPv") + (family == HXT_AF_INET6 ? "6" : "4") + ": " +
            std::to_string(c.intercepted.load()) + " intercepted, " + std::to_string(c.redirected.load()) +
            " redirected, " + std::to_string(c.whiteListed.load()) + " white-listed, " +
            std::to_string(c.passedThrough.load()) + " passed through";
  }
  return text;
}

}  // namespace hxt::sockfilter
