// The DNS-protection plug-in object driven as the service drives it: the
// documents it sends, its answers and errors, and how it stops.
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "pluginkit.h"

namespace hxt::dnsprotect {
namespace {

class DnsProtectPlugin : public kit::PluginTest {};

// What the plug-in did reaches the profile's metrics file, in a form Prometheus' own parser reads: answers by
// source and transport, and the upstream's time.
TEST_F(DnsProtectPlugin, CountsReachTheMetricsFile) {
  const std::string file = dir + "/dnsprotect.prom";
  StartWith(R"(,"metrics":{"file":"dnsprotect.prom","intervalMs":100})");
  ASSERT_TRUE(StateWithin("protected"));
  Ask(1, "www.example");
  ASSERT_FALSE(AnswerTo(1).empty());
  Ask(2, "www.example");  // from the cache
  Ask(3, "x.ads.example");
  ASSERT_FALSE(AnswerTo(2).empty());
  std::string text;
  for (const char* line : {R"(hxtarrow_dns_plugin_answers_total{source="upstream",transport="udp"} 1)",
                           R"(hxtarrow_dns_plugin_answers_total{source="cache",transport="udp"} 1)",
                           R"(hxtarrow_dns_plugin_answers_total{source="blocked",transport="udp"} 1)",
                           R"(hxtarrow_dns_plugin_upstream_latency_seconds_bucket{le="+Inf"} 1)",
                           "hxtarrow_dns_plugin_tls_connections_total 0"})
    EXPECT_TRUE(test::WaitFor([&] {
      return (text = test::ReadFile(file)).find(line + std::string("\n")) != text.npos;
    })) << line + std::string(" in:\n") + text;
#ifndef _WIN32
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") != 0)
    GTEST_SKIP() << "python3-prometheus-client is not installed";
  const std::string parse =
      "/usr/bin/python3 -c 'import sys; from prometheus_client.parser import "
      "text_string_to_metric_families as p; list(p(open(sys.argv[1]).read()))' '" +
      file + "'";
  EXPECT_EQ(std::system(parse.c_str()), 0) << text;
#endif
}

// The service forgets a family's sessions when it tears the family down: a UDP session it never closed is
// dropped once it is four answer deadlines old; a TCP one lives as long as its connection.
TEST_F(DnsProtectPlugin, ForgetsTheUdpSessionsTheServiceNoLongerCloses) {
  u32 udp = 0, tcp = 0;
  ASSERT_EQ(plugin.OpenSession(1, "127.0.0.53:53", HXT_TRANSPORT_UDP, &udp), 0u);
  ASSERT_EQ(plugin.OpenSession(2, "127.0.0.53:53", HXT_TRANSPORT_TCP, &tcp), 0u);
  EXPECT_TRUE(test::WaitFor([&] {
    u32 next = 0;
    plugin.OpenSession(3, "127.0.0.53:53", HXT_TRANSPORT_UDP, &next);
    plugin.CloseSession(next);
    return plugin.SessionCount() == 1;
  }));
  EXPECT_NE(plugin.CloseSession(udp), 0u);
  EXPECT_EQ(plugin.CloseSession(tcp), 0u);
}

TEST_F(DnsProtectPlugin, AnswersBlocksAndTellsTheTruthAboutItsUpstream) {
  StartWith("", R"(,"updates":{"location":"file:///srv/updates"})");
  ASSERT_TRUE(StateWithin("protected"));
  const auto redirects = service.Texts("ChangeDnsRedirectionMode");
  ASSERT_EQ(redirects.size(), 1u);
  EXPECT_PRED_FORMAT2(testing::IsSubstring,
                      R"("dns4":{"redirect":"true","whitelist":[],"resolvers":["127.0.0.1"]})", redirects[0]);
  EXPECT_NE(service.Texts("ProtectionStateChanged")[0].find(R"("client_display_name":"Test Org")"),
            std::string::npos);
  const auto upgrades = service.Texts("UpgradeDetailsChanged");
  ASSERT_EQ(upgrades.size(), 1u);
  EXPECT_NE(upgrades[0].find(R"("download_url":"file:///srv/updates")"), std::string::npos);
  Ask(1, "www.example");
  Ask(2, "x.ads.example");
  EXPECT_TRUE(Answered(2)) << "a block answer is given inside Send";
  // A CNAME to a listed name is blocked as the name; EDNS version 1 gets BADVERS; a response is no query.
  Send(5, kit::Make(kit::Shaped([](kit::Ask& a) { a.labels = {"cname", "example"}, a.edns = true; })));
  Send(6, kit::Make(kit::Shaped([](kit::Ask& a) { a.edns = true, a.version = 1; })));
  Send(7, kit::Make(kit::Shaped([](kit::Ask& a) { a.response = true; })));
  const std::string answer = AnswerTo(1), cname = AnswerTo(5), badVers = AnswerTo(6);
  EXPECT_EQ(test::AnswerAddress(test::Bytes(answer.begin(), answer.end())), "192.0.2.1");
  EXPECT_EQ(Rcode(AnswerTo(2)), kRcodeNxDomain);
  // id, RCODE, Extended DNS Error, answers
  EXPECT_EQ(
      std::make_tuple(MessageId(cname), int{kit::OptOf(cname).rcode}, kit::OptOf(cname).ede, int{cname[7]},
                      MessageId(badVers), int{kit::OptOf(badVers).rcode}, int{badVers[7]}),
      std::make_tuple(0x1234, int{kRcodeNxDomain}, int{kEdeBlocked}, 0, 0x1234, 16, 0));
  EXPECT_EQ(Outcome(7).value_or(test::RecordingService::Event{}).name, "ErrorOccurred");
  const std::string blocked = test::ReadFile(dir + "/blocked-queries.jsonl");  // on its first line:
  EXPECT_LT(blocked.find(R"("name":"x.ads.example","type":1)"), blocked.find('\n')) << blocked;

  // Two queries in one TCP send, answered with their lengths in front.
  const std::string first = BuildQuery("a.ads.example", kTypeA, 3);
  Send(3, test::dnswire::Framed(first) + test::dnswire::Framed(BuildQuery("b.ads.example", kTypeA, 3)), true);
  EXPECT_TRUE(Answered(3)) << "block answers are given inside Send";
  EXPECT_EQ(AnswerTo(3).size(), 2 + BuildBlockedAnswer(first, kit::QuestionOf(first), 2, "", 60).size());

  // With the upstream gone: "open", and a query that gets no answer is answered SERVFAIL.
  upstream.reset();
  ASSERT_TRUE(StateWithin("open"));
  Ask(4, "not-cached.example");
  EXPECT_EQ(Rcode(AnswerTo(4)), kRcodeServFail);
  ASSERT_EQ(plugin.DnsRedirectionDisrupted(), 0u);
  EXPECT_TRUE(service.WaitFor("ChangeDnsRedirectionMode", 3));  // on, off, off again

  ASSERT_EQ(plugin.InitiateStop(), 0u);
  EXPECT_TRUE(service.WaitFor("PluginStopped"));
}

TEST_F(DnsProtectPlugin, FollowsTheVpnAndTheTrustedNetwork) {
  StartWith(R"(,"standDownOnTrustedNetwork":true)", R"(,"swg":{"enabled":true,"proxy":"127.0.0.1:3128"})");
  ASSERT_TRUE(StateWithin("protected"));
  EXPECT_EQ(
      service.Texts("SendPluginMessage"),
      std::vector<std::string>{R"(SWG <- Velmora StartPlugin {"version":"1","proxy":"127.0.0.1:3128"})"});
  plugin.ReceiveMessageResult("SWG", "StartPlugin", 0);

  auto vpn = [](const char* state, const char* tunnelAll, const char* tnd) {
    return std::string(R"({"version":"1","vpn_ipv4":{"state":")") + state +
           R"(","vpn_type":"split_include","tunnel_all_dns":")" + tunnelAll +
           R"(","split_dns":"true","dns":["127.0.0.1:1"],"split_dns_domains":["corp.example"],)" +
           R"("split_include_networks":""},"vpn_ipv6":{"state":")" + state +
           R"(","vpn_type":"undefined","tunnel_all_dns":"false","split_dns":"false","dns":"",)" +
           R"("split_dns_domains":"","split_include_networks":""},"tnd":")" + tnd + "\"}\n";
  };
  const std::pair<std::string, const char*> cases[] = {
      // the document, the state it brings
      {vpn("connected", "true", "undefined"), "disabled_due_to_vpn"},
      {vpn("disconnected", "true", "trusted"), "velm_trusted_network"},
      {vpn("connected", "false", "untrusted"), "protected"}};
  for (const auto& [document, state] : cases) {
    ASSERT_EQ(plugin.VpnStateChanged(document.c_str()), 0u);
    EXPECT_TRUE(StateWithin(state)) << document;
  }
  // Split DNS: names of the VPN's domains go to its server (here: nobody).
  Ask(1, "intranet.corp.example");
  Ask(2, "www.example");
  EXPECT_EQ(Rcode(AnswerTo(1)), kRcodeServFail);
  EXPECT_NE(AnswerTo(2), "");
  EXPECT_EQ(plugin.VpnStateChanged("{not json"), 1u);

  // The stop waits for the SWG plug-in's stop.
  ASSERT_EQ(plugin.InitiateStop(), 0u);
  ASSERT_TRUE(service.WaitFor("SendPluginMessage", 2));
  EXPECT_EQ(service.Texts("SendPluginMessage").back(), "SWG <- Velmora StopPlugin {}");
  EXPECT_EQ(service.Events("PluginStopped").size(), 0u);
  plugin.ReceiveMessageResult("SWG", "StopPlugin", 0);
  EXPECT_TRUE(service.WaitFor("PluginStopped"));
}

TEST_F(DnsProtectPlugin, RefusesABadProfileAsDisabledAndStillStops) {
  kit::CapturedLog log;
  StartWith(R"(,"blockTtl":"soon")");
  EXPECT_TRUE(StateWithin("disabled"));
  EXPECT_TRUE(log.Has("OrgInfo.json refused: dns.blockTtl: expected a whole number"));
  EXPECT_TRUE(service.Events("ChangeDnsRedirectionMode").empty());
  Ask(1, "www.example");
  EXPECT_EQ(Outcome(1).value_or(test::RecordingService::Event{}).name, "ErrorOccurred");
  ASSERT_EQ(plugin.InitiateStop(), 0u);
  EXPECT_TRUE(service.WaitFor("PluginStopped"));
}

// The upstream answers once, with a TTL the cache holds for no time, then falls silent: the second client
// (and a third asking meanwhile) gets the expired answer (TTL 30, Extended DNS Error "Stale Answer") only
// when the profile serves stale ones.
class DnsProtectServeStale : public DnsProtectPlugin, public ::testing::WithParamInterface<bool> {};

TEST_P(DnsProtectServeStale, OnlyWhenEveryUpstreamFailedAndTheProfileSaysSo) {
  const bool on = GetParam();
  test::TestResolver once(kit::Scripted([calls = 0](const std::string& q) mutable {
    return ++calls == 1 ? kit::Reply(q, kRcodeNoError, kit::ARecord(1), 1) : "";
  }));
  timeout = R"(,"queryTimeoutMs":300)";
  upstreams = On({once.port()});
  StartWith(std::string(R"(,"cache":{"minTtl":0,"maxTtl":0,"serveStale":)") + (on ? "true" : "false") + "}");
  const kit::Ask ask = kit::Shaped([](kit::Ask& a) { a.edns = true; });
  // One after the other: the second must not share the first's upstream query.
  auto answer = [&](u32 context) {
    Send(context, kit::Make(ask));
    return AnswerTo(context);
  };
  EXPECT_EQ(Rcode(answer(1)), kRcodeNoError);
  // Identical questions in flight, one spelt otherwise, share one upstream query.
  Send(3, kit::Make(kit::Shaped([](kit::Ask& a) { a.labels[0] = "WWW", a.edns = true; })));
  const std::string second = answer(2);
  EXPECT_EQ(Rcode(second), on ? kRcodeNoError : kRcodeServFail);
  EXPECT_EQ(Rcode(AnswerTo(3)), Rcode(second));
  EXPECT_EQ(kit::OptOf(second).ede, on ? kEdeStaleAnswer : kEdeNoReachableAuthority);
  Question q;
  ASSERT_TRUE(ParseQuestion(second, q));
  if (on) {
    EXPECT_EQ(second.substr(q.end + 6, 4), std::string("\0\0\0\x1e", 4));  // TTL 30
  }
  EXPECT_EQ(once.Asked("www.example"), 2);
}
INSTANTIATE_TEST_SUITE_P(OffAndOn, DnsProtectServeStale, ::testing::Bool());

// With the TLS upstream gone, strict use never goes to the plain one and, nobody else being allowed, reports
// "open"; opportunistic use does, and stops claiming "encrypted" with that answer. Both without waiting for
// the next health check (an hour away here).
class DnsProtectTlsProfile : public DnsProtectPlugin, public ::testing::WithParamInterface<bool> {};

TEST_P(DnsProtectTlsProfile, DecidesOnClearTextAndTheStateFollowsAtOnce) {
  const bool strict = GetParam();
  test::TestPki pki(dir);
  auto tls = std::make_unique<test::TestResolver>(pki.TlsServer("resolver.test"));
  test::TestResolver plain;
  upstreams = R"([{"address":"127.0.0.1:)" + std::to_string(tls->port()) +
              R"(","transport":"tls","tlsName":"resolver.test","caFile":")" + pki.caFile() +
              R"("},{"address":"127.0.0.1:)" + std::to_string(plain.port()) + R"("}])";
  healthCheckMs = 3600000;
  StartWith(std::string(R"(,"tlsProfile":")") + (strict ? "strict" : "opportunistic") + "\"");
  ASSERT_TRUE(StateWithin("encrypted"));
  tls.reset();
  Ask(1, "www.example");
  EXPECT_EQ(Rcode(AnswerTo(1)), strict ? kRcodeServFail : kRcodeNoError);
  EXPECT_TRUE(StateWithin(strict ? "open" : "protected"));
  EXPECT_EQ(plain.Asked("www.example"), strict ? 0 : 1);
}
INSTANTIATE_TEST_SUITE_P(OpportunisticAndStrict, DnsProtectTlsProfile, ::testing::Bool());

}  // namespace
}  // namespace hxt::dnsprotect
