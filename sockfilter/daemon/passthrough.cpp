#include "daemon/passthrough.h"

#include "common/applog.h"
#include "daemon/dnsmessage.h"
#include "daemon/nftables.h"

namespace hxt::sockfilter {

namespace asio = boost::asio;
using udp = asio::ip::udp;

namespace {
constexpr const char* kTryNext = "CPassThrough::tryNext";
constexpr const char* kReceive = "CPassThrough::receive";

// A query without a question we can read (rare, but legal) is matched by
// its id alone.
bool askedTheSame(const std::vector<u8>& query, const std::vector<u8>& answer) {
  std::string name;
  return SameQuestion(query.data(), query.size(), answer.data(), answer.size()) ||
         !ReadQueryName(query.data(), query.size(), name);
}

std::mt19937 seeded() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
  return std::mt19937(seed);
}
}  // namespace

CPassThrough::CPassThrough(asio::io_context& io, CFilterCore& core)
    : io_(io), core_(core), random_(seeded()) {}

CPassThrough::~CPassThrough() {
  Stop();
}

void CPassThrough::Stop() {
  stopped_ = true;
  for (auto& entry : queries_) {
    boost::system::error_code ignored;
    entry.second->socket.close(ignored);
    entry.second->timer.cancel();
  }
  queries_.clear();
}

void CPassThrough::Resolve(std::vector<u8> query, Done done) {
  ResolveAt(core_.Resolvers(), std::move(query), std::move(done));
}

void CPassThrough::ResolveAt(std::vector<udp::endpoint> resolvers, std::vector<u8> query, Done done) {
  if (stopped_ || query.size() < kDnsHeaderSize) {
    done({});
    return;
  }
  auto entry = std::make_unique<Query>(io_);
  entry->resolvers = std::move(resolvers);
  if (entry->resolvers.empty()) {
    if (throttle_.Allow()) {
      HXT_LOGF(LOG_LEVEL_ERROR, kTryNext, "no pass-through resolver is known; answering SERVFAIL");
    }
    done({});
    return;
  }
  entry->clientId = static_cast<u16>((query[0] << 8) | query[1]);
  entry->query = std::move(query);
  entry->done = std::move(done);
  u64 key = nextKey_++;
  queries_.emplace(key, std::move(entry));
  ++core_.counters().passedThrough;
  tryNext(key);
}

CPassThrough::Query* CPassThrough::find(u64 key, u64 attempt) {
  auto it = queries_.find(key);
  if (it == queries_.end() || it->second->attempt != attempt) return nullptr;
  return it->second.get();
}

void CPassThrough::tryNext(u64 key) {
  Query& q = *queries_.at(key);
  boost::system::error_code ec;
  q.socket.close(ec);
  q.timer.cancel();
  while (q.next < q.resolvers.size()) {
    q.resolver = q.resolvers[q.next++];
    udp protocol = q.resolver.address().is_v6() ? udp::v6() : udp::v4();
    ec.clear();
    q.socket = udp::socket(io_);
    q.socket.open(protocol, ec);
    // Port 0: the system draws a free port at random for each attempt.
    if (!ec) MarkOwnTraffic(q.socket.native_handle());
    if (!ec) q.socket.bind(udp::endpoint(protocol, 0), ec);
    if (!ec) q.socket.connect(q.resolver, ec);
    if (!ec) q.socket.non_blocking(true, ec);
    if (ec) {
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, kTryNext, "cannot ask %s [%d-%s]; trying the next resolver",
                 EndpointText(q.resolver).c_str(), ec.value(), ec.message().c_str());
      }
      q.socket.close(ec);
      continue;
    }
    u16 id = static_cast<u16>(random_());
    q.query[0] = static_cast<u8>(id >> 8);
    q.query[1] = static_cast<u8>(id);
    q.attempt = nextAttempt_++;
    auto bytes = std::make_shared<std::vector<u8>>(q.query);
    q.socket.async_send(asio::buffer(*bytes), [bytes](const boost::system::error_code&, std::size_t) {});
    u64 attempt = q.attempt;
    q.timer.expires_after(core_.config().passThroughTimeout);
    q.timer.async_wait([this, key, attempt](const boost::system::error_code& error) {
      if (error || stopped_ || find(key, attempt) == nullptr) return;
      tryNext(key);
    });
    receive(key, attempt);
    return;
  }
  if (throttle_.Allow()) {
    HXT_LOGF(LOG_LEVEL_WARNING, kTryNext,
             "no pass-through resolver answered (last asked %s); answering SERVFAIL",
             EndpointText(q.resolver).c_str());
  }
  finish(key, {});
}

void CPassThrough::receive(u64 key, u64 attempt) {
  Query& q = *queries_.at(key);
  q.socket.async_wait(udp::socket::wait_read, [this, key, attempt](const boost::system::error_code& ec) {
    if (ec || stopped_) return;
    Query* q = find(key, attempt);
    if (q == nullptr) return;
    // Read the datagram whole whatever its size, without a buffer of 64 KiB
    // per query in flight.
    boost::system::error_code error;
    std::size_t pending = q->socket.available(error);
    std::vector<u8> answer(std::max<std::size_t>(pending, 1));
    std::size_t n = error ? 0 : q->socket.receive(asio::buffer(answer), 0, error);
    if (error == asio::error::would_block) {
      receive(key, attempt);
      return;
    }
    if (error) {
      // The resolver's port is closed (ICMP), or another error of this
      // socket: no point in waiting for its time-out.
      HXT_LOGF(LOG_LEVEL_DEBUG, kReceive, "%s failed [%d-%s]; trying the next resolver",
               EndpointText(q->resolver).c_str(), error.value(), error.message().c_str());
      tryNext(key);
      return;
    }
    answer.resize(n);
    bool matches = n >= kDnsHeaderSize && answer[0] == q->query[0] && answer[1] == q->query[1] &&
                   (answer[2] & 0x80) != 0 && askedTheSame(q->query, answer);
    if (!matches) {
      ++core_.counters().rejectedAnswers;
      if (throttle_.Allow()) {
        HXT_LOGF(LOG_LEVEL_WARNING, kReceive,
                 "ignored an answer from %s that does not answer the query asked",
                 EndpointText(q->resolver).c_str());
      }
      receive(key, attempt);
      return;
    }
    answer[0] = static_cast<u8>(q->clientId >> 8);
    answer[1] = static_cast<u8>(q->clientId);
    core_.counters().PassThroughAnswered(std::chrono::steady_clock::now() - q->asked);
    finish(key, std::move(answer));
  });
}

void CPassThrough::finish(u64 key, std::vector<u8> answer) {
  auto it = queries_.find(key);
  if (it == queries_.end()) return;
  std::unique_ptr<Query> q = std::move(it->second);
  queries_.erase(it);
  boost::system::error_code ignored;
  q->socket.close(ignored);
  q->timer.cancel();
  Done done = std::move(q->done);
  done(std::move(answer));
}

}  // namespace hxt::sockfilter
