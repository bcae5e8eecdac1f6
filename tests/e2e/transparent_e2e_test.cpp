// hxsockfilterd in transparent mode, in a network namespace the test creates and removes: a "remote" resolver
// on addresses of that namespace, dig from processes in it, the agent's listeners played by a test service.
// Needs root (namespaces, cgroups, nftables); skips itself elsewhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/capability.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <tuple>

#include "common/daemonquery.h"
#include "daemon/transparenthost.h"
#include "e2e/daemonprocess.h"
#include "e2e/serviceprocess.h"
#include "fakes/controlpeer.h"
#include "fakes/dnstestkit.h"
#include "fakes/fakeplugin.h"
#include "fakes/redirectclient.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;
using namespace std::chrono_literals;

constexpr const char* kServiceAnswer = "192.0.2.2";
constexpr const char* kUpstreamAnswer = "192.0.2.1";
constexpr const char* kResolver4 = "192.0.2.53";
constexpr const char* kResolver6 = "2001:db8::53";
constexpr const char* kPluginName = "test-name.hxt.example";
constexpr const char* kPluginAnswer = "192.0.2.10";

int shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

class TransparentModeTest : public ::testing::Test {
 public:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "transparent mode tests need root (network namespaces, nftables, cgroups)";
    if (::access("/usr/bin/dig", X_OK) != 0 || ::access("/usr/bin/nsenter", X_OK) != 0)
      GTEST_SKIP() << "dig (dnsutils) or nsenter (util-linux) is not installed";
    auto mount = Cgroup2MountFromMountinfo(ReadFile("/proc/self/mountinfo"));
    if (!mount) GTEST_SKIP() << "no cgroup v2 hierarchy is mounted";
    netns_ = "hxt-transp-" + std::to_string(::getpid());
    if (shell("ip netns add " + netns_) != 0) GTEST_SKIP() << "cannot create a network namespace";
    created_ = true;
    const std::string in = "ip -n " + netns_ + " ";
    for (const std::string& step : {in + "link set lo up", in + "addr add " + kResolver4 + "/32 dev lo",
                                    in + "addr add " + kResolver6 + "/128 dev lo"})
      ASSERT_EQ(shell(step), 0) << step;
    cgroupDir_ = *mount + "/" + netns_;
    for (const char* leaf : {"", "/agent", "/ignored", "/named", "/client"})
      ASSERT_EQ(::mkdir((cgroupDir_ + leaf).c_str(), 0755), 0);
    // The test is the agent's control peer: it stands in the agent's cgroup,
    // and dig runs in another. The record names a bystander as the agent.
    ownCgroup_ = *mount + CgroupFromProcText(ReadFile("/proc/self/cgroup")).value_or("/");
    std::ofstream(cgroupDir_ + "/agent/cgroup.procs") << ::getpid() << std::endl;
    agentPid_ = sleeperIn("named");
    ignoredPid_ = sleeperIn("ignored");
    inNetns([&] {
      upstream4_ = std::make_unique<TestResolver>(kResolver4, kUpstreamAnswer, 53);
      upstream6_ = std::make_unique<TestResolver>(kResolver6, kUpstreamAnswer, 53);
      service4_ = std::make_unique<TestService>("127.0.0.1", kServiceAnswer);
      service6_ = std::make_unique<TestService>("::1", kServiceAnswer);
    });
  }

  void TearDown() override {
    daemon_.reset();
    peerResolver_.reset();
    if (!peerNetns_.empty()) shell("ip netns del " + peerNetns_);
    for (pid_t pid : {agentPid_, ignoredPid_})
      if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    if (!ownCgroup_.empty()) std::ofstream(ownCgroup_ + "/cgroup.procs") << ::getpid() << std::endl;
    for (const char* leaf : {"/agent", "/ignored", "/named", "/client", ""})
      ::rmdir((cgroupDir_ + leaf).c_str());
    if (created_) shell("ip netns del " + netns_);
  }

  // Runs `body` on a thread inside the namespace: sockets it opens and
  // processes it forks stay there. `withoutNetAdmin` takes CAP_NET_ADMIN out
  // of that thread's bounding set first, so that what it starts never has it.
  void inNetns(const std::function<void()>& body, bool withoutNetAdmin = false,
               const std::string& netns = "") {
    std::thread([&] {
      int fd = ::open(("/run/netns/" + (netns.empty() ? netns_ : netns)).c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_TRUE(fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0);
      ::close(fd);
      ASSERT_TRUE(!withoutNetAdmin || ::prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN, 0, 0, 0) == 0);
      body();
    }).join();
  }

  pid_t sleeperIn(const std::string& leaf) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::ofstream(cgroupDir_ + "/" + leaf + "/cgroup.procs") << pid << std::endl;
    return pid;
  }

  // Transparent mode; or stub mode with stubs on the namespace's loopbacks, passing through to its resolvers.
  void startDaemon(bool withoutNetAdmin = false, bool stub = false) {
    std::vector<std::string> args{
        "--mode",  stub ? "stub" : "transparent", "--stub4",   stub ? "127.0.0.1:53" : "off",
        "--stub6", stub ? "[::1]:53" : "off",     "--control", controlPath()};
    if (stub) args.insert(args.end(), {"--resolvers", stubResolvers_});
    inNetns([&] { daemon_ = std::make_unique<DaemonProcess>(root_, args); }, withoutNetAdmin);
  }
  // One of the daemon's counters (hxtarrowctl metrics); -1 when unreadable.
  long long counter(const std::string& name) {
    std::string text, why;
    if (!QueryDaemon(controlPath(), kMsgCounters, "transparent e2e", text, why)) return -1;
    std::size_t at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + name.size() + 2));
  }

  // The agent with the fake plug-ins (PrepareAgentRoot), whose DNS plug-in answers kPluginName itself and
  // redirects both families. It is forked from a thread in the namespace while the test process stands in the
  // agent's cgroup (SetUp put it there), so that the agent is born there.
  std::unique_ptr<ServiceProcess> startRealAgent() {
    const std::string path = root_.path() + "/plugin-script.txt";
    const std::string both = R"({"redirect":true,"whitelist":[],"resolvers":[]})";
    std::ofstream(path) << "record " << kPluginName << " " << kPluginAnswer << "\n"
                        << R"(redirect {"version":1,"ignore_pids":[],"dns4":)" << both << R"(,"dns6":)"
                        << both << "}\n";
    const std::map<std::string, std::string> environment{{"HXT_IPC_PORT", std::to_string(FreePort())},
                                                         {"HXT_FAKE_DNS_SCRIPT", path}};
    std::unique_ptr<ServiceProcess> agent;
    inNetns([&] {
      agent = std::make_unique<ServiceProcess>(root_.path(), root_.path() + "/agent.log", environment);
    });
    return agent;
  }

  std::string controlPath() const { return root_.path() + "/run/hxsockfilterd.sock"; }

  // A resolver on the link-local address fe80::54 of a second namespace,
  // reached through the veth hxt0 (own address fe80::53) of the first.
  void linkLocalPeer() {
    peerNetns_ = netns_ + "-peer";
    const std::string in = "ip -n " + netns_ + " ", peer = "ip -n " + peerNetns_ + " ";
    for (const std::string& step :
         {"ip netns add " + peerNetns_, in + "link add hxt0 type veth peer name hxt1 netns " + peerNetns_,
          in + "link set hxt0 addrgenmode none", peer + "link set hxt1 addrgenmode none",
          in + "link set hxt0 up", peer + "link set hxt1 up", in + "addr add fe80::53/64 dev hxt0 nodad",
          peer + "addr add fe80::54/64 dev hxt1 nodad"})
      ASSERT_EQ(shell(step), 0) << step;
    inNetns([&] { peerResolver_ = std::make_unique<TestResolver>("fe80::54%hxt1", kUpstreamAnswer, 53); },
            false, peerNetns_);
  }

  // The agent: its filter parameters, the listeners of the test services.
  std::unique_ptr<ControlPeer> openAgent() {
    FilterParameters p =
        RedirectTo(service4_->udpPort(), service4_->tcpPort(), service6_->udpPort(), service6_->tcpPort());
    p.agentPid = static_cast<u32>(agentPid_);
    p.whiteList4 = p.whiteList6 = {"white.example"};
    auto agent = OpenAndRedirect(controlPath(), p);
    p.ignoredPids = {static_cast<u32>(ignoredPid_)};  // a later update of its own, as the agent sends it
    EXPECT_EQ(agent->SetParameters(FILTER_UPDATE_PIDS, p), std::optional<u32>(0));
    return agent;
  }

  // dig from a process in the namespace, in cgroup `leaf`.
  std::string dig(const std::string& server, const std::string& name, bool tcp,
                  const std::string& leaf = "client") {
    std::string command = "nsenter --net=/run/netns/" + netns_ + " dig @" + server + " " + name +
                          " A +short +tries=1 +time=3" + (tcp ? " +tcp" : "");
    return Output("sh -c 'echo $$ > " + cgroupDir_ + "/" + leaf + "/cgroup.procs && exec " + command + "'");
  }

  // The namespace's nftables tables, one "table FAMILY NAME" a line.
  std::string nftTables() { return Output("ip netns exec " + netns_ + " nft list tables"); }
  std::string nftRuleset() { return Output("ip netns exec " + netns_ + " nft list ruleset"); }

  TestRoot root_;
  std::string stubResolvers_ = std::string(kResolver4) + ":53,[" + kResolver6 + "]:53";
  std::string netns_, cgroupDir_, ownCgroup_, peerNetns_;
  bool created_ = false;
  pid_t agentPid_ = -1, ignoredPid_ = -1;
  std::unique_ptr<TestResolver> upstream4_, upstream6_, peerResolver_;
  std::unique_ptr<TestService> service4_, service6_;
  std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(TransparentModeTest, QueriesReachTheAgentWithTheirDestinationUnlessExemptUntilTheDaemonIsKilled) {
  startDaemon();
  ASSERT_TRUE(daemon_->WaitForLog("transparent mode: table inet hxsockfilterd in place")) << daemon_->Log();
  auto agent = openAgent();
  ASSERT_TRUE(daemon_->WaitForLog("transparent rules: IPv4 UDP and TCP redirected")) << daemon_->Log();

  for (const bool v4 : {true, false}) {
    for (bool tcp : {false, true}) {
      const char* resolver = v4 ? kResolver4 : kResolver6;
      SCOPED_TRACE(std::string(resolver) + (tcp ? " TCP" : " UDP"));
      TestService& service = v4 ? *service4_ : *service6_;
      std::size_t before = service.MessageCount();
      EXPECT_EQ(dig(resolver, "www.example.com", tcp), kServiceAnswer) << daemon_->Log();
      ASSERT_EQ(service.MessageCount(), before + 1);
      const auto expected = FilterSocketAddress(v4 ? kAddressFamilyIPv4 : kAddressFamilyIPv6, resolver, 53);
      const Bytes header = service.Messages().back().header;
      EXPECT_EQ(Bytes(header.begin() + 40, header.begin() + 68), Bytes(expected.begin(), expected.end()));
    }
  }
  // A white-listed name, the ignored process's cgroup, the agent's own cgroup.
  const std::pair<const char*, const char*> exempt[] = {
      {"www.white.example", "client"}, {"www.example.com", "ignored"}, {"www.example.com", "agent"}};
  for (const auto& [name, leaf] : exempt) {
    for (bool tcp : {false, true}) {
      SCOPED_TRACE(std::string(name) + " from " + leaf + (tcp ? " TCP" : " UDP"));
      std::size_t before = service4_->MessageCount() + service6_->MessageCount();
      EXPECT_EQ(dig(kResolver4, name, tcp, leaf), kUpstreamAnswer);
      EXPECT_EQ(dig(kResolver6, name, tcp, leaf), kUpstreamAnswer);
      EXPECT_EQ(service4_->MessageCount() + service6_->MessageCount(), before);
    }
  }
  std::string status =
      Output(std::string(HXT_SOCKFILTERD_BINARY) + " --status --control '" + controlPath() + "'");
  EXPECT_NE(status.find("transparent mode, rules in place"), std::string::npos) << status;
  EXPECT_NE(status.find("IPv4: 4 intercepted, 2 redirected, 2 white-listed, 2 passed through"),
            std::string::npos)
      << status;
  // The same counts for programs (hxtarrowctl metrics).
  std::string counters, why;
  ASSERT_TRUE(QueryDaemon(controlPath(), kMsgCounters, "transparent e2e", counters, why)) << why;
  for (const char* line : {"mode transparent\n", "intercepted.ipv4 4\n", "intercepted_redirected.ipv4 2\n",
                           "intercepted_white_listed.ipv4 2\n", "intercepted_passed_through.ipv4 2\n"})
    EXPECT_NE(counters.find(line), std::string::npos) << line << " in:\n" << counters;
  // The pid the record names is not the control peer's: its cgroup stays redirected.
  EXPECT_EQ(dig(kResolver4, "www.example.com", false, "named"), kServiceAnswer);

  // Only 192.0.2.53 included: IPv6 DNS, naming no included resolver, leaves untouched.
  FilterParameters included;
  included.resolvers4 = {IpAddressRecord{HXT_AF_INET, {192, 0, 2, 53}}};
  ASSERT_EQ(agent->SetParameters(FILTER_UPDATE_RESOLVERS, included), std::optional<u32>(0));
  ASSERT_TRUE(daemon_->WaitForLog("IPv4 UDP and TCP redirected (1 resolvers), IPv6 not redirected"))
      << daemon_->Log();
  EXPECT_EQ(dig(kResolver4, "www.example.com", false), kServiceAnswer);
  EXPECT_EQ(dig(kResolver6, "www.example.com", true), kUpstreamAnswer);

  // The agent's listeners gone, queries go at once to the resolver they asked.
  service4_->CloseListeners();
  const auto closed = std::chrono::steady_clock::now();
  for (bool tcp : {false, true}) EXPECT_EQ(dig(kResolver4, "gone.example", tcp), kUpstreamAnswer);
  EXPECT_LE(std::chrono::steady_clock::now() - closed, 1000ms) << daemon_->Log();

  // The agent gone, no rule is left to redirect: queries go to their resolver untouched; a daemon killed
  // outright leaves no rule behind: its table belongs to it.
  agent.reset();
  EXPECT_TRUE(WaitFor([&] { return nftRuleset().find("redirect") == std::string::npos; })) << nftRuleset();
  for (bool tcp : {false, true}) EXPECT_EQ(dig(kResolver4, "a.example", tcp), kUpstreamAnswer);
  daemon_->Signal(SIGKILL);
  daemon_->WaitForExit();
  EXPECT_TRUE(WaitFor([&] { return nftTables().empty(); })) << nftTables();

  // Restarted without CAP_NET_ADMIN, it writes no rule and an agent's open awaits approval.
  startDaemon(true);
  ASSERT_TRUE(daemon_->WaitForLog("transparent mode does not start: the daemon lacks CAP_NET_ADMIN"))
      << daemon_->Log();
  ControlPeer late(controlPath());
  EXPECT_TRUE(late.Hello() == 0u && late.Open(ApiInterface::Velmora) == u32{HXT_NGC_AWAITING_APPROVAL});
  EXPECT_EQ(nftTables(), "");
}

// What a DNS client sees when something on the agent's side goes wrong, in transparent mode, where the client
// asks the resolver it names and the rules take it; and in stub mode, for the rows that need processes of
// their own (a stopped agent, a link-local resolver), which the in-process fault table (FaultTest) cannot
// have. One row per fault.
class FaultInModeTest;
struct ModeFault {
  const char* name;
  std::function<void(FaultInModeTest&)> configure;  // before the daemon starts
  bool realAgent;  // the agent process with its plug-ins, not a control peer and test listeners
  std::function<void(FaultInModeTest&)> inflict;
  std::function<std::string(FaultInModeTest&)> observe;
  const char* clientSees;
  std::chrono::milliseconds within;
};

void PrintTo(const ModeFault& fault, std::ostream* out) {
  *out << fault.name;
}

class FaultInModeTest : public TransparentModeTest,
                        public ::testing::WithParamInterface<std::tuple<ModeFault, bool>> {
 public:
  const ModeFault& fault() const { return std::get<0>(GetParam()); }
  bool transparent() const { return std::get<1>(GetParam()); }
  // Where the client sends IPv4 queries.
  std::string server() const { return transparent() ? kResolver4 : "127.0.0.1"; }

  void start() {
    if (fault().configure) fault().configure(*this);
    if (HasFatalFailure()) return;
    if (fault().realAgent)
      PrepareAgentRoot(root_,
                       {HXT_FAKE_PLUGIN_VELMORA, HXT_FAKE_PLUGIN_SWG, HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER});
    startDaemon(false, !transparent());
    ASSERT_TRUE(WaitFor([&] { return counter("in_flight") == 0; })) << daemon_->Log();
    if (fault().realAgent) realAgent_ = startRealAgent();
    if (!fault().realAgent) agent_ = openAgent();
    ASSERT_TRUE(WaitFor([&] { return counter("redirection.ipv4") == 1; })) << daemon_->Log();
    ASSERT_TRUE(!transparent() || daemon_->WaitForLog("transparent rules: IPv4 UDP and TCP redirected"))
        << daemon_->Log();
  }

  // The agent leaves its cgroup before the cgroup is removed.
  void TearDown() override {
    realAgent_.reset();
    agent_.reset();
    TransparentModeTest::TearDown();
  }

  std::unique_ptr<ControlPeer> agent_;
  std::unique_ptr<ServiceProcess> realAgent_;
};

const ModeFault kModeFaults[] = {
    // The resolver on a link-local address of another namespace: a white-listed name reaches it through its
    // interface, other names reach the agent. In transparent mode the client is bound to that interface (one
    // that came after the daemon): its DNS is taken to listeners on the machine's own address there, which
    // drop a datagram sent to them directly and close with their interface, their rules with them.
    {"LinkLocalResolver",
     [](FaultInModeTest& t) {
       if (!t.transparent()) t.linkLocalPeer();
       t.stubResolvers_ = "[fe80::54%hxt0]:53";
     },
     false,
     [](FaultInModeTest& t) {
       if (!t.transparent()) return;
       t.linkLocalPeer();
       ASSERT_TRUE(t.daemon_->WaitForLog("link-local DNS taken on 1 interfaces")) << t.daemon_->Log();
     },
     [](FaultInModeTest& t) {
       const std::string server = t.transparent() ? "fe80::54%hxt0" : "::1";
       std::string seen;
       for (bool tcp : {false, true})
         seen += t.dig(server, "www.white.example", tcp) + " " + t.dig(server, "www.example.com", tcp) + " ";
       seen += std::to_string(t.peerResolver_->udpQueries() + t.peerResolver_->tcpQueries());
       if (!t.transparent()) return seen;
       const std::string log = t.daemon_->Log(), listening = "taken to the listeners on fe80::53%hxt0 (UDP ";
       const std::size_t at = log.find(listening);
       if (at == std::string::npos) return seen + ", no listener logged";
       const u16 port = static_cast<u16>(std::stoi(log.substr(at + listening.size())));
       t.inNetns([&] {
         LoopbackSocket direct(kAddressFamilyIPv6, SOCK_DGRAM, false);
         EXPECT_TRUE(direct.Connect("fe80::53%hxt0", port) && direct.Send(MakeQuery("www.example.com", 9)));
       });
       EXPECT_TRUE(WaitFor([&] { return t.counter("dropped") == 1; })) << t.counter("dropped");
       t.peerResolver_.reset();
       EXPECT_EQ(shell("ip -n " + t.netns_ + " link del hxt0"), 0);
       EXPECT_TRUE(t.daemon_->WaitForLog("link-local DNS on hxt0: no longer taken")) << t.daemon_->Log();
       EXPECT_TRUE(WaitFor([&] { return t.nftRuleset().find("dnat") == std::string::npos; }))
           << t.nftRuleset();
       return seen;
     },
     "192.0.2.1 192.0.2.2 192.0.2.1 192.0.2.2 2", 3000ms},
    // A stopped agent process costs clients no more than the breaker's three service time-outs (1.5 s each),
    // over UDP and TCP alike; a resolver on loopback gets each of its queries once and never waits for the
    // agent. Running, the agent's plug-in answers and no resolver is asked.
    {"AgentStopped", nullptr, true,
     [](FaultInModeTest& t) {
       for (bool tcp : {false, true}) EXPECT_EQ(t.dig(t.server(), kPluginName, tcp), kPluginAnswer);
       EXPECT_EQ(t.upstream4_->udpQueries() + t.upstream4_->tcpQueries(), 0);
       t.realAgent_->Signal(SIGSTOP);
     },
     [](FaultInModeTest& t) {
       std::unique_ptr<TestResolver> loopback;
       t.inNetns([&] { loopback = std::make_unique<TestResolver>("127.0.0.53", kUpstreamAnswer, 53); });
       int slow = 0, wrong = 0, loopbackSlow = 0;
       for (int i = 0; i < 14; ++i) {
         const bool tcp = i % 2 == 1;
         const std::string resolver = i < 2 ? "127.0.0.53" : t.server();
         const auto start = std::chrono::steady_clock::now();
         if (t.dig(resolver, "www.example.com", tcp) != kUpstreamAnswer) ++wrong;
         const auto took = std::chrono::steady_clock::now() - start;
         if (took > 3s) ++wrong;
         if (took > 750ms) ++(i < 2 ? loopbackSlow : slow);
       }
       t.realAgent_->Signal(SIGCONT);
       return std::to_string(wrong) + " wrong or late, " + (slow <= 3 ? "at most 3" : std::to_string(slow)) +
              " slow, loopback asked " + std::to_string(loopback->udpQueries() + loopback->tcpQueries()) +
              " times, " + std::to_string(loopbackSlow) + " slow";
     },
     "0 wrong or late, at most 3 slow, loopback asked 2 times, 0 slow", 15s}};

TEST_P(FaultInModeTest, TheClientIsAnsweredInTime) {
  start();
  if (HasFatalFailure() || IsSkipped()) return;
  fault().inflict(*this);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(fault().observe(*this), fault().clientSees) << daemon_->Log();
  EXPECT_LE(std::chrono::steady_clock::now() - begin, fault().within) << daemon_->Log();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInModeTest,
                         ::testing::Combine(::testing::ValuesIn(kModeFaults), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_Transparent" : "_Stub");
                         });

}  // namespace
}  // namespace hxt::test
