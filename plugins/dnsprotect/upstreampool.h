// The upstream resolvers: plain DNS over UDP (on a few shared sockets, see
// udpsockets.h) with a retry over TCP when the answer is truncated, and DNS over TLS on a persistent
// connection per upstream that carries many queries at once and takes their answers in any order. A query
// tries the healthy upstreams first, in profile order, then the others, sharing its deadline among the
// attempts left; a TLS attempt past its share keeps waiting beside the next
// one until the deadline. An answer of SERVFAIL or REFUSED makes the query
// try the next upstream, and is given only when nobody does better.
// Everything runs on the one I/O thread of the io_context given; Resolve may be called from
// any thread, and its handler runs on the I/O thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "profile.h"
#include "udpsockets.h"

namespace hxt::dnsprotect {

// Errors handed to a ResolveHandler, also reported to the service.
constexpr std::uint32_t kErrorTimeout = 7;
constexpr std::uint32_t kErrorNoUpstream = 20;
constexpr std::uint32_t kErrorStopped = 21;

using Clock = std::chrono::steady_clock;
using ResolveHandler = std::function<void(std::uint32_t error, std::string answer)>;

class CDotConnection;
struct QueryState;

class CUpstreamPool {
 public:
  CUpstreamPool(boost::asio::io_context& io, std::vector<UpstreamConfig> upstreams,
                std::chrono::milliseconds tlsIdleTimeout);
  ~CUpstreamPool();
  CUpstreamPool(const CUpstreamPool&) = delete;
  CUpstreamPool& operator=(const CUpstreamPool&) = delete;

  // Resolves `query` through the profile's upstreams, or through `servers`
  // (plain DNS, no health tracking) when it is not empty.
  void Resolve(std::string query, Clock::time_point deadline, ResolveHandler handler,
               std::vector<UpstreamConfig> servers = {});
  // Asks every upstream for localhost's A record (which resolvers are expected
  // to answer themselves, so a probe need not leave the resolver) and records which answered
  // within `timeout`; `done` runs on the I/O thread when all have finished.
  void Probe(std::chrono::milliseconds timeout, std::function<void()> done);
  // The network changed: upstreams marked dead on the old one get their
  // chance again (in profile order), and TLS connections made over it are
  // closed, their queries trying the next upstream. I/O thread only.
  void ForgetNetwork();
  // Fails every query in flight with kErrorStopped and closes the TLS
  // connections. I/O thread only.
  void Shutdown();

  // Called on the I/O thread whenever a plain-DNS upstream of the profile
  // answers a query (not a probe).
  void SetClearTextListener(std::function<void()> listener) { onClearText_ = std::move(listener); }
  // Called on the I/O thread when an upstream starts or stops answering, with
  // what happened ("upstream 192.0.2.1:53 does not answer").
  void SetHealthListener(std::function<void(const std::string& what)> listener) {
    onHealth_ = std::move(listener);
  }

  // Called on the I/O thread with the record type of a plain-DNS answer that
  // came from another address than the server asked (dropped): someone on
  // the path answers for it.
  void SetForeignAnswerListener(CUdpSockets::ForeignAnswer listener) {
    udpSockets_.SetForeignAnswerListener(std::move(listener));
  }

  // A network that rewrites plain DNS: the profile's plain upstreams are
  // neither asked nor counted while `aside` holds (probes still go to them).
  // I/O thread only.
  void SetPlainAside(bool aside) { plainAside_ = aside; }
  bool PlainAside() const { return plainAside_; }
  // The profile's plain upstreams.
  std::vector<UpstreamConfig> PlainUpstreams() const;

  bool AnyHealthy() const;
  // Whether the upstream queries go to first is a TLS one.
  bool PreferredIsTls() const;
  std::size_t InFlight() const { return inFlight_.load(); }
  std::size_t TlsConnects() const { return tlsConnects_.load(); }
  // Of those, the ones that resumed the upstream's previous TLS session.
  std::size_t TlsResumed() const { return tlsResumed_.load(); }

 private:
  friend struct QueryState;
  struct Upstream {
    UpstreamConfig config;
    std::unique_ptr<boost::asio::ssl::context> tls;
    std::shared_ptr<CDotConnection> connection;
    std::atomic<bool> healthy{false};
  };

  // Starts the queries Resolve handed over (I/O thread).
  void takeIncoming();
  void start(const std::shared_ptr<QueryState>& state);
  void tryNext(const std::shared_ptr<QueryState>& state);
  // What takes an attempt's answer (or its failure); `udp`: asked over UDP,
  // a truncated answer is asked again over TCP.
  std::function<void(bool ok, std::string answer)> answerHandler(const std::shared_ptr<QueryState>& state,
                                                                 unsigned generation, int index, bool udp);
  void finish(const std::shared_ptr<QueryState>& state, std::uint32_t error, std::string answer);
  // Nobody answered for good, or the deadline passed.
  void giveUp(const std::shared_ptr<QueryState>& state);
  void timeOut(const std::shared_ptr<QueryState>& state);
  void markHealth(int index, bool healthy);
  // One timer for every query in flight: set for the earliest end of an
  // attempt's share or of a deadline, it handles whatever is due and sets
  // itself for the next. A timer per query cost a heap insertion, a
  // cancellation and the cancelled handler's run, twice per query.
  void armSweep(Clock::time_point at);
  void sweep();
  // The current attempt's share of the deadline ran out.
  void shareOver(const std::shared_ptr<QueryState>& state);

  boost::asio::io_context& io_;
  std::vector<std::unique_ptr<Upstream>> upstreams_;
  const std::chrono::milliseconds tlsIdle_;
  boost::asio::steady_timer sweepTimer_;
  Clock::time_point sweepAt_ = Clock::time_point::max();  // when the sweep timer fires; max() unset
  static constexpr std::chrono::milliseconds kSweepSpacing{5};
  Clock::time_point lastSweep_{};
  std::vector<std::shared_ptr<QueryState>> due_;           // the sweep's, kept for its capacity
  // The sweep's handler may outlive the pool in a stopped io_context.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  std::set<std::shared_ptr<QueryState>> active_;
  std::mutex incomingMutex_;
  std::vector<std::shared_ptr<QueryState>> incoming_;  // from Resolve, not yet started
  std::vector<std::shared_ptr<QueryState>> taking_;    // being started, kept for its capacity
  static constexpr std::size_t kSpareActive = 256;
  std::vector<std::set<std::shared_ptr<QueryState>>::node_type> spareActive_;
  std::atomic<std::size_t> inFlight_{0};
  std::atomic<std::size_t> tlsConnects_{0};
  std::atomic<std::size_t> tlsResumed_{0};
  CUdpSockets udpSockets_;
  std::function<void()> onClearText_;
  std::function<void(const std::string&)> onHealth_;
  bool stopped_ = false;
  std::atomic<bool> plainAside_{false};
};

}  // namespace hxt::dnsprotect
