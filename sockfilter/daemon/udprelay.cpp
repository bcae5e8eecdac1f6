#include "daemon/udprelay.h"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>

#include "common/applog.h"
#include "daemon/dnsmessage.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace {
constexpr const char* kHandleClient = "CUdpRelay::handleClient";
constexpr const char* kHandleRelay = "CUdpRelay::handleRelay";

// Datagrams read per system call, and batches per pass before the other
// handlers get their turn.
constexpr std::size_t kBatch = 32;
constexpr int kBatchesPerPass = 4;
// The agent's answers are read whole, whatever their size: the pages of a
// buffer that only small answers reach are never touched.
constexpr std::size_t kMaxAnswerDatagram = 65536;

asio::ip::address loopbackOf(u16 family) {
  if (family == HXT_AF_INET6) return asio::ip::address_v6::loopback();
  return asio::ip::address_v4::loopback();
}
}  // namespace

CUdpRelay::CUdpRelay(asio::io_context& io, CFilterCore& core, CPassThrough& passThrough, const Nonce& nonce,
                     TransparentCounters* transparent)
    : io_(io),
      core_(core),
      passThrough_(passThrough),
      nonce_(nonce),
      transparent_(transparent),
      stub_(io),
      clientIn_(kBatch, kRedirectHeaderSize, kMaxUdpPayload),
      clientOut_(kBatch),
      relay_(io),
      relayIn_(kBatch, 0, kMaxAnswerDatagram),
      relayOut_(kBatch),
      expiry_(io) {}

CUdpRelay::~CUdpRelay() {
  Stop();
}

bool CUdpRelay::Start(const udp::endpoint& bind, std::string& why) {
  family_ = WindowsFamily(bind.address());
  boost::system::error_code ec;
  stub_.open(bind.protocol(), ec);
  if (!ec && bind.address().is_v6()) stub_.set_option(asio::ip::v6_only(true), ec);
  if (!ec) stub_.bind(bind, ec);
  if (!ec) local_ = stub_.local_endpoint(ec);
  if (!ec) IgnoreClientUnreachable(stub_.native_handle());
  if (ec) {
    why = "cannot listen on UDP " + EndpointText(bind) + " [" + std::to_string(ec.value()) + "-" +
          ec.message() + "]";
    return false;
  }
  if (transparent_ != nullptr && !conntrack_.Open(why)) return false;
  if (local_.address().is_v6()) scope_ = local_.address().to_v6().scope_id();
  waitClient();
  return true;
}

void CUdpRelay::Stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ignored;
  stub_.close(ignored);
  closeRelay();
  expiry_.cancel();
  slots_.clear();
  freeSlots_.clear();
  bySerial_.Clear();
  oldest_ = newest_ = kNone;
}

void CUdpRelay::waitClient() {
  stub_.async_wait(udp::socket::wait_read, [this](const boost::system::error_code& ec) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    drainClient();
  });
}

// Reads until the socket would block (the reactor reports only new
// readiness), or a few batches at most before letting the other handlers
// run; what the batch redirects leaves in one send before the buffers are
// read into again.
void CUdpRelay::drainClient() {
  for (int pass = 0; pass < kBatchesPerPass; ++pass) {
    int n = clientIn_.Receive(stub_.native_handle());
    if (n < 0) {
      int error = clientIn_.LastError();
      if (inputThrottle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleClient, "receive error [%d-%s]", error,
                 boost::system::error_code(error, boost::system::system_category()).message().c_str());
      }
      continue;  // datagrams may wait behind the error
    }
    for (int i = 0; i < n && !stopped_; ++i) handleClient(static_cast<std::size_t>(i));
    flushRelay();
    if (stopped_) return;
    if (static_cast<std::size_t>(n) < kBatch) {
      waitClient();
      return;
    }
  }
  asio::post(io_, [this] {
    if (!stopped_) drainClient();
  });
}

void CUdpRelay::handleClient(std::size_t i) {
  const udp::endpoint client = clientIn_.Sender(i);
  std::size_t size = clientIn_.Length(i);
  u8* query = clientIn_.Data(i);
  // Where the client sent the query: the stub itself, or (transparent) the
  // resolver whose address the rules rewrote.
  udp::endpoint original = local_;
  if (size < kDnsHeaderSize) {
    ++core_.counters().dropped;
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient,
               "dropped a %zu-byte datagram from %s: too short for a DNS query", size,
               EndpointText(client).c_str());
    }
    return;
  }
  if (transparent_ != nullptr) {
    bool redirected = conntrack_.OriginalDestination(local_, client, original);
    if (redirected && scope_ != 0) {
      // A listener on a link-local address takes the queries that left by its
      // interface: the resolver is reached through that interface too.
      asio::ip::address_v6 resolver = original.address().to_v6();
      if (resolver.is_link_local()) {
        resolver.scope_id(scope_);
        original.address(resolver);
      }
    }
    if (!redirected || original == local_) {
      // Sent to the listener itself: nobody to pass it on to.
      ++core_.counters().dropped;
      if (inputThrottle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient,
                 "dropped a %zu-byte datagram from %s: not a redirected query", size,
                 EndpointText(client).c_str());
      }
      return;
    }
    ++transparent_->intercepted;
  }
  if (size > kMaxUdpPayload) {
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient, "refused a %zu-byte query from %s (at most %zu bytes)", size,
               EndpointText(client).c_str(), kMaxUdpPayload);
    }
    // The question follows the header: it lies within what was stored.
    answerError(client, query, clientIn_.Stored(i), kRcodeFormErr);
    return;
  }
  Asker asker;
  if (!core_.AcquireQuery(IPPROTO_UDP, client, original, query, size, asker)) {
    // Dropped, as a resolver does: an error answer would only invite the
    // flooding client to retry at once.
    ++core_.counters().overBudget;
    if (inputThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleClient,
               "too many queries in flight (client %s); dropping the excess", EndpointText(client).c_str());
    }
    return;
  }
  const std::vector<std::string>& whiteList = core_.WhiteList(family_);
  if (!whiteList.empty() && ReadQueryName(query, size, name_) && MatchesWhiteList(name_, whiteList)) {
    HXT_LOGF(LOG_LEVEL_DEBUG, kHandleClient, "%s is white-listed: passing it through", name_.c_str());
    if (transparent_ != nullptr) ++transparent_->whiteListed;
    toPassThrough(client, original, std::vector<u8>(query, query + size));
  } else if (core_.RouteToService(family_, Transport::Udp, asker)) {
    toService(client, original, query - clientIn_.Headroom(), size);
  } else {
    toPassThrough(client, original, std::vector<u8>(query, query + size));
  }
}

bool CUdpRelay::ensureRelay(u16 servicePort) {
  if (relay_.is_open() && relayServicePort_ == servicePort) return true;
  flushRelay();
  closeRelay();
  boost::system::error_code ec;
  asio::ip::address loopback = loopbackOf(family_);
  relay_.open(loopback.is_v6() ? udp::v6() : udp::v4(), ec);
  if (!ec) relay_.bind(udp::endpoint(loopback, 0), ec);
  // Connected, so that the listener's port being closed comes back as an
  // error on the next receive instead of silence.
  if (!ec) relay_.connect(udp::endpoint(loopback, servicePort), ec);
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CUdpRelay::ensureRelay",
             "cannot open the relay to the agent's port %u [%d-%s]", servicePort, ec.value(),
             ec.message().c_str());
    closeRelay();
    return false;
  }
  relayServicePort_ = servicePort;
  relayPort_ = relay_.local_endpoint(ec).port();
  waitRelay(++relayGeneration_);
  return true;
}

void CUdpRelay::closeRelay() {
  boost::system::error_code ignored;
  relay_.close(ignored);
  relayServicePort_ = 0;
  relayPort_ = 0;
  relayBacklog_ = 0;  // its sends were aborted with it
  ++relayGeneration_;
}

u32 CUdpRelay::takeSlot() {
  if (freeSlots_.empty()) {
    slots_.emplace_back();
    return static_cast<u32>(slots_.size() - 1);
  }
  u32 slot = freeSlots_.back();
  freeSlots_.pop_back();
  return slot;
}

// Out of the serial table and the time-out order, back to the pool.
void CUdpRelay::releaseSlot(u32 slot) {
  Pending& p = slots_[slot];
  bySerial_.Erase(p.serial);
  if (p.older != kNone) slots_[p.older].newer = p.newer;
  if (p.newer != kNone) slots_[p.newer].older = p.older;
  if (oldest_ == slot) oldest_ = p.newer;
  if (newest_ == slot) newest_ = p.older;
  p.older = p.newer = kNone;
  freeSlots_.push_back(slot);
}

// `room` holds the query after the header's size in bytes; the header is
// written there and the datagram leaves with the batch.
void CUdpRelay::toService(const udp::endpoint& client, const udp::endpoint& original, u8* room,
                          std::size_t size) {
  u8* query = room + kRedirectHeaderSize;
  if (!ensureRelay(core_.ServicePort(family_, Transport::Udp))) {
    core_.ServiceFailed(family_, "cannot be reached");
    toPassThrough(client, original, std::vector<u8>(query, query + size));
    return;
  }
  u32 serial = nextSerial_++;
  RedirectHeader header = BuildRedirectHeader(serial, nonce_, client.address(), relayPort_,
                                              original.address(), original.port(), static_cast<u16>(size));
  std::memcpy(room, header.data(), header.size());
  relayOut_.Add(room, kRedirectHeaderSize + size, nullptr);

  u32 slot = takeSlot();
  Pending& pending = slots_[slot];
  pending.client = client;
  pending.original = original;
  pending.query.assign(query, query + size);
  pending.deadline = std::chrono::steady_clock::now() + core_.config().serviceTimeout;
  pending.serial = serial;
  pending.older = newest_;
  if (newest_ != kNone) slots_[newest_].newer = slot;
  newest_ = slot;
  if (oldest_ == kNone) oldest_ = slot;
  bySerial_[serial] = slot;
  if (!expiryArmed_) {
    expiryArmed_ = true;
    expiry_.expires_at(pending.deadline);
    expiry_.async_wait([this](const boost::system::error_code& ec) {
      if (ec == asio::error::operation_aborted || stopped_) return;
      expiryArmed_ = false;
      expire();
    });
  }
  ++core_.counters().redirected;
  if (transparent_ != nullptr) ++transparent_->redirected;
  if (relayOut_.Full()) flushRelay();
}

// Every query waits the same time, so they time out in the order they were
// sent: the timer follows the oldest one.
void CUdpRelay::expire() {
  auto now = std::chrono::steady_clock::now();
  while (oldest_ != kNone && slots_[oldest_].deadline <= now && !stopped_) {
    // The query is passed through before the core hears of it: the disruption
    // notice may cost the agent its control connection, and clearing its
    // parameters then fails over every pending query from under this loop.
    failOver(oldest_);
    core_.ServiceFailed(family_, "did not answer in time");
    core_.ServiceTimedOut(family_);
  }
  if (oldest_ == kNone || stopped_ || expiryArmed_) return;
  expiryArmed_ = true;
  expiry_.expires_at(slots_[oldest_].deadline);
  expiry_.async_wait([this](const boost::system::error_code& ec) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    expiryArmed_ = false;
    expire();
  });
}

void CUdpRelay::flushRelay() {
  if (relayOut_.Empty()) return;
  auto later = [this](const u8* bytes, std::size_t size, const udp::endpoint*) {
    sendLater(relay_, relayBacklog_, bytes, size, nullptr);
  };
  if (relayBacklog_ > 0) {
    // Earlier datagrams still wait for the socket: these go after them.
    relayOut_.Defer(later);
    return;
  }
  // The listener's port is closed: the error the next receive would have
  // seen came back on this send instead.
  if (IsRefusedError(relayOut_.Flush(relay_.native_handle(), later))) relayRefused();
}

// Stub: to the machine's resolvers. Transparent: on to the resolver the
// program asked, from a marked socket the rules leave alone.
void CUdpRelay::toPassThrough(const udp::endpoint& client, const udp::endpoint& original,
                              std::vector<u8> query) {
  std::vector<u8> copy = query;
  auto done = [this, client, copy](std::vector<u8> answerBytes) {
    if (stopped_) return;
    if (answerBytes.empty()) {
      answerError(client, copy.data(), copy.size(), kRcodeServFail);
    } else {
      answer(client, answerBytes.data(), answerBytes.size());
    }
    core_.ReleaseQuery(client);
  };
  if (transparent_ == nullptr) {
    passThrough_.Resolve(std::move(query), std::move(done));
  } else {
    ++transparent_->passedThrough;
    passThrough_.ResolveAt({original}, std::move(query), std::move(done));
  }
}

void CUdpRelay::waitRelay(u64 generation) {
  relay_.async_wait(udp::socket::wait_read, [this, generation](const boost::system::error_code& ec) {
    if (ec == asio::error::operation_aborted || stopped_ || generation != relayGeneration_) return;
    drainRelay(generation);
  });
}

void CUdpRelay::drainRelay(u64 generation) {
  for (int pass = 0; pass < kBatchesPerPass; ++pass) {
    int n = relayIn_.Receive(relay_.native_handle());
    if (n < 0) {
      int error = relayIn_.LastError();
      if (IsRefusedError(error)) {
        relayRefused();
      } else if (relayThrottle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_ERROR, kHandleRelay, "receive error [%d-%s]", error,
                 boost::system::error_code(error, boost::system::system_category()).message().c_str());
      }
      if (stopped_ || generation != relayGeneration_) return;
      continue;
    }
    for (int i = 0; i < n && !stopped_; ++i) handleRelay(static_cast<std::size_t>(i));
    flushStub();
    if (stopped_ || generation != relayGeneration_) return;
    if (static_cast<std::size_t>(n) < kBatch) {
      waitRelay(generation);
      return;
    }
  }
  if (stopped_ || generation != relayGeneration_) return;
  asio::post(io_, [this, generation] {
    if (!stopped_ && generation == relayGeneration_) drainRelay(generation);
  });
}

void CUdpRelay::relayRefused() {
  failOverAll("refused the query (its port is closed)");
}

void CUdpRelay::handleRelay(std::size_t i) {
  std::size_t size = relayIn_.Stored(i);
  const u8* datagram = relayIn_.Data(i);
  u32 serial = 0;
  const u32* slot = nullptr;
  if (relayIn_.Length(i) == size && ParseServiceAnswer(datagram, size, nonce_, serial)) {
    slot = bySerial_.Find(serial);
  }
  if (slot == nullptr) {
    ++core_.counters().unmatched;
    if (relayThrottle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_WARNING, kHandleRelay,
               "ignored a %zu-byte answer from the agent that matches no query", relayIn_.Length(i));
    }
    return;
  }
  u32 taken = *slot;
  core_.ServiceAnswered(family_);
  udp::endpoint client = slots_[taken].client;
  releaseSlot(taken);
  // The answer's bytes stay in the batch's buffer until it is sent.
  if (stubBacklog_ == 0 && !clientOut_.Full()) {
    clientOut_.Add(datagram + kRedirectHeaderSize, size - kRedirectHeaderSize, &client);
  } else {
    answer(client, datagram + kRedirectHeaderSize, size - kRedirectHeaderSize);
  }
  core_.AgentAnswered(client, datagram + kRedirectHeaderSize, size - kRedirectHeaderSize);
  core_.ReleaseQuery(client);
}

void CUdpRelay::flushStub() {
  clientOut_.Flush(stub_.native_handle(), [this](const u8* bytes, std::size_t size, const udp::endpoint* to) {
    sendLater(stub_, stubBacklog_, bytes, size, to);
  });
}

void CUdpRelay::failOver(u32 slot) {
  udp::endpoint client = slots_[slot].client;
  udp::endpoint original = slots_[slot].original;
  std::vector<u8> query = std::move(slots_[slot].query);
  releaseSlot(slot);
  ++core_.counters().failedOver;
  toPassThrough(client, original, std::move(query));
}

void CUdpRelay::failOverAll(const char* what) {
  if (oldest_ != kNone) core_.ServiceFailed(family_, what);
  while (oldest_ != kNone) failOver(oldest_);
}

void CUdpRelay::RoutingChanged() {
  if (stopped_) return;
  u16 port = core_.Redirected(family_, Transport::Udp) ? core_.ServicePort(family_, Transport::Udp) : 0;
  if (port == relayServicePort_) return;
  while (oldest_ != kNone) failOver(oldest_);
  closeRelay();
}

// Sent at once when the socket takes it; otherwise (or behind answers that
// already wait) copied and sent when the socket can take it.
void CUdpRelay::answer(const udp::endpoint& client, const u8* bytes, std::size_t size) {
  if (stubBacklog_ == 0) {
    if (SendDatagramNow(stub_.native_handle(), bytes, size, client)) return;
  }
  sendLater(stub_, stubBacklog_, bytes, size, &client);
}

void CUdpRelay::sendLater(udp::socket& socket, u32& backlog, const u8* bytes, std::size_t size,
                          const udp::endpoint* to) {
  auto shared = std::make_shared<std::vector<u8>>(bytes, bytes + size);
  ++backlog;
  auto done = [this, shared, &backlog](const boost::system::error_code& ec, std::size_t) {
    if (ec == asio::error::operation_aborted || stopped_) return;
    if (backlog > 0) --backlog;
  };
  if (to != nullptr) {
    socket.async_send_to(asio::buffer(*shared), *to, done);
  } else {
    socket.async_send(asio::buffer(*shared), done);
  }
}

void CUdpRelay::answerError(const udp::endpoint& client, const u8* query, std::size_t size, u8 rcode) {
  std::vector<u8> bytes = MakeErrorAnswer(query, size, rcode);
  if (bytes.empty()) return;
  ++core_.counters().answeredLocally;
  answer(client, bytes.data(), bytes.size());
}

}  // namespace hxt::sockfilter
