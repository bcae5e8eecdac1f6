#include "upstreampool.h"

#include <openssl/ssl.h>

#include <array>

#include <boost/asio/connect.hpp>
#include <boost/container/small_vector.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "dnsmessage.h"
#include "pluginlog.h"
#include "truststore.h"

namespace hxt::dnsprotect {

namespace asio = boost::asio;
using boost::system::error_code;
using Done = std::function<void(bool ok, std::string answer)>;

namespace {

std::string WithLength(const std::string& message) {
  std::string framed;
  framed.push_back(static_cast<char>(message.size() >> 8));
  framed.push_back(static_cast<char>(message.size() & 0xff));
  return framed + message;
}

// One attempt on one upstream; Cancel ends it without calling back.
class IAttempt {
 public:
  virtual ~IAttempt() = default;
  virtual void Cancel() = 0;
};

// A query over a TCP connection of its own.
class CTcpExchange : public IAttempt, public std::enable_shared_from_this<CTcpExchange> {
 public:
  CTcpExchange(asio::io_context& io, asio::ip::tcp::endpoint server, std::string query, Done done)
      : socket_(io), server_(server), query_(WithLength(query)), done_(std::move(done)) {}
  void Start() {
    auto self = shared_from_this();
    socket_.async_connect(server_, [self](const error_code& e) {
      if (e) return self->fail();
      asio::async_write(self->socket_, asio::buffer(self->query_), [self](const error_code& e, std::size_t) {
        if (e) return self->fail();
        asio::async_read(
            self->socket_, asio::buffer(self->length_), [self](const error_code& e, std::size_t) {
              if (e) return self->fail();
              self->answer_.resize((std::size_t{self->length_[0]} << 8) | self->length_[1]);
              asio::async_read(self->socket_, asio::buffer(self->answer_),
                               [self](const error_code& e, std::size_t) {
                                 if (e) return self->fail();
                                 self->socket_.close();
                                 if (self->done_)
                                   std::exchange(self->done_, nullptr)(true, std::move(self->answer_));
                               });
            });
      });
    });
  }
  void Cancel() override {
    done_ = nullptr;
    error_code ignored;
    socket_.close(ignored);
  }

 private:
  void fail() {
    error_code ignored;
    socket_.close(ignored);
    if (done_) std::exchange(done_, nullptr)(false, {});
  }
  asio::ip::tcp::socket socket_;
  asio::ip::tcp::endpoint server_;
  std::string query_;
  Done done_;
  std::array<unsigned char, 2> length_{};
  std::string answer_;
};

}  // namespace

// A persistent TLS connection to one upstream. Queries are written as they
// come (each under an id unique on the connection) and answers are matched
// by id, in whatever order they arrive. The connection closes itself when
// idle and reconnects on the next query; a failure fails every pending query.
// A reconnection offers the last session the upstream gave this connection, so
// that coming back after an idle close or a network change costs one round
// trip and no certificate check. The session is kept by the connection, never
// shared: each upstream has its own context (trust, server name), and a
// session is only offered again to the server that issued it.
class CDotConnection : public std::enable_shared_from_this<CDotConnection> {
 public:
  CDotConnection(asio::io_context& io, asio::ssl::context& context, const UpstreamConfig& config,
                 std::chrono::milliseconds idle, std::atomic<std::size_t>& connects,
                 std::atomic<std::size_t>& resumed)
      : io_(io),
        context_(context),
        config_(config),
        idle_(idle),
        idleTimer_(io),
        connects_(connects),
        resumed_(resumed) {}

  // Makes `context` hand the sessions its connections get to them; the
  // context's own cache stays empty, as it would be shared by every connection
  // made with it.
  static void KeepSessions(asio::ssl::context& context) {
    SSL_CTX_set_session_cache_mode(context.native_handle(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context.native_handle(), &CDotConnection::NewSession);
  }

  // Returns the id the query travels under, for Cancel.
  std::uint16_t Send(const std::string& query, Done done) {
    std::uint16_t id = RandomId();
    while (pending_.count(id) != 0) id = RandomId();
    // The query is rewritten in a buffer that keeps its capacity, and queued
    // with its length straight into the next write.
    scratch_.assign(query);
    SetMessageId(scratch_, id);
    // Lengths of encrypted queries say less once padded to whole blocks.
    PadQuery(scratch_);
    if (spare_.empty()) {
      pending_.emplace(id, std::move(done));
    } else {
      auto node = std::move(spare_.back());
      spare_.pop_back();
      node.key() = id;
      node.mapped() = std::move(done);
      pending_.insert(std::move(node));
    }
    queued_.push_back(static_cast<char>(scratch_.size() >> 8));
    queued_.push_back(static_cast<char>(scratch_.size() & 0xff));
    queued_ += scratch_;
    idleTimer_.cancel();
    if (!stream_) {
      connect();
    } else if (open_) {
      flush();
    }
    return id;
  }
  void Cancel(std::uint16_t id) {
    auto found = pending_.find(id);
    if (found != pending_.end()) release(found);
  }
  void Close() { fail("closed"); }

 private:
  using Stream = asio::ssl::stream<asio::ip::tcp::socket>;

  // Where a stream's SSL object points at its connection (the stream keeps
  // its verification callback in the application data slot).
  static int ConnectionSlot() {
    static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return slot;
  }

  // TLS 1.3 tickets come after the handshake, while answers are read; the
  // latest one is kept.
  static int NewSession(SSL* ssl, SSL_SESSION* session) {
    auto* self = static_cast<CDotConnection*>(SSL_get_ex_data(ssl, ConnectionSlot()));
    if (self == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
    self->session_.reset(session);
    return 1;  // the reference is ours now
  }

  void connect() {
    stream_ = std::make_shared<Stream>(io_, context_);
    open_ = false;
    ++connects_;
    SSL* ssl = stream_->native_handle();
    SSL_set_ex_data(ssl, ConnectionSlot(), this);
    // Asio's stream has OpenSSL free the record buffers whenever they run
    // empty, which on a busy connection is after nearly every read and write:
    // two 16 KiB allocations and frees per burst. One connection per upstream
    // can keep them.
    SSL_clear_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
    // A session the server or OpenSSL gave up on (a fatal alert) is not offered.
    if (session_ && !SSL_SESSION_is_resumable(session_.get())) session_.reset();
    if (session_) SSL_set_session(ssl, session_.get());
    const std::string name = config_.tlsName.empty() ? config_.address.to_string() : config_.tlsName;
    stream_->set_verify_mode(asio::ssl::verify_peer);
    stream_->set_verify_callback(asio::ssl::host_name_verification(name));
    error_code probe;
    asio::ip::make_address(name, probe);
    if (probe) SSL_set_tlsext_host_name(ssl, name.c_str());
    auto self = shared_from_this();
    auto stream = stream_;
    stream_->lowest_layer().async_connect(
        asio::ip::tcp::endpoint(config_.address, config_.port), [self, stream](const error_code& e) {
          if (stream != self->stream_) return;
          if (e) return self->fail("connect: " + e.message());
          stream->async_handshake(Stream::client, [self, stream](const error_code& e) {
            if (stream != self->stream_) return;
            if (e) {
              // Whatever the server thought of the session, the next attempt starts afresh.
              self->session_.reset();
              return self->fail("TLS handshake: " + e.message());
            }
            if (SSL_session_reused(stream->native_handle()) != 0) ++self->resumed_;
            self->open_ = true;
            self->flush();
            self->readAnswers();
          });
        });
  }

  // Everything queued goes out in one write: one TLS record and one system
  // call for a burst of queries instead of one each.
  void flush() {
    if (writing_ || queued_.empty()) return;
    writing_ = true;
    out_.swap(queued_);
    queued_.clear();
    auto self = shared_from_this();
    auto stream = stream_;
    asio::async_write(*stream_, asio::buffer(out_), [self, stream](const error_code& e, std::size_t) {
      if (stream != self->stream_) return;
      self->writing_ = false;
      if (e) return self->fail("write: " + e.message());
      self->flush();
    });
  }

  // Reads whatever the server sent and takes every whole answer in it, so
  // that answers arriving together cost one read.
  void readAnswers() {
    auto self = shared_from_this();
    auto stream = stream_;
    stream_->async_read_some(asio::buffer(readBuffer_), [self, stream](const error_code& e, std::size_t n) {
      if (stream != self->stream_) return;
      if (e) return self->fail(self->pending_.empty() ? "closed by the server" : "read: " + e.message());
      self->in_.append(self->readBuffer_.data(), n);
      if (!self->takeAnswers(stream)) return;  // a handler closed the connection
      if (self->pending_.empty() && self->queued_.empty() && !self->writing_) self->armIdle();
      self->readAnswers();
    });
  }

  // Hands each whole answer at the front of in_ to its query; false when a
  // handler closed the connection.
  bool takeAnswers(const std::shared_ptr<Stream>& stream) {
    std::size_t at = 0;
    while (in_.size() - at >= 2) {
      const std::size_t length =
          (std::size_t{static_cast<unsigned char>(in_[at])} << 8) | static_cast<unsigned char>(in_[at + 1]);
      if (in_.size() - at - 2 < length) break;
      std::string answer = in_.substr(at + 2, length);
      at += 2 + length;
      auto found = pending_.find(MessageId(answer));
      if (found == pending_.end()) continue;
      Done done = std::move(found->second);
      release(found);
      done(true, std::move(answer));
      if (stream_ != stream) return false;
    }
    in_.erase(0, at);
    return true;
  }

  // Takes a query off pending_, keeping its node for the next one: a map
  // node per query would otherwise be allocated and freed.
  void release(std::map<std::uint16_t, Done>::iterator found) {
    found->second = nullptr;
    if (spare_.size() < kSpareNodes) {
      spare_.push_back(pending_.extract(found));
    } else {
      pending_.erase(found);
    }
  }

  void armIdle() {
    idleTimer_.expires_after(idle_);
    auto self = shared_from_this();
    auto stream = stream_;
    idleTimer_.async_wait([self, stream](const error_code& e) {
      if (e || stream != self->stream_ || !self->pending_.empty()) return;
      PluginLog(LogLevel::Info, "closing idle TLS connection to " + self->config_.Text());
      self->fail("idle");
    });
  }

  void fail(const std::string& reason) {
    if (stream_) {
      if (reason != "idle" && reason != "closed" && !pending_.empty()) {
        PluginLog(LogLevel::Warning, "TLS upstream " + config_.Text() + ": " + reason);
      }
      SSL* ssl = stream_->native_handle();
      SSL_set_ex_data(ssl, ConnectionSlot(), nullptr);
      // Closing without a close_notify would make OpenSSL take the session for
      // unusable; whether the server still accepts it is for the server to say.
      SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
      error_code ignored;
      stream_->lowest_layer().close(ignored);
      stream_.reset();
    }
    open_ = false;
    writing_ = false;
    queued_.clear();
    in_.clear();
    idleTimer_.cancel();
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& entry : pending) entry.second(false, {});
  }

  asio::io_context& io_;
  asio::ssl::context& context_;
  const UpstreamConfig config_;
  const std::chrono::milliseconds idle_;
  asio::steady_timer idleTimer_;
  std::atomic<std::size_t>& connects_;
  std::atomic<std::size_t>& resumed_;
  struct SessionFree {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
  };
  std::unique_ptr<SSL_SESSION, SessionFree> session_;
  std::shared_ptr<Stream> stream_;
  bool open_ = false;
  bool writing_ = false;
  static constexpr std::size_t kSpareNodes = 256;
  std::string scratch_;  // the query being queued
  std::string queued_;   // framed queries for the next write
  std::string out_;      // the write in progress
  std::map<std::uint16_t, Done> pending_;
  std::vector<std::map<std::uint16_t, Done>::node_type> spare_;
  std::array<char, 16 * 1024> readBuffer_;
  std::string in_;  // read, not yet taken
};

struct Candidate {
  int index;  // into the pool's upstreams; -1 for a server given with the query
  const UpstreamConfig* config;  // the pool's, or one of the query's servers
};

// A TLS attempt that outlived its share of the deadline: its answer is still
// taken while the query lasts.
struct Lingering {
  std::shared_ptr<CDotConnection> connection;
  std::uint16_t id;
  int index;
};

struct QueryState {
  std::string query;
  std::uint16_t clientId = 0;
  Clock::time_point deadline;
  // When the current attempt's share of the deadline runs out; max() with no
  // attempt timed. The pool's one sweep timer watches both.
  Clock::time_point shareEnds = Clock::time_point::max();
  ResolveHandler handler;
  std::vector<UpstreamConfig> servers;  // given with the query
  // Inline for the usual few upstreams: no allocation per query.
  boost::container::small_vector<Candidate, 4> candidates;
  std::size_t next = 0;
  unsigned generation = 0;
  bool probe = false;
  std::shared_ptr<IAttempt> attempt;  // over TCP
  CUdpSockets* sockets = nullptr;      // the pool's, for udpTicket
  std::uint64_t udpTicket = 0;         // a query in flight on the shared UDP sockets
  std::shared_ptr<CDotConnection> connection;
  std::uint16_t connectionId = 0;
  int attemptIndex = -1;                    // the upstream of `attempt` or `connection`
  std::map<unsigned, Lingering> lingering;  // by generation
  std::string fallback;  // an upstream's SERVFAIL or REFUSED, given when nobody does better
  bool finished = false;

  bool waiting() const {
    return attempt || udpTicket != 0 || connection || !lingering.empty() || next < candidates.size();
  }
  Clock::time_point due() const { return std::min(deadline, shareEnds); }
  void cancelAttempt() {
    ++generation;
    shareEnds = Clock::time_point::max();
    if (attempt) std::exchange(attempt, nullptr)->Cancel();
    if (udpTicket != 0) sockets->Cancel(std::exchange(udpTicket, 0));
    if (connection) std::exchange(connection, nullptr)->Cancel(connectionId);
  }
  void cancelAll() {
    cancelAttempt();
    for (auto& entry : lingering) entry.second.connection->Cancel(entry.second.id);
    lingering.clear();
  }
};

namespace {

// Whether `answer` answers `query` for good: the same question, a well-formed
// message (its OPT record stripped), and not SERVFAIL or REFUSED, which the
// next upstream may do better on.
enum class Reply { Good, Retry, Bad };
Reply Judge(const std::string& query, std::string& answer) {
  if (!SameQuestion(query, answer) || !StripOpt(answer)) return Reply::Bad;
  const std::uint8_t rcode = Rcode(answer);
  return rcode == kRcodeServFail || rcode == kRcodeRefused ? Reply::Retry : Reply::Good;
}

}  // namespace

CUpstreamPool::CUpstreamPool(asio::io_context& io, std::vector<UpstreamConfig> upstreams,
                             std::chrono::milliseconds tlsIdleTimeout)
    : io_(io), tlsIdle_(tlsIdleTimeout), sweepTimer_(io), udpSockets_(io) {
  for (auto& config : upstreams) {
    auto upstream = std::make_unique<Upstream>();
    upstream->config = std::move(config);
    if (upstream->config.tls) {
      upstream->tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
      upstream->tls->set_options(asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                                 asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
      error_code e;
      if (upstream->config.caFile.empty()) {
        LoadSystemTrust(*upstream->tls, e);
      } else {
        upstream->tls->load_verify_file(upstream->config.caFile, e);
      }
      if (e)
        PluginLog(LogLevel::Error,
                  "TLS upstream " + upstream->config.Text() + ": trust store: " + e.message());
      CDotConnection::KeepSessions(*upstream->tls);
      upstream->connection = std::make_shared<CDotConnection>(io_, *upstream->tls, upstream->config,
                                                              tlsIdle_, tlsConnects_, tlsResumed_);
    }
    upstreams_.push_back(std::move(upstream));
  }
}

CUpstreamPool::~CUpstreamPool() = default;

bool CUpstreamPool::AnyHealthy() const {
  for (const auto& upstream : upstreams_) {
    if (upstream->healthy && (upstream->config.tls || !plainAside_)) return true;
  }
  return false;
}

bool CUpstreamPool::PreferredIsTls() const {
  for (const auto& upstream : upstreams_) {
    if (upstream->healthy && (upstream->config.tls || !plainAside_)) return upstream->config.tls;
  }
  return false;
}

std::vector<UpstreamConfig> CUpstreamPool::PlainUpstreams() const {
  std::vector<UpstreamConfig> plain;
  for (const auto& upstream : upstreams_) {
    if (!upstream->config.tls) plain.push_back(upstream->config);
  }
  return plain;
}

void CUpstreamPool::markHealth(int index, bool healthy) {
  if (index < 0) return;
  auto& upstream = *upstreams_[static_cast<std::size_t>(index)];
  if (upstream.healthy.exchange(healthy) != healthy) {
    const std::string what =
        "upstream " + upstream.config.Text() + (healthy ? " answers again" : " does not answer");
    PluginLog(healthy ? LogLevel::Info : LogLevel::Warning, what);
    if (onHealth_) onHealth_(what);
  }
}

void CUpstreamPool::Resolve(std::string query, Clock::time_point deadline, ResolveHandler handler,
                            std::vector<UpstreamConfig> servers) {
  ++inFlight_;
  auto state = std::make_shared<QueryState>();
  state->sockets = &udpSockets_;
  state->query = std::move(query);
  state->deadline = deadline;
  state->handler = std::move(handler);
  state->servers = std::move(servers);
  for (const auto& server : state->servers) state->candidates.push_back(Candidate{-1, &server});
  {
    // Queries that arrive while the I/O thread has not yet taken the earlier
    // ones ride on the same hand-off: one wake-up and one queued handler for
    // the burst.
    std::lock_guard<std::mutex> lock(incomingMutex_);
    incoming_.push_back(std::move(state));
    if (incoming_.size() > 1) return;
  }
  asio::post(io_, [this] { takeIncoming(); });
}

void CUpstreamPool::takeIncoming() {
  {
    std::lock_guard<std::mutex> lock(incomingMutex_);
    taking_.swap(incoming_);
  }
  // The burst's UDP queries leave together.
  udpSockets_.Hold();
  for (const auto& state : taking_) start(state);
  udpSockets_.Release();
  taking_.clear();
}

void CUpstreamPool::start(const std::shared_ptr<QueryState>& state) {
  if (stopped_) return finish(state, kErrorStopped, {});
  if (state->candidates.empty()) {
    state->candidates.reserve(upstreams_.size());
    for (int pass = 0; pass < 2; ++pass) {
      for (std::size_t i = 0; i < upstreams_.size(); ++i) {
        if (plainAside_ && !upstreams_[i]->config.tls) continue;
        if (upstreams_[i]->healthy == (pass == 0)) {
          state->candidates.push_back(Candidate{static_cast<int>(i), &upstreams_[i]->config});
        }
      }
    }
  }
  state->clientId = MessageId(state->query);
  if (spareActive_.empty()) {
    active_.insert(state);
  } else {
    auto node = std::move(spareActive_.back());
    spareActive_.pop_back();
    node.value() = state;
    active_.insert(std::move(node));
  }
  armSweep(state->deadline);
  tryNext(state);
}

void CUpstreamPool::armSweep(Clock::time_point at) {
  // New queries end after those in flight, so this mostly returns here: a
  // query costs no timer of its own.
  // A sweep walks every query in flight. While no upstream answers, queries
  // come due one after another, and a sweep for each would cost the square
  // of those in flight: sweeps are spaced, and whatever came due meanwhile
  // is handled a few milliseconds late, together.
  at = std::max(at, lastSweep_ + kSweepSpacing);
  if (at >= sweepAt_ || stopped_) return;
  sweepAt_ = at;
  sweepTimer_.expires_at(at);
  sweepTimer_.async_wait([this, alive = std::weak_ptr<char>(alive_)](const error_code& e) {
    if (e || alive.expired()) return;
    sweepAt_ = Clock::time_point::max();
    sweep();
  });
}

void CUpstreamPool::sweep() {
  const auto now = Clock::now();
  lastSweep_ = now;
  due_.clear();
  for (const auto& state : active_) {
    if (now >= state->due()) due_.push_back(state);
  }
  for (const auto& state : due_) {
    // An earlier one's handler may have ended or moved this one on.
    if (state->finished) continue;
    if (now >= state->deadline) {
      timeOut(state);
    } else if (now >= state->shareEnds) {
      shareOver(state);
    }
  }
  due_.clear();
  auto next = Clock::time_point::max();
  for (const auto& state : active_) next = std::min(next, state->due());
  if (next != Clock::time_point::max()) armSweep(next);
}

void CUpstreamPool::shareOver(const std::shared_ptr<QueryState>& state) {
  if (state->connection) {
    // A TLS answer slower than its share is still welcome until the
    // deadline: the connection stays, and the next upstream is asked too.
    state->lingering[state->generation] =
        Lingering{std::exchange(state->connection, nullptr), state->connectionId, state->attemptIndex};
  } else {
    markHealth(state->attemptIndex, false);
  }
  tryNext(state);
}

void CUpstreamPool::tryNext(const std::shared_ptr<QueryState>& state) {
  state->cancelAttempt();
  const auto now = Clock::now();
  if (now >= state->deadline) return timeOut(state);
  if (state->next >= state->candidates.size()) {
    // Nobody left to ask; a slow TLS answer may still come.
    if (!state->waiting()) giveUp(state);
    return;
  }
  const Candidate& candidate = state->candidates[state->next];
  const std::size_t left = state->candidates.size() - state->next;
  ++state->next;
  // Each attempt left gets an equal share of the time left.
  const auto share = (state->deadline - now) / static_cast<int>(left);
  const unsigned generation = state->generation;
  const int index = candidate.index;
  state->shareEnds = now + share;
  armSweep(state->shareEnds);
  state->attemptIndex = index;
  if (candidate.config->tls && index >= 0) {
    state->connection = upstreams_[static_cast<std::size_t>(index)]->connection;
    state->connectionId = state->connection->Send(state->query, answerHandler(state, generation, index, false));
    return;
  }
  const std::uint64_t ticket =
      udpSockets_.Send(asio::ip::udp::endpoint(candidate.config->address, candidate.config->port), state->query,
                       answerHandler(state, generation, index, true));
  // A send that failed at once has called back already (and moved on).
  if (ticket != 0 && generation == state->generation) state->udpTicket = ticket;
}

Done CUpstreamPool::answerHandler(const std::shared_ptr<QueryState>& state, unsigned generation, int index,
                                  bool udp) {
  return [this, state, generation, index, udp](bool ok, std::string answer) {
    const bool current = generation == state->generation;
    if (udp && current) state->udpTicket = 0;
    if (state->finished) return;
    if (!current) {
      if (state->lingering.erase(generation) == 0) return;
    }
    if (udp && ok && IsTruncated(answer)) {
      // Asked again over TCP, within the same share.
      const UpstreamConfig& config = *state->candidates[state->next - 1].config;
      auto tcp = std::make_shared<CTcpExchange>(io_, asio::ip::tcp::endpoint(config.address, config.port),
                                                state->query, answerHandler(state, generation, index, false));
      state->attempt = tcp;
      tcp->Start();
      return;
    }
    markHealth(index, ok);
    if (ok) {
      switch (Judge(state->query, answer)) {
        case Reply::Good:
          if (!state->probe && index >= 0 && !upstreams_[static_cast<std::size_t>(index)]->config.tls &&
              onClearText_) {
            onClearText_();
          }
          return finish(state, 0, std::move(answer));
        case Reply::Retry:
          state->fallback = std::move(answer);
          break;
        case Reply::Bad:
          break;
      }
    }
    if (current) return tryNext(state);
    if (!state->waiting()) giveUp(state);
  };
}

void CUpstreamPool::giveUp(const std::shared_ptr<QueryState>& state) {
  if (state->fallback.empty()) return finish(state, kErrorNoUpstream, {});
  finish(state, 0, std::exchange(state->fallback, {}));
}

void CUpstreamPool::timeOut(const std::shared_ptr<QueryState>& state) {
  // A TLS connection that left a query unanswered for its whole deadline is
  // taken for dead: it is closed, and the queries it still carries try their
  // next upstream.
  std::vector<std::shared_ptr<CDotConnection>> dead;
  if (state->attempt || state->udpTicket != 0 || state->connection) markHealth(state->attemptIndex, false);
  if (state->connection) dead.push_back(state->connection);
  for (const auto& entry : state->lingering) {
    markHealth(entry.second.index, false);
    dead.push_back(entry.second.connection);
  }
  if (state->fallback.empty()) {
    finish(state, kErrorTimeout, {});
  } else {
    finish(state, 0, std::exchange(state->fallback, {}));
  }
  for (const auto& connection : dead) connection->Close();
}

void CUpstreamPool::finish(const std::shared_ptr<QueryState>& state, std::uint32_t error,
                           std::string answer) {
  if (state->finished) return;
  state->finished = true;
  state->cancelAll();
  // The set's node is kept for the next query rather than freed.
  auto found = active_.find(state);
  if (found != active_.end()) {
    auto node = active_.extract(found);
    node.value().reset();
    if (spareActive_.size() < kSpareActive) spareActive_.push_back(std::move(node));
  }
  if (error == 0) SetMessageId(answer, state->clientId);
  --inFlight_;
  auto handler = std::move(state->handler);
  handler(error, std::move(answer));
}

void CUpstreamPool::Probe(std::chrono::milliseconds timeout, std::function<void()> done) {
  asio::post(io_, [this, timeout, done = std::move(done)] {
    if (upstreams_.empty() || stopped_) return done();
    auto left = std::make_shared<std::size_t>(upstreams_.size());
    for (std::size_t i = 0; i < upstreams_.size(); ++i) {
      auto state = std::make_shared<QueryState>();
      state->sockets = &udpSockets_;
      state->query = BuildQuery("localhost", kTypeA, 0);
      state->deadline = Clock::now() + timeout;
      state->candidates.push_back(Candidate{static_cast<int>(i), &upstreams_[i]->config});
      state->probe = true;
      state->handler = [left, done](std::uint32_t, std::string) {
        if (--*left == 0) done();
      };
      ++inFlight_;
      start(state);
    }
  });
}

void CUpstreamPool::ForgetNetwork() {
  for (auto& upstream : upstreams_) {
    if (upstream->connection) upstream->connection->Close();
    upstream->healthy = true;
  }
}

void CUpstreamPool::Shutdown() {
  stopped_ = true;
  sweepTimer_.cancel();
  auto active = active_;
  for (const auto& state : active) finish(state, kErrorStopped, {});
  udpSockets_.Close();
  for (auto& upstream : upstreams_) {
    if (upstream->connection) upstream->connection->Close();
  }
}

}  // namespace hxt::dnsprotect
