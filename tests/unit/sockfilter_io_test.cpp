// The daemon's hot path pieces: the flat table, the service manager's
// datagrams, and a stub whose agent hangs.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "common/servicemanager.h"
#include "daemon/flatmap.h"
#include "daemon/passthrough.h"
#include "daemon/udprelay.h"
#include "fakes/capturelogger.h"
#include "fakes/controlpeer.h"
#include "fakes/dnstestkit.h"
#include "fakes/testroot.h"

namespace hxt::test {
namespace {

using namespace hxt::sockfilter;
using udp = boost::asio::ip::udp;

struct Identity {
  std::size_t operator()(u32 key) const { return key; }
};
// Three homes next to the table's end: long runs that wrap around.
struct Crowded {
  std::size_t operator()(u32 key) const { return 13 + key % 3; }
};

template <typename Hash>
void CompareWithMap(u32 keys) {
  CFlatMap<u32, u32, Hash> flat;
  std::map<u32, u32> reference;
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    u32 key = random() % keys;
    if (random() % 2 == 0) {
      flat[key] = reference[key] = static_cast<u32>(step);
    } else {
      flat.Erase(key);
      reference.erase(key);
    }
    ASSERT_EQ(flat.Size(), reference.size());
    for (u32 k = 0; k < keys; ++k) {
      const u32* found = flat.Find(k);
      ASSERT_EQ(found ? std::optional<u32>(*found) : std::nullopt,
                reference.count(k) ? std::optional<u32>(reference[k]) : std::nullopt)
          << "step " << step << " key " << k;
    }
  }
}

TEST(FlatMapTest, AgreesWithAMapThroughCollisionsGrowthAndErasure) {
  CompareWithMap<Identity>(64);
  CompareWithMap<Crowded>(12);  // stays in the first 16 entries
}

// A datagram socket at a path (or an abstract name) that keeps what it gets.
struct UnixSink {
  explicit UnixSink(const std::string& name) : fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
    ::bind(fd, reinterpret_cast<sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size()));
  }
  ~UnixSink() { ::close(fd); }
  std::string Take() {
    char buffer[512];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? "nothing" : std::string(buffer, static_cast<std::size_t>(n));
  }
  int fd;
};

TEST(ServiceManagerTest, NotifiesAPathOrAnAbstractNameAndWritesJournalRecords) {
  TestRoot root;
  for (const std::string& name : {root.path() + "/notify", std::string("@hxt-notify-test")}) {
    UnixSink sink(name);
    ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
    EXPECT_TRUE(platform::NotifyServiceManager("READY=1\nSTATUS=up"));
    EXPECT_EQ(sink.Take(), "READY=1\nSTATUS=up");
  }
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_TRUE(platform::NotifyServiceManager("READY=1"));  // outside systemd: nothing to tell

  UnixSink journal(root.path() + "/journal");
  ASSERT_TRUE(
      platform::SendToJournal("two\nlines", 4, "hxsockfilterd", {}, (root.path() + "/journal").c_str()));
  EXPECT_EQ(journal.Take(), std::string("MESSAGE\n\x09\0\0\0\0\0\0\0two\nlines\n", 26) +
                                "PRIORITY=4\nSYSLOG_IDENTIFIER=hxsockfilterd\n");
  EXPECT_FALSE(platform::SendToJournal("x", 6, "hxsockfilterd", {}, (root.path() + "/absent").c_str()));
}

// The agent hangs and reads nothing on its control connection either: the time-out's disruption notice
// overflows that connection, which drops the agent and clears its parameters on the spot, failing over every
// pending query while the stub is still expiring them. Each is still answered.
TEST(UdpRelayTest, ATimeOutWhoseNoticeDropsTheAgentStillAnswersEveryQuery) {
  ScopedCaptureLog log;
  const auto loopback = boost::asio::ip::make_address("127.0.0.1");
  TestResolver upstream("127.0.0.1", "192.0.2.1");
  boost::asio::io_context io;
  udp::socket hungAgent(io, udp::endpoint(loopback, 0));
  SockFilterConfig config;
  config.resolvers = {upstream.endpoint()};
  config.serviceTimeout = std::chrono::milliseconds(50);
  CFilterCore core(config);
  CPassThrough passThrough(io, core);
  CUdpRelay stub(io, core, passThrough, Nonce{});
  std::string why;
  ASSERT_TRUE(stub.Start(udp::endpoint(loopback, 0), why)) << why;
  core.SetParametersListener([&] { stub.RoutingChanged(); });
  // What the control server does when the notice overflows the owner's queue.
  core.SetDisruptionSender([&](u32, const std::string&) { core.SetParameters(FilterParameters()); });
  core.SetParameters(RedirectTo(hungAgent.local_endpoint().port(), 0, 0, 0));

  udp::socket client(io, udp::endpoint(loopback, 0));
  constexpr u16 kQueries = 3;
  for (u16 id = 0; id < kQueries; ++id)
    client.send_to(boost::asio::buffer(MakeQuery("hung.test", id)), stub.LocalEndpoint());
  int answered = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        io.run_one_for(std::chrono::milliseconds(20));
        for (Bytes answer(512); client.available() > 0; ++answered, answer.resize(512)) {
          answer.resize(client.receive(boost::asio::buffer(answer)));
          EXPECT_EQ(AnswerAddress(answer), "192.0.2.1");
        }
        return answered == kQueries;
      },
      std::chrono::seconds(5)))
      << answered;
  EXPECT_EQ(core.counters().failedOver, kQueries);
  stub.Stop();
  passThrough.Stop();
}

}  // namespace
}  // namespace hxt::test
