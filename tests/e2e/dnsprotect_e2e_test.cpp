// The DNS-protection plug-in doing its job in the real agent: dig asks the filter daemon's stub, the agent
// hands the query to dnsprotect.so, which answers from its block list, from a DNS-over-TLS upstream started
// here or, while that one is away, from a local unbound in clear text. Through unbound the path must answer
// as unbound asked directly: the same rcode, flags, sections and OPT record, except where the plug-in differs
// on purpose (the table says where and why). TTLs are left out: the cache lowers them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "e2e/daemonprocess.h"
#include "e2e/serviceprocess.h"
#include "fakes/dnstestkit.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

constexpr const char* kUpstreamAnswer = "192.0.2.1";
constexpr const char* kPassThroughAnswer = "192.0.2.99";
constexpr const char* kUnbound = "/usr/sbin/unbound";

// A zone with every kind of answer the table asks for.
std::string Zone() {
  std::ostringstream zone;
  zone << "$ORIGIN diff.test.\n$TTL 300\n"
       << "@ SOA ns hostmaster 1 3600 600 86400 60\n@ NS ns\nns A 192.0.2.53\n"
       << "www A 192.0.2.1\nwww A 192.0.2.2\nalias CNAME www\nblocked A 192.0.2.66\n"
       << "txt TXT \"one\" \"two\"\n@ CAA 0 issue \"ca.example\"\n_sip._udp SRV 10 60 5060 www\n";
  // About 700 bytes (more than 512) and about 2,100 (more than 1232).
  for (int i = 0; i < 6; ++i) zone << "big TXT \"" << i << std::string(99, 'b') << "\"\n";
  for (int i = 0; i < 18; ++i) zone << "huge TXT \"" << i << std::string(99, 'h') << "\"\n";
  return zone.str();
}

// What dig printed, made comparable: no id, no TTLs, no timing.
std::string Normalized(const std::string& dig) {
  static const std::regex id(", id: [0-9]+"), ttl(R"(^(\S+)\s+[0-9]+\s+IN\s)");
  std::istringstream in(dig);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line.rfind(";; Got answer", 0) == 0) continue;
    out += std::regex_replace(std::regex_replace(line, id, ""), ttl, "$1 IN ") + "\n";
  }
  return out;
}

struct DiffCase {
  const char* name;
  const char* type;
  const char* options;     // dig's
  const char* deliberate;  // "": the same answer; else a pattern the path's answer matches instead
};

const DiffCase kCases[] = {
    {"www", "A", "+noedns", ""},             // EDNS sizes: the big and huge answers below
    {"www", "A", "+edns=1 +noednsneg", ""},  // BADVERS
    {"www", "A", "+dnssec", ""},
    {"www", "A", "+cd", ""},
    {"www", "A", "+cookie +nsid", ""},  // no option of the upstream's
    {"www", "A", "+tcp", ""},
    // The plug-in recurses for every client and says so with RA; unbound does not set RA where RD was clear.
    // Asked first: what comes back must not reach the next case's client from the cache.
    {"alias", "A", "+adflag +norecurse", "flags: qr aa ra;"},
    {"alias", "A", "", ""},
    {"big", "TXT", "+noedns +ignore", ""},  // TC
    {"big", "TXT", "+bufsize=512 +ignore", ""},
    {"big", "TXT", "+bufsize=1232", ""},
    {"huge", "TXT", "+bufsize=4096 +ignore", ""},
    {"huge", "TXT", "+noedns +tcp", ""},
    {"nx", "A", "", ""},      // NXDOMAIN
    {"www", "AAAA", "", ""},  // NODATA
    {"txt", "TXT", "", ""},
    {"@", "CAA", "", ""},
    {"_sip._udp", "SRV", "", ""},
    {"WwW", "A", "", ""},  // the asker's spelling comes back
    // The organisation's list: NXDOMAIN with a SOA of the listed name and
    // Extended DNS Error 15, where unbound has an address.
    {"blocked", "A", "", R"(status: NXDOMAIN[\s\S]*EDE: 15 \(Blocked\)[\s\S]*blocked\.diff\.test\. IN SOA)"}};

class DnsProtectE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/dig", X_OK) != 0) GTEST_SKIP() << "dig (dnsutils) is not installed";
    PrepareAgentRoot(root, {HXT_DNSPROTECT_PLUGIN, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER},
                     false);
    const std::string profile = root.ProfilePath();
    tls = pki.TlsServer("resolver.test");
    resolver = std::make_unique<TestResolver>(tls);
    tls.port = resolver->port();
    std::ofstream(profile + "/blocklist.txt") << "0.0.0.0 blocked.example\n0.0.0.0 blocked.diff.test\n";
    std::ofstream(profile + "/OrgInfo.json")
        << R"({"organization":"E2E Org","dns":{"upstreams":[{"address":"127.0.0.1:)" << tls.port
        << R"(","transport":"tls","tlsName":"resolver.test","caFile":"ca.pem"},{"address":"127.0.0.1:)"
        << unboundPort << R"("}],"blockLists":["blocklist.txt"],"healthCheckIntervalMs":100,)"
        << R"("queryTimeoutMs":3000}})";
    if (::access(kUnbound, X_OK) != 0) return;
    const std::string dir = root.path();
    std::ofstream(dir + "/diff.test.zone") << Zone();
    // Loopback only, never recursing: the test zone and nothing else.
    std::ofstream(dir + "/unbound.conf")
        << "server:\n  interface: 127.0.0.1@" << unboundPort << "\n  do-ip6: no\n"
        << "  access-control: 127.0.0.0/8 allow\n  do-daemonize: no\n  username: \"\"\n  chroot: \"\"\n"
        << "  directory: \"" << dir << "\"\n  pidfile: \"\"\n  use-syslog: no\n  logfile: \"\"\n"
        << "  num-threads: 1\n  module-config: \"iterator\"\n  rrset-roundrobin: no\n"
        << "  edns-buffer-size: 1232\n  max-udp-size: 1232\n"
        << "  local-zone: \".\" refuse\n  local-zone: \"diff.test.\" transparent\n"
        << "auth-zone:\n  name: \"diff.test.\"\n  zonefile: \"" << dir << "/diff.test.zone\"\n"
        << "  for-downstream: yes\n  for-upstream: no\n"
        // Were anything asked elsewhere, it would go to the discard port.
        << "forward-zone:\n  name: \".\"\n  forward-addr: 127.0.0.1@9\n"
        << "remote-control:\n  control-enable: no\n";
    // Where AppArmor confines unbound to its system files, a copy runs unconfined.
    ASSERT_EQ(Output("cp -f " + std::string(kUnbound) + " '" + dir + "/unbound.bin' && echo ok"), "ok");
    unbound = std::make_unique<ChildProcess>(
        std::vector<std::string>{dir + "/unbound.bin", "-d", "-c", dir + "/unbound.conf"},
        dir + "/unbound.log", std::map<std::string, std::string>{});
    if (!WaitFor([&] { return Dig("127.0.0.1", unboundPort, "www.diff.test").find("192.0.2.1") == 0; },
                 std::chrono::seconds(10)))
      unbound.reset();
  }

  std::string DnsState() {
    auto [code, out] = RunTool(HXT_ARROWCTL_BINARY, "status --json --port " + std::to_string(ipcPort));
    static const std::regex dns4(R"("Dns4":\{"ProtectionState":"([^"]*))");
    std::smatch state;
    return code == 0 && std::regex_search(out, state, dns4) ? state[1].str() : "";
  }
  bool WaitForState(const std::string& state) {
    return WaitFor([&] { return DnsState() == state; }, std::chrono::seconds(20));
  }
  std::string Ask(u16 port, const DiffCase& c) {
    const std::string name = std::string(c.name) == "@" ? "diff.test" : std::string(c.name) + ".diff.test";
    return Normalized(Output("dig @127.0.0.1 -p " + std::to_string(port) + " " + name + " " + c.type +
                             " +nocookie +nostats +nocmd +tries=1 +time=5 " + c.options));
  }

  TestRoot root;
  TestPki pki{root.ProfilePath()};
  ResolverOptions tls;
  std::unique_ptr<TestResolver> resolver;
  u16 unboundPort = FreePort();
  std::unique_ptr<ChildProcess> unbound;  // null where it cannot run
  TestResolver passThrough{"127.0.0.1", kPassThroughAnswer};
  u16 stubPort = FreePort();
  unsigned short ipcPort = FreePort();
};

TEST_F(DnsProtectE2E, AnswersOverTlsBlocksAndFallsBackOpenWhileTheUpstreamIsAway) {
  DaemonProcess daemon(root, StubArgs(stubPort, passThrough.endpoint().port()));
  ASSERT_TRUE(daemon.WaitForLog("stub mode:")) << daemon.Log();
  ServiceProcess agent(root.path(), root.path() + "/agent.log", {{"HXT_IPC_PORT", std::to_string(ipcPort)}});
  ASSERT_TRUE(agent.WaitForLog("IPv4 DNS redirection: ACTIVATED")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("IPv6 DNS redirection: ACTIVATED")) << agent.Log();
  ASSERT_TRUE(WaitForState("encrypted")) << agent.Log();

  // Both families and transports of the stub.
  for (const char* server : {"127.0.0.1", "::1"})
    for (bool tcp : {false, true}) {
      EXPECT_EQ(Dig(server, stubPort, "www.example", tcp), kUpstreamAnswer) << server << tcp;
      EXPECT_EQ(Dig(server, stubPort, "ads.blocked.example", tcp), "") << server << tcp;
    }
  EXPECT_EQ(resolver->connections(), 1);  // one persistent connection for all

  // The TLS upstream goes away: unbound stands in, in clear text.
  resolver.reset();
  if (unbound) {
    ASSERT_TRUE(WaitForState("protected")) << agent.Log();
    for (const auto& c : kCases) {
      const std::string what = std::string(c.name) + " " + c.type + " " + c.options;
      const std::string direct = Ask(unboundPort, c), path = Ask(stubPort, c);
      ASSERT_NE(direct.find("status:"), std::string::npos) << what << ": unbound did not answer\n" << direct;
      if (*c.deliberate == '\0') {
        EXPECT_EQ(path, direct) << what;
      } else {
        EXPECT_TRUE(std::regex_search(path, std::regex(c.deliberate))) << what << "\n" << path;
      }
    }
    unbound.reset();
  } else {
    std::cout << "unbound cannot run here: the path is not compared with it\n";
  }
  EXPECT_EQ(passThrough.udpQueries() + passThrough.tcpQueries(), 0) << "queries passed the plug-in by";

  // Nobody left: "open", and the daemon passes queries through.
  ASSERT_TRUE(WaitForState("open")) << agent.Log();
  ASSERT_TRUE(agent.WaitForLog("IPv4 DNS redirection: DEACTIVATED")) << agent.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, "www.example"), kPassThroughAnswer);
  // It returns: protected again.
  resolver = std::make_unique<TestResolver>(tls);
  ASSERT_TRUE(WaitForState("encrypted")) << agent.Log();
  EXPECT_TRUE(WaitFor([&] { return Dig("127.0.0.1", stubPort, "new.example") == kUpstreamAnswer; }));

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.WaitForExit(), 0) << agent.Log();
  EXPECT_NE(agent.Log().find("dnsprotect info: stopped"), std::string::npos);
  EXPECT_TRUE(daemon.WaitForLog("closed the filter")) << daemon.Log();
  EXPECT_EQ(Dig("127.0.0.1", stubPort, "www.example"),
            kPassThroughAnswer);  // fail-open once the agent is gone
}

}  // namespace
}  // namespace hxt::test
