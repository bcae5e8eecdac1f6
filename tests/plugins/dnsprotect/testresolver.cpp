#include "plugins/dnsprotect/testresolver.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <future>
#include <stdexcept>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include "fakes/dnstestkit.h"

namespace hxt::test {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;

// ---- certificates ----------------------------------------------------------

namespace {

EVP_PKEY* NewKey() {
  return EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

// A certificate for `key` named `cn`, signed by `issuerKey` (self-signed when
// `issuer` is null).
X509* MakeCert(EVP_PKEY* key, const std::string& cn, X509* issuer, EVP_PKEY* issuerKey, bool ca,
               const std::string& altName) {
  static long serial = 1;
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : cert;
  AddExtension(cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (!altName.empty()) AddExtension(cert, signer, NID_subject_alt_name, ("DNS:" + altName).c_str());
  X509_sign(cert, issuerKey, EVP_sha256());
  return cert;
}

void WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("cannot write " + path);
  if (cert) PEM_write_X509(file, cert);
  if (key) PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(file);
}

}  // namespace

struct TestPki::Keys {
  EVP_PKEY* caKey = NewKey();
  X509* ca = MakeCert(caKey, "hxt test CA", nullptr, caKey, true, "");
  EVP_PKEY* rogueKey = NewKey();
  X509* rogue = MakeCert(rogueKey, "hxt rogue CA", nullptr, rogueKey, true, "");
  ~Keys() {
    X509_free(ca);
    X509_free(rogue);
    EVP_PKEY_free(caKey);
    EVP_PKEY_free(rogueKey);
  }
};

TestPki::TestPki(const std::string& dir)
    : dir_(dir), caFile_(dir + "/ca.pem"), keys_(std::make_unique<Keys>()) {
  WritePem(caFile_, keys_->ca, nullptr);
}

TestPki::~TestPki() = default;

void TestPki::Issue(const std::string& name, const std::string& certFile, const std::string& keyFile,
                    bool trusted) {
  EVP_PKEY* key = NewKey();
  X509* issuer = trusted ? keys_->ca : keys_->rogue;
  X509* cert = MakeCert(key, name, issuer, trusted ? keys_->caKey : keys_->rogueKey, false, name);
  WritePem(certFile, cert, nullptr);
  WritePem(keyFile, nullptr, key);
  X509_free(cert);
  EVP_PKEY_free(key);
}

// ---- resolver --------------------------------------------------------------

struct TestResolver::Impl {
  using TlsStream = asio::ssl::stream<tcp::socket>;

  explicit Impl(ResolverOptions o) : options(std::move(o)), udpSocket(thread.io()), acceptor(thread.io()) {
    if (!options.certFile.empty()) {
      tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
      tls->use_certificate_chain_file(options.certFile);
      tls->use_private_key_file(options.keyFile, asio::ssl::context::pem);
    }
    const auto loopback = asio::ip::make_address("127.0.0.1");
    boost::system::error_code ec = asio::error::address_in_use;
    while (ec) {
      if (udpSocket.is_open()) udpSocket.close();
      if (acceptor.is_open()) acceptor.close();
      udpSocket.open(udp::v4());
      udpSocket.set_option(asio::socket_base::reuse_address(true));
      udpSocket.bind(udp::endpoint(loopback, options.port));
      acceptor.open(tcp::v4());
      acceptor.set_option(asio::socket_base::reuse_address(true));
      acceptor.bind(tcp::endpoint(loopback, udpSocket.local_endpoint().port()), ec);
      if (ec && options.port != 0) throw std::runtime_error("port taken: " + ec.message());
    }
    acceptor.listen();
    // Processes the test starts later must not keep the port.
    ::fcntl(udpSocket.native_handle(), F_SETFD, FD_CLOEXEC);
    ::fcntl(acceptor.native_handle(), F_SETFD, FD_CLOEXEC);
    asio::post(thread.io(), [this] {
      receive();
      accept();
    });
  }

  ~Impl() {
    std::promise<void> closed;
    asio::post(thread.io(), [&] {
      udpSocket.close();
      acceptor.close();
      for (auto& weak : streams) {
        if (auto stream = weak.lock()) {
          boost::system::error_code ignored;
          stream->lowest_layer().close(ignored);
        }
      }
      closed.set_value();
    });
    closed.get_future().wait();
  }

  std::string answerTo(const std::string& query, bool truncate) {
    Bytes answer = MakeAnswer(Bytes(query.begin(), query.end()), options.answer);
    if (truncate) {
      Bytes header(answer.begin(), answer.end() - 16);  // drop the one record
      header[2] |= 0x02;
      header[7] = 0;
      answer = header;
    }
    return std::string(answer.begin(), answer.end());
  }

  void receive() {
    udpSocket.async_receive_from(
        asio::buffer(buffer), sender, [this](const boost::system::error_code& e, std::size_t n) {
          if (e == asio::error::operation_aborted) return;
          if (!e && n >= 12) {
            ++udpQueries;
            if (!options.silent) {
              auto answer =
                  std::make_shared<std::string>(answerTo(std::string(buffer.data(), n), options.truncateUdp));
              udpSocket.async_send_to(asio::buffer(*answer), sender,
                                      [answer](const boost::system::error_code&, std::size_t) {});
            }
          }
          receive();
        });
  }

  // One client connection, plain or TLS, reading length-prefixed queries.
  template <typename Stream>
  struct Session : std::enable_shared_from_this<Session<Stream>> {
    Session(Impl* o, std::shared_ptr<Stream> s) : owner(o), stream(std::move(s)) {}
    Impl* owner;
    std::shared_ptr<Stream> stream;
    std::array<unsigned char, 2> length{};
    std::string query;
    std::vector<std::string> held;
    void read() {
      auto self = this->shared_from_this();
      asio::async_read(
          *stream, asio::buffer(length), [self](const boost::system::error_code& e, std::size_t) {
            if (e) return;
            self->query.resize((std::size_t{self->length[0]} << 8) | self->length[1]);
            asio::async_read(
                *self->stream, asio::buffer(self->query),
                [self](const boost::system::error_code& e, std::size_t) {
                  if (e) return;
                  ++self->owner->streamQueries;
                  if (!self->owner->options.silent) {
                    std::string answer = self->owner->answerTo(self->query, false);
                    self->held.push_back(
                        std::string{static_cast<char>(answer.size() >> 8), static_cast<char>(answer.size())} +
                        answer);
                    if (static_cast<int>(self->held.size()) >= self->owner->options.answerInBatchesOf) {
                      auto batch = std::make_shared<std::string>();
                      for (auto it = self->held.rbegin(); it != self->held.rend(); ++it) *batch += *it;
                      self->held.clear();
                      asio::async_write(*self->stream, asio::buffer(*batch),
                                        [self, batch](const boost::system::error_code&, std::size_t) {});
                    }
                  }
                  self->read();
                });
          });
    }
  };

  void accept() {
    acceptor.async_accept([this](const boost::system::error_code& e, tcp::socket socket) {
      if (e == asio::error::operation_aborted) return;
      if (!e) {
        ++connections;
        if (tls) {
          auto stream = std::make_shared<TlsStream>(std::move(socket), *tls);
          streams.push_back(stream);
          stream->async_handshake(TlsStream::server, [this, stream](const boost::system::error_code& e) {
            if (!e) std::make_shared<Session<TlsStream>>(this, stream)->read();
          });
        } else {
          std::make_shared<Session<tcp::socket>>(this, std::make_shared<tcp::socket>(std::move(socket)))
              ->read();
        }
      }
      accept();
    });
  }

  ResolverOptions options;
  IoThread thread;
  std::unique_ptr<asio::ssl::context> tls;
  udp::socket udpSocket;
  tcp::acceptor acceptor;
  udp::endpoint sender;
  std::array<char, 65536> buffer{};
  std::vector<std::weak_ptr<TlsStream>> streams;
  std::atomic<int> udpQueries{0}, streamQueries{0}, connections{0};
};

TestResolver::TestResolver(ResolverOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
TestResolver::~TestResolver() = default;
u16 TestResolver::port() const {
  return impl_->udpSocket.local_endpoint().port();
}
int TestResolver::udpQueries() const {
  return impl_->udpQueries;
}
int TestResolver::streamQueries() const {
  return impl_->streamQueries;
}
int TestResolver::connections() const {
  return impl_->connections;
}

}  // namespace hxt::test
