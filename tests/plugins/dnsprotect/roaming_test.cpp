// The plug-in on the move: a network change re-probes at once and forgets
// the old network, and a network with DNS64 is reported as such.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>

#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include "captiveportal.h"
#include "dns64.h"
#include "netwatch.h"
#include "pluginkit.h"

namespace hxt::dnsprotect {
namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using kit::Reply;

std::string AaaaRecord(const std::string& address) {
  const auto bytes = boost::asio::ip::make_address_v6(address).to_bytes();
  return test::dnswire::Record(kTypeAaaa, std::string(bytes.begin(), bytes.end()));
}

TEST(CaptivePortal, TheCheckAnswerTellsWhetherAPortalHoldsTheNetwork) {
  const struct {
    unsigned status;
    std::string location, body;
    bool portal;
    std::string loginHost;
  } cases[] = {{200, "", "OK", false, ""},
               {204, "", "", true, ""},  // not the body asked for
               {302, "https://login.portal.test:8443/welcome?from=x", "", true, "login.portal.test"},
               {307, "http://10.0.0.1/", "", true, "10.0.0.1"},
               {301, "", "", true, ""},
               {200, "", "<html>sign in</html>", true, ""}};
  for (const auto& c : cases) {
    const PortalVerdict verdict = JudgeCheckAnswer(c.status, c.location, c.body, "OK");
    EXPECT_EQ(verdict.portal, c.portal) << c.status << " " << c.body;
    EXPECT_EQ(verdict.loginHost, c.loginHost) << c.location;
  }
  HttpUrl url;
  EXPECT_TRUE(ParseHttpUrl("http://check.example:8080/x?y", url));
  EXPECT_EQ(url.host + " " + std::to_string(url.port) + " " + url.target, "check.example 8080 /x?y");
  for (const char* bad :
       {"https://check.example/", "http://:80/", "http://a:0/", "http://u@a/", "http://a:9x/"})
    EXPECT_FALSE(ParseHttpUrl(bad, url)) << bad;
}

// A captive portal's web server on loopback: every request gets `answer`.
class PortalWeb {
 public:
  explicit PortalWeb(const char* address) : acceptor_(thread_.io(), {asio::ip::make_address(address), 0}) {
    accept();
  }
  ~PortalWeb() { thread_.Stop(); }  // no handler runs while the acceptor goes
  u16 port() const { return acceptor_.local_endpoint().port(); }
  std::atomic<const char*> answer{""};

  void accept() {
    acceptor_.async_accept([this](const boost::system::error_code& e, tcp::socket peer) {
      if (e) return;
      auto socket = std::make_shared<tcp::socket>(std::move(peer));
      auto request = std::make_shared<std::string>();
      asio::async_read_until(*socket, asio::dynamic_buffer(*request), "\r\n\r\n",
                             [this, socket, request](const boost::system::error_code& e, std::size_t) {
                               boost::system::error_code ignored;
                               if (!e) asio::write(*socket, asio::buffer(std::string(answer)), ignored);
                             });
      accept();
    });
  }

  test::IoThread thread_;
  tcp::acceptor acceptor_;
};

// Health checks minutes apart: only what the tests do makes the plug-in look again.
class Roaming : public kit::PluginTest {
 protected:
  Roaming() { healthCheckMs = 600000; }
};

// Then the upstream goes: a failed query alone must tell, the health check
// being ten minutes away; it comes back: only the network change re-probes.
TEST_F(Roaming, Dns64IsReportedTheNewNetworkIsAskedAfreshAndALostUpstreamShowsAtOnce) {
  test::ResolverOptions options = kit::Scripted([](const std::string& query) {
    const Question q = kit::QuestionOf(query);
    if (q.name == "gone.example") return BuildBlockedAnswer(query, q, 0, "", 60);
    if (q.type == kTypeAaaa) return Reply(query, kRcodeNoError, AaaaRecord("64:ff9b::c000:aa"), 1);
    return Reply(query, kRcodeNoError, kit::ARecord(1), 1);
  });
  auto upstream = std::make_unique<test::TestResolver>(options);
  options.port = upstream->port();
  upstreams = On({options.port});
  StartWith("");
  ASSERT_TRUE(StateWithin("protected_limited_dns64_detected", 0, 5s));
  std::vector<std::string> rdatas;
  ASSERT_TRUE(AnswerRdatas(Answer("ipv4only-name.example", kTypeAaaa), kTypeAaaa, rdatas));
  EXPECT_EQ(rdatas.size(), 1u) << "synthesized answers reach the client";

  EXPECT_EQ(Rcode(Answer("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(Rcode(Answer("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(upstream->Asked("gone.example"), 1) << "the negative answer is cached";
  std::size_t reports = service.Texts("ProtectionStateChanged").size();
  plugin.NetworkChanged("test");
  EXPECT_TRUE(StateWithin("protected_limited_dns64_detected", reports, 2s));
  EXPECT_EQ(Rcode(Answer("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(upstream->Asked("gone.example"), 2) << "negative answers of the old network are dropped";

  reports = service.Texts("ProtectionStateChanged").size();
  upstream.reset();
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Rcode(Answer("www.example", kTypeA)), kRcodeServFail);
  ASSERT_TRUE(StateWithin("open", reports, 1s));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 400ms + 1s);
  upstream = std::make_unique<test::TestResolver>(options);
  plugin.NetworkChanged("test");
  EXPECT_TRUE(StateWithin("protected_limited_dns64_detected", reports + 1, 2s));
}

// The canary name asked in clear text tells, per record type, whether the network answers plain DNS itself;
// so does an answer that comes from an address not asked.
struct InterferenceCase {
  unsigned char a;  // last byte of the A answer; 1 is the published one
  const char* aaaa;
  bool aaaaFromElsewhere;
  const char* state;
};
// Names the case in ctest's list by its data rather than by its bytes.
void PrintTo(const InterferenceCase& c, std::ostream* os) {
  *os << "A_" << int(c.a) << (c.aaaaFromElsewhere ? "_AAAA_from_elsewhere" : "") << "_" << c.state;
}
class RoamingInterference : public Roaming, public ::testing::WithParamInterface<InterferenceCase> {};

TEST_P(RoamingInterference, IsReportedPerRecordType) {
  const InterferenceCase c = GetParam();
  test::TestResolver upstream(kit::Scripted(
      [&](const std::string& query) {
        const Question q = kit::QuestionOf(query);
        if (q.type == kTypeAaaa) return Reply(query, kRcodeNoError, AaaaRecord(c.aaaa), 1);
        return Reply(query, kRcodeNoError, kit::ARecord(q.name == "canary.example" ? c.a : 1), 1);
      },
      [&](const std::string& query) {
        return c.aaaaFromElsewhere && kit::QuestionOf(query).type == kTypeAaaa;
      }));
  upstreams = On({upstream.port()});
  StartWith(R"(,"canary":{"name":"canary.example","a":["192.0.2.1"],"aaaa":["2001:db8::1"]})");
  EXPECT_TRUE(test::WaitFor([&] { return upstream.Asked("canary.example") == 2; }, 3s));
  EXPECT_TRUE(StateWithin(c.state, 0, 3s)) << c.state;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, RoamingInterference,
    ::testing::Values(InterferenceCase{1, "2001:db8::1", false, "protected"},
                      InterferenceCase{9, "2001:db8::1", false, "open_interference_detected_A"},
                      InterferenceCase{1, "2001:db8::9", false, "open_interference_detected_AAAA"},
                      InterferenceCase{9, "2001:db8::9", false, "open_interference_detected_A_and_AAAA"},
                      InterferenceCase{1, "2001:db8::1", true, "open_interference_detected_AAAA"}));

// Behind a portal only its names reach the network's resolver; once signed
// in, protection comes back without a restart.
// On a network without IPv4 the check host has only an AAAA record.
class RoamingPortal : public Roaming, public ::testing::WithParamInterface<bool> {};

TEST_P(RoamingPortal, IsScopedAndLetGoOfOnItsOwn) {
  const bool v6Only = GetParam();
  test::TestPki pki(dir);
  test::ResolverOptions tlsOptions = pki.TlsServer("resolver.test");
  tlsOptions.port = test::TestResolver().port();  // nobody there: the portal lets nothing out
  test::TestResolver portalDns(kit::Scripted([v6Only](const std::string& query) {
    if (!v6Only)
      return Reply(query, kRcodeNoError, test::dnswire::Record(kTypeA, std::string("\x7f\0\0\x01", 4)), 1);
    if (kit::QuestionOf(query).type == kTypeAaaa) return Reply(query, kRcodeNoError, AaaaRecord("::1"), 1);
    return Reply(query, kRcodeNoError);  // no A record
  }));
  PortalWeb web(v6Only ? "::1" : "127.0.0.1");
  web.answer =
      "HTTP/1.1 302 Found\r\nLocation: https://login.portal.test/welcome\r\nContent-Length: 0\r\n\r\n";
  upstreams = R"([{"address":"127.0.0.1:)" + std::to_string(tlsOptions.port) +
              R"(","transport":"tls","tlsName":"resolver.test","caFile":")" + pki.caFile() + R"("}])";
  StartWith(R"(,"portal":{"checkUrl":"http://check.portal.test:)" + std::to_string(web.port()) +
            R"(/check","resolvers":["127.0.0.1:)" + std::to_string(portalDns.port()) +
            R"("],"allow":["assets.portal-cdn.test"],"recheckMs":200})");
  ASSERT_TRUE(StateWithin("open_not_available", 0, 5s));
  EXPECT_NE(service.Texts("ChangeDnsRedirectionMode").back().find(R"("redirect":"true")"), std::string::npos);
  const std::pair<const char*, std::uint8_t> names[] = {{"login.portal.test", kRcodeNoError},
                                                        {"img.assets.portal-cdn.test", kRcodeNoError},
                                                        {"www.example", kRcodeRefused}};
  for (const auto& [name, rcode] : names) {
    EXPECT_EQ(Rcode(Answer(name, kTypeA)), rcode) << name;
    EXPECT_EQ(portalDns.Asked(name) > 0, rcode == kRcodeNoError) << name;
  }
  // Signed in: the check passes and the upstream answers again.
  const std::size_t reports = service.Texts("ProtectionStateChanged").size();
  test::TestResolver tls(tlsOptions);
  web.answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK";
  ASSERT_TRUE(StateWithin("encrypted", reports, 3s));
  EXPECT_EQ(Rcode(Answer("www.example", kTypeA)), kRcodeNoError);
  EXPECT_EQ(portalDns.Asked("www.example"), 0);
}
INSTANTIATE_TEST_SUITE_P(V4AndV6Only, RoamingPortal, ::testing::Bool());

// The test's thread, and so every thread it starts (the plug-in's, the servers'), in a namespace of its own
// until the test ends. Its loopback carries the addresses the "network" needs.
class RoamingNetns : public Roaming {
 protected:
  void SetUp() override {
    if (!made_) GTEST_SKIP() << "needs root to make a network namespace";
    for (const char* step :
         {"link set lo up", "addr add 198.18.53.1/32 dev lo", "addr add 198.18.53.2/32 dev lo"})
      ASSERT_EQ(Run(step), 0) << step;
    // Entered on this thread, and so on every thread started from it.
    home_ = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int fd = ::open(("/run/netns/" + netns_).c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    ASSERT_TRUE(home_ >= 0 && entered);
  }
  void TearDown() override {
    Roaming::TearDown();
    if (home_ >= 0) {
      EXPECT_EQ(::setns(home_, CLONE_NEWNET), 0);
      ::close(home_);
    }
  }
  ~RoamingNetns() override {
    if (made_) (void)std::system(("ip netns del " + netns_).c_str());
  }
  int Run(const std::string& command) { return std::system(("ip -n " + netns_ + " " + command).c_str()); }
  int Nft(const std::string& commands) {
    return std::system(("ip netns exec " + netns_ + " nft '" + commands + "'").c_str());
  }

  // Made with the fixture, removed after TearDown; not made without root.
  const std::string netns_ = "hxt-roam-" + std::to_string(::getpid());
  const bool made_ = ::geteuid() == 0 && std::system(("ip netns add " + netns_).c_str()) == 0;
  int home_ = -1;
};

// unbound with its dns64 module in front of a zone that has only A records for ipv4only.arpa, as the real
// one: the plug-in must see the synthesis. In the namespace, whatever else unbound might ask cannot leave.
TEST_F(RoamingNetns, Dns64OfARealResolverIsSeen) {
  constexpr const char* kUnbound = "/usr/sbin/unbound";
  if (::access(kUnbound, X_OK) != 0) GTEST_SKIP() << "unbound is not installed";
  std::ofstream(dir + "/ipv4only.zone")
      << "$ORIGIN ipv4only.arpa.\n@ 3600 IN SOA a. b. 1 3600 600 86400 60\n@ 3600 IN NS a.\n"
      << "@ 3600 IN A 192.0.0.170\n@ 3600 IN A 192.0.0.171\n";
  std::ofstream(dir + "/unbound.conf")
      << "server:\n  interface: 198.18.53.1@53\n  do-ip6: no\n  access-control: 0.0.0.0/0 allow\n"
      << "  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n  directory: \"" << dir << "\"\n"
      << "  pidfile: \"\"\n  use-syslog: no\n  logfile: \"\"\n  num-threads: 1\n"
      << "  module-config: \"dns64 iterator\"\n  dns64-prefix: 64:ff9b::/96\n"
      << "auth-zone:\n  name: \"ipv4only.arpa.\"\n  zonefile: \"" << dir << "/ipv4only.zone\"\n"
      << "  for-downstream: no\n  for-upstream: yes\n  fallback-enabled: no\n"
      << "remote-control:\n  control-enable: no\n";
  // Where AppArmor confines unbound to its system files, a copy runs
  // unconfined; started from this thread, it runs in the namespace.
  const std::string run =
      "cp -f " + std::string(kUnbound) + " '" + dir + "/unbound.bin' && cd '" + dir +
      "' && { ./unbound.bin -d -c unbound.conf >unbound.log 2>&1 & echo $! >unbound.pid; }";
  ASSERT_EQ(std::system(run.c_str()), 0);
  const std::shared_ptr<void> stop(
      nullptr, [&](void*) { (void)std::system(("kill $(cat '" + dir + "/unbound.pid')").c_str()); });
  auto log = [&] { return test::ReadFile(dir + "/unbound.log"); };
  if (!test::WaitFor([&] { return log().find("start of service") != std::string::npos; }, 10s))
    GTEST_SKIP() << "unbound cannot run here; its log:\n" << log();
  upstreams = R"([{"address":"198.18.53.1:53"}])";
  StartWith("");
  EXPECT_TRUE(StateWithin("protected_limited_dns64_detected", 0, 5s)) << log();
}

// The network sends port 53 to a resolver of its own and drops 853.
TEST_F(RoamingNetns, AnInterceptingNetworkIsReportedAsInterference) {
  test::TestPki pki(dir);
  test::ResolverOptions onTls = pki.TlsServer("resolver.test");
  onTls.loopback = "198.18.53.1";
  onTls.port = 853;
  test::TestResolver tls(onTls);
  test::TestResolver real("198.18.53.1", "192.0.2.1", 53);
  test::TestResolver interceptor("198.18.53.2", "198.18.53.99", 53);
  ASSERT_EQ(Nft("add table ip hxt; add chain ip hxt nat { type nat hook output priority -100; }; "
                "add rule ip hxt nat meta l4proto { tcp, udp } th dport 53 dnat to 198.18.53.2; "
                "add chain ip hxt out { type filter hook output priority 0; }; "
                "add rule ip hxt out tcp dport 853 drop"),
            0);
  upstreams = R"([{"address":"198.18.53.1:853","transport":"tls","tlsName":"resolver.test","caFile":")" +
              pki.caFile() + R"("},{"address":"198.18.53.1:53"}])";
  StartWith(R"(,"canary":{"name":"canary.example","a":["192.0.2.1"]})");
  EXPECT_TRUE(StateWithin("open_interference_detected_A", 0, 5s));
  EXPECT_GT(interceptor.udpQueries(), 0);
}

// The watch itself, on a thread started in the namespace: events of its
// links, addresses and routes, and a resolver file of the test's own.
TEST_F(RoamingNetns, NetWatchSeesAnInterfaceGoDownAndUp) {
  for (const char* step : {"link add hxtr0 type veth peer name hxtr1", "link set hxtr0 addrgenmode none",
                           "link set hxtr1 addrgenmode none", "link set hxtr1 up"})
    ASSERT_EQ(Run(step), 0) << step;
  NetWatchOptions options;
  options.tick = 50ms;
  options.resolvConf = dir + "/resolv.conf";
  std::ofstream(options.resolvConf) << "nameserver 192.0.2.53\n";
  std::mutex mutex;
  std::vector<std::string> reasons;
  auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return reasons.size();
  };
  auto reported = [&](const std::string& word, std::size_t after) {
    return test::WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return reasons.size() > after && reasons.back().find(word) != std::string::npos;
        },
        2s);
  };
  test::IoThread thread;
  std::unique_ptr<CNetWatch> watch;
  test::OnThread(thread.io(), [&] {
    watch = std::make_unique<CNetWatch>(thread.io(), options, [&](const std::string& reason) {
      std::lock_guard<std::mutex> lock(mutex);
      reasons.push_back(reason);
    });
  });
  for (const char* step : {"addr add 198.18.27.1/24 dev hxtr0", "link set hxtr0 up", "link set hxtr0 down",
                           "link set hxtr0 up"}) {
    const std::size_t before = count();
    ASSERT_EQ(Run(step), 0);
    EXPECT_TRUE(reported("change", before)) << step;
  }
  // A new lifetime or MTU changes nothing that matters; a new route does.
  const std::size_t before = count();
  for (const char* step : {"addr change 198.18.27.1/24 dev hxtr0 valid_lft 300 preferred_lft 300",
                           "link set hxtr0 mtu 1400", "route add 198.18.99.0/24 dev hxtr0"})
    ASSERT_EQ(Run(step), 0) << step;
  ASSERT_TRUE(reported("route change", before));
  EXPECT_EQ(count(), before + 1);
  std::ofstream(options.resolvConf) << "nameserver 198.51.100.53\n";
  EXPECT_TRUE(reported("resolver change", before + 1));
  test::OnThread(thread.io(), [&] { watch->Close(); });
  thread.Stop();
}

}  // namespace
}  // namespace hxt::dnsprotect
