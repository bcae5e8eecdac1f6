// The DNS-protection plug-in's parts: the profile, the lists, the cache, the upstreams (plain, truncated,
// silent, TLS), and the plug-in object itself driven through its interface as the service drives it.
#include <gtest/gtest.h>

#include <array>
#include <future>
#include <map>
#include <set>
#include <tuple>

#include "answercache.h"
#include "blocklog.h"
#include "domainpolicy.h"
#include "pluginkit.h"
#include "profile.h"
#include "udpsockets.h"
#include "upstreampool.h"

namespace hxt::dnsprotect {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::udp;
using test::ResolverOptions;
using test::TestResolver;

std::string Query(const std::string& name, std::uint16_t type = kTypeA) {
  return BuildQuery(name, type, 0x1234);
}

// ---- profile ---------------------------------------------------------------

TEST(DnsProtectProfile, RefusesWhatItCannotUseNamingTheMemberAndReason) {
  test::TestRoot dir;
  const std::string up = R"({"address":"127.0.0.1:5300"})";
  const std::string head = R"({"organization":"Org","dns":{"upstreams":[)" + up;
  const std::pair<std::string, const char*> cases[] = {
      // the document, the start of its error
      {"[1,2]", "(document): expected an object"},
      {"{", "(document): not JSON"},
      {R"({"dns":{"upstreams":[)" + up + "]}}", "organization: missing"},
      {R"({"organization":"Org"})", "dns: missing"},
      {R"({"organization":"Org","dns":{"upstreams":[]}})", "dns.upstreams: expected a non-empty array"},
      {R"({"organization":"Org","dns":{"upstreams":[{"address":"resolver:53"}]}})",
       "dns.upstreams[0].address: expected an IP address"},
      {head + R"(,{"address":"127.0.0.1:99999"}]}})", "dns.upstreams[1].address"},
      {head + R"(,{"address":"::1","transport":"quic"}]}})", "dns.upstreams[1].transport: expected"},
      {head + R"(,{"address":"::1","tlsName":"x"}]}})", "dns.upstreams[1]: tlsName and caFile need"},
      {head + R"(,{"address":"::1","transport":"tls","caFile":"none.pem"}]}})",
       "dns.upstreams[1].caFile: cannot read"},
      {head + R"(],"blockLists":["missing.txt"]}})", "dns.blockLists: cannot read"},
      {head + R"(],"blockLists":"list.txt"}})", "dns.blockLists: expected an array"},
      {head + R"(],"blockResponse":"sinkhole"}})", "dns.blockResponse: expected"},
      {head + R"(],"blockTtl":-1}})", "dns.blockTtl: expected a whole number"},
      {head + R"(],"queryTimeoutMs":0}})", "dns.queryTimeoutMs: out of range"},
      {head + R"(],"localDomains":["corp.example","a..b"]}})", "dns.localDomains[1]: not a domain name"},
      {head + R"(],"tlsProfile":"strict"}})", "dns.tlsProfile: \"strict\" needs an upstream"},
      {head + R"(],"tlsProfile":"sometimes"}})", "dns.tlsProfile: expected"},
      {head + R"(],"standDownOnTrustedNetwork":"yes"}})",
       "dns.standDownOnTrustedNetwork: expected true or false"},
      {head + R"(],"blockLog":{"maxBytes":"big"}}})", "dns.blockLog.maxBytes: expected a whole number"},
      {head + R"(],"cache":{"minTtl":60,"maxTtl":10}}})", "dns.cache.maxTtl: smaller than"},
      {head + R"(],"canary":{"name":"canary.example","a":["2001:db8::1"]}}})", "dns.canary.a: expected IPv4"},
      {head + R"(],"canary":{"name":"canary.example"}}})", "dns.canary: needs"},
      {head + R"(],"portal":{"checkUrl":"https://check.example/"}}})",
       "dns.portal.checkUrl: expected an http"},
      {head + R"(],"portal":{"resolvers":["gateway"]}}})", "dns.portal.resolvers[0]: expected an IP"},
      {head + R"(]},"swg":{"enabled":true}})", "swg.proxy: missing"},
      {head + R"(]},"updates":{}})", "updates: expected an object"}};
  for (const auto& [json, expected] : cases) {
    Profile profile;
    std::string error;
    EXPECT_FALSE(ParseProfile(json, dir.path(), profile, error)) << json;
    EXPECT_EQ(error.rfind(expected, 0), 0u) << json << "\n -> " << error;
  }
}

// ---- lists -----------------------------------------------------------------

// Names are label sequences: "x\\.ads" is one label, not the listed name.
Verdict Check(const DomainPolicy& policy, const std::string& text) {
  std::string labels;
  EXPECT_TRUE(text.empty() || TextToLabels(text, labels)) << text;
  return policy.Check(labels).verdict;
}

TEST(DnsProtectPolicy, BlocksListedNamesAndTheirSubdomainsUnlessAllowedAndReloadsWholeLists) {
  test::TestRoot dir;
  kit::CapturedLog log;
  dir.WriteFile("hosts",
                "# hosts format\n0.0.0.0 ads.example tracker.example # trailing\n127.0.0.1 localhost\n");
  dir.WriteFile("plain",
                "Malware.Example.\n\n  phish.example  \n*.wild.example\n||filter.example^\n! a comment\n"
                "[Adblock Plus 2.0]\nbad..example\n||opt.example^$third-party\n" +
                    std::string(64, 'x') + ".example");  // no final line feed either
  CPolicyHolder holder({dir.path() + "/hosts", dir.path() + "/plain"}, {"good.ads.example"});
  std::string error;
  ASSERT_TRUE(holder.Load(error)) << error;
  // "x\\.ads.example" is the label "x.ads" under example.
  const std::pair<Verdict, std::vector<const char*>> cases[] = {
      {Verdict::Blocked,
       {"ads.example", "x.y.ads.example", "tracker.example", "malware.example", "phish.example",
        "a.wild.example", "filter.example", "a.filter.example"}},
      {Verdict::Allowed, {"good.ads.example", "a.good.ads.example"}},
      {Verdict::Pass,
       {"badads.example", "example", "localhost", "", "x\\.ads.example", "ads\\.example", "wild.example",
        "opt.example"}}};
  auto policy = holder.Current();
  EXPECT_EQ(policy->blocked.size(), 5u);
  for (const auto& [verdict, names] : cases)
    for (const char* name : names) EXPECT_EQ(Check(*policy, name), verdict) << name;
  for (const char* skipped :
       {":8: skipped \"bad..example\"", ":9: skipped \"||opt.example^$third-party\"", ":10: skipped \"xxxx"})
    EXPECT_TRUE(log.Has(skipped)) << skipped;
  // A changed list is reloaded as a whole; the old one stays when that fails.
  const std::string list = dir.path() + "/list";
  dir.WriteFile("list", "old.example\n");
  CPolicyHolder reloaded({list}, {});
  ASSERT_TRUE(reloaded.Load(error));
  auto before = reloaded.Current();
  EXPECT_FALSE(reloaded.ReloadIfChanged());

  dir.WriteFile("list", "new.example\nnewer.example\n");
  EXPECT_TRUE(reloaded.ReloadIfChanged());
  EXPECT_EQ(Check(*reloaded.Current(), "new.example"), Verdict::Blocked);
  EXPECT_EQ(Check(*reloaded.Current(), "old.example"), Verdict::Pass);
  EXPECT_EQ(Check(*before, "old.example"), Verdict::Blocked);  // a reader's snapshot stays whole

  ASSERT_EQ(std::remove(list.c_str()), 0);
  EXPECT_FALSE(reloaded.ReloadIfChanged());
  EXPECT_TRUE(log.Has("block list reload failed, keeping the previous lists"));
  EXPECT_EQ(Check(*reloaded.Current(), "newer.example"), Verdict::Blocked);
}

// ---- answers and cache -----------------------------------------------------

std::string UpstreamAnswer(const std::string& query, std::uint32_t ttl) {
  std::string out = kit::Reply(query, kRcodeNoError, kit::ARecord(7), 1);
  for (int i = 0; i < 4; ++i) out[out.size() - 10 + i] = static_cast<char>(ttl >> (24 - 8 * i));
  return out;
}

std::uint32_t FirstTtl(const std::string& answer) {
  const std::size_t end = kit::QuestionOf(answer).end;
  std::uint32_t ttl = 0;
  for (int i = 0; i < 4; ++i) ttl = (ttl << 8) | static_cast<unsigned char>(answer[end + 6 + i]);
  return ttl;
}

TEST(DnsProtectAnswers, BlockedNamesGetTheConfiguredAnswerWithTheListedZonesSoa) {
  const struct {
    std::uint16_t type;
    std::string address;
    std::uint8_t rcode;
    int answers, authorities;
  } cases[] = {{kTypeA, "", kRcodeNxDomain, 0, 1},
               {kTypeA, std::string(4, '\0'), kRcodeNoError, 1, 0},
               {kTypeAaaa, std::string(4, '\0'), kRcodeNoError, 0, 1},
               {kTypeAaaa, std::string(16, '\0'), kRcodeNoError, 1, 0},
               {kTypeNs, std::string(16, '\0'), kRcodeNoError, 0, 1}};
  for (const auto& c : cases) {
    std::string query = Query("x.Ads.Example", c.type);
    Question q;
    ASSERT_TRUE(ParseQuestion(query, q));
    EXPECT_EQ(q.name, "x.ads.example");
    const std::size_t apex = 2;  // "ads.example", the listed name
    std::string answer = BuildBlockedAnswer(query, q, apex, c.address, 42);
    const std::size_t owner = (answer[q.end] & 0x3f) << 8 | static_cast<unsigned char>(answer[q.end + 1]);
    // id, RCODE, answers, authorities, the cached TTL, the authority record's owner: the listed name
    EXPECT_EQ(std::make_tuple(MessageId(answer), Rcode(answer), int{answer[7]}, int{answer[9]},
                              CacheInfoOf(answer).ttl, c.authorities ? owner : 0),
              std::make_tuple(0x1234, c.rcode, c.answers, c.authorities, 42u,
                              c.authorities ? kHeaderSize + apex : 0))
        << c.type;
  }
}

// Answers stay for their TTL within the cache's bounds; expired ones stay only when the profile serves stale
// ones, for a day past their TTL, and only LookupStale gives them, with TTLs of 30.
TEST(DnsProtectCache, HonoursTtlsWithinBoundsAndServesStaleOnlyWhenOn) {
  const auto t0 = CAnswerCache::Clock::time_point{} + 1000s;
  const std::string query = Query("www.example");
  ClientQuery q;
  ASSERT_EQ(ParseQuery(query, q), QueryVerdict::Answer);
  const std::string positive = UpstreamAnswer(query, 60);
  const std::string negative = BuildBlockedAnswer(query, q.question, 0, "", 30);
  const std::string huge = UpstreamAnswer(query, 999999);
  constexpr std::uint32_t kStale = CAnswerCache::kStaleTtl;
  const struct {
    std::string answer;
    bool serveStale;
    std::chrono::seconds age;
    bool fresh, stale;
    std::uint32_t ttl;  // of the first record, on a hit
  } cases[] = {{positive, false, 20s, true, false, 40},
               {positive, false, 60s, false, false, 0},
               {UpstreamAnswer(query, 1), false, 4s, true, false, 0},  // kept for the floor of 5 s
               {huge, false, 86399s, true, false, 999999 - 86399},     // the ceiling bounds the stay
               {huge, false, 86400s, false, false, 0},
               {negative, false, 29s, true, false, 1},  // negative, for the SOA's TTL
               {negative, false, 30s, false, false, 0},
               {BuildErrorAnswer(query, q.question, kRcodeNxDomain), false, 0s, false, false, 0},  // no SOA
               {BuildErrorAnswer(query, q.question, kRcodeServFail), false, 0s, false, false, 0},
               {positive, true, 59s, true, false, 1},  // not stale yet
               {positive, true, 61s, false, true, kStale},
               {negative, true, 31s, false, true, kStale},
               {positive, true, 60s + 86399s, false, true, kStale},  // the last second of the window
               {positive, true, 60s + 86400s, false, false, 0}};
  CacheLimits stale;
  stale.maxStale = CAnswerCache::kMaxStale;
  for (const auto& c : cases) {
    CAnswerCache cache(c.serveStale ? stale : CacheLimits{});
    cache.Store(CacheKey(q), c.answer, t0);
    std::string asked = BuildQuery("WWW.example", kTypeA, 0x4321);
    ClientQuery askedQuery;
    ParseQuery(asked, askedQuery);
    std::string hit;
    ASSERT_EQ(cache.Lookup(CacheKey(askedQuery), hit, t0 + c.age), c.fresh) << c.age.count();
    EXPECT_EQ(cache.LookupStale(CacheKey(askedQuery), hit, t0 + c.age), c.stale) << c.age.count();
    EXPECT_EQ(cache.entries(), c.fresh || c.stale ? 1u : 0u) << c.age.count();
    if (!c.fresh && !c.stale) continue;
    hit = FinishAnswer(hit, asked, askedQuery, 512);
    EXPECT_EQ(MessageId(hit), 0x4321);
    EXPECT_EQ(hit.substr(12, 5), asked.substr(12, 5));  // the asker's spelling
    EXPECT_EQ(FirstTtl(hit), c.ttl) << c.age.count();
  }
  // TTL 0 is for the transaction in progress: without a floor it is not kept.
  CacheLimits noFloor;
  noFloor.minTtl = 0;
  CAnswerCache cache(noFloor);
  cache.Store(CacheKey(q), UpstreamAnswer(query, 0), t0);
  EXPECT_EQ(cache.entries(), 0u);
  // Entries past the stale window leave when others come, looked up or not.
  CAnswerCache old(stale);
  old.Store("old", positive, t0);
  old.Store("new", positive, t0 + 60s + 86400s);
  EXPECT_EQ(old.entries(), 1u);
  // Beyond its bounds the least recently used leaves.
  CAnswerCache lru(CacheLimits{2});  // at most two entries
  std::string out;
  lru.Store("a", positive);
  lru.Store("b", positive);
  EXPECT_TRUE(lru.Lookup("a", out));  // a is now the most recent
  lru.Store("c", positive);
  EXPECT_EQ(std::make_tuple(lru.entries(), lru.Lookup("a", out), lru.Lookup("b", out)),
            std::make_tuple(std::size_t{2}, true, false));
  CAnswerCache small(CacheLimits{2, 80});  // a byte bound smaller than two entries (46 bytes each) keeps one
  small.Store("a", positive);
  small.Store("b", positive);
  EXPECT_EQ(small.entries(), 1u);
  EXPECT_LE(small.bytes(), 80u);
}

TEST(DnsProtectBlockLog, RotatesBySizeKeepingOneOlderFile) {
  test::TestRoot dir;
  CBlockLog log(dir.path() + "/blocked.jsonl", 150);  // three lines of 50 bytes
  for (int i = 0; i < 7; ++i) log.Record("ads" + std::to_string(i) + ".example\"", kTypeA, 1000 + i);
  std::ifstream current(dir.path() + "/blocked.jsonl"), older(dir.path() + "/blocked.jsonl.1");
  std::string last, previous;
  for (std::string line; std::getline(current, line);) last = line;
  std::getline(older, previous);
  EXPECT_EQ(last, R"({"time_ms":1006,"name":"ads6.example\"","type":1})");
  EXPECT_EQ(previous, R"({"time_ms":1003,"name":"ads3.example\"","type":1})");
}

// ---- upstreams -------------------------------------------------------------

// A pool on an I/O thread of the test's own, and a blocking Resolve.
struct PoolRunner {
  explicit PoolRunner(std::vector<UpstreamConfig> upstreams, std::chrono::milliseconds idle = 30s)
      : pool(thread.io(), std::move(upstreams), idle) {}
  ~PoolRunner() {
    test::OnThread(thread.io(), [&] { pool.Shutdown(); });
  }
  std::pair<std::uint32_t, std::string> Resolve(const std::string& query,
                                                std::chrono::milliseconds timeout = 2s) {
    std::promise<std::pair<std::uint32_t, std::string>> result;
    pool.Resolve(query, Clock::now() + timeout,
                 [&](std::uint32_t e, std::string a) { result.set_value(std::make_pair(e, a)); });
    return result.get_future().get();
  }
  test::IoThread thread;
  CUpstreamPool pool;
};

UpstreamConfig Plain(std::uint16_t port) {
  UpstreamConfig c;
  c.address = boost::asio::ip::make_address("127.0.0.1");
  c.port = port;
  return c;
}

UpstreamConfig Tls(std::uint16_t port, const std::string& name, const std::string& caFile) {
  UpstreamConfig c = Plain(port);
  c.tls = true, c.tlsName = name, c.caFile = caFile;
  return c;
}

ResolverOptions Silent(ResolverOptions options = {}) {
  options.silent = true;
  return options;
}

// Upstreams on loopback, the TLS ones with certificates of the test's own.
class DnsProtectUpstreams : public ::testing::Test {
 protected:
  test::TestRoot dir;
  kit::CapturedLog log;
  test::TestPki pki{dir.path()};
};

TEST_F(DnsProtectUpstreams, PlainTruncatedSilentAndFailOver) {
  TestResolver answering(ResolverOptions{}), silent(Silent());
  ResolverOptions truncating;
  truncating.truncateUdp = true;
  TestResolver truncated(truncating);
  TestResolver servfail(kit::Scripted([](const std::string& q) { return kit::Reply(q, kRcodeServFail); }));
  TestResolver refusing(kit::Scripted([](const std::string& q) { return kit::Reply(q, kRcodeRefused); }));
  TestResolver otherQuestion(kit::Scripted([](const std::string& q) {
    std::string wrong = kit::Reply(q, kRcodeNoError);
    wrong[kHeaderSize + 1] = 'x';
    return wrong;
  }));
  auto at = [](const TestResolver& resolver) { return Plain(resolver.port()); };
  const struct {
    const char* what;
    std::vector<UpstreamConfig> upstreams;
    std::uint32_t error;
    std::uint8_t rcode;
  } cases[] = {
      {"udp", {at(answering)}, 0, kRcodeNoError},
      {"tcp after truncation", {at(truncated)}, 0, kRcodeNoError},
      {"silent then answering", {at(silent), at(answering)}, 0, kRcodeNoError},
      {"silent only: time-out", {at(silent)}, kErrorTimeout, 0},
      {"SERVFAIL then answering", {at(servfail), at(answering)}, 0, kRcodeNoError},
      {"REFUSED then answering", {at(refusing), at(answering)}, 0, kRcodeNoError},
      {"another question then answering", {at(otherQuestion), at(answering)}, 0, kRcodeNoError},
      {"REFUSED then SERVFAIL: the last word passed on", {at(refusing), at(servfail)}, 0, kRcodeServFail}};
  for (const auto& c : cases) {
    PoolRunner runner(c.upstreams);
    auto [error, answer] = runner.Resolve(Query("www.example"), 400ms);
    EXPECT_EQ(error, c.error) << c.what;
    if (error != 0) continue;
    EXPECT_EQ(Rcode(answer), c.rcode) << c.what;
    if (c.rcode != kRcodeNoError) continue;
    EXPECT_EQ(MessageId(answer), 0x1234) << c.what;
    EXPECT_EQ(test::AnswerAddress(test::Bytes(answer.begin(), answer.end())), "192.0.2.1") << c.what;
  }
  EXPECT_EQ(truncated.tcpQueries(), 1);
  PoolRunner failover({at(silent), at(answering)});
  failover.Resolve(Query("www.example"), 400ms);
  EXPECT_TRUE(failover.pool.AnyHealthy());
  EXPECT_FALSE(failover.pool.PreferredIsTls());
}

// The shared sockets, a server on loopback, and the answers taken.
class SharedUdpSockets : public ::testing::Test {
 protected:
  // Sends a query for `name`; the first answer taken stops the I/O context.
  std::uint64_t Ask(const std::string& name) {
    return sockets.Send(server.local_endpoint(), Query(name), [this](bool ok, std::string answer) {
      if (ok) answers.push_back(answer);
      io.stop();
    });
  }

  asio::io_context io;
  CUdpSockets sockets{io};
  udp::socket server{io, {asio::ip::make_address("127.0.0.1"), 0}};
  std::vector<std::string> answers;
};

// The shared sockets take an answer only from the server asked, with the id and the question the query was
// sent with, and not after a Cancel. In each case an impostor arrives first, then the answer that must be
// taken; only the one from another address, right in all else, is reported as foreign.
TEST_F(SharedUdpSockets, MatchAnswersByServerIdAndQuestion) {
  udp::socket other(io, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  // The next query the server reads from `client` (any client when unset), made an answer.
  auto answerOf = [&](udp::endpoint& client, bool anyClient) {
    std::array<char, 512> buffer;
    for (udp::endpoint from;;) {
      std::string query(buffer.data(), server.receive_from(asio::buffer(buffer), from));
      if (!anyClient && from != client) continue;
      client = from;
      query[2] = static_cast<char>(0x81);
      return query;
    }
  };
  std::vector<std::uint16_t> foreign;
  sockets.SetForeignAnswerListener([&](std::uint16_t type) { foreign.push_back(type); });
  std::set<std::uint16_t> ids;
  for (const std::string what : {"another server", "another id", "another question", "cancelled"}) {
    answers.clear(), foreign.clear();
    const std::uint64_t ticket = Ask("www.example");
    ASSERT_NE(ticket, 0u) << what;
    udp::endpoint client;
    std::string impostor = answerOf(client, true);
    ids.insert(MessageId(impostor));
    std::string genuine = impostor;
    genuine[3] = 0x01;  // told apart from the impostor
    if (what == "another id") SetMessageId(impostor, static_cast<std::uint16_t>(MessageId(impostor) + 1));
    if (what == "another question") impostor[kHeaderSize + 1] = 'x';
    if (what == "cancelled") {
      sockets.Cancel(ticket);
      impostor = genuine;
      // A later query on the same socket: its answer arrives after the dropped one.
      for (std::size_t i = 0; i < CUdpSockets::kSocketsPerFamily; ++i) Ask("later.example");
      genuine = answerOf(client, false);
    }
    (what == "another server" ? other : server).send_to(asio::buffer(impostor), client);
    server.send_to(asio::buffer(genuine), client);
    io.restart();
    io.run_for(10s);  // a deadline: stopped by the first answer taken
    io.restart();
    io.poll();  // reports still posted
    EXPECT_EQ(answers, std::vector<std::string>{genuine}) << what;
    EXPECT_EQ(foreign, std::vector<std::uint16_t>(what == "another server" ? 1 : 0, kTypeA)) << what;
  }
  EXPECT_GT(ids.size(), 1u) << "ids are drawn at random";
}

// A socket is retired after its share of queries (a few): later queries leave from other ports, while an
// answer to a query still in flight on the retired one is taken.
TEST_F(SharedUdpSockets, MoveToNewPorts) {
  std::map<unsigned short, unsigned> ports;  // queries sent from each
  std::array<char, 512> buffer;
  udp::endpoint first;
  std::string firstQuery;
  constexpr unsigned kBatch = 8;  // queries a forger may aim at one port
  for (unsigned i = 0; i <= 2 * kBatch * CUdpSockets::kSocketsPerFamily; ++i) {
    ASSERT_NE(Ask("www.example"), 0u);
    udp::endpoint from;
    std::string query(buffer.data(), server.receive_from(asio::buffer(buffer), from));
    ++ports[from.port()];
    if (i == 0) std::tie(first, firstQuery) = std::make_pair(from, query);
  }
  EXPECT_GT(ports.size(), CUdpSockets::kSocketsPerFamily);
  for (const auto& [port, queries] : ports) EXPECT_LE(queries, kBatch) << port;
  firstQuery[2] = static_cast<char>(0x81);
  server.send_to(asio::buffer(firstQuery), first);
  io.run_for(10s);  // a deadline: stopped by the first answer taken
  EXPECT_EQ(answers, std::vector<std::string>{firstQuery});
}

// Queries sent while held leave at Release, except one cancelled meanwhile. Then queries answered one after
// another over many renewals: each new port's socket (made from a closed one's kept slot) takes its answers,
// and the ports keep changing.
TEST_F(SharedUdpSockets, RenewedPortsKeepTakingAnswers) {
  constexpr unsigned kHeld = 2 * CUdpSockets::kSocketsPerFamily + 1;
  sockets.Hold();
  std::vector<std::uint64_t> tickets;
  for (unsigned i = 0; i < kHeld; ++i) tickets.push_back(Ask("n" + std::to_string(i) + ".example"));
  server.non_blocking(true);
  std::array<char, 512> buffer;
  udp::endpoint from;
  boost::system::error_code e;
  server.receive_from(asio::buffer(buffer), from, 0, e);
  EXPECT_EQ(e, asio::error::would_block) << "nothing leaves while held";
  sockets.Cancel(tickets[3]);
  sockets.Release();
  server.non_blocking(false);
  std::set<unsigned short> ports;
  std::set<std::string> asked;
  constexpr unsigned kQueries = kHeld - 1 + 6 * CUdpSockets::kQueriesPerPort * CUdpSockets::kSocketsPerFamily;
  for (unsigned i = 0; i < kQueries; ++i) {
    if (i >= kHeld - 1) {
      ASSERT_NE(Ask("www.example"), 0u);
    }
    std::string query(buffer.data(), server.receive_from(asio::buffer(buffer), from));
    ports.insert(from.port());
    asked.insert(kit::QuestionOf(query).name);
    query[2] = static_cast<char>(0x81);
    server.send_to(asio::buffer(query), from);
    io.restart();
    io.run_for(10s);  // a deadline: stopped by the answer taken
    ASSERT_EQ(answers.size(), i + 1) << "query " << i;
  }
  EXPECT_EQ(asked.count("n3.example"), 0u);
  EXPECT_EQ(asked.size(), kHeld);  // the held ones but one, and www.example
  // Six renewals of each socket; the system may draw a closed port again.
  EXPECT_GE(ports.size(), 4 * CUdpSockets::kSocketsPerFamily);
}

TEST_F(DnsProtectUpstreams, TlsVerifiesTheCertificateAndItsName) {
  const ResolverOptions good = pki.TlsServer("resolver.test"), rogue = pki.TlsServer("resolver.test", false);
  TestResolver goodServer(good), rogueServer(rogue), muteServer(Silent(good));
  const struct {
    const char* what;
    UpstreamConfig upstream;
    std::uint32_t error;
  } cases[] = {{"trusted", Tls(goodServer.port(), "resolver.test", pki.caFile()), 0},
               {"wrong name", Tls(goodServer.port(), "other.test", pki.caFile()), kErrorNoUpstream},
               {"untrusted issuer", Tls(rogueServer.port(), "resolver.test", pki.caFile()), kErrorNoUpstream},
               {"system store", Tls(goodServer.port(), "resolver.test", ""), kErrorNoUpstream},
               {"no answer", Tls(muteServer.port(), "resolver.test", pki.caFile()), kErrorTimeout}};
  for (const auto& c : cases) {
    PoolRunner runner({c.upstream});
    EXPECT_EQ(runner.Resolve(Query("www.example"), 500ms).first, c.error) << c.what;
    EXPECT_EQ(runner.pool.PreferredIsTls(), c.error == 0) << c.what;
  }
  EXPECT_TRUE(log.Has("certificate verify failed"));
  // A connection that let a query time out is not used again.
  PoolRunner runner({Tls(muteServer.port(), "resolver.test", pki.caFile())});
  runner.Resolve(Query("www.example"), 300ms);
  runner.Resolve(Query("www.example"), 300ms);
  EXPECT_EQ(runner.pool.TlsConnects(), 2u);
  EXPECT_EQ(goodServer.udpQueries() + rogueServer.udpQueries(), 0);  // never falls back to plain DNS
}

// A reconnection offers the upstream's last session; a server that no longer knows it (restarted, new ticket
// keys) gets a full handshake, and its own session is resumed from then on.
TEST_F(DnsProtectUpstreams, TlsPipelinesOnOneConnectionClosesWhenIdleAndReconnects) {
  ResolverOptions options = pki.TlsServer("resolver.test");
  options.answerInBatchesOf = 3;  // answers come back in reverse order
  auto server = std::make_unique<TestResolver>(options);
  options.port = server->port();
  PoolRunner runner({Tls(options.port, "resolver.test", pki.caFile())}, 100ms);

  // Three queries at once; their ids, in the order the answers came.
  auto resolveThree = [&] {
    std::array<std::promise<std::uint16_t>, 3> came;
    int count = 0;  // on the pool's thread alone
    for (std::uint16_t id : {11, 22, 33}) {
      runner.pool.Resolve(
          BuildQuery("n" + std::to_string(id) + ".example", kTypeA, id), Clock::now() + 5s,
          [&](std::uint32_t e, std::string a) { came[count++].set_value(e == 0 ? MessageId(a) : 0); });
    }
    std::vector<std::uint16_t> ids;
    for (auto& answer : came) ids.push_back(answer.get_future().get());
    return ids;
  };
  const std::vector<std::uint16_t> reversed{33, 22, 11};
  EXPECT_EQ(resolveThree(), reversed);
  EXPECT_EQ(server->connections(), 1);
  ASSERT_TRUE(log.Has("closing idle TLS connection"));
  EXPECT_EQ(resolveThree(), reversed);
  EXPECT_EQ(server->connections(), 2);
  EXPECT_EQ(runner.pool.TlsConnects(), 2u);
  EXPECT_EQ(runner.pool.TlsResumed(), 1u);
  server.reset();
  server = std::make_unique<TestResolver>(options);
  for (std::size_t resumed : {1u, 2u}) {  // a full handshake, then the new session resumed
    test::OnThread(runner.thread.io(), [&] { runner.pool.ForgetNetwork(); });
    EXPECT_EQ(resolveThree(), reversed) << resumed;
    EXPECT_EQ(runner.pool.TlsResumed(), resumed);
  }
  EXPECT_EQ(runner.pool.TlsConnects(), 4u);
}

// A TLS answer slower than the query's share for its upstream is still taken within the whole deadline, on
// the same connection: here the server holds the first answer until a second query comes, which the test
// sends only once the next upstream has been asked.
TEST_F(DnsProtectUpstreams, TlsAnswerPastItsShareIsTakenWithinTheDeadline) {
  ResolverOptions options = pki.TlsServer("resolver.test");
  options.answerInBatchesOf = 2;
  TestResolver server(options), silent(Silent());
  PoolRunner runner({Tls(server.port(), "resolver.test", pki.caFile()), Plain(silent.port())});
  std::promise<std::pair<std::uint32_t, std::string>> first;
  runner.pool.Resolve(BuildQuery("slow.example", kTypeA, 7), Clock::now() + 2s,
                      [&](std::uint32_t e, std::string a) { first.set_value(std::make_pair(e, a)); });
  ASSERT_TRUE(test::WaitFor([&] { return silent.udpQueries() == 1; }, 10s));
  runner.Resolve(BuildQuery("other.example", kTypeA, 8), 10s);
  auto [error, answer] = first.get_future().get();
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(MessageId(answer), 7);
  EXPECT_EQ(runner.pool.TlsConnects(), 1u);
  EXPECT_TRUE(runner.pool.PreferredIsTls());
}

}  // namespace
}  // namespace hxt::dnsprotect
