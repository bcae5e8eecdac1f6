#include "servers.h"

#include <array>
#include <stdexcept>
#include <thread>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include "agent/velmoracontextcache.h"
#include "agent/velmorakdfcb.h"
#include "agent/velmorakdfpluginmgr.h"
#include "agent/velmoralistener.h"
#include "agent/velmoratcplistenerconn.h"

namespace hxt::bench {

namespace {

namespace asio = boost::asio;

asio::ip::address loopback(u32 family) {
  return family == kAddressFamilyIPv6 ? asio::ip::address(asio::ip::address_v6::loopback())
                                      : asio::ip::address(asio::ip::address_v4::loopback());
}

std::size_t echoAnswerSize(Transport, std::size_t requestSize) {
  return requestSize;
}

// The listener path answers UDP with the header and TCP without it.
std::size_t listenerAnswerSize(Transport transport, std::size_t requestSize) {
  return transport == Transport::Udp ? requestSize : requestSize - kRedirectHeaderSize;
}

class EchoConnection : public std::enable_shared_from_this<EchoConnection> {
 public:
  explicit EchoConnection(asio::io_service& io) : socket(io) {}
  void Read() {
    socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](auto error, std::size_t n) {
      if (error) return;
      asio::async_write(self->socket, asio::buffer(self->buffer.data(), n), [self](auto error2, std::size_t) {
        if (!error2) self->Read();
      });
    });
  }
  asio::ip::tcp::socket socket;
  std::array<unsigned char, 65535> buffer;
};

class EchoServer : public Server {
 public:
  explicit EchoServer(u32 family)
      : family_(family),
        udp_(io_, asio::ip::udp::endpoint(loopback(family), 0)),
        acceptor_(io_, asio::ip::tcp::endpoint(loopback(family), 0)) {
    receive();
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoServer() override {
    io_.stop();
    thread_.join();
  }
  const char* Name() const override { return "echo"; }
  Target GetTarget() const override {
    return Target{family_, udp_.local_endpoint().port(), acceptor_.local_endpoint().port(), &echoAnswerSize};
  }

 private:
  void receive() {
    udp_.async_receive_from(asio::buffer(buffer_), sender_, [this](auto error, std::size_t n) {
      if (!error) {
        boost::system::error_code ignored;
        udp_.send_to(asio::buffer(buffer_.data(), n), sender_, 0, ignored);
      }
      receive();
    });
  }
  void accept() {
    auto connection = std::make_shared<EchoConnection>(io_);
    acceptor_.async_accept(connection->socket, [this, connection](auto error) {
      if (!error) {
        connection->socket.set_option(asio::ip::tcp::no_delay(true));
        connection->Read();
      }
      accept();
    });
  }

  u32 family_;
  asio::io_service io_;
  asio::ip::udp::socket udp_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::udp::endpoint sender_;
  std::array<unsigned char, 4096> buffer_;
  std::thread thread_;
};

class AnsweringCallback : public IVelmoraListenerCB {
 public:
  void SetHost(CVelmoraListener* host) { host_ = host; }

  bool OnUdpRequestAvailable(const unsigned char* data, u32 size) override {
    u32 id = cache_.Add(data, nullptr, true);
    RequestContext context;
    cache_.Find(id, context);
    u32 length = size - kRedirectHeaderSize;
    auto response = std::make_shared<std::vector<unsigned char>>(size);
    std::copy(context.header.begin(), context.header.begin() + kPayloadLengthOffset, response->begin());
    WriteLittleEndian16(response->data() + kPayloadLengthOffset, static_cast<u16>(length));
    std::copy(data + kRedirectHeaderSize, data + size, response->begin() + kRedirectHeaderSize);
    host_->ProcessUdpDnsResponse(response, size, response->data() + kRequesterAddressOffset, id);
    return true;
  }
  bool OnFirstRequestTcpFragmentAvailable(const unsigned char* data, u32 size,
                                          std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                          u32& contextId) override {
    contextId = cache_.Add(data, connection, false);
    return answerTcp(data, size, contextId);
  }
  bool OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) override {
    return answerTcp(data, size, contextId);
  }
  bool CloseSession(u32 contextId) override {
    std::size_t remaining;
    return cache_.Erase(contextId, remaining);
  }
  void OnListenerException(u32) override {}

 private:
  bool answerTcp(const unsigned char* data, u32 size, u32 contextId) {
    RequestContext context;
    if (!cache_.Find(contextId, context)) return false;
    auto answer = std::make_shared<std::vector<unsigned char>>(data + kRedirectHeaderSize, data + size);
    context.connection->ProcessResponseFragment(answer, static_cast<u32>(answer->size()));
    return true;
  }

  CVelmoraListener* host_ = nullptr;
  CVelmoraContextCache cache_;
};

class ListenerServer : public Server, private IVelmoraKdfCB {
 public:
  explicit ListenerServer(u32 family) {
    // The UDP listener needs the socket-filter manager, as in the service.
    if (CVelmoraKdfPluginMgr::createSingletonInstance(this, &kdf_) != kKdfMgrOk) {
      throw std::runtime_error("socket-filter manager could not be created");
    }
    bool ok = false;
    host_ = std::make_unique<CVelmoraListener>(&callback_, family, ok);
    if (!ok) throw std::runtime_error("listener host could not be created");
    callback_.SetHost(host_.get());
    host_->GetListenerPorts(target_.udpPort, target_.tcpPort);
    target_.family = family;
    target_.answerSize = &listenerAnswerSize;
    host_->start();
  }
  ~ListenerServer() override {
    host_.reset();
    CVelmoraKdfPluginMgr::releaseInstance(kdf_);
  }
  const char* Name() const override { return "listener"; }
  Target GetTarget() const override { return target_; }

 private:
  void NotifyKdfDisruption() override {}

  CVelmoraKdfPluginMgr* kdf_ = nullptr;
  AnsweringCallback callback_;
  std::unique_ptr<CVelmoraListener> host_;
  Target target_;
};

}  // namespace

std::unique_ptr<Server> MakeEchoServer(u32 family) {
  return std::make_unique<EchoServer>(family);
}
std::unique_ptr<Server> MakeListenerServer(u32 family) {
  return std::make_unique<ListenerServer>(family);
}

}  // namespace hxt::bench
