// hxsockfilterd in-process, between DNS clients, a test "service" standing in
// for the agent's listeners and a test upstream resolver, all on loopback.
#include <gtest/gtest.h>

#include <memory>

#include "daemon/sockfilterdaemon.h"
#include "fakes/redirectclient.h"
#include "support/daemonbench.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;

u32 SerialOf(const Bytes& header) {
  return static_cast<u32>(header[0] | (header[1] << 8) | (header[2] << 16) | (header[3] << 24));
}

// The daemon with both stubs, the service and the upstream on the loopback address of the parameter's family.
class SockFilterDaemonTest : public ::testing::TestWithParam<const char*>, public DaemonBench {
 protected:
  SockFilterDaemonTest() : DaemonBench(GetParam()) {
    config_.stub6 = asio::ip::udp::endpoint(asio::ip::make_address_v6("::1"), 0);
    config_.serviceTimeout = std::chrono::seconds(5);
  }
  u16 family() const { return loopback_.is_v6() ? HXT_AF_INET6 : HXT_AF_INET; }
  u32 agentFamily() const { return loopback_.is_v6() ? kAddressFamilyIPv6 : kAddressFamilyIPv4; }
  // The ports that redirect this family to `service`.
  FilterParameters PortsOf(const TestService& service) const {
    return loopback_.is_v6() ? RedirectTo(0, 0, service.udpPort(), service.tcpPort())
                             : RedirectTo(service.udpPort(), service.tcpPort(), 0, 0);
  }
  // Connects an agent-like owner that redirects this family to the service, but for the names of `whiteList`.
  std::unique_ptr<ControlPeer> Redirect(const std::vector<std::string>& whiteList = {}) {
    FilterParameters parameters = PortsOf(service_);
    parameters.whiteList4 = parameters.whiteList6 = whiteList;
    return OpenAndRedirect(config_.controlPath, parameters);
  }
  std::string AskUdp(const std::string& name) { return test::AskUdp(daemon_->Udp(family()), name); }
  std::string AskTcp(const std::string& name) { return test::AskTcp(daemon_->Tcp(family()), name); }
  // The client's and the stub's socket addresses and the payload's length.
  void ExpectHeader(const ServiceMessage& m, u16 clientPort, u16 stubPort) {
    const Bytes expected =
        RedirectedMessage(FilterSocketAddress(agentFamily(), GetParam(), clientPort),
                          FilterSocketAddress(agentFamily(), GetParam(), stubPort), m.payload);
    EXPECT_EQ(Bytes(m.header.begin() + 12, m.header.end()),
              Bytes(expected.begin() + 12, expected.begin() + 70));
  }

  const asio::ip::address loopback_ = asio::ip::make_address(GetParam());
};

TEST_P(SockFilterDaemonTest, QueriesReachTheServiceWithTheirHeaderAndFailOverWhenItsPortCloses) {
  StartDaemon();
  auto peer = Redirect();
  LoopbackSocket udp(agentFamily(), SOCK_DGRAM), client(agentFamily(), SOCK_STREAM);
  ASSERT_TRUE(client.Connect(daemon_->Tcp(family()).port()));
  const Bytes queries[] = {MakeQuery("www.example.com", 0x1234), MakeQuery("mail.example.org", 0x5678)};
  for (const Bytes& query : queries) {
    const std::optional<Bytes> answer = MakeAnswer(query, kAgentAnswer);
    ASSERT_TRUE(udp.SendTo(daemon_->Udp(family()).port(), query));
    EXPECT_EQ(udp.Receive(), answer);
    ASSERT_TRUE(client.Send(WithLength(query)));
    EXPECT_EQ(client.ReceiveFramed(), answer);
  }
  const auto m = service_.Messages();  // UDP, TCP, UDP, TCP
  ASSERT_EQ(m.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const bool tcp = i % 2 == 1;
    EXPECT_EQ(std::make_pair(m[i].tcp, m[i].connection), std::make_pair(tcp, tcp ? 1 : 0));
    EXPECT_EQ(m[i].payload, tcp ? WithLength(queries[i / 2]) : queries[i / 2]);
    // The agent answers a datagram to loopback at the requester's port: it
    // must be the port the datagram came from.
    if (tcp) ExpectHeader(m[i], client.LocalPort(), daemon_->Tcp(family()).port());
    if (!tcp) ExpectHeader(m[i], m[i].source.port(), daemon_->Udp(family()).port());
  }
  // Datagrams take consecutive serials under one nonce; a TCP connection is
  // one request context on the agent's side.
  EXPECT_EQ(SerialOf(m[2].header), SerialOf(m[0].header) + 1);
  EXPECT_EQ(Bytes(m[2].header.begin() + 4, m[2].header.begin() + 12),
            Bytes(m[0].header.begin() + 4, m[0].header.begin() + 12));
  EXPECT_EQ(Bytes(m[1].header.begin(), m[1].header.begin() + 12),
            Bytes(m[3].header.begin(), m[3].header.begin() + 12));
  EXPECT_EQ(upstream_.udpQueries() + upstream_.tcpQueries(), 0);
  // The other family is not redirected.
  const u16 other = family() == HXT_AF_INET ? HXT_AF_INET6 : HXT_AF_INET;
  EXPECT_EQ(test::AskUdp(daemon_->Udp(other), "www.example.com"), kResolverAnswer);
  client.Close();
  EXPECT_TRUE(WaitFor([&] { return service_.AllTcpClosed(); }));

  // A closed service port fails over and raises one notice per episode.
  service_.CloseListeners();
  EXPECT_EQ(AskUdp("after.test"), kResolverAnswer);
  EXPECT_EQ(peer->WaitDisruption(), std::optional<u32>(kDisruptionServiceUnreachable));
  EXPECT_EQ(AskUdp("again.test"), kResolverAnswer);
  EXPECT_EQ(AskTcp("again.test"), kResolverAnswer);
  EXPECT_EQ(daemon_->counters().disruptions, 1u);

  // New listeners end the episode; their failure is a new one.
  TestService second(GetParam(), kAgentAnswer);
  ASSERT_EQ(peer->SetParameters(FILTER_UPDATE_PORTS, PortsOf(second)), std::optional<u32>(0));
  EXPECT_EQ(AskUdp("back.test"), kAgentAnswer);
  second.CloseListeners();
  EXPECT_EQ(AskTcp("gone.test"), kResolverAnswer);
  EXPECT_EQ(peer->WaitDisruption(), std::optional<u32>(kDisruptionServiceUnreachable));
  // The agent dropping its connection while it redirects is one more.
  peer->Close();
  ASSERT_TRUE(WaitFor([&] { return !daemon_->counters().ownerConnected; }));
  EXPECT_EQ(AskUdp("five.test"), kResolverAnswer);
  EXPECT_EQ(daemon_->counters().disruptions, 3u);
}

TEST_P(SockFilterDaemonTest, BadDatagramsAndForgedAnswersAreHandledCleanly) {
  StartDaemon();
  auto peer = Redirect();
  LoopbackSocket client(agentFamily(), SOCK_DGRAM);
  const u16 stub = daemon_->Udp(family()).port();
  client.SetReceiveTimeout(std::chrono::milliseconds(300));
  ASSERT_TRUE(client.SendTo(stub, Bytes{1, 2, 3, 4, 5}));
  EXPECT_FALSE(client.Receive());
  EXPECT_TRUE(WaitFor([&] { return daemon_->counters().dropped == 1u; }));
  Bytes oversized = MakeQuery("big.test", 0x0BAD);
  oversized.resize(4027, 0);
  client.SetReceiveTimeout(std::chrono::seconds(5));
  ASSERT_TRUE(client.SendTo(stub, oversized));
  const Bytes refused = client.Receive().value_or(Bytes(12, 0xFF));
  EXPECT_EQ(std::make_pair(IdOf(refused), RcodeOf(refused)), std::make_pair(u16{0x0BAD}, u8{1}));  // FORMERR

  // Answers that match no query: too short, a wrong nonce, a wrong length, an unknown serial.
  EXPECT_EQ(AskUdp("learn.test"), kAgentAnswer);
  const ServiceMessage seen = service_.Messages().back();
  const Bytes answer = MakeAnswer(seen.payload, kAgentAnswer);
  Bytes good = seen.header;
  good[68] = static_cast<u8>(answer.size());
  good.insert(good.end(), answer.begin(), answer.end());
  Bytes wrongNonce = good, wrongLength = good, unknownSerial = good;
  wrongNonce[4] ^= 0xFF;
  wrongLength[68] = 50;
  unknownSerial[3] ^= 0x7F;
  for (const Bytes& forged : {Bytes(10, 0), wrongNonce, wrongLength, unknownSerial})
    service_.SendRaw(seen.source.port(), forged);
  EXPECT_TRUE(WaitFor([&] { return daemon_->counters().unmatched == 4u; }));
  EXPECT_EQ(AskUdp("still.test"), kAgentAnswer);
}

TEST_P(SockFilterDaemonTest, TcpMessagesReachTheServiceWholeHoweverTheClientWritesThem) {
  StartDaemon();
  auto peer = Redirect({"white.test"});
  {
    // The length bytes on their own: the route waits for the whole message,
    // whose white-listed name sends it to the upstream.
    LoopbackSocket client(agentFamily(), SOCK_STREAM);
    ASSERT_TRUE(client.Connect(daemon_->Tcp(family()).port()));
    const Bytes framed = WithLength(MakeQuery("white.test", 4));
    ASSERT_TRUE(client.Send(Bytes(framed.begin(), framed.begin() + 2)) &&
                client.Send(Bytes(framed.begin() + 2, framed.end())));
    EXPECT_EQ(AnswerAddress(client.ReceiveFramed().value_or(Bytes())), kResolverAnswer);
  }
  {
    // The largest message there is, its length bytes written on their own:
    // it goes as pieces that each fit one read of the service, in order.
    LoopbackSocket client(agentFamily(), SOCK_STREAM);
    ASSERT_TRUE(client.Connect(daemon_->Tcp(family()).port()));
    Bytes message = MakeQuery("big.test", 9);
    message.resize(65535, 0);
    const Bytes framed = WithLength(message);
    ASSERT_TRUE(client.Send(Bytes(framed.begin(), framed.begin() + 2)) &&
                client.Send(Bytes(framed.begin() + 2, framed.end())));
    Bytes received;
    ASSERT_TRUE(WaitFor([&] {
      received.clear();
      for (const auto& m : service_.Messages())
        received.insert(received.end(), m.payload.begin(), m.payload.end());
      return received.size() == framed.size();
    }));
    EXPECT_EQ(received, framed);
    for (const auto& m : service_.Messages()) EXPECT_LE(m.payload.size() + 70, 65535u);
  }
  {
    // Half a message is never sent on; the client's close ends it.
    const std::size_t before = service_.MessageCount();
    LoopbackSocket client(agentFamily(), SOCK_STREAM);
    ASSERT_TRUE(client.Connect(daemon_->Tcp(family()).port()));
    Bytes half = WithLength(MakeQuery("half.test", 3));
    half.resize(half.size() / 2);
    ASSERT_TRUE(client.Send(half));
    client.Close();
    EXPECT_TRUE(WaitFor([&] { return daemon_->counters().redirected == 1u; }));
    EXPECT_EQ(service_.MessageCount(), before);
  }
  EXPECT_TRUE(WaitFor([&] { return service_.AllTcpClosed(); }));
  EXPECT_EQ(AskTcp("whole.test"), kAgentAnswer);
}

INSTANTIATE_TEST_SUITE_P(Families, SockFilterDaemonTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) {
                           return std::string(info.param[0] == ':' ? "IPv6" : "IPv4");
                         });

// Control peers that misbehave are refused or closed, and only they: the
// daemon serves a well-behaved one after each.
class SockFilterControlTest : public ::testing::Test, public DaemonBench {};

TEST_F(SockFilterControlTest, OtherVersionsGarbageSilenceAndSecondOwnersAreRefused) {
  config_.handshakeTimeout = std::chrono::milliseconds(300);
  StartDaemon();
  auto stillServes = [&] { return ControlPeer(config_.controlPath).Hello() == std::optional<u32>(0); };
  ControlPeer future(config_.controlPath);
  std::string text;
  EXPECT_EQ(future.Hello(2, &text), std::optional<u32>(kErrVersionMismatch));
  EXPECT_EQ(text, "hxsockfilterd speaks control protocol version 1; the peer speaks version 2");
  EXPECT_TRUE(future.WaitClosed());
  asio::io_context io;
  EXPECT_FALSE(CSockFilterDaemon(io, config_).Start());
  EXPECT_TRUE(stillServes());

  ControlPeer noHello(config_.controlPath);
  EXPECT_EQ(noHello.Request(kMsgClear, {}), std::optional<u32>(kErrBadRequest));
  EXPECT_TRUE(noHello.WaitClosed());
  ControlPeer garbage(config_.controlPath);
  ASSERT_TRUE(garbage.Hello() == 0u && garbage.SendRaw({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_TRUE(garbage.WaitClosed());
  {
    ControlPeer half(config_.controlPath);
    ASSERT_TRUE(half.Hello() == 0u && half.SendRaw({40, 0, 0, 0, 19, 0}));
  }
  ControlPeer silent(config_.controlPath);
  EXPECT_TRUE(silent.WaitClosed());
  EXPECT_TRUE(stillServes());

  // One agent holds the filter; only it changes parameters, and a request
  // it cannot decode is refused without closing it.
  ControlPeer owner(config_.controlPath), other(config_.controlPath);
  ASSERT_TRUE(owner.Hello() == 0u && other.Hello() == 0u && owner.Open(ApiInterface::Velmora) == 0u);
  EXPECT_EQ(owner.Request(kMsgSetParameters, {1, 2, 3}), std::optional<u32>(kErrBadRequest));
  EXPECT_EQ(owner.Request(999, {}), std::optional<u32>(kErrBadRequest));
  EXPECT_EQ(other.Open(ApiInterface::Velmora), std::optional<u32>(kErrBusy));
  EXPECT_EQ(other.SetParameters(FILTER_UPDATE_ALL, FilterParameters()), std::optional<u32>(kErrNotOpen));
  EXPECT_EQ(other.Request(kMsgRefreshPids, {static_cast<u8>(ApiInterface::Kestrum)}),
            std::optional<u32>(kErrNotOpen));
  EXPECT_EQ(owner.Request(kMsgClear, {}), std::optional<u32>(0));
}

}  // namespace
}  // namespace hxt::test
