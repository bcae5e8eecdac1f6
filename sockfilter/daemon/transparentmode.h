// Transparent mode: the machine's outgoing DNS, whatever resolver it names,
// is redirected by nftables rules to the daemon's loopback listeners, which
// recover each query's original destination and treat it as the stub does
// its own: to the agent with the original destination in the redirection
// header, or (white-listed, not redirected, agent failed) straight on to the
// resolver the program asked.
//
// Fail-open by construction: the rules live in a table the daemon owns (see
// nftables.h), so they vanish with the daemon, and they redirect a family
// only while the agent has asked for it (flag set, listener ports known) and
// its own cgroup is exempt. Sockets the daemon opens towards resolvers carry
// kOwnTrafficMark and are never redirected; the agent (with its plug-ins) and
// the processes of the ignore list are matched by their cgroup.
//
// UDP: relayed by CUdpRelay as the stub's queries are; the original
// destination comes from the connection tracking entry that the redirection
// created (one netlink lookup per query); the answer is sent from the
// listener, and the same entry turns its source back into the resolver's
// address. TCP: SO_ORIGINAL_DST of the accepted connection.
//
// I/O thread only; the counters may be read from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "daemon/filtercore.h"
#include "daemon/nftables.h"
#include "daemon/passthrough.h"
#include "daemon/redirectheader.h"

namespace hxt::sockfilter {

class CTransparentMode {
 public:
  // Queries that go on to their resolver leave through `passThrough`, which
  // outlives this object.
  CTransparentMode(boost::asio::io_context& io, CFilterCore& core, CPassThrough& passThrough,
                   const Nonce& nonce);
  ~CTransparentMode();
  CTransparentMode(const CTransparentMode&) = delete;
  CTransparentMode& operator=(const CTransparentMode&) = delete;

  // Checks the capability, opens the listeners and creates the owned table
  // (empty). False with the reason when transparent mode cannot run here.
  bool Start(std::string& why);
  void Stop();
  // The agent's parameters changed: the rules follow them.
  void ParametersChanged();

  bool RulesInPlace() const { return table_.InPlace(); }
  const TransparentCounters& Counters(u16 family) const;
  // Mode, rules and counters, for the daemon's status.
  std::string Describe() const;

 private:
  class Tcp;
  struct Family;

  struct Links;

  NftRules buildRules();
  void applyRules();
  void watchLinks();
  void refreshLinks();

  boost::asio::io_context& io_;
  CFilterCore& core_;
  CPassThrough& passThrough_;
  const Nonce nonce_;
  CNftTable table_;
  TransparentCounters counters_[2];
  std::unique_ptr<Family> v4_;
  std::unique_ptr<Family> v6_;
  std::unique_ptr<Links> links_;
  std::string lastRulesSummary_;
  std::string lastExemptionProblem_;
  bool stopped_ = false;
};

}  // namespace hxt::sockfilter
