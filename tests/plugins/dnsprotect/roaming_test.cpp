// The plug-in on the move: a network change re-probes at once and forgets
// the old network, and a network with DNS64 is reported as such.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "dns64.h"
#include "dnsprotectplugin.h"
#include "fakes/testroot.h"
#include "netwatch.h"
#include "scriptedupstream.h"
#include "support/recordingservice.h"

namespace hxt::dnsprotect {
namespace {

using namespace std::chrono_literals;
using scripted::Reply;

std::string AaaaRecord(const std::string& address) {
  const auto bytes = boost::asio::ip::make_address_v6(address).to_bytes();
  return std::string("\xc0\x0c\0\x1c\0\x01\0\0\0\x3c\0\x10", 12) + std::string(bytes.begin(), bytes.end());
}

TEST(Dns64Prefix, FoundWhereTheWellKnownAddressIsEmbedded) {
  const std::string query = BuildQuery(kDns64ProbeName, kTypeAaaa, 1);
  const struct {
    std::string answer;
    std::string prefix;  // "" for none
  } cases[] = {
      {Reply(query, kRcodeNoError, AaaaRecord("64:ff9b::c000:aa"), 1), "64:ff9b::/96"},
      // A /64 prefix: the address skips byte 8.
      {Reply(query, kRcodeNoError, AaaaRecord("2001:db8:1:2:c0:0:ab00:0"), 1), "2001:db8:1:2::/64"},
      {Reply(query, kRcodeNoError, AaaaRecord("2001:db8::1") + AaaaRecord("64:ff9b::c000:ab"), 2),
       "64:ff9b::/96"},
      {Reply(query, kRcodeNoError, AaaaRecord("2001:db8::1"), 1), ""},
      {Reply(query, kRcodeNxDomain), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FindDns64Prefix(c.answer).value_or(""), c.prefix) << c.prefix;
}

class Roaming : public ::testing::Test {
 protected:
  void Start(u16 port) {
    std::ofstream(dir + "/OrgInfo.json")
        << R"({"organization":"Test Org","dns":{"upstreams":[{"address":"127.0.0.1:)" << port
        << R"("}],"healthCheckIntervalMs":600000,"queryTimeoutMs":1000}})";
    ASSERT_EQ(plugin.Init("", "", dir.c_str(), "1.0.0", "udid", &service, &service, nullptr), 0u);
    ASSERT_EQ(plugin.Start(), 0u);
  }
  std::string Ask(const std::string& name, std::uint16_t type) {
    u32 handle = 0;
    EXPECT_EQ(plugin.OpenSession(1, "127.0.0.53:53", HXT_TRANSPORT_UDP, &handle), 0u);
    const std::string query = BuildQuery(name, type, 7);
    EXPECT_EQ(plugin.Send(handle, reinterpret_cast<const unsigned char*>(query.data()), query.size()), 0u);
    std::string answer;
    test::WaitFor([&] {
      for (const auto& event : service.Events("Response"))
        if (event.handle == handle) answer = event.text;
      return !answer.empty();
    });
    return answer;
  }
  // Whether, within `within`, the states reported number more than `after`
  // and the last is `state`.
  bool StateWithin(const std::string& state, std::size_t after, std::chrono::milliseconds within) {
    return test::WaitFor(
        [&] {
          auto states = service.Texts("ProtectionStateChanged");
          return states.size() > after &&
                 states.back().find("\"protection_state\":\"" + state + "\"") != std::string::npos;
        },
        within);
  }
  void TearDown() override { plugin.Uninit(); }

  test::TestRoot root;
  const std::string dir = root.path();
  test::RecordingService service;
  CDnsProtectPlugin plugin{std::chrono::milliseconds(400)};
};

TEST_F(Roaming, ANetworkChangeReprobesAndReportsAtOnce) {
  test::ResolverOptions options;
  options.silent = true;
  auto silent = std::make_unique<test::TestResolver>(options);
  const u16 port = silent->port();
  Start(port);
  ASSERT_TRUE(StateWithin("open", 0, 5s));
  silent.reset();
  options.silent = false;
  options.port = port;
  test::TestResolver answering(options);
  // The next health check is minutes away: only the change brings protection back.
  plugin.NetworkChanged("test");
  EXPECT_TRUE(StateWithin("protected", 1, 2s));
}

TEST_F(Roaming, Dns64IsReportedAndTheNewNetworkIsAskedAfresh) {
  scripted::ScriptedUpstream upstream([](const std::string& query) {
    Question q;
    ParseQuestion(query, q);
    if (q.name == "gone.example") return BuildBlockedAnswer(query, q, 0, "", 60);
    if (q.type == kTypeAaaa) return Reply(query, kRcodeNoError, AaaaRecord("64:ff9b::c000:aa"), 1);
    return Reply(query, kRcodeNoError, scripted::ARecord(1), 1);
  });
  Start(upstream.port());
  ASSERT_TRUE(StateWithin("protected_limited_dns64_detected", 0, 5s));
  std::vector<std::string> rdatas;
  ASSERT_TRUE(AnswerRdatas(Ask("ipv4only-name.example", kTypeAaaa), kTypeAaaa, rdatas));
  EXPECT_EQ(rdatas.size(), 1u) << "synthesized answers reach the client";

  auto asked = [&](const std::string& name) {
    int count = 0;
    for (const auto& query : upstream.Queries()) {
      Question q;
      count += ParseQuestion(query, q) && q.name == name;
    }
    return count;
  };
  EXPECT_EQ(Rcode(Ask("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(Rcode(Ask("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(asked("gone.example"), 1) << "the negative answer is cached";
  const std::size_t reports = service.Texts("ProtectionStateChanged").size();
  plugin.NetworkChanged("test");
  EXPECT_TRUE(StateWithin("protected_limited_dns64_detected", reports, 2s));
  EXPECT_EQ(Rcode(Ask("gone.example", kTypeA)), kRcodeNxDomain);
  EXPECT_EQ(asked("gone.example"), 2) << "negative answers of the old network are dropped";
}

TEST_F(Roaming, AnUpstreamLostByAQueryShowsWithinASecond) {
  auto upstream = std::make_unique<scripted::ScriptedUpstream>(
      [](const std::string& query) { return Reply(query, kRcodeNoError, scripted::ARecord(1), 1); });
  Start(upstream->port());
  ASSERT_TRUE(StateWithin("protected", 0, 5s));
  const std::size_t reports = service.Texts("ProtectionStateChanged").size();
  upstream.reset();
  // The health check is ten minutes away; the failed query alone must tell.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Rcode(Ask("www.example", kTypeA)), kRcodeServFail);
  ASSERT_TRUE(StateWithin("open", reports, 1s));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 400ms + 1s);
}

// The watch itself: events of its own network namespace, and the resolver file.
class NetWatch : public ::testing::Test {
 protected:
  // Runs a watch in the network namespace `netns` ("" for ours) on a thread of its own.
  void Watch(const std::string& netns, NetWatchOptions options) {
    thread_ = std::thread([this, netns, options] {
      if (!netns.empty()) {
        const int fd = ::open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) ::close(fd);
        if (!entered) return ready_.set_value(false);
      }
      CNetWatch watch(io_, options, [this](const std::string& reason) {
        std::lock_guard<std::mutex> lock(mutex_);
        reasons_.push_back(reason);
      });
      watch_ = &watch;
      ready_.set_value(true);
      io_.run();
    });
    ASSERT_TRUE(ready_.get_future().get());
  }
  bool Reported(const std::string& word, std::size_t after) {
    return test::WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex_);
          return reasons_.size() > after && reasons_.back().find(word) != std::string::npos;
        },
        2s);
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reasons_.size();
  }
  void TearDown() override {
    if (thread_.joinable()) {
      boost::asio::post(io_, [this] { watch_->Close(); });
      thread_.join();
    }
  }

  boost::asio::io_context io_;
  std::promise<bool> ready_;
  CNetWatch* watch_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> reasons_;
};

TEST_F(NetWatch, SeesTheResolverFileChange) {
  test::TestRoot root;
  const std::string file = root.path() + "/resolv.conf";
  std::ofstream(file) << "nameserver 192.0.2.53\n";
  NetWatchOptions options;
  options.tick = 50ms;
  options.resolvConf = file;
  Watch("", options);
  std::ofstream(file) << "nameserver 198.51.100.53\n";
  EXPECT_TRUE(Reported("resolver change", 0));
}

TEST_F(NetWatch, SeesAnInterfaceGoDownAndUp) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
  const std::string netns = "hxt-roam-" + std::to_string(::getpid());
  if (std::system(("ip netns add " + netns).c_str()) != 0)
    GTEST_SKIP() << "cannot create a network namespace";
  struct Remove {
    std::string netns;
    ~Remove() { (void)std::system(("ip netns del " + netns).c_str()); }
  } remove{netns};
  const std::string in = "ip -n " + netns + " ";
  ASSERT_EQ(std::system((in + "link add hxtr0 type veth peer name hxtr1").c_str()), 0);
  for (const char* step :
       {"link set hxtr0 addrgenmode none", "link set hxtr1 addrgenmode none", "link set hxtr1 up"})
    ASSERT_EQ(std::system((in + step).c_str()), 0) << step;
  NetWatchOptions options;
  options.resolvConf.clear();
  Watch(netns, options);
  for (const char* step : {"addr add 198.18.27.1/24 dev hxtr0", "link set hxtr0 up", "link set hxtr0 down",
                           "link set hxtr0 up"}) {
    const std::size_t before = Count();
    ASSERT_EQ(std::system((in + step).c_str()), 0);
    EXPECT_TRUE(Reported("change", before)) << step;
  }
  // A new lifetime or MTU changes nothing that matters; a new route does.
  const std::size_t before = Count();
  for (const char* step : {"addr change 198.18.27.1/24 dev hxtr0 valid_lft 300 preferred_lft 300",
                           "link set hxtr0 mtu 1400", "route add 198.18.99.0/24 dev hxtr0"})
    ASSERT_EQ(std::system((in + step).c_str()), 0) << step;
  ASSERT_TRUE(Reported("route change", before));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(reasons_.back(), "route change");
}

}  // namespace
}  // namespace hxt::dnsprotect
