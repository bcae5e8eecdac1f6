// What a machine's DNS client sees when something on the agent's side of hxsockfilterd goes wrong, and how
// long it may take: one row per fault. The README's fault table says the same in words.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "agent/velmorainfo.h"
#include "hxtarrow/sockfltrapi.h"
#include "support/daemonbench.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;
using namespace std::chrono_literals;
using udp = asio::ip::udp;

// A loopback endpoint nothing listens on (UDP and TCP), for a dead resolver.
udp::endpoint Dead(const char* loopback) {
  asio::io_context io;
  return udp::socket(io, udp::endpoint(asio::ip::make_address(loopback), 0)).local_endpoint();
}

class FaultTest;
struct Fault {
  const char* name;
  std::function<void(FaultTest&)> configure;  // before the daemon starts
  std::function<void(FaultTest&)> inflict;    // the daemon runs, an agent redirects IPv4
  std::function<std::string(FaultTest&)> observe;
  const char* clientSees;
  std::chrono::milliseconds within;
};

// Also names the case to ctest, which lists it with its parameter.
void PrintTo(const Fault& fault, std::ostream* out) {
  *out << fault.name;
}

class FaultTest : public ::testing::TestWithParam<Fault>, public DaemonBench {
 public:
  void SetUp() override {
    config_.serviceTimeout = 1s;
    config_.breakerThreshold = 2;
    config_.breakerProbeInterval = 1h;
    config_.resolvConfCheckInterval = 0ms;
    if (GetParam().configure) GetParam().configure(*this);
    if (IsSkipped()) return;
    StartDaemon();
    if (!HasFatalFailure()) Redirect();
  }

  std::string AskUdp(const std::string& name) { return test::AskUdp(daemon_->Udp(HXT_AF_INET), name); }
  std::string AskBoth(const std::string& name) {
    return AskUdp(name) + " " + test::AskTcp(daemon_->Tcp(HXT_AF_INET), name);
  }
  void WriteResolvConf(const std::string& text) { std::ofstream(root_.path() + "/resolv.conf") << text; }

  // A process of user and group nobody opens the filter with the library; the result code. Needs root.
  static std::string OpenAsNobody(FaultTest& t) {
    ::chmod(t.root_.path().c_str(), 0711);
    ::chmod((t.root_.path() + "/run").c_str(), 0711);
    const int code = RunAs(kNobody, [] {
      ngc_error_t result = CVelmoraApiClassFactory::CreateInstance()->OpenPlugin(nullptr);
      return result == 0 ? 0 : static_cast<int>(result - 1000);
    });
    return std::to_string(code == 0 ? 0 : code + 1000);
  }

  asio::io_context forgerIo_;
  std::unique_ptr<udp::socket> forger_;
  std::thread forgery_;
  std::unique_ptr<ChildAs> child_;
};

// The rows that act as another user fork a child that starts the library's thread.
void needRoot(FaultTest&) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in the child of a threaded process";
#endif
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
}

const Fault kFaults[] = {
    {"AgentKilled", nullptr, [](FaultTest& t) { t.agent_.reset(); },
     [](FaultTest& t) { return t.AskBoth("a.test"); }, "192.0.2.1 192.0.2.1", 500ms},
    {"AgentStopped", nullptr,
     [](FaultTest& t) {
       // Two queries wait out the service time-out; then the breaker opens.
       t.service_.SilenceName("hung.test");
       for (int i = 0; i < 2; ++i) EXPECT_EQ(t.AskUdp("hung.test"), kResolverAnswer);
     },
     [](FaultTest& t) { return t.AskUdp("hung.test"); }, "192.0.2.1", 500ms},
    {"PlugInNeverAnswers", nullptr, [](FaultTest& t) { t.service_.SilenceName("quiet.test"); },
     [](FaultTest& t) {
       const std::string seen = t.AskBoth("quiet.test");
       const bool told = t.agent_->WaitDisruption(1s) == std::optional<u32>(kDisruptionServiceUnreachable);
       return seen + (told ? ", agent told" : ", agent not told");
     },
     "192.0.2.1 192.0.2.1, agent told", 2500ms},
    {"ListenerGone", nullptr, [](FaultTest& t) { t.service_.CloseListeners(); },
     [](FaultTest& t) { return t.AskBoth("gone.test"); }, "192.0.2.1 192.0.2.1", 500ms},
    {"ResolversMixedAndPartlyDead",
     [](FaultTest& t) {
       t.config_.resolvers = {Dead("::1"), Dead("127.0.0.1"), t.upstream_.endpoint()};
     },
     [](FaultTest& t) { t.agent_.reset(); }, [](FaultTest& t) { return t.AskBoth("mixed.test"); },
     "192.0.2.1 192.0.2.1", 500ms},
    {"ResolversChangedWhileRunning",
     [](FaultTest& t) {
       t.WriteResolvConf("# no name server yet\n");
       t.config_.resolvers.clear();
       t.config_.resolvConfPath = t.root_.path() + "/resolv.conf";
       t.config_.resolvConfPort = t.upstream_.endpoint().port();
     },
     [](FaultTest& t) {
       t.agent_.reset();
       EXPECT_EQ(t.AskUdp("before.test"), "SERVFAIL");
       t.WriteResolvConf("search example\nnameserver 127.0.0.1\n");
     },
     [](FaultTest& t) { return t.AskBoth("after.test"); }, "192.0.2.1 192.0.2.1", 500ms},
    {"ForgedAnswers",
     [](FaultTest& t) {
       t.forger_ =
           std::make_unique<udp::socket>(t.forgerIo_, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
       t.config_.resolvers = {t.forger_->local_endpoint()};
     },
     [](FaultTest& t) {
       // Before the real answer, what a forger would send: a wrong id, the query itself sent back (no
       // response bit), the right id for another question.
       t.agent_.reset();
       t.forgery_ = std::thread([&t] {
         Bytes query(512);
         udp::endpoint daemon;
         query.resize(t.forger_->receive_from(asio::buffer(query), daemon));
         Bytes wrongId = MakeAnswer(query, "192.0.2.66"), wrongQuestion = wrongId;
         wrongId[1] ^= 1;
         wrongQuestion[wrongQuestion.size() - 16 - 3] = 28;  // the question's type
         for (const Bytes& answer : {wrongId, query, wrongQuestion, MakeAnswer(query, kResolverAnswer)})
           t.forger_->send_to(asio::buffer(answer), daemon);
       });
     },
     [](FaultTest& t) {
       std::string seen = t.AskUdp("forged.test");
       t.forgery_.join();
       return seen + ", " + std::to_string(t.daemon_->counters().rejectedAnswers) + " ignored";
     },
     "192.0.2.1, 3 ignored", 500ms},
    {"EmptyResolverList", [](FaultTest& t) { t.config_.resolvers.clear(); },
     [](FaultTest& t) { t.agent_.reset(); },
     [](FaultTest& t) {
       bool warned = t.log_.Dump().find("NO PASS-THROUGH RESOLVER") != std::string::npos;
       return t.AskUdp("none.test") + (warned ? ", warned at start" : ", no warning");
     },
     "SERVFAIL, warned at start", 500ms},
    {"FloodFromOneSocket",
     [](FaultTest& t) {
       t.config_.maxPendingPerClient = 8;
       t.config_.maxPendingQueries = 32;
       t.config_.serviceTimeout = 5s;
     },
     [](FaultTest& t) {
       t.service_.SilenceName("flood.test");
       asio::io_context io;
       udp::socket flooder(io, udp::v4());
       flooder.connect(t.daemon_->Udp(HXT_AF_INET));
       for (int i = 0; i < 100; ++i) flooder.send(asio::buffer(MakeQuery("flood.test", static_cast<u16>(i))));
       EXPECT_TRUE(WaitFor([&] { return t.daemon_->counters().overBudget == 92u; }));
       EXPECT_EQ(t.daemon_->counters().answeredLocally, 0u);  // no SERVFAIL inviting retries
     },
     [](FaultTest& t) { return t.AskUdp("innocent.test"); }, "192.0.2.2", 500ms},
    {"FloodFromManySocketsOfOneUser",
     [](FaultTest& t) {
       needRoot(t);
       t.config_.maxPendingPerClient = 8;
       t.config_.maxPendingPerUser = 16;
       t.config_.maxPendingQueries = 32;
       t.config_.serviceTimeout = 5s;
     },
     [](FaultTest& t) {
       // Another user floods from eight sockets, keeping them open (their
       // owner is looked up by them) until the daemon has dropped the excess.
       t.service_.SilenceName("flood.test");
       const udp::endpoint stub = t.daemon_->Udp(HXT_AF_INET);
       ChildAs flooder(kNobody, [&](ChildAs& self) {
         for (int s = 0; s < 8; ++s) {
           int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
           for (int i = 0; i < 20; ++i) {
             Bytes query = MakeQuery("flood.test", static_cast<u16>(s * 20 + i));
             ::sendto(fd, query.data(), query.size(), 0, stub.data(), static_cast<socklen_t>(stub.size()));
           }
         }
         self.Held();
         return 0;
       });
       EXPECT_TRUE(WaitFor([&] { return t.daemon_->counters().overBudget == 160u - 16u; }));
     },
     [](FaultTest& t) { return t.AskUdp("innocent.test"); }, "192.0.2.2", 500ms},
    {"IdleTcpConnectionsOfOneUser",
     [](FaultTest& t) {
       needRoot(t);
       t.config_.maxTcpConnections = 8;
       t.config_.maxTcpConnectionsPerUser = 4;
     },
     [](FaultTest& t) {
       // Another user holds connections open without a word.
       const auto stub = t.daemon_->Tcp(HXT_AF_INET);
       t.child_ = std::make_unique<ChildAs>(kNobody, [&](ChildAs& self) {
         for (int i = 0; i < 8; ++i)
           ::connect(::socket(AF_INET, SOCK_STREAM, 0), stub.data(), static_cast<socklen_t>(stub.size()));
         self.Held();
         return 0;
       });
       EXPECT_TRUE(WaitFor([&] { return t.daemon_->counters().dropped == 4u; }));
     },
     [](FaultTest& t) {
       std::string seen = test::AskTcp(t.daemon_->Tcp(HXT_AF_INET), "innocent.test");
       t.child_->Release();
       return seen;
     },
     "192.0.2.2", 500ms},
    {"ListenerPortsTakenByAnotherUser",
     [](FaultTest& t) {
       needRoot(t);
       t.config_.portCheckInterval = 0ms;
     },
     [](FaultTest& t) {
       // The agent's listeners go; another user binds their ports.
       t.service_.CloseListeners();
       // Made before the fork: the child of a threaded process keeps to system calls.
       const udp::endpoint loopback(asio::ip::make_address("127.0.0.1"), 0);
       t.child_ = std::make_unique<ChildAs>(kNobody, [&](ChildAs& self) {
         auto bound = [&loopback](int type, u16 port) {
           int fd = ::socket(AF_INET, type | SOCK_NONBLOCK, 0), on = 1;
           ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
           udp::endpoint at(loopback.address(), port);
           bool ok = ::bind(fd, at.data(), static_cast<socklen_t>(at.size())) == 0 &&
                     (type == SOCK_DGRAM || ::listen(fd, 8) == 0);
           return ok ? fd : -1;
         };
         int u = bound(SOCK_DGRAM, t.service_.udpPort()), c = bound(SOCK_STREAM, t.service_.tcpPort());
         if (!self.Ready(u >= 0 && c >= 0)) return 1;
         self.Held();
         char datagram[512];
         return ::recv(u, datagram, sizeof datagram, 0) < 0 && ::accept(c, nullptr, nullptr) < 0 ? 0 : 3;
       });
       ASSERT_TRUE(t.child_->WaitReady());
     },
     [](FaultTest& t) {
       std::string seen = t.AskBoth("taken.test");
       auto again = t.agent_->SetParameters(FILTER_UPDATE_PORTS,
                                            RedirectTo(t.service_.udpPort(), t.service_.tcpPort(), 0, 0));
       const int code = t.child_->Release();
       return seen + ", " + std::to_string(again.value_or(0)) +
              (code == 0 ? ", nothing reached them" : ", they got queries");
     },
     "192.0.2.1 192.0.2.1, 1011, nothing reached them", 2500ms},
    {"DescriptorExhaustion", nullptr,
     [](FaultTest& t) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
       (void)t;
       GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#else
       // Clients connect while the process has no descriptor left: the daemon's accept fails until
       // descriptors are free again, and it waits before each retry (50, 100, 200 ms...) instead of spinning
       // on the connection it cannot take: the fourth failure is not at once.
       std::vector<int> sockets;
       for (int i = 0; i < 3; ++i) sockets.push_back(::socket(AF_INET, SOCK_STREAM, 0));
       rlimit saved{};
       ::getrlimit(RLIMIT_NOFILE, &saved);
       rlimit none = saved;
       none.rlim_cur = static_cast<rlim_t>(::dup(0));  // the lowest free one: none is left below
       ::close(static_cast<int>(none.rlim_cur));
       ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
       const auto stub = t.daemon_->Tcp(HXT_AF_INET);
       const auto start = std::chrono::steady_clock::now();
       for (int fd : sockets) ::connect(fd, stub.data(), static_cast<socklen_t>(stub.size()));
       EXPECT_TRUE(WaitFor([&] { return t.log_.Count("accept error [24-Too many open files]") >= 4u; }));
       EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms) << t.log_.Dump();
       ::setrlimit(RLIMIT_NOFILE, &saved);
       for (int fd : sockets) ::close(fd);
#endif
     },
     [](FaultTest& t) { return t.AskBoth("after.test"); }, "192.0.2.2 192.0.2.2", 2500ms},
    {"OversizedParameters", nullptr, nullptr,
     [](FaultTest& t) {
       t.agent_.reset();
       IVelmoraApi* api = CVelmoraApiClassFactory::CreateInstance();
       std::vector<std::string> huge(5000, std::string(250, 'a'));
       CVelmoraInfo record = CVelmoraInfo::All(huge, {}, {}, {}, {}, 1, {}, true, false);
       std::string seen = std::to_string(api->OpenPlugin(nullptr));
       seen += " " + std::to_string(api->SetParameters(&record));
       seen += " " + std::to_string(api->Clear());  // the connection survived
       CVelmoraApiClassFactory::ReleaseInstance(&api);
       return seen;
     },
     "0 1010 0", 1000ms},
    {"UnprivilegedPeer", needRoot, nullptr, FaultTest::OpenAsNobody, "1009", 1000ms},
    {"UnprivilegedPeerSocketLoosenedByHand", needRoot,
     [](FaultTest& t) { ::chmod(t.config_.controlPath.c_str(), 0666); }, FaultTest::OpenAsNobody, "1009",
     1000ms},
    {"UnprivilegedPeerOfTheControlGroup",
     [](FaultTest& t) {
       needRoot(t);
       t.config_.controlGroup = "nogroup";
     },
     [](FaultTest& t) { t.agent_.reset(); }, FaultTest::OpenAsNobody, "0", 1000ms}};

TEST_P(FaultTest, TheClientIsAnsweredInTime) {
  const Fault& fault = GetParam();
  if (fault.inflict) fault.inflict(*this);
  if (IsSkipped()) return;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fault.observe(*this), fault.clientSees) << log_.Dump();
  EXPECT_LE(std::chrono::steady_clock::now() - start, fault.within) << log_.Dump();
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hxt::test
