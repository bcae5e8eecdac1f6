// Which program asked, through the in-process daemon's stub: processes of other programs (this test binary
// and dig) and other users ask, and the daemon's PROGRAMS reply must count each under its own program.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "common/daemonquery.h"
#include "daemon/redirectheader.h"
#include "fakes/redirectclient.h"
#include "support/daemonbench.h"

namespace hxt::test {
namespace {

namespace asio = boost::asio;
using namespace hxt::sockfilter;
using udp = asio::ip::udp;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

std::string realPath(const char* path) {
  std::error_code absent;
  return std::filesystem::canonical(path, absent).string();
}

using Program = std::pair<std::string, std::string>;  // its path and uid
// Its queries, those sent to the agent, those blocked, whether it is ignored, its last names.
using Counted = std::tuple<u64, u64, u64, bool, std::string>;

class AttributionDaemonTest : public ::testing::Test, public DaemonBench {
 protected:
  void Start() {
    StartDaemon();
    if (!HasFatalFailure()) stub_ = daemon_->Udp(HXT_AF_INET);
  }

  // (program, uid) → its counters, as the daemon reports them.
  std::map<Program, Counted> Programs() {
    std::string note, why;
    std::vector<std::string> rows;
    EXPECT_TRUE(QueryDaemonRows(config_.controlPath, kMsgPrograms, "test", note, &rows, why)) << why;
    EXPECT_EQ(note, "names");
    std::map<Program, Counted> out;
    for (const std::string& row : rows) {
      std::istringstream fields(row);
      std::vector<std::string> f;
      for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
      if (f.size() < 10) continue;
      out[{f[0], f[1]}] = Counted{std::stoull(f[4]), std::stoull(f[5]), std::stoull(f[6]), f[8] == "1", f[9]};
    }
    return out;
  }

  // Sends `query` from `fd` to the stub; whether `expected` came back within
  // 5 s. System calls only: children call it.
  bool Ask(int fd, const Bytes& query, const Bytes& expected) {
    ::sendto(fd, query.data(), query.size(), 0, stub_.data(), static_cast<socklen_t>(stub_.size()));
    pollfd p{fd, POLLIN, 0};
    u8 answer[512];
    ssize_t n = ::poll(&p, 1, 5000) == 1 ? ::recv(fd, answer, sizeof answer, 0) : -1;
    return n == static_cast<ssize_t>(expected.size()) &&
           std::memcmp(answer, expected.data(), expected.size()) == 0;
  }

  // A child process of this binary, as `uid`, asks `query` twice from a
  // socket bound to `from` and exits 0 when `expected` came back each time.
  int AskTwiceFromChild(u32 uid, const udp::endpoint& from, const Bytes& query, const Bytes& expected) {
    return RunAs(uid, [&] {
      int fd = ::socket(AF_INET, SOCK_DGRAM, 0), on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      if (::bind(fd, from.data(), static_cast<socklen_t>(from.size())) != 0) return 3;
      return Ask(fd, query, expected) && Ask(fd, query, expected) ? 0 : 4;
    });
  }

  // What `look` finds on the daemon's thread.
  template <typename Look>
  auto OnDaemon(Look look) {
    std::promise<decltype(look(daemon_->Daemon()))> found;
    daemon_->Post([&] { found.set_value(look(daemon_->Daemon())); });
    return found.get_future().get();
  }

  udp::endpoint stub_;
  std::string dig_ = realPath("/usr/bin/dig"), self_ = realPath("/proc/self/exe");
};

// Two programs of two users ask in turn from the same port: the first one's two queries cost one kernel
// lookup, the close of its socket is noticed, and the second is looked up anew, not counted to the first; the
// ignored one goes direct.
TEST_F(AttributionDaemonTest, TwoProgramsOfTwoUsersAreCountedApartAndAnIgnoredOneGoesDirect) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to ask as another user";
  if (dig_.empty()) GTEST_SKIP() << "needs dig (the project's package list installs it)";
  const group* nogroup = ::getgrgid(kNobody);
  if (nogroup == nullptr) GTEST_SKIP() << "needs the group of gid " << kNobody;
  config_.controlGroup = nogroup->gr_name;
  config_.ignoredPrograms = {dig_};
  Start();
  Redirect();
  const u16 port = LoopbackSocket(kAddressFamilyIPv4, SOCK_DGRAM).LocalPort();
  const udp::endpoint from(asio::ip::make_address("127.0.0.1"), port);
  const Bytes query = MakeQuery("one.test", 0x4242);
  const auto lookups = [](CSockFilterDaemon& d) { return d.SocketOwners().KernelLookups(); };
  const u64 before = OnDaemon(lookups);
  EXPECT_EQ(AskTwiceFromChild(kNobody, from, query, MakeAnswer(query, kAgentAnswer)), 0);
  EXPECT_EQ(OnDaemon(lookups) - before, 1u);
  EXPECT_TRUE(WaitFor(
      [&] { return !OnDaemon([&](CSockFilterDaemon& d) { return d.SocketOwners().RemembersPort(from); }); }));
  // dig, from the same port, is never shown to the agent.
  const std::string dug = root_.path() + "/dig.txt";
  const std::string dig = dig_ + " +short +tries=1 +time=5 -p " + std::to_string(stub_.port()) +
                          " -b '127.0.0.1#" + std::to_string(port) + "' @127.0.0.1 two.test >'" + dug + "'";
  EXPECT_EQ(std::system(dig.c_str()), 0);
  EXPECT_EQ(ReadFile(dug), std::string(kResolverAnswer) + "\n");
  auto programs = Programs();
  EXPECT_EQ(programs[Program(self_, std::to_string(kNobody))],
            (Counted{2, 2, 0, false, "one.test one.test"}));
  EXPECT_EQ(programs[Program(dig_, "0")], (Counted{1, 0, 0, true, "two.test"}));
  EXPECT_EQ(service_.MessageCount(), 2u);
  // A member of the control group who is not the agent's user sees the counters, not the names.
  ::chmod(root_.path().c_str(), 0711);
  ::chmod((root_.path() + "/run").c_str(), 0711);
  const auto seesCountersOnly = [&] {
    std::string note, why;
    std::vector<std::string> rows;
    if (!QueryDaemonRows(config_.controlPath, kMsgPrograms, "test", note, &rows, why)) return 3;
    bool named = false;
    for (const std::string& row : rows) named = named || row.substr(row.rfind('\t') + 1) != "-";
    return note == "counters only" && rows.size() == 2 && !named ? 0 : 4;
  };
  EXPECT_EQ(RunAs(kNobody, seesCountersOnly), 0);
}

// Every message of a TCP connection counts for its program, those that came with the first (which routes the
// connection) and those after, and every answer of the agent is looked at: here the agent blocks b.tcp.test.
TEST_F(AttributionDaemonTest, EveryMessageOfATcpConnectionAndItsBlockedAnswerAreCounted) {
  Start();
  asio::io_context io;
  tcp::acceptor listener(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
  const tcp::endpoint agentAt = listener.local_endpoint();  // read before the thread takes the acceptor
  std::thread agent([&] {
    boost::system::error_code ec;
    tcp::socket peer = listener.accept(ec);
    std::array<u8, sockfilter::kRedirectHeaderSize> header{};
    while (!ec && asio::read(peer, asio::buffer(header), ec) == header.size()) {
      Bytes framed(static_cast<std::size_t>(header[68] | header[69] << 8));
      if (asio::read(peer, asio::buffer(framed), ec) != framed.size() || framed.size() < 16) break;
      Bytes answer = MakeAnswer(Bytes(framed.begin() + 2, framed.end()), kAgentAnswer);
      if (framed[15] == 'b') {  // an OPT record with Extended DNS Error 15
        answer[11] = 1;
        answer.insert(answer.end(), {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 6, 0, 15, 0, 2, 0, 15});
      }
      asio::write(peer, asio::buffer(WithLength(answer)), ec);
    }
  });
  Redirect(agentAt.port());
  LoopbackSocket client(kAddressFamilyIPv4, SOCK_STREAM);
  ASSERT_TRUE(client.Connect(daemon_->Tcp(HXT_AF_INET).port()));
  Bytes twoAtOnce = WithLength(MakeQuery("a.tcp.test", 1));
  const Bytes second = WithLength(MakeQuery("b.tcp.test", 2));
  twoAtOnce.insert(twoAtOnce.end(), second.begin(), second.end());
  EXPECT_TRUE(client.Send(twoAtOnce) && client.ReceiveFramed() && client.ReceiveFramed());
  EXPECT_TRUE(client.Send(WithLength(MakeQuery("c.tcp.test", 3))) && client.ReceiveFramed());
  EXPECT_EQ(Programs()[Program(self_, std::to_string(::geteuid()))],
            (Counted{3, 3, 1, false, "a.tcp.test b.tcp.test c.tcp.test"}));
  client.Close();
  tcp::socket poke(io);  // frees the agent's accept if nothing came
  boost::system::error_code ignored;
  poke.connect(agentAt, ignored);
  poke.close();
  agent.join();
}

TEST_F(AttributionDaemonTest, QueriesOfAProcessThatExitedMidBurstCountAsExitedAndAreAnswered) {
  Start();
  const Bytes first = MakeQuery("alive.test", 1), firstAnswer = MakeAnswer(first, kResolverAnswer);
  std::vector<Bytes> late;
  for (u16 id = 2; id < 6; ++id) late.push_back(MakeQuery("late.test", id));
  ChildAs child(std::nullopt, [&](ChildAs& self) {
    // The rest from a socket the daemon has not looked up: one it found alive would be remembered until the
    // kernel's notice of its close, which may come after the burst.
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0), rest = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (!Ask(fd, first, firstAnswer)) return 1;
    self.Ready();
    self.Held();
    for (const Bytes& q : late)
      ::sendto(rest, q.data(), q.size(), 0, stub_.data(), static_cast<socklen_t>(stub_.size()));
    return 0;
  });
  ASSERT_TRUE(child.WaitReady());
  // The daemon is held while the rest of the burst is sent and its sender
  // exits: the daemon finds the socket gone.
  std::promise<void> holding, release;
  std::future<void> released = release.get_future();
  daemon_->Post([&] {
    holding.set_value();
    released.wait_for(10s);
  });
  holding.get_future().wait();
  const int code = child.Release();
  release.set_value();
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(WaitFor([&] { return upstream_.udpQueries() == 5; })) << upstream_.udpQueries();
  auto programs = Programs();
  const std::string uid = std::to_string(::geteuid());
  EXPECT_EQ(std::get<0>(programs[Program(self_, uid)]), 1u);
  EXPECT_EQ(std::get<0>(programs[Program("exited", "-")]), 4u);
}

}  // namespace
}  // namespace hxt::test
