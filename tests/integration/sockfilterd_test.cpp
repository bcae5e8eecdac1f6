// hxsockfilterd in-process, between DNS clients, a test "service" standing in
// for the agent's listeners and a test upstream resolver, all on loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <thread>

#include <boost/asio/post.hpp>

#include "daemon/sockfilterdaemon.h"
#include "fakes/capturelogger.h"
#include "fakes/controlpeer.h"
#include "fakes/daemonrunner.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;

constexpr const char* kServiceAnswer = "192.0.2.2";
constexpr const char* kUpstreamAnswer = "192.0.2.1";

struct FamilyCase {
  const char* loopback;
  u16 family;
};

// A socket address written out by hand: family (little-endian), port
// (network order), then the address where the platform puts it.
Bytes SocketAddress(u16 family, u16 port, const asio::ip::address& address) {
  Bytes out(28, 0);
  out[0] = static_cast<u8>(family);
  out[2] = static_cast<u8>(port >> 8);
  out[3] = static_cast<u8>(port);
  if (address.is_v4()) {
    auto b = address.to_v4().to_bytes();
    std::copy(b.begin(), b.end(), out.begin() + 4);
  } else {
    auto b = address.to_v6().to_bytes();
    std::copy(b.begin(), b.end(), out.begin() + 8);
  }
  return out;
}

u32 SerialOf(const Bytes& header) {
  return static_cast<u32>(header[0] | (header[1] << 8) | (header[2] << 16) | (header[3] << 24));
}

Bytes OwnNonce(const Bytes& header) {
  return Bytes(header.begin() + 4, header.begin() + 12);
}

Bytes WithLengthPrefix(const Bytes& message) {
  Bytes out(message.size() + 2);
  out[0] = static_cast<u8>(message.size() >> 8);
  out[1] = static_cast<u8>(message.size());
  std::copy(message.begin(), message.end(), out.begin() + 2);
  return out;
}

class SockFilterDaemonTest : public ::testing::TestWithParam<FamilyCase> {
 protected:
  void SetUp() override {
    loopback_ = asio::ip::make_address(GetParam().loopback);
    service_ = std::make_unique<TestService>(GetParam().loopback, kServiceAnswer);
    upstream_ = std::make_unique<TestUpstream>(GetParam().loopback, kUpstreamAnswer);
    config_.stub4 = udp::endpoint(asio::ip::make_address("127.0.0.1"), 0);
    config_.stub6 = udp::endpoint(asio::ip::make_address("::1"), 0);
    config_.resolvers = {upstream_->endpoint()};
    config_.controlPath = root_.path() + "/run/hxsockfilterd.sock";
    config_.serviceTimeout = std::chrono::seconds(5);
  }

  void StartDaemon() {
    daemon_ = std::make_unique<DaemonRunner>(config_);
    ASSERT_TRUE(daemon_->started());
  }

  u16 family() const { return GetParam().family; }

  // Connects an agent-like owner that redirects this family to the service.
  std::unique_ptr<ControlPeer> Redirect(FilterParameters parameters = FilterParameters()) {
    auto peer = std::make_unique<ControlPeer>(config_.controlPath);
    EXPECT_EQ(peer->Hello(), std::optional<u32>(0));
    EXPECT_EQ(peer->Open(ApiInterface::Velmora), std::optional<u32>(0));
    FilterParameters ports = family() == HXT_AF_INET6
                                 ? RedirectTo(0, 0, service_->udpPort(), service_->tcpPort())
                                 : RedirectTo(service_->udpPort(), service_->tcpPort(), 0, 0);
    parameters.Apply(FILTER_UPDATE_PORTS, ports);
    parameters.redirect4 = ports.redirect4;
    parameters.redirect6 = ports.redirect6;
    EXPECT_EQ(peer->SetParameters(FILTER_UPDATE_ALL, parameters), std::optional<u32>(0));
    return peer;
  }

  std::string AskUdp(const std::string& name, u16 id = 0x4242) {
    auto answer = UdpExchange(daemon_->Udp(family()), MakeQuery(name, id));
    if (!answer) return "no answer";
    if (IdOf(*answer) != id) return "wrong id";
    return AnswerAddress(*answer);
  }

  std::string AskTcp(const std::string& name) {
    TcpClient client(daemon_->Tcp(family()));
    if (!client.connected() || !client.Send(MakeQuery(name, 7))) return "no connection";
    auto answer = client.Receive();
    return answer ? AnswerAddress(*answer) : "no answer";
  }

  TestRoot root_;
  asio::ip::address loopback_;
  SockFilterConfig config_;
  std::unique_ptr<TestService> service_;
  std::unique_ptr<TestUpstream> upstream_;
  std::unique_ptr<DaemonRunner> daemon_;
};

TEST_P(SockFilterDaemonTest, UdpQueriesReachTheServiceWithTheHeaderAndTheAnswerReachesTheClient) {
  StartDaemon();
  auto peer = Redirect();
  Bytes first = MakeQuery("www.example.com", 0x1234);
  Bytes second = MakeQuery("mail.example.org", 0x5678);
  auto a1 = UdpExchange(daemon_->Udp(family()), first);
  auto a2 = UdpExchange(daemon_->Udp(family()), second);
  ASSERT_TRUE(a1 && a2);
  EXPECT_EQ(IdOf(*a1), 0x1234);
  EXPECT_EQ(AnswerAddress(*a1), kServiceAnswer);
  EXPECT_EQ(AnswerAddress(*a2), kServiceAnswer);

  auto messages = service_->Messages();
  ASSERT_EQ(messages.size(), 2u);
  udp::endpoint stub = daemon_->Udp(family());
  const Bytes* queries[] = {&first, &second};
  for (std::size_t i = 0; i < 2; ++i) {
    const ServiceMessage& m = messages[i];
    SCOPED_TRACE(i);
    EXPECT_FALSE(m.tcp);
    EXPECT_EQ(m.payload, *queries[i]);
    // The agent answers to loopback at the requester's port: it must be the
    // port the datagram came from.
    EXPECT_EQ(Bytes(m.header.begin() + 12, m.header.begin() + 40),
              SocketAddress(family(), m.source.port(), loopback_));
    EXPECT_EQ(Bytes(m.header.begin() + 40, m.header.begin() + 68),
              SocketAddress(family(), stub.port(), stub.address()));
    EXPECT_EQ(m.header[68] | (m.header[69] << 8), static_cast<int>(m.payload.size()));
  }
  EXPECT_EQ(SerialOf(messages[1].header), SerialOf(messages[0].header) + 1);
  EXPECT_EQ(OwnNonce(messages[1].header), OwnNonce(messages[0].header));
  EXPECT_EQ(upstream_->udpQueries(), 0);
}

TEST_P(SockFilterDaemonTest, TcpChunksGoOutFramedAndTheServiceBytesComeBackUnchanged) {
  StartDaemon();
  auto peer = Redirect();
  TcpClient client(daemon_->Tcp(family()));
  ASSERT_TRUE(client.connected());
  Bytes first = MakeQuery("www.example.com", 1);
  Bytes second = MakeQuery("www.example.net", 2);
  ASSERT_TRUE(client.Send(first));
  auto a1 = client.Receive();
  ASSERT_TRUE(client.Send(second));
  auto a2 = client.Receive();
  ASSERT_TRUE(a1 && a2);
  EXPECT_EQ(*a1, MakeAnswer(first, kServiceAnswer));
  EXPECT_EQ(*a2, MakeAnswer(second, kServiceAnswer));

  auto messages = service_->Messages();
  ASSERT_EQ(messages.size(), 2u);
  tcp::endpoint stub = daemon_->Tcp(family());
  EXPECT_EQ(messages[0].payload, WithLengthPrefix(first));
  EXPECT_EQ(messages[1].payload, WithLengthPrefix(second));
  for (const ServiceMessage& m : messages) {
    EXPECT_TRUE(m.tcp);
    EXPECT_EQ(m.connection, 1);
    EXPECT_EQ(Bytes(m.header.begin() + 12, m.header.begin() + 40),
              SocketAddress(family(), client.localPort(), loopback_));
    EXPECT_EQ(Bytes(m.header.begin() + 40, m.header.begin() + 68),
              SocketAddress(family(), stub.port(), stub.address()));
    EXPECT_EQ(m.header[68] | (m.header[69] << 8), static_cast<int>(m.payload.size()));
  }
  // One connection, one request context on the agent's side.
  EXPECT_EQ(Bytes(messages[0].header.begin(), messages[0].header.begin() + 12),
            Bytes(messages[1].header.begin(), messages[1].header.begin() + 12));

  client.Close();
  EXPECT_TRUE(WaitFor([&] { return service_->AllTcpClosed(); }));
}

TEST_P(SockFilterDaemonTest, WhiteListedNamesBypassTheService) {
  StartDaemon();
  FilterParameters lists;
  lists.whiteList4 = {"*.Example.COM."};
  lists.whiteList6 = {"*.Example.COM."};
  auto peer = Redirect(lists);
  EXPECT_EQ(AskUdp("www.example.com"), kUpstreamAnswer);
  EXPECT_EQ(AskUdp("example.com"), kUpstreamAnswer);
  EXPECT_EQ(AskUdp("badexample.com"), kServiceAnswer);
  EXPECT_EQ(AskTcp("deep.www.example.com"), kUpstreamAnswer);
  EXPECT_EQ(AskTcp("example.org"), kServiceAnswer);
  EXPECT_EQ(service_->MessageCount(), 2u);
}

TEST_P(SockFilterDaemonTest, QueriesPassThroughWithoutAnAgentAfterClearAndAfterTheAgentDrops) {
  StartDaemon();
  EXPECT_EQ(AskUdp("one.test"), kUpstreamAnswer);
  EXPECT_EQ(AskTcp("one.test"), kUpstreamAnswer);

  auto peer = Redirect();
  EXPECT_EQ(AskUdp("two.test"), kServiceAnswer);
  EXPECT_EQ(peer->Request(kMsgClear, {}), std::optional<u32>(0));
  EXPECT_EQ(AskUdp("three.test"), kUpstreamAnswer);
  EXPECT_EQ(AskTcp("three.test"), kUpstreamAnswer);

  peer.reset();
  peer = Redirect();
  EXPECT_EQ(AskUdp("four.test"), kServiceAnswer);
  peer->Close();
  ASSERT_TRUE(WaitFor([&] { return !daemon_->counters().ownerConnected; }));
  EXPECT_EQ(AskUdp("five.test"), kUpstreamAnswer);
  EXPECT_EQ(AskTcp("five.test"), kUpstreamAnswer);
  EXPECT_EQ(service_->MessageCount(), 2u);
  EXPECT_EQ(daemon_->counters().disruptions, 1u);
}

TEST_P(SockFilterDaemonTest, AClosedServicePortFailsOverAndRaisesOneNoticePerEpisode) {
  StartDaemon();
  auto peer = Redirect();
  EXPECT_EQ(AskUdp("before.test"), kServiceAnswer);
  service_->CloseListeners();
  EXPECT_EQ(AskUdp("after.test"), kUpstreamAnswer);
  EXPECT_EQ(peer->WaitDisruption(), std::optional<u32>(kDisruptionServiceUnreachable));
  EXPECT_EQ(AskUdp("again.test"), kUpstreamAnswer);
  EXPECT_EQ(AskTcp("again.test"), kUpstreamAnswer);
  EXPECT_EQ(daemon_->counters().disruptions, 1u);

  // New listeners end the episode; their failure is a new one.
  TestService second(GetParam().loopback, kServiceAnswer);
  FilterParameters ports = family() == HXT_AF_INET6 ? RedirectTo(0, 0, second.udpPort(), second.tcpPort())
                                                    : RedirectTo(second.udpPort(), second.tcpPort(), 0, 0);
  ASSERT_EQ(peer->SetParameters(FILTER_UPDATE_PORTS, ports), std::optional<u32>(0));
  EXPECT_EQ(AskUdp("back.test"), kServiceAnswer);
  second.CloseListeners();
  EXPECT_EQ(AskTcp("gone.test"), kUpstreamAnswer);
  EXPECT_EQ(peer->WaitDisruption(), std::optional<u32>(kDisruptionServiceUnreachable));
}

TEST_P(SockFilterDaemonTest, AServiceThatDoesNotAnswerInTimeIsPassedBy) {
  config_.serviceTimeout = std::chrono::milliseconds(200);
  StartDaemon();
  service_->SilenceName("slow.test");
  auto peer = Redirect();
  EXPECT_EQ(AskUdp("slow.test"), kUpstreamAnswer);
  EXPECT_EQ(peer->WaitDisruption(), std::optional<u32>(kDisruptionServiceUnreachable));
  EXPECT_EQ(daemon_->counters().failedOver, 1u);
}

TEST_P(SockFilterDaemonTest, AFloodingClientGetsErrorsWhileOthersAreServed) {
  config_.maxPendingPerClient = 8;
  config_.maxPendingQueries = 32;
  StartDaemon();
  service_->SilenceName("flood.test");
  auto peer = Redirect();

  asio::io_context io;
  udp::socket flooder(io, daemon_->Udp(family()).protocol());
  flooder.connect(daemon_->Udp(family()));
  constexpr int kFlood = 100;
  for (int i = 0; i < kFlood; ++i) flooder.send(asio::buffer(MakeQuery("flood.test", static_cast<u16>(i))));
  EXPECT_EQ(AskUdp("innocent.test"), kServiceAnswer);

  int refused = 0;
  flooder.non_blocking(true);
  ASSERT_TRUE(WaitFor([&] {
    Bytes answer(512);
    boost::system::error_code ec;
    std::size_t n = flooder.receive(asio::buffer(answer), 0, ec);
    if (!ec && n >= 4 &&
        RcodeOf(Bytes(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n))) == 2) {
      ++refused;
    }
    return refused == kFlood - 8;
  }));
}

TEST_P(SockFilterDaemonTest, BadDatagramsAndForgedAnswersAreHandledCleanly) {
  ScopedCaptureLog log;
  StartDaemon();
  auto peer = Redirect();
  udp::endpoint stub = daemon_->Udp(family());

  EXPECT_FALSE(UdpExchange(stub, Bytes{1, 2, 3, 4, 5}, std::chrono::milliseconds(300)));
  EXPECT_TRUE(WaitFor([&] { return daemon_->counters().dropped == 1u; }));

  Bytes oversized = MakeQuery("big.test", 0x0BAD);
  oversized.resize(4027, 0);
  auto refused = UdpExchange(stub, oversized);
  ASSERT_TRUE(refused);
  EXPECT_EQ(IdOf(*refused), 0x0BAD);
  EXPECT_EQ(RcodeOf(*refused), 1);  // FORMERR

  EXPECT_EQ(AskUdp("learn.test"), kServiceAnswer);
  ServiceMessage seen = service_->Messages().back();
  u16 relay = seen.source.port();
  Bytes wrongNonce = seen.header;
  wrongNonce[4] ^= 0xFF;
  Bytes wrongLength = seen.header;
  wrongLength[68] = 50;
  Bytes unknownSerial = seen.header;
  unknownSerial[3] ^= 0x7F;
  Bytes answer = MakeAnswer(seen.payload, kServiceAnswer);
  for (Bytes forged : {Bytes(10, 0), wrongNonce, wrongLength, unknownSerial}) {
    if (forged.size() == 70) {
      forged[68] = forged[68] == 50 ? 50 : static_cast<u8>(answer.size());
      forged.insert(forged.end(), answer.begin(), answer.end());
    }
    service_->SendRaw(relay, forged);
  }
  EXPECT_TRUE(WaitFor([&] { return daemon_->counters().unmatched == 4u; }));
  EXPECT_EQ(AskUdp("still.test"), kServiceAnswer);
}

TEST_P(SockFilterDaemonTest, LargeTcpChunksAreSplitToFitTheServiceAndHalfMessagesCloseCleanly) {
  StartDaemon();
  auto peer = Redirect();
  {
    TcpClient client(daemon_->Tcp(family()));
    Bytes chunk(65536 + 2, 0xAB);
    chunk[0] = 0xFF;
    chunk[1] = 0xFF;
    ASSERT_TRUE(client.SendRaw(chunk));
    std::size_t total = 0;
    ASSERT_TRUE(WaitFor([&] {
      total = 0;
      for (const auto& m : service_->Messages()) total += m.payload.size();
      return total == chunk.size();
    }));
    for (const auto& m : service_->Messages()) {
      EXPECT_LE(m.payload.size() + 70, 65535u);
      EXPECT_EQ(m.header[68] | (m.header[69] << 8), static_cast<int>(m.payload.size()));
    }
  }
  {
    std::size_t before = service_->MessageCount();
    TcpClient client(daemon_->Tcp(family()));
    Bytes half = WithLengthPrefix(MakeQuery("half.test", 3));
    half.resize(half.size() / 2);
    ASSERT_TRUE(client.SendRaw(half));
    ASSERT_TRUE(WaitFor([&] { return service_->MessageCount() == before + 1; }));
  }
  EXPECT_TRUE(WaitFor([&] { return service_->AllTcpClosed(); }));
  EXPECT_EQ(AskTcp("whole.test"), kServiceAnswer);
}

INSTANTIATE_TEST_SUITE_P(Families, SockFilterDaemonTest,
                         ::testing::Values(FamilyCase{"127.0.0.1", HXT_AF_INET},
                                           FamilyCase{"::1", HXT_AF_INET6}),
                         [](const ::testing::TestParamInfo<FamilyCase>& info) {
                           return info.param.family == HXT_AF_INET6 ? std::string("IPv6")
                                                                    : std::string("IPv4");
                         });

class SockFilterControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_.stub4 = udp::endpoint(asio::ip::make_address("127.0.0.1"), 0);
    config_.controlPath = root_.path() + "/run/hxsockfilterd.sock";
    config_.handshakeTimeout = std::chrono::milliseconds(300);
    daemon_ = std::make_unique<DaemonRunner>(config_);
    ASSERT_TRUE(daemon_->started());
  }

  // Whether a well-behaved peer still gets through.
  bool DaemonStillServes() {
    ControlPeer peer(config_.controlPath);
    return peer.Hello() == std::optional<u32>(0);
  }

  TestRoot root_;
  SockFilterConfig config_;
  std::unique_ptr<DaemonRunner> daemon_;
};

TEST_F(SockFilterControlTest, TheControlSocketIsTheOwnersOnly) {
  struct stat st {};
  ASSERT_EQ(::stat(config_.controlPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SockFilterControlTest, APeerOfAnotherVersionIsRefusedWithAClearError) {
  ControlPeer peer(config_.controlPath);
  std::string text;
  EXPECT_EQ(peer.Hello(2, &text), std::optional<u32>(kErrVersionMismatch));
  EXPECT_EQ(text, "hxsockfilterd speaks control protocol version 1; the peer speaks version 2");
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_TRUE(DaemonStillServes());
}

TEST_F(SockFilterControlTest, GarbageHalfFramesAndSilenceCloseOnlyThatPeer) {
  ScopedCaptureLog log;
  ControlPeer noHello(config_.controlPath);
  EXPECT_EQ(noHello.Request(kMsgClear, {}), std::optional<u32>(kErrBadRequest));
  EXPECT_TRUE(noHello.WaitClosed());

  ControlPeer garbage(config_.controlPath);
  ASSERT_EQ(garbage.Hello(), std::optional<u32>(0));
  garbage.SendRaw({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8});
  EXPECT_TRUE(garbage.WaitClosed());

  ControlPeer undecodable(config_.controlPath);
  ASSERT_EQ(undecodable.Hello(), std::optional<u32>(0));
  ASSERT_EQ(undecodable.Open(ApiInterface::Velmora), std::optional<u32>(0));
  EXPECT_EQ(undecodable.Request(kMsgSetParameters, {1, 2, 3}), std::optional<u32>(kErrBadRequest));
  EXPECT_EQ(undecodable.Request(999, {}), std::optional<u32>(kErrBadRequest));

  {
    ControlPeer half(config_.controlPath);
    ASSERT_EQ(half.Hello(), std::optional<u32>(0));
    half.SendRaw({40, 0, 0, 0, 19, 0});
  }
  ControlPeer silent(config_.controlPath);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(DaemonStillServes());
}

TEST_F(SockFilterControlTest, OnlyOneAgentHoldsTheFilterAndOnlyItChangesParameters) {
  ControlPeer first(config_.controlPath);
  ControlPeer second(config_.controlPath);
  ASSERT_EQ(first.Hello(), std::optional<u32>(0));
  ASSERT_EQ(second.Hello(), std::optional<u32>(0));
  EXPECT_EQ(second.SetParameters(FILTER_UPDATE_ALL, FilterParameters()), std::optional<u32>(kErrNotOpen));
  EXPECT_EQ(first.Open(ApiInterface::Velmora), std::optional<u32>(0));
  EXPECT_EQ(second.Open(ApiInterface::Velmora), std::optional<u32>(kErrBusy));
  EXPECT_EQ(second.Open(ApiInterface::SocketRedirector, "other"), std::optional<u32>(kErrInvalidArgument));
  EXPECT_EQ(second.Open(ApiInterface::SocketRedirector, HXT_SOCKET_REDIRECTOR_PLUGIN_ID),
            std::optional<u32>(0));
  EXPECT_EQ(second.Request(kMsgRefreshPids, {static_cast<u8>(ApiInterface::SocketRedirector)}),
            std::optional<u32>(0));
  EXPECT_EQ(second.Request(kMsgRefreshPids, {static_cast<u8>(ApiInterface::Kestrum)}),
            std::optional<u32>(kErrNotOpen));
}

TEST_F(SockFilterControlTest, ASecondDaemonOnTheSameSocketRefusesToStart) {
  SockFilterConfig other = config_;
  asio::io_context io;
  CSockFilterDaemon second(io, other);
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(DaemonStillServes());
}

}  // namespace
}  // namespace hxt::test
