// The DNS redirection path end to end inside one process: the orchestrator
// with the fake DNS-protection plug-in and the filter library's double,
// listener hosts made by the plug-in's redirect payloads, requests over real
// loopback sockets.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/velmoramainthread.h"
#include "fake/fakesockfilter.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/looprunner.h"
#include "fakes/redirectclient.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using test::Bytes;
using test::LoopbackSocket;
namespace fake = hxt::fake;
namespace filter = hxt::fakefilter;

std::string Payload(bool redirect4, bool redirect6) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  return std::string(R"({"version":1,"ignore_pids":[4711],"dns4":{"redirect":)") + flag(redirect4) +
         R"(,"whitelist":["intranet.example"],"resolvers":["192.0.2.53"]},"dns6":{"redirect":)" +
         flag(redirect6) + R"(,"whitelist":[],"resolvers":["2001:db8::53"]}})";
}

// What the fake answers in echo mode: the query with the response and
// recursion-available bits set.
Bytes Echo(Bytes query) {
  query[2] |= 0x80;
  query[3] |= 0x80;
  return query;
}

// A DNS query for www.example.com/A with id `id`.
Bytes Query(u16 id) {
  Bytes q = {static_cast<unsigned char>(id >> 8),
             static_cast<unsigned char>(id & 0xff),
             0x01,
             0x00,
             0x00,
             0x01,
             0,
             0,
             0,
             0,
             0,
             0,
             3,
             'w',
             'w',
             'w',
             7,
             'e',
             'x',
             'a',
             'm',
             'p',
             'l',
             'e',
             3,
             'c',
             'o',
             'm',
             0,
             0,
             1,
             0,
             1};
  return q;
}

// DNS over TCP carries each message behind its 16-bit length.
Bytes Framed(const Bytes& message) {
  Bytes out(2 + message.size());
  out[0] = static_cast<unsigned char>(message.size() >> 8);
  out[1] = static_cast<unsigned char>(message.size() & 0xff);
  std::copy(message.begin(), message.end(), out.begin() + 2);
  return out;
}

test::SocketAddressBytes Resolver(u32 family) {
  return test::FilterSocketAddress(family, family == kAddressFamilyIPv6 ? "2001:db8::53" : "192.0.2.53", 53);
}

// The calls that change the filter's redirection, in order (opening the
// filter and the sibling filters left out).
std::vector<std::string> RedirectionCalls() {
  std::vector<std::string> out;
  for (const auto& name : filter::CallNames()) {
    if (name == "IVelmoraApi::SetParameters" || name == "IVelmoraApi::Clear") out.push_back(name);
  }
  return out;
}

// The parameter records the filter received, in order.
std::vector<filter::InfoSnapshot> FilterUpdates() {
  std::vector<filter::InfoSnapshot> out;
  for (const auto& call : filter::Calls()) {
    if (call.name == "IVelmoraApi::SetParameters" && call.info) out.push_back(*call.info);
  }
  return out;
}

class DnsPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root.WriteRegistry(test::TestRoot::DotNetPresentEntry());
    root.WriteMachineId("0123456789abcdef0123456789abcdef\n");
    root.WriteFile("var/opt/Truvane/Truvane Helixor Client/Tarrow/OrgInfo.json", "{}");
    CVelmoraMainThread::clearPendingShutdown();
    filter::Reset();
    for (test::FakePlugin* plugin : {&dns, &swg, &cloud}) ASSERT_TRUE(plugin->ok());
    dns->Reset();
    swg->Reset();
    cloud->Reset();
    dns->SetDnsAnswerMode(fake::DnsAnswerMode::Echo, 0);

    MainThreadSettings settings;
    settings.ipc.port = 0;
    ASSERT_TRUE(CVelmoraMainThread::createSingletonInstance(settings)) << log.Dump();
    agent = CVelmoraMainThread::instance();
    loop.emplace(agent);
    ASSERT_TRUE(test::WaitFor([&] { return agent->getState() == VELMORA_PLUGIN_STARTED; })) << log.Dump();
  }
  void TearDown() override {
    loop.reset();
    CVelmoraMainThread::releaseInstance();
    CVelmoraMainThread::clearPendingShutdown();
  }

  // The plug-in sends a redirect payload from its own thread.
  void Redirect(bool redirect4, bool redirect6) {
    auto request = fake::MakeCallback(fake::Callback::ChangeDnsRedirectionMode);
    request.text = Payload(redirect4, redirect6);
    ASSERT_TRUE(dns->Fire(request, nullptr, 10000));
  }
  void Answer(fake::Callback kind, u32 contextId, const std::string& text, u32 code = 0) {
    auto request = fake::MakeCallback(kind);
    request.contextId = contextId;
    request.handle = sessionOf(contextId);
    request.text = text;
    request.code = code;
    ASSERT_TRUE(dns->Fire(request, nullptr, 10000));
  }
  // The session handle the plug-in gave the context, from its OpenSession record.
  u32 sessionOf(u32 contextId) {
    for (const auto& call : dns->Calls()) {
      if (call.op == "IVelmoraPlugin::OpenSession" && call.args[0] == std::to_string(contextId)) {
        return static_cast<u32>(std::stoul(call.args[3]));
      }
    }
    return 0;
  }
  // Context ids in the order the plug-in saw them opened.
  std::vector<u32> OpenedContexts() {
    std::vector<u32> out;
    for (const auto& call : dns->Calls()) {
      if (call.op == "IVelmoraPlugin::OpenSession") out.push_back(static_cast<u32>(std::stoul(call.args[0])));
    }
    return out;
  }
  u16 UdpPort(u32 family) {
    u16 udp = 0, tcp = 0;
    agent->listenerPortsForTesting(family, udp, tcp);
    return udp;
  }
  u16 TcpPort(u32 family) {
    u16 udp = 0, tcp = 0;
    agent->listenerPortsForTesting(family, udp, tcp);
    return tcp;
  }
  // The statistics document as the UI receives it.
  boost::property_tree::ptree Stats() {
    std::string json;
    agent->ipcManagerForTesting()->GetJsonPayload(PAYLOAD_TYPE_STATS, json);
    boost::property_tree::ptree tree;
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
    return tree;
  }
  std::size_t CallCount(const char* op) { return dns->CallCount(op); }

  test::TestRoot root;
  test::ScopedCaptureLog log{true};
  test::FakePlugin dns{test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root.PluginsPath())};
  test::FakePlugin swg{test::InstallPlugin(HXT_FAKE_PLUGIN_SWG, root.PluginsPath())};
  test::FakePlugin cloud{test::InstallPlugin(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER, root.PluginsPath())};
  CVelmoraMainThread* agent = nullptr;
  std::optional<test::LoopRunner> loop;
};

class DnsPathFamilyTest : public DnsPathTest, public ::testing::WithParamInterface<u32> {
 protected:
  void SetUp() override {
    if (GetParam() == kAddressFamilyIPv6 && !test::HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    DnsPathTest::SetUp();
  }
};

INSTANTIATE_TEST_SUITE_P(Families, DnsPathFamilyTest,
                         ::testing::Values(kAddressFamilyIPv4, kAddressFamilyIPv6),
                         [](const ::testing::TestParamInfo<u32>& info) {
                           return info.param == kAddressFamilyIPv4 ? std::string("IPv4")
                                                                   : std::string("IPv6");
                         });

TEST_P(DnsPathFamilyTest, RequestsAreAnsweredByteForByteAndCounted) {
  const u32 family = GetParam();
  Redirect(true, true);
  ASSERT_NE(UdpPort(family), 0) << log.Dump();

  // UDP: the answer carries the request's header with the answer's length.
  LoopbackSocket udp(family, SOCK_DGRAM);
  Bytes query = Query(0x1234);
  Bytes request = test::RedirectedMessage(udp.AsRequester(), Resolver(family), query);
  ASSERT_TRUE(udp.SendTo(UdpPort(family), request));
  auto datagram = udp.Receive();
  ASSERT_TRUE(datagram.has_value()) << log.Dump();
  EXPECT_EQ(*datagram, test::RedirectedMessage(udp.AsRequester(), Resolver(family), Echo(query)));
  ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::CloseSession") == 1; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Sent UDP DNS response of size 103 to KDF [ctx 1]")) << log.Dump();

  // TCP: one connection, two messages, answers written back unframed by the
  // listener (the plug-in frames its own stream).
  LoopbackSocket tcp(family, SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(TcpPort(family)));
  Bytes first = Framed(Query(1)), second = Framed(Query(2));
  ASSERT_TRUE(tcp.Send(test::RedirectedMessage(tcp.AsRequester(), Resolver(family), first)));
  EXPECT_EQ(tcp.ReceiveExactly(first.size()), std::optional<Bytes>(Framed(Echo(Query(1)))));
  ASSERT_TRUE(tcp.Send(test::RedirectedMessage(tcp.AsRequester(), Resolver(family), second)));
  EXPECT_EQ(tcp.ReceiveExactly(second.size()), std::optional<Bytes>(Framed(Echo(Query(2)))));
  tcp.Close();
  ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::CloseSession") == 2; }));
  ASSERT_TRUE(test::WaitFor([&] { return agent->contextCountForTesting() == 0; }));

  EXPECT_EQ(OpenedContexts(), (std::vector<u32>{1, 2}));
  for (const auto& call : dns->Calls()) {
    if (call.op != "IVelmoraPlugin::OpenSession") continue;
    EXPECT_EQ(call.args[1], family == kAddressFamilyIPv6 ? "2001:db8::53" : "192.0.2.53");
    EXPECT_EQ(call.args[2], call.args[0] == "1" ? "2" : "1");  // transport: UDP 2, TCP 1
  }
  const std::string dns = family == kAddressFamilyIPv6 ? "Dns6" : "Dns4";
  auto stats = Stats();
  EXPECT_EQ(stats.get<std::string>(dns + ".Udp.ReqCnt", "?"), "1");
  EXPECT_EQ(stats.get<std::string>(dns + ".Udp.RespCnt", "?"), "1");
  EXPECT_EQ(stats.get<std::string>(dns + ".Tcp.ReqCnt", "?"), "2");
  EXPECT_EQ(stats.get<std::string>(dns + ".Tcp.RespCnt", "?"), "2");
  EXPECT_EQ(agent->proxyErrorCountForTesting(), 0u);
}

TEST_F(DnsPathTest, ActivationCreatesBothHostsAndTellsTheFilterTheirPorts) {
  Redirect(true, true);
  auto updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 2u) << log.Dump();
  EXPECT_EQ(updates[0].updateKind, 0u);  // all parameters, before any host exists
  EXPECT_EQ(updates[0].udpPort4 + updates[0].tcpPort4 + updates[0].udpPort6 + updates[0].tcpPort6, 0);
  EXPECT_TRUE(updates[0].redirect4 && updates[0].redirect6);
  EXPECT_EQ(updates[0].ignoredPids, std::vector<u32>{4711});
  EXPECT_EQ(updates[1].updateKind, 4u);  // the ports of the new hosts
  EXPECT_EQ(updates[1].udpPort4, UdpPort(kAddressFamilyIPv4));
  EXPECT_EQ(updates[1].tcpPort4, TcpPort(kAddressFamilyIPv4));
  EXPECT_EQ(updates[1].udpPort6, UdpPort(kAddressFamilyIPv6));
  EXPECT_EQ(updates[1].tcpPort6, TcpPort(kAddressFamilyIPv6));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "IPv4 DNS redirection: ACTIVATED"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "IPv6 DNS redirection: ACTIVATED"));

  // The same flags again change no host: the filter gets the ports it has.
  filter::Reset();
  u16 udp4 = UdpPort(kAddressFamilyIPv4);
  Redirect(true, true);
  updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].udpPort4, udp4);
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), udp4);
  EXPECT_EQ(log.Count("IPv4 DNS redirection: ACTIVATED"), 1u);
}

TEST_F(DnsPathTest, DeactivationRemovesTheFamilysContextsAndHost) {
  Redirect(true, true);
  dns->SetDnsAnswerMode(fake::DnsAnswerMode::Silent, 0);
  LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
  ASSERT_TRUE(udp.SendTo(UdpPort(kAddressFamilyIPv4),
                         test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(9))));
  ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::Send") == 1; }));

  Redirect(false, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Removed context for pending IPv4 sessions: 0 TCP, 1 UDP"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "IPv4 DNS redirection: DEACTIVATED"));
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), 0);
  EXPECT_NE(UdpPort(kAddressFamilyIPv6), 0);
  EXPECT_EQ(agent->contextCountForTesting(), 0u);

  // A late answer for the removed context is dropped; its session stays open.
  log.Clear();
  Answer(fake::Callback::Response, 1, std::string(20, 'x'));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "cannot find cached context with id 1, ignoring response of size 20"));
  EXPECT_EQ(CallCount("IVelmoraPlugin::CloseSession"), 0u);

  Redirect(false, false);
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "IPv6 DNS redirection: DEACTIVATED"));
  EXPECT_EQ(UdpPort(kAddressFamilyIPv6), 0);
}

TEST_F(DnsPathTest, PartialUpdatesOnlyTouchTheFilter) {
  Redirect(true, false);
  u16 udp4 = UdpPort(kAddressFamilyIPv4);
  filter::Reset();
  auto request = fake::MakeCallback(fake::Callback::ChangeDnsRedirectionMode);
  request.text = R"({"version":1,"ignore_pids":[1,2]})";
  ASSERT_TRUE(dns->Fire(request, nullptr, 10000));
  auto updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].updateKind, 1u);
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), udp4);
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Update just PIDs"));

  // A refused parameter update changes no host.
  filter::Configure([](filter::Script& s) { s.setParameters = 1; });
  Redirect(false, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraKdfPluginMgr::SetParameters (parameter update) failed"));
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), udp4);
  EXPECT_EQ(UdpPort(kAddressFamilyIPv6), 0);
}

TEST_F(DnsPathTest, FailedActivationFallsBackToNoRedirection) {
  agent->failListenerCreationForTesting(kAddressFamilyIPv6);
  filter::Reset();
  Redirect(true, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraListener (v6) failed"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Failed to enable IPv4 DNS redirection"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Failed to enable IPv6 DNS redirection"));
  EXPECT_FALSE(log.Has(LOG_LEVEL_INFO, "IPv4 DNS redirection: ACTIVATED"));
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), 0);
  // Parameters first, then the clearing StopPlugin does (it re-sends the
  // ignore list); the ports of the host that was made never reach the filter.
  EXPECT_EQ(RedirectionCalls(), (std::vector<std::string>{"IVelmoraApi::SetParameters", "IVelmoraApi::Clear",
                                                          "IVelmoraApi::SetParameters"}));
  for (const auto& update : FilterUpdates()) EXPECT_NE(update.updateKind, 4u);
}

TEST_F(DnsPathTest, DeadListenerThreadIsRestartedOnNewPorts) {
  Redirect(true, false);
  u16 oldPort = UdpPort(kAddressFamilyIPv4);
  filter::Reset();
  ASSERT_TRUE(
      agent->postToListenerForTesting(kAddressFamilyIPv4, [] { throw std::runtime_error("I/O failure"); }));
  ASSERT_TRUE(test::WaitFor([&] { return log.Has(LOG_LEVEL_INFO, "Successfully restarted IPv4 listener"); }))
      << log.Dump();
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Handling IPv4 listener exception"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Restarting IPv4 listener"));
  u16 newPort = UdpPort(kAddressFamilyIPv4);
  EXPECT_NE(newPort, oldPort);
  auto updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].udpPort4, newPort);

  LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
  ASSERT_TRUE(udp.SendTo(newPort,
                         test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(3))));
  EXPECT_TRUE(udp.Receive().has_value());
}

TEST_F(DnsPathTest, AnswersAndErrorsAreCheckedAndRouted) {
  Redirect(true, false);
  dns->SetDnsAnswerMode(fake::DnsAnswerMode::Silent, 0);
  LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
  auto send = [&](u16 id) {
    ASSERT_TRUE(
        udp.SendTo(UdpPort(kAddressFamilyIPv4),
                   test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(id))));
  };
  send(1);
  send(2);
  ASSERT_TRUE(test::WaitFor([&] { return OpenedContexts().size() == 2; }));
  auto ids = OpenedContexts();
  EXPECT_EQ(ids[1], ids[0] + 1);

  // 12 bytes are too few for a DNS answer; 13 go out behind the header.
  Answer(fake::Callback::Response, ids[0], std::string(12, 'a'));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "at least one parameter is invalid"));
  Answer(fake::Callback::Response, ids[0], std::string(13, 'b'));
  auto datagram = udp.Receive();
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(datagram->size(), 83u);
  ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::CloseSession") == 1; }));

  // A time-out reported for the other request closes its session on the listener thread.
  Answer(fake::Callback::ErrorOccurred, ids[1], std::string(), 7);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Timeout error reported [ctx " + std::to_string(ids[1]) + "]"));
  // The plug-in hears of the close before the context is forgotten.
  ASSERT_TRUE(test::WaitFor([&] { return agent->contextCountForTesting() == 0; }));
  EXPECT_EQ(CallCount("IVelmoraPlugin::CloseSession"), 2u);
  EXPECT_EQ(agent->proxyErrorCountForTesting(), 1u);

  // Ids are never issued again.
  send(3);
  ASSERT_TRUE(test::WaitFor([&] { return OpenedContexts().size() == 3; }));
  EXPECT_EQ(OpenedContexts()[2], ids[1] + 1);

  // A requester of no known family cannot be answered; its session is closed.
  auto bogus = test::FilterSocketAddress(7, "", udp.LocalPort());
  ASSERT_TRUE(udp.SendTo(UdpPort(kAddressFamilyIPv4),
                         test::RedirectedMessage(bogus, Resolver(kAddressFamilyIPv4), Query(5))));
  ASSERT_TRUE(test::WaitFor([&] { return OpenedContexts().size() == 4; }));
  Answer(fake::Callback::Response, OpenedContexts()[3], std::string(20, 'c'));
  ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::CloseSession") == 3; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "received UDP response for requester family 7, dropped [ctx " +
                                           std::to_string(OpenedContexts()[3]) + "]"));

  // A later fragment for a context nobody knows is refused and reported.
  Bytes fragment = test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(4));
  EXPECT_FALSE(agent->OnRequestTcpFragmentAvailable(fragment.data(), static_cast<u32>(fragment.size()), 42));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR,
                      "cannot find cached context with id 42,ignoring subsequent TCP fragment of size " +
                          std::to_string(fragment.size())));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Error reported: 9 [ctx 42]"));
  EXPECT_EQ(agent->proxyErrorCountForTesting(), 2u);
}

TEST_F(DnsPathTest, RefusedSessionEndsTheRequest) {
  Redirect(true, false);
  dns->SetResult("IVelmoraPlugin::OpenSession", 5);
  LoopbackSocket tcp(kAddressFamilyIPv4, SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(TcpPort(kAddressFamilyIPv4)));
  ASSERT_TRUE(
      tcp.Send(test::RedirectedMessage(tcp.AsRequester(), Resolver(kAddressFamilyIPv4), Framed(Query(5)))));
  EXPECT_TRUE(tcp.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return agent->contextCountForTesting() == 0; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Error reported: 5 [ctx 1]"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "OnFirstRequestFragmentAvailable failed"));
}

// The plug-in answers from its thread while the family's host is torn down
// and rebuilt; nothing may reach a host that is gone.
TEST_F(DnsPathTest, AnswersRacingADeactivationAreSafe) {
  Redirect(true, false);
  dns->SetHoldResponses(true);
  for (int round = 0; round < 5; ++round) {
    LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
    std::size_t before = CallCount("IVelmoraPlugin::Send");
    for (u16 i = 0; i < 20; ++i) {
      ASSERT_TRUE(
          udp.SendTo(UdpPort(kAddressFamilyIPv4),
                     test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(i))));
    }
    ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::Send") == before + 20; }));
    auto release = std::async(std::launch::async, [&] { return dns->ReleaseHeldResponses(); });
    Redirect(false, false);
    release.get();
    Redirect(true, false);
  }
  Redirect(false, false);
  EXPECT_EQ(agent->contextCountForTesting(), 0u);
}

TEST_F(DnsPathTest, StoppingThePluginTearsTheRedirectionDown) {
  Redirect(true, true);
  dns->SetDnsAnswerMode(fake::DnsAnswerMode::Silent, 0);
  LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
  ASSERT_TRUE(udp.SendTo(UdpPort(kAddressFamilyIPv4),
                         test::RedirectedMessage(udp.AsRequester(), Resolver(kAddressFamilyIPv4), Query(1))));
  ASSERT_TRUE(test::WaitFor([&] { return agent->contextCountForTesting() == 1; }));
  filter::Reset();
  agent->RequestShutdown();
  EXPECT_TRUE(loop->Wait());
  loop.reset();
  EXPECT_EQ(agent->contextCountForTesting(), 0u);
  EXPECT_EQ(UdpPort(kAddressFamilyIPv4), 0);
  EXPECT_EQ(UdpPort(kAddressFamilyIPv6), 0);
  EXPECT_EQ(CVelmoraListener::RunningThreads(), 0u);
  EXPECT_EQ(RedirectionCalls(),
            (std::vector<std::string>{"IVelmoraApi::Clear", "IVelmoraApi::SetParameters"}));
}

}  // namespace
}  // namespace hxt
