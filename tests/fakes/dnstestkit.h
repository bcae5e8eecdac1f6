// Loopback stand-ins for what surrounds DNS code in tests: one resolver (plain or TLS, with certificates made
// on the spot; behind the redirection header it is the agent's listeners as the filter daemon sees them, the
// "service") and DNS clients. Each resolver runs its own I/O thread and records what it saw; every accessor
// is thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "common/hxttypes.h"
#include "fakes/dnswire.h"

namespace hxt::test {

using Bytes = std::vector<u8>;

Bytes MakeQuery(const std::string& name, u16 id);
// An answer to `query` carrying one A record with `address` (dotted quad).
Bytes MakeAnswer(const Bytes& query, const std::string& address);
u16 IdOf(const Bytes& message);
// The first A record's address of an answer; "" when there is none.
std::string AnswerAddress(const Bytes& message);
u8 RcodeOf(const Bytes& message);
// `message` behind its 2-byte length, as DNS over TCP sends it.
inline constexpr auto WithLength = &dnswire::Framed<Bytes>;

// Blocking socket helpers: whether `fd` has input (or was closed) before
// `deadline`; whether all of `bytes` went out.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline);
bool SendAll(int fd, const u8* bytes, std::size_t size);

// Runs `work` on the thread that runs `io` and waits for it, so that what
// belongs to that thread is only ever touched there.
void OnThread(boost::asio::io_context& io, const std::function<void()>& work);

// An io_context with its own thread, stopped and joined on destruction.
class IoThread {
 public:
  IoThread() : guard_(boost::asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
  ~IoThread() { Stop(); }
  boost::asio::io_context& io() { return io_; }
  void Stop();  // Ends the thread; handlers not yet run are dropped. The destructor calls it.

 private:
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

// One message the agent's side received: its 70-byte header and payload, and for UDP the datagram's source.
struct ServiceMessage {
  Bytes header;
  Bytes payload;
  boost::asio::ip::udp::endpoint source;
  bool tcp = false;
  int connection = 0;  // TCP: which accepted connection (1, 2, ...)
};

struct ResolverOptions {
  std::string loopback = "127.0.0.1";  // or "::1"
  std::string answer = "192.0.2.1";    // every query gets an A record with it, unless `reply`
  u16 port = 0;                        // 0: one the system draws
  bool silent = false;                 // reads queries, never answers
  bool truncateUdp = false;            // UDP answers carry TC and no record
  std::string certFile, keyFile;       // set: the TCP side speaks TLS
  int answerInBatchesOf = 1;           // TCP: holds answers, sends each batch in reverse order
  // Queries come behind the 70-byte redirection header, as to the agent's listeners: UDP answers go behind
  // the header's first 68 bytes to the requester's port it names, TCP answers go bare; every message is kept.
  bool redirected = false;
  // The test's own reply to each query ("" for none), on the resolver's thread.
  std::function<std::string(const std::string& query)> reply;
  // The queries whose UDP replies leave from another port, as from someone on the path.
  std::function<bool(const std::string& query)> elsewhere;
};

// The one test resolver: UDP and TCP (or TLS) on one port of a loopback
// address, on its own thread, answering as its options say.
class TestResolver {
 public:
  explicit TestResolver(ResolverOptions options = {});
  TestResolver(const std::string& loopback, const std::string& answer, u16 port = 0);
  ~TestResolver();
  boost::asio::ip::udp::endpoint endpoint() const { return endpoint_; }
  u16 port() const { return endpoint().port(); }
  int udpQueries() const { return udpQueries_; }
  int tcpQueries() const { return tcpQueries_; }
  int connections() const { return connections_; }
  // How often `name` (lower case) was asked, over either transport.
  int Asked(const std::string& name) const;
  void SilenceName(const std::string& name);     // Queries for `name` (lower case) get no answer from now on.
  std::vector<ServiceMessage> Messages() const;  // The messages received when `redirected`.
  std::size_t MessageCount() const { return Messages().size(); }
  void CloseListeners();  // Closes the UDP socket and the acceptor (the agent went away).
  void SendRaw(u16 port, const Bytes& bytes);  // Sends raw bytes from the UDP socket to loopback at `port`.
  bool AllTcpClosed() const;  // Whether every accepted TCP connection has been closed by its peer.

 private:
  struct Impl;
  boost::asio::ip::udp::endpoint endpoint_;
  std::atomic<int> udpQueries_{0}, tcpQueries_{0}, connections_{0};  // counted on the resolver's thread
  std::unique_ptr<Impl> impl_;
};

// The agent's UDP and TCP listeners of one family, as the daemon sees them:
// a redirected resolver answering with `address`.
class TestService : public TestResolver {
 public:
  TestService(const std::string& loopback, const std::string& address);
  u16 udpPort() const { return port(); }
  u16 tcpPort() const { return port(); }
};

// A CA and server certificates, written as PEM files into `dir` by openssl.
class TestPki {
 public:
  explicit TestPki(const std::string& dir);
  const std::string& caFile() const { return caFile_; }
  // A TLS resolver's options with a certificate for `name` (its subject alternative name) and its key, their
  // files in `dir`; `trusted` false signs it with a second CA that nobody trusts.
  ResolverOptions TlsServer(const std::string& name, bool trusted = true);

 private:
  std::string dir_, caFile_;
};

// One A query for `name` through a stub on loopback: the answer's first address, "SERVFAIL", or "nothing" (no
// answer, or one with another id). Clients that need more are redirectclient.h's LoopbackSocket.
std::string AskUdp(const boost::asio::ip::udp::endpoint& stub, const std::string& name,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
// The same over a new TCP connection ("no connection" when it cannot be made).
std::string AskTcp(const boost::asio::ip::tcp::endpoint& stub, const std::string& name);

}  // namespace hxt::test
