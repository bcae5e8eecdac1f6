// hxt_zone_responder: the plain DNS server the whole-path benchmark measures
// the service against, and the upstream the forwarder baseline relays to.
//
//   hxt_zone_responder --listen 127.0.0.1:PORT [--record NAME ADDRESS]...
//
// One thread, one UDP socket and a TCP listener on the same port (two-byte
// length before each message, any number of queries per connection): each
// query is answered at once from the given records (A for an IPv4 text, AAAA for an IPv6 text, NXDOMAIN for
// any other name). It builds its answers with the fake DNS plug-in's responder, so the plug-in and this
// server send the same bytes and the comparison measures the path, not the answer building. With PORT 0 it
// picks a free port; it prints the bound port on standard output once it is ready. SIGTERM or SIGINT ends it
// with status 0.
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/write.hpp>

#include "fakednsresponder.h"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

class ZoneServer {
 public:
  ZoneServer(asio::io_context& io, const udp::endpoint& at, const hxt::fake::FakeDnsResponder& zone)
      : socket_(io, at), zone_(zone) {}

  unsigned short Port() const { return socket_.local_endpoint().port(); }

  void Receive() {
    socket_.async_receive_from(asio::buffer(buffer_), peer_,
                               [this](const boost::system::error_code& error, std::size_t size) {
                                 if (error == asio::error::operation_aborted) return;
                                 if (!error) {
                                   // A blocking send: a loopback datagram never waits for room, and
                                   // answering inside the handler is what a minimal server does.
                                   std::string answer = zone_.Answer(std::string(buffer_.data(), size));
                                   boost::system::error_code ignored;
                                   if (!answer.empty())
                                     socket_.send_to(asio::buffer(answer), peer_, 0, ignored);
                                 }
                                 Receive();
                               });
  }

  void Close() {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

 private:
  udp::socket socket_;
  const hxt::fake::FakeDnsResponder& zone_;
  udp::endpoint peer_;
  std::array<char, 65535> buffer_{};
};

// One TCP client: reads a query, writes its answer, until the client closes.
class ZoneConnection : public std::enable_shared_from_this<ZoneConnection> {
 public:
  ZoneConnection(asio::ip::tcp::socket socket, const hxt::fake::FakeDnsResponder& zone)
      : socket_(std::move(socket)), zone_(zone) {}

  void Read() {
    auto self = shared_from_this();
    asio::async_read(socket_, asio::buffer(length_),
                     [self](const boost::system::error_code& error, std::size_t) {
                       if (error) return;
                       self->query_.resize((std::size_t{self->length_[0]} << 8) | self->length_[1]);
                       asio::async_read(self->socket_, asio::buffer(self->query_),
                                        [self](const boost::system::error_code& error, std::size_t) {
                                          if (!error) self->Answer();
                                        });
                     });
  }

 private:
  void Answer() {
    std::string answer = zone_.Answer(query_);
    if (answer.empty()) return Read();
    reply_.assign(1, static_cast<char>(answer.size() >> 8));
    reply_ += static_cast<char>(answer.size() & 0xff);
    reply_ += answer;
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(reply_),
                      [self](const boost::system::error_code& error, std::size_t) {
                        if (!error) self->Read();
                      });
  }

  asio::ip::tcp::socket socket_;
  const hxt::fake::FakeDnsResponder& zone_;
  unsigned char length_[2] = {};
  std::string query_;
  std::string reply_;
};

class ZoneTcpServer {
 public:
  ZoneTcpServer(asio::io_context& io, const asio::ip::tcp::endpoint& at,
                const hxt::fake::FakeDnsResponder& zone)
      : acceptor_(io, at), zone_(zone) {}

  void Accept() {
    acceptor_.async_accept([this](const boost::system::error_code& error, asio::ip::tcp::socket socket) {
      if (error == asio::error::operation_aborted) return;
      if (!error) std::make_shared<ZoneConnection>(std::move(socket), zone_)->Read();
      Accept();
    });
  }

  void Close() {
    boost::system::error_code ignored;
    acceptor_.close(ignored);
  }

 private:
  asio::ip::tcp::acceptor acceptor_;
  const hxt::fake::FakeDnsResponder& zone_;
};

int usage() {
  std::fputs("usage: hxt_zone_responder --listen ADDRESS:PORT [--record NAME ADDRESS]...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  hxt::fake::FakeDnsResponder zone;
  zone.SetMode(hxt::fake::DnsAnswerMode::Records);
  std::string listen;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
      listen = argv[++i];
    } else if (std::strcmp(argv[i], "--record") == 0 && i + 2 < argc) {
      if (!zone.AddRecord(argv[i + 1], argv[i + 2])) {
        std::fprintf(stderr, "hxt_zone_responder: not an address: %s\n", argv[i + 2]);
        return 2;
      }
      i += 2;
    } else {
      return usage();
    }
  }
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) return usage();

  try {
    asio::io_context io;
    udp::endpoint at(asio::ip::make_address(listen.substr(0, colon)),
                     static_cast<unsigned short>(std::stoul(listen.substr(colon + 1))));
    ZoneServer server(io, at, zone);
    ZoneTcpServer tcpServer(io, asio::ip::tcp::endpoint(at.address(), server.Port()), zone);
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const boost::system::error_code& error, int) {
      if (error) return;
      server.Close();
      tcpServer.Close();
      io.stop();  // open client connections would keep it running
    });
    server.Receive();
    tcpServer.Accept();
    std::printf("%u\n", server.Port());
    std::fflush(stdout);
    io.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "hxt_zone_responder: %s\n", e.what());
    return 1;
  }
  return 0;
}
