// The DNS redirection path inside one process: the orchestrator with the fake
// DNS-protection plug-in and the filter library's double, listener hosts made
// by the plug-in's redirect payloads, requests over real loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/velmoraipcmgr.h"
#include "agent/velmoramainthread.h"
#include "fake/fakesockfilter.h"
#include "fakes/dnstestkit.h"
#include "fakes/pluginhostfixture.h"
#include "fakes/redirectclient.h"

namespace hxt {
namespace {

using test::Bytes;
using test::LoopbackSocket;
namespace fake = hxt::fake;
namespace filter = hxt::fakefilter;
constexpr u32 kV4 = kAddressFamilyIPv4;
constexpr u32 kV6 = kAddressFamilyIPv6;

std::string Payload(bool redirect4, bool redirect6) {
  auto flag = [](bool b) { return b ? "true" : "false"; };
  return std::string(R"({"version":1,"ignore_pids":[4711],"dns4":{"redirect":)") + flag(redirect4) +
         R"(,"whitelist":["intranet.example"],"resolvers":["192.0.2.53"]},"dns6":{"redirect":)" +
         flag(redirect6) + R"(,"whitelist":[],"resolvers":["2001:db8::53"]}})";
}

Bytes Query(u16 id) {
  return test::MakeQuery("www.example.com", id);
}

// What the fake answers in echo mode: the query with QR and RA set.
Bytes Echo(Bytes query) {
  query[2] |= 0x80;
  query[3] |= 0x80;
  return query;
}

test::SocketAddressBytes Resolver(u32 family) {
  return test::FilterSocketAddress(family, family == kV6 ? "2001:db8::53" : "192.0.2.53", 53);
}

// The calls that change the filter's redirection, in order.
std::vector<std::string> RedirectionCalls() {
  std::vector<std::string> out;
  for (const auto& name : filter::CallNames())
    if (name == "IVelmoraApi::SetParameters" || name == "IVelmoraApi::Clear") out.push_back(name);
  return out;
}

// The parameter records the filter received, in order.
std::vector<filter::InfoSnapshot> FilterUpdates() {
  std::vector<filter::InfoSnapshot> out;
  for (const auto& call : filter::Calls())
    if (call.name == "IVelmoraApi::SetParameters" && call.info) out.push_back(*call.info);
  return out;
}

class DnsPathTest : public test::PluginHostTest {
 protected:
  DnsPathTest() : PluginHostTest(true) {}
  void SetUp() override { Start(true); }  // the fake answers in echo mode

  // The plug-in calls the service back from its own thread and waits for it.
  void Fire(fake::Callback kind, const std::string& text, u32 contextId = 0, u32 code = 0) {
    auto request = fake::MakeCallback(kind);
    std::tie(request.text, request.contextId, request.handle, request.code) =
        std::forward_as_tuple(text, contextId, sessionOf(contextId), code);
    ASSERT_TRUE(dns->Fire(request, nullptr, 10000));
  }
  void Redirect(bool redirect4, bool redirect6) {
    Fire(fake::Callback::ChangeDnsRedirectionMode, Payload(redirect4, redirect6));
  }
  // The session handle the plug-in gave the context, from its OpenSession record.
  u32 sessionOf(u32 contextId) {
    for (const auto& call : dns->Calls())
      if (call.op == "IVelmoraPlugin::OpenSession" && call.args[0] == std::to_string(contextId))
        return static_cast<u32>(std::stoul(call.args[3]));
    return 0;
  }
  // Context ids in the order the plug-in saw them opened.
  std::vector<u32> OpenedContexts() {
    std::vector<u32> out;
    for (const auto& call : dns->Calls())
      if (call.op == "IVelmoraPlugin::OpenSession") out.push_back(static_cast<u32>(std::stoul(call.args[0])));
    return out;
  }
  u16 Port(u32 family, bool tcp = false) {
    u16 udp = 0, tcpPort = 0;
    host->listenerPortsForTesting(family, udp, tcpPort);
    return tcp ? tcpPort : udp;
  }
  bool SendUdp(LoopbackSocket& udp, const Bytes& dns, u32 family = kV4) {
    return udp.SendTo(Port(family), test::RedirectedMessage(udp.AsRequester(), Resolver(family), dns));
  }
  std::size_t CallCount(const char* op) { return dns->CallCount(op); }
  bool WaitForCloses(std::size_t n) {
    return test::WaitFor([&] { return CallCount("IVelmoraPlugin::CloseSession") == n; });
  }
};

// The plug-in answers from its own thread, or inside Send on the listener's thread (the answer's send then
// runs while the listener still waits for Send; its CloseSession follows once Send returned).
struct PathCase {
  u32 family;
  bool onCaller;
};
void PrintTo(const PathCase& c, std::ostream* out) {
  *out << (c.family == kV4 ? "IPv4" : "IPv6") << (c.onCaller ? ", answered on the caller" : "");
}

class DnsPathFamilyTest : public DnsPathTest, public ::testing::WithParamInterface<PathCase> {
 protected:
  void SetUp() override {
    if (GetParam().family == kV6 && !test::HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    DnsPathTest::SetUp();
    dns->SetAnswerOnCaller(GetParam().onCaller);
  }
};

INSTANTIATE_TEST_SUITE_P(Families, DnsPathFamilyTest,
                         ::testing::Values(PathCase{kV4, false}, PathCase{kV6, false}, PathCase{kV4, true},
                                           PathCase{kV6, true}),
                         [](const auto& info) {
                           return std::string(info.param.family == kV4 ? "IPv4" : "IPv6") +
                                  (info.param.onCaller ? "OnCaller" : "");
                         });

TEST_P(DnsPathFamilyTest, RequestsAreAnsweredByteForByte) {
  const u32 family = GetParam().family;
  Redirect(true, true);
  ASSERT_NE(Port(family), 0) << log.Dump();

  // UDP: the answer carries the request's header.
  LoopbackSocket udp(family, SOCK_DGRAM);
  ASSERT_TRUE(SendUdp(udp, Query(0x1234), family));
  EXPECT_EQ(udp.Receive(), std::optional<Bytes>(test::RedirectedMessage(udp.AsRequester(), Resolver(family),
                                                                        Echo(Query(0x1234)))))
      << log.Dump();
  ASSERT_TRUE(WaitForCloses(1));

  // TCP: one connection, two messages; the plug-in frames its own stream.
  LoopbackSocket tcp(family, SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(Port(family, true)));
  for (u16 id : {1, 2}) {
    ASSERT_TRUE(
        tcp.Send(test::RedirectedMessage(tcp.AsRequester(), Resolver(family), test::WithLength(Query(id)))));
    EXPECT_EQ(tcp.ReceiveExactly(test::WithLength(Query(id)).size()),
              std::optional<Bytes>(test::WithLength(Echo(Query(id)))));
  }
  tcp.Close();
  ASSERT_TRUE(WaitForCloses(2));
  ASSERT_TRUE(test::WaitFor([&] { return host->contextCountForTesting() == 0; }));

  EXPECT_EQ(OpenedContexts(), (std::vector<u32>{1, 2}));
  for (const auto& call : dns->Calls()) {
    if (call.op != "IVelmoraPlugin::OpenSession") continue;
    EXPECT_EQ(call.args[1], family == kV6 ? "2001:db8::53" : "192.0.2.53");
    EXPECT_EQ(call.args[2], call.args[0] == "1" ? "2" : "1");  // transport: UDP 2, TCP 1
  }
  EXPECT_EQ(host->proxyErrorCountForTesting(), 0u);

  // Each message counted once as a request and once as an answer, under its
  // own family and transport (the UI's statistics).
  const IpcRequestCounters c = host->ipcManagerForTesting()->GetRequestCounters();
  const u32 v4 = family == kV4 ? 1 : 0, v6 = 1 - v4;
  EXPECT_EQ((std::vector<u32>{c.udpRequests4, c.udpResponses4, c.tcpRequests4, c.tcpResponses4,
                              c.udpRequests6, c.udpResponses6, c.tcpRequests6, c.tcpResponses6}),
            (std::vector<u32>{v4, v4, 2 * v4, 2 * v4, v6, v6, 2 * v6, 2 * v6}));
}

// The fake holds its session lock across every answer and takes it in CloseSession: a session closed from
// inside an answer, or an answer made to wait for a close, would hang here. Several clients keep both
// listeners' paths busy at once.
TEST_P(DnsPathFamilyTest, AFloodIsAnsweredAndEachSessionClosedOnceWhileThePluginHoldsItsLock) {
  const u32 family = GetParam().family;
  Redirect(true, true);
  constexpr int kClients = 4, kQueries = 250;
  std::vector<std::future<int>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::async(std::launch::async, [&, c] {
      LoopbackSocket udp(family, SOCK_DGRAM);
      int answered = 0;
      for (int i = 0; i < kQueries; ++i) {
        const Bytes query = Query(static_cast<u16>(c * kQueries + i));
        if (SendUdp(udp, query, family) &&
            udp.Receive() == std::optional<Bytes>(
                                 test::RedirectedMessage(udp.AsRequester(), Resolver(family), Echo(query))))
          ++answered;
      }
      return answered;
    }));
  }
  for (auto& client : clients) EXPECT_EQ(client.get(), kQueries) << log.Dump();
  EXPECT_TRUE(WaitForCloses(kClients * kQueries)) << CallCount("IVelmoraPlugin::CloseSession");
  EXPECT_TRUE(test::WaitFor([&] { return host->contextCountForTesting() == 0; }));
  EXPECT_FALSE(log.Has("cannot find cached context"));
}

TEST_F(DnsPathTest, ActivationCreatesHostsTellsTheFilterTheirPortsAndPartialUpdatesKeepThem) {
  Redirect(true, true);
  auto updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 2u) << log.Dump();
  EXPECT_EQ(updates[0].updateKind, 0u);  // all parameters, before any host exists
  EXPECT_EQ(updates[0].udpPort4 + updates[0].tcpPort4 + updates[0].udpPort6 + updates[0].tcpPort6, 0);
  EXPECT_EQ(updates[1].updateKind, 4u);  // the ports of the new hosts
  EXPECT_EQ(
      (std::vector<u16>{updates[1].udpPort4, updates[1].tcpPort4, updates[1].udpPort6, updates[1].tcpPort6}),
      (std::vector<u16>{Port(kV4), Port(kV4, true), Port(kV6), Port(kV6, true)}));

  // The same flags again change no host: the filter gets the ports it has.
  const u16 udp4 = Port(kV4);
  filter::Reset();
  Redirect(true, true);
  updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].udpPort4, udp4);
  EXPECT_EQ(log.Count("IPv4 DNS redirection: ACTIVATED"), 1u);

  // A payload of ignored processes only is a PID update of the filter.
  filter::Reset();
  Fire(fake::Callback::ChangeDnsRedirectionMode, R"({"version":1,"ignore_pids":[1,2]})");
  updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].updateKind, 1u);
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Update just PIDs"));

  // A refused parameter update changes no host.
  filter::Configure([](filter::Script& s) { s.setParameters = 1; });
  Redirect(false, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraKdfPluginMgr::SetParameters (parameter update) failed"));
  EXPECT_EQ(Port(kV4), udp4);
  EXPECT_NE(Port(kV6), 0);

  // Stopping the plug-in tears both hosts down and gives the filter its ignore list back.
  filter::Reset();
  host->RequestShutdown();
  EXPECT_TRUE(run->Wait());
  run.reset();
  EXPECT_EQ(Port(kV4) + Port(kV6), 0);
  EXPECT_EQ(CVelmoraListener::RunningThreads(), 0u);
  EXPECT_EQ(RedirectionCalls(),
            (std::vector<std::string>{"IVelmoraApi::Clear", "IVelmoraApi::SetParameters"}));
}

TEST_F(DnsPathTest, FailedActivationFallsBackToNoRedirectionKeepingTheDroppedHostsContexts) {
  host->failListenerCreationForTesting(kV6);
  filter::Reset();
  Redirect(true, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraListener (v6) failed"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Failed to enable IPv4 DNS redirection"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Failed to enable IPv6 DNS redirection"));
  EXPECT_FALSE(log.Has(LOG_LEVEL_INFO, "IPv4 DNS redirection: ACTIVATED"));
  EXPECT_EQ(Port(kV4), 0);
  // Parameters, then the clearing StopPlugin does (it re-sends the ignore
  // list); the ports of the host that was made never reach the filter.
  EXPECT_EQ(RedirectionCalls(), (std::vector<std::string>{"IVelmoraApi::SetParameters", "IVelmoraApi::Clear",
                                                          "IVelmoraApi::SetParameters"}));
  for (const auto& update : FilterUpdates()) EXPECT_NE(update.updateKind, 4u);

  // The fallback drops the hosts but keeps their contexts, and never calls the
  // plug-in from under the listener lock: a late answer is dropped as hostless.
  Redirect(true, false);
  dns->SetDnsAnswerMode(fake::DnsAnswerMode::Silent);
  LoopbackSocket udp(kV4, SOCK_DGRAM);
  ASSERT_TRUE(SendUdp(udp, Query(1)));
  ASSERT_TRUE(test::WaitFor([&] { return host->contextCountForTesting() == 1; }));
  host->failListenerCreationForTesting(kV6);
  Redirect(true, true);
  EXPECT_EQ(Port(kV4), 0);
  EXPECT_EQ(host->contextCountForTesting(), 1u);
  Fire(fake::Callback::Response, std::string(20, 'x'), 1);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR,
                      "received IPv4 UDP response, but corresponding listener is not active [ctx 1]"));
  EXPECT_EQ(CallCount("IVelmoraPlugin::CloseSession"), 0u);
}

TEST_F(DnsPathTest, DeadListenerThreadIsRestartedOnNewPortsAndAPayloadOvertakenByTheStopMakesNoHosts) {
  Redirect(true, false);
  const u16 oldPort = Port(kV4);
  filter::Reset();
  ASSERT_TRUE(host->postToListenerForTesting(kV4, [] { throw std::runtime_error("I/O failure"); }));
  ASSERT_TRUE(test::WaitFor([&] { return log.Has(LOG_LEVEL_INFO, "Successfully restarted IPv4 listener"); }))
      << log.Dump();
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Handling IPv4 listener exception"));
  EXPECT_NE(Port(kV4), oldPort);
  auto updates = FilterUpdates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].udpPort4, Port(kV4));

  LoopbackSocket udp(kV4, SOCK_DGRAM);
  ASSERT_TRUE(SendUdp(udp, Query(3)));
  EXPECT_TRUE(udp.Receive().has_value());

  // The plug-in stops between a payload's state check and its taking the
  // listener lock: the stop's teardown must stay the last word.
  dns->SetResult("IVelmoraPlugin::InitiateStop", 4);  // the stop completes at once
  host->setRedirectionLockHookForTesting([&] {
    host->RequestShutdown();
    EXPECT_TRUE(run->Wait());
  });
  Redirect(true, true);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "DNS redirection was torn down; payload ignored")) << log.Dump();
  EXPECT_EQ(Port(kV4) + Port(kV6), 0);
}

TEST_F(DnsPathTest, AnswersAndErrorsAreCheckedAndRouted) {
  Redirect(true, false);
  dns->SetDnsAnswerMode(fake::DnsAnswerMode::Silent);
  LoopbackSocket udp(kV4, SOCK_DGRAM);
  ASSERT_TRUE(SendUdp(udp, Query(1)));
  ASSERT_TRUE(SendUdp(udp, Query(2)));
  ASSERT_TRUE(test::WaitFor([&] { return OpenedContexts().size() == 2; }));
  auto ids = OpenedContexts();

  // 12 bytes are too few for a DNS answer; 13 go out behind the header.
  Fire(fake::Callback::Response, std::string(12, 'a'), ids[0]);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "at least one parameter is invalid"));
  Fire(fake::Callback::Response, std::string(13, 'b'), ids[0]);
  EXPECT_EQ(udp.Receive().value_or(Bytes()).size(), 83u);
  ASSERT_TRUE(WaitForCloses(1));

  // A time-out reported for the other request closes its session before the context is forgotten.
  Fire(fake::Callback::ErrorOccurred, "", ids[1], 7);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "Timeout error reported [ctx " + std::to_string(ids[1]) + "]"));
  ASSERT_TRUE(test::WaitFor([&] { return host->contextCountForTesting() == 0; }));
  EXPECT_EQ(CallCount("IVelmoraPlugin::CloseSession"), 2u);
  EXPECT_EQ(host->proxyErrorCountForTesting(), 1u);

  // A requester of no known family cannot be answered; its session is closed.
  ASSERT_TRUE(udp.SendTo(Port(kV4), test::RedirectedMessage(test::FilterSocketAddress(7, "", udp.LocalPort()),
                                                            Resolver(kV4), Query(5))));
  ASSERT_TRUE(test::WaitFor([&] { return OpenedContexts().size() == 3; }));
  const u32 bogus = OpenedContexts()[2];
  Fire(fake::Callback::Response, std::string(20, 'c'), bogus);
  ASSERT_TRUE(WaitForCloses(3));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "received UDP response for requester family 7, dropped [ctx " +
                                           std::to_string(bogus) + "]"));

  // A later fragment for a context nobody knows is refused and reported.
  Bytes fragment = test::RedirectedMessage(udp.AsRequester(), Resolver(kV4), Query(4));
  EXPECT_FALSE(host->OnRequestTcpFragmentAvailable(fragment.data(), static_cast<u32>(fragment.size()), 42));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR,
                      "cannot find cached context with id 42,ignoring subsequent TCP fragment of size " +
                          std::to_string(fragment.size())));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Error reported: 9 [ctx 42]"));
  EXPECT_EQ(host->proxyErrorCountForTesting(), 2u);

  // A session the plug-in refuses ends its request: the connection closes.
  dns->SetResult("IVelmoraPlugin::OpenSession", 5);
  LoopbackSocket tcp(kV4, SOCK_STREAM);
  ASSERT_TRUE(tcp.Connect(Port(kV4, true)));
  ASSERT_TRUE(
      tcp.Send(test::RedirectedMessage(tcp.AsRequester(), Resolver(kV4), test::WithLength(Query(5)))));
  EXPECT_TRUE(tcp.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return host->contextCountForTesting() == 0; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Error reported: 5 [ctx 4]")) << log.Dump();
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "OnFirstRequestFragmentAvailable failed"));
}

// Answers race the teardown of their family's host: from the plug-in's thread (held answers released during
// the deactivation), or inside Send on the host's own thread while queries keep coming. Nothing may reach a
// host that is gone, and stopping a host never waits for an answer on its thread.
TEST_F(DnsPathTest, AnswersRacingADeactivationAreSafe) {
  for (bool onCaller : {false, true}) {
    SCOPED_TRACE(onCaller ? "inside Send" : "from the plug-in's thread");
    dns->SetHoldResponses(!onCaller);
    dns->SetAnswerOnCaller(onCaller);
    Redirect(true, false);
    for (int round = 0; round < 5; ++round) {
      LoopbackSocket udp(kV4, SOCK_DGRAM);
      std::atomic<bool> stop{false};
      std::future<std::size_t> answering;
      if (onCaller) {
        answering = std::async(std::launch::async, [&] {
          for (u16 i = 0; !stop; ++i) SendUdp(udp, Query(i));
          return std::size_t{0};
        });
      } else {
        const std::size_t before = CallCount("IVelmoraPlugin::Send");
        for (u16 i = 0; i < 20; ++i) ASSERT_TRUE(SendUdp(udp, Query(i)));
        ASSERT_TRUE(test::WaitFor([&] { return CallCount("IVelmoraPlugin::Send") == before + 20; }));
        answering = std::async(std::launch::async, [&] { return dns->ReleaseHeldResponses(); });
      }
      Redirect(false, false);
      Redirect(true, false);
      stop = true;
      answering.get();
    }
    if (onCaller) {
      // Answered after every query still queued: none arrives during the last deactivation.
      // A probe is dropped while the listener's receive queue is full: then the next one.
      LoopbackSocket probe(kV4, SOCK_DGRAM);
      probe.SetReceiveTimeout(std::chrono::milliseconds(100));
      ASSERT_TRUE(test::WaitFor([&] { return SendUdp(probe, Query(1)) && probe.Receive().has_value(); }));
    }
    Redirect(false, false);
    EXPECT_EQ(host->contextCountForTesting(), 0u);
  }
  EXPECT_FALSE(log.Has(LOG_LEVEL_ERROR, "Failed to stop ioListenerService thread"));
}

}  // namespace
}  // namespace hxt
