#include "fakes/dnstestkit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "fakes/dnswire.h"
#include "fakes/redirectclient.h"

namespace hxt::test {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kHeader = 70;  // the redirection header in front of each message to the agent

ResolverOptions On(const std::string& loopback, const std::string& answer, u16 port,
                   bool redirected = false) {
  ResolverOptions options;
  options.loopback = loopback, options.answer = answer, options.port = port, options.redirected = redirected;
  return options;
}

// Makes a P-256 key `name`.key and its certificate `name`.pem in `dir` with
// openssl's req; `how` names the subject, the extensions and the issuer.
void MakeCert(const std::string& dir, const std::string& name, const std::string& how) {
  const std::string command = "cd '" + dir + "' && openssl req -config /dev/null -x509 -days 1 -nodes " +
                              "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -keyout '" + name +
                              ".key' -out '" + name + ".pem' " + how + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make " + name);
}

std::string Described(const std::optional<Bytes>& answer, u16 id) {
  if (!answer || IdOf(*answer) != id) return "nothing";
  return RcodeOf(*answer) == 2 ? "SERVFAIL" : AnswerAddress(*answer);
}

}  // namespace

Bytes MakeQuery(const std::string& name, u16 id) {
  Bytes q = {static_cast<u8>(id >> 8), static_cast<u8>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  std::istringstream labels(name);
  for (std::string label; std::getline(labels, label, '.');) {
    q.push_back(static_cast<u8>(label.size()));
    q.insert(q.end(), label.begin(), label.end());
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});  // the root, A, IN
  return q;
}

Bytes MakeAnswer(const Bytes& query, const std::string& address) {
  const auto bytes = asio::ip::make_address_v4(address).to_bytes();
  return dnswire::Reply(query, 0, dnswire::Record(1, Bytes(bytes.begin(), bytes.end())), 1);
}

u16 IdOf(const Bytes& message) {
  return message.size() < 2 ? 0 : static_cast<u16>((message[0] << 8) | message[1]);
}

u8 RcodeOf(const Bytes& message) {
  return message.size() < 4 ? 0xFF : static_cast<u8>(message[3] & 0x0F);
}

std::string AnswerAddress(const Bytes& m) {
  if (m.size() < 12 || m[7] == 0) return "";
  std::size_t pos = 12;
  while (pos < m.size() && m[pos] != 0) pos += 1 + m[pos];
  pos += 5 + 12;  // root label, type, class; the first record's pointer, type, class, ttl, length
  if (pos + 4 > m.size()) return "";
  return asio::ip::address_v4({m[pos], m[pos + 1], m[pos + 2], m[pos + 3]}).to_string();
}

bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN, 0};
  return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}

bool SendAll(int fd, const u8* bytes, std::size_t size) {
  for (std::size_t sent = 0; sent < size;) {
    const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void OnThread(asio::io_context& io, const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  auto done = task.get_future();
  asio::post(io, std::move(task));
  done.wait();
}

void IoThread::Stop() {
  guard_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
}

struct TestResolver::Impl {
  using TlsStream = asio::ssl::stream<tcp::socket>;

  Impl(ResolverOptions o, TestResolver& resolver) : self(resolver), options(std::move(o)) {
    if (!options.certFile.empty()) {
      tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
      tls->use_certificate_chain_file(options.certFile);
      tls->use_private_key_file(options.keyFile, asio::ssl::context::pem);
    }
    const auto ip = asio::ip::make_address(options.loopback);
    // One port for both: draw UDP ports until one's TCP twin is free.
    for (boost::system::error_code ec = asio::error::address_in_use; ec;) {
      if (udpSocket.is_open()) udpSocket.close();
      if (acceptor.is_open()) acceptor.close();
      udpSocket.open(ip.is_v6() ? udp::v6() : udp::v4());
      if (options.port != 0) udpSocket.set_option(asio::socket_base::reuse_address(true));
      udpSocket.bind(udp::endpoint(ip, options.port));
      acceptor.open(ip.is_v6() ? tcp::v6() : tcp::v4());
      acceptor.set_option(asio::socket_base::reuse_address(true));
      acceptor.bind(tcp::endpoint(ip, udpSocket.local_endpoint().port()), ec);
      if (ec && options.port != 0) throw boost::system::system_error(ec);
    }
    acceptor.listen();
    self.endpoint_ = udpSocket.local_endpoint();
    otherSocket.open(ip.is_v6() ? udp::v6() : udp::v4());
    otherSocket.bind(udp::endpoint(ip, 0));
    // Processes the test starts later must not keep the port.
    ::fcntl(udpSocket.native_handle(), F_SETFD, FD_CLOEXEC);
    ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    asio::post(thread.io(), [this] {
      receive();
      accept();
    });
  }

  ~Impl() {
    OnThread(thread.io(), [&] {
      closeListeners();
      boost::system::error_code ignored;
      otherSocket.close(ignored);
      for (auto& session : sessions)
        if (auto socket = session.socket.lock()) socket->close(ignored);
    });
    // The closed sessions' last handlers write to `sessions`: the thread ends before the members go.
    thread.Stop();
  }

  void closeListeners() {
    boost::system::error_code ignored;
    udpSocket.close(ignored);
    acceptor.close(ignored);
  }

  // The reply to `query` ("" for none), counted under its name.
  std::string answerTo(const std::string& query, bool truncate) {
    std::string name;
    dnswire::ReadName(query, 12, name);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++asked[name];
      if (options.silent || std::find(silenced.begin(), silenced.end(), name) != silenced.end()) return {};
    }
    if (truncate) {
      std::string answer = dnswire::Reply(query, 0);
      if (!answer.empty()) answer[2] |= 0x02;
      return answer;
    }
    if (options.reply) return options.reply(query);
    const Bytes answer = MakeAnswer(Bytes(query.begin(), query.end()), options.answer);
    return std::string(answer.begin(), answer.end());
  }

  void record(const std::string& header, const std::string& payload, const udp::endpoint& source,
              int connection) {
    std::lock_guard<std::mutex> lock(mutex);
    messages.push_back(ServiceMessage{Bytes(header.begin(), header.end()),
                                      Bytes(payload.begin(), payload.end()), source, connection != 0,
                                      connection});
  }

  void receive() {
    udpSocket.async_receive_from(
        asio::buffer(buffer), sender, [this](const boost::system::error_code& e, std::size_t n) {
          if (e == asio::error::operation_aborted || !udpSocket.is_open()) return;
          const std::size_t skip = options.redirected ? kHeader : 0;
          if (!e && n >= skip + (options.redirected ? 0 : 12)) {
            ++self.udpQueries_;
            const std::string header(buffer.data(), skip), query(buffer.data() + skip, n - skip);
            udp::endpoint to = sender;
            if (options.redirected) record(header, query, sender, 0);
            auto answer = std::make_shared<std::string>(answerTo(query, options.truncateUdp));
            if (options.redirected && !answer->empty()) {
              // As the agent does: bytes 0-67 as received, the answer's length, the
              // answer; sent to loopback at the requester's port.
              *answer = header.substr(0, 68) + static_cast<char>(answer->size() & 0xff) +
                        static_cast<char>(answer->size() >> 8) + *answer;
              to.port(static_cast<u16>(static_cast<u8>(header[14]) << 8 | static_cast<u8>(header[15])));
            }
            auto& from = options.elsewhere && options.elsewhere(query) ? otherSocket : udpSocket;
            if (!answer->empty())
              from.async_send_to(asio::buffer(*answer), to,
                                 [answer](const boost::system::error_code&, std::size_t) {});
          }
          receive();
        });
  }

  // One client connection, plain or TLS: length-prefixed queries, each behind
  // a redirection header of its own when `redirected`.
  template <typename Stream>
  struct Session : std::enable_shared_from_this<Session<Stream>> {
    Session(Impl* o, std::shared_ptr<Stream> s, int number) : owner(o), stream(std::move(s)), id(number) {}
    Impl* owner;
    std::shared_ptr<Stream> stream;
    int id;
    std::array<char, 65536> buffer{};
    std::string framed;  // header-framed bytes not yet taken apart
    std::string bytes;   // DNS-over-TCP bytes not yet parsed
    std::vector<std::string> held;

    void read() {
      auto self = this->shared_from_this();
      stream->async_read_some(asio::buffer(buffer),
                              [self](const boost::system::error_code& e, std::size_t n) {
                                if (!e) return self->take(std::string(self->buffer.data(), n)), self->read();
                                std::lock_guard<std::mutex> lock(self->owner->mutex);
                                self->owner->sessions[static_cast<std::size_t>(self->id - 1)].closed = true;
                              });
    }
    void take(const std::string& in) {
      if (!owner->options.redirected) bytes += in;
      for (framed += owner->options.redirected ? in : ""; framed.size() >= kHeader;) {
        const std::size_t length = static_cast<u8>(framed[68]) | static_cast<u8>(framed[69]) << 8;
        if (framed.size() < kHeader + length) break;
        owner->record(framed.substr(0, kHeader), framed.substr(kHeader, length), {}, id);
        bytes += framed.substr(kHeader, length);
        framed.erase(0, kHeader + length);
      }
      for (const std::string& query : dnswire::TakeFramed(bytes)) {
        ++owner->self.tcpQueries_;
        const std::string answer = owner->answerTo(query, false);
        if (answer.empty()) continue;
        held.push_back(dnswire::Framed(answer));
        if (static_cast<int>(held.size()) < owner->options.answerInBatchesOf) continue;
        auto batch = std::make_shared<std::string>();
        for (auto it = held.rbegin(); it != held.rend(); ++it) *batch += *it;
        held.clear();
        auto self = this->shared_from_this();
        asio::async_write(*stream, asio::buffer(*batch),
                          [self, batch](const boost::system::error_code&, std::size_t) {});
      }
    }
  };

  template <typename Stream>
  void serve(std::shared_ptr<Stream> stream) {
    int id;
    {
      std::lock_guard<std::mutex> lock(mutex);
      sessions.push_back(
          {std::shared_ptr<tcp::socket::lowest_layer_type>(stream, &stream->lowest_layer()), false});
      id = static_cast<int>(sessions.size());
    }
    std::make_shared<Session<Stream>>(this, std::move(stream), id)->read();
  }

  void accept() {
    acceptor.async_accept([this](const boost::system::error_code& e, tcp::socket socket) {
      if (e == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!e) ++self.connections_;
      if (!e && !tls) serve(std::make_shared<tcp::socket>(std::move(socket)));
      if (!e && tls) {
        auto stream = std::make_shared<TlsStream>(std::move(socket), *tls);
        stream->async_handshake(TlsStream::server, [this, stream](const boost::system::error_code& e) {
          if (!e) serve(stream);
        });
      }
      accept();
    });
  }

  struct Tracked {
    std::weak_ptr<tcp::socket::lowest_layer_type> socket;  // closed on the I/O thread
    bool closed;
  };

  TestResolver& self;
  ResolverOptions options;
  IoThread thread;
  std::unique_ptr<asio::ssl::context> tls;
  udp::socket udpSocket{thread.io()}, otherSocket{thread.io()};
  tcp::acceptor acceptor{thread.io()};
  udp::endpoint sender;
  std::array<char, 65536> buffer{};
  std::mutex mutex;
  std::map<std::string, int> asked;  // by lower-case name
  std::vector<std::string> silenced;
  std::vector<ServiceMessage> messages;
  std::vector<Tracked> sessions;
};

TestResolver::TestResolver(ResolverOptions o) : impl_(std::make_unique<Impl>(std::move(o), *this)) {}

TestResolver::TestResolver(const std::string& loopback, const std::string& answer, u16 port)
    : TestResolver(On(loopback, answer, port)) {}
TestResolver::~TestResolver() = default;
int TestResolver::Asked(const std::string& name) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->asked.count(name) ? impl_->asked.at(name) : 0;
}
std::vector<ServiceMessage> TestResolver::Messages() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->messages;
}
void TestResolver::SilenceName(const std::string& name) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->silenced.push_back(name);
}
void TestResolver::CloseListeners() {
  OnThread(impl_->thread.io(), [&] { impl_->closeListeners(); });
}
void TestResolver::SendRaw(u16 port, const Bytes& bytes) {
  OnThread(impl_->thread.io(), [&] {
    boost::system::error_code ignored;
    impl_->udpSocket.send_to(asio::buffer(bytes), udp::endpoint(endpoint_.address(), port), 0, ignored);
  });
}
bool TestResolver::AllTcpClosed() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return std::all_of(impl_->sessions.begin(), impl_->sessions.end(),
                     [](const Impl::Tracked& s) { return s.closed; });
}

TestService::TestService(const std::string& loopback, const std::string& address)
    : TestResolver(On(loopback, address, 0, true)) {}

// ---- certificates ----------------------------------------------------------

TestPki::TestPki(const std::string& dir) : dir_(dir), caFile_(dir + "/ca.pem") {
  for (const std::string ca : {"ca", "rogue-ca"})
    MakeCert(dir, ca,
             "-subj '/CN=hxt " + ca + "' -addext basicConstraints=critical,CA:TRUE " +
                 "-addext keyUsage=critical,keyCertSign,cRLSign");
}

std::string AskUdp(const udp::endpoint& stub, const std::string& name, std::chrono::milliseconds timeout) {
  LoopbackSocket client(stub.address().is_v6() ? kAddressFamilyIPv6 : kAddressFamilyIPv4, SOCK_DGRAM);
  client.SetReceiveTimeout(timeout);
  if (!client.Connect(stub.address().to_string(), stub.port())) return "nothing";
  return Described(client.Send(MakeQuery(name, 0x4242)) ? client.Receive() : std::nullopt, 0x4242);
}

std::string AskTcp(const tcp::endpoint& stub, const std::string& name) {
  LoopbackSocket client(stub.address().is_v6() ? kAddressFamilyIPv6 : kAddressFamilyIPv4, SOCK_STREAM);
  if (!client.Connect(stub.address().to_string(), stub.port()) ||
      !client.Send(WithLength(MakeQuery(name, 7))))
    return "no connection";
  return Described(client.ReceiveFramed(), 7);
}

ResolverOptions TestPki::TlsServer(const std::string& name, bool trusted) {
  const std::string base = name + (trusted ? "" : ".rogue"), ca = trusted ? "ca" : "rogue-ca";
  MakeCert(dir_, base,
           "-subj '/CN=" + name + "' -addext subjectAltName=DNS:" + name +
               " -addext basicConstraints=CA:FALSE -CA " + ca + ".pem -CAkey " + ca + ".key");
  ResolverOptions options;
  options.certFile = dir_ + "/" + base + ".pem", options.keyFile = dir_ + "/" + base + ".key";
  return options;
}

}  // namespace hxt::test
