// The listener hosts: datagrams and their limits, answers and sessions, TCP connections with their
// whole-message parsing, and the request contexts the orchestrator keeps for them.
#include "agent/velmoralistener.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <tuple>

#include "agent/velmoracontextcache.h"
#include "agent/velmoratcplistenerconn.h"
#include "fakes/capturelogger.h"
#include "fakes/recordinglistenercb.h"
#include "fakes/redirectclient.h"
#include "fakes/scopedkdfmgr.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using test::Bytes;
using test::LoopbackSocket;

// A started listener host over the filter manager, its callbacks recorded.
class ListenerHarness {
 protected:
  void StartHost(u32 family, const ListenerSettings& settings = ListenerSettings()) {
    bool ok = false;
    host = std::make_unique<CVelmoraListener>(&callback, family, ok, settings);
    ASSERT_TRUE(ok && host->GetListenerPorts(udpPort, tcpPort));
    host->start();
  }

  test::ScopedCaptureLog log{true};
  test::ScopedKdfPluginMgr kdf;
  test::RecordingListenerCB callback;
  std::unique_ptr<CVelmoraListener> host;
  u16 udpPort = 0, tcpPort = 0;
};

class ListenerHostTest : public ListenerHarness, public ::testing::TestWithParam<u32> {
 protected:
  void SetUp() override {
    if (GetParam() == kAddressFamilyIPv6 && !test::HaveIPv6Loopback()) GTEST_SKIP() << "no IPv6 loopback";
    StartHost(GetParam());
  }
  bool v6() const { return GetParam() == kAddressFamilyIPv6; }
  std::string Loopback() const { return v6() ? "::1" : "127.0.0.1"; }
  test::SocketAddressBytes Destination() const {
    return test::FilterSocketAddress(GetParam(), v6() ? "2001:db8::53" : "192.0.2.53", 53);
  }
  Bytes Request(std::size_t dnsSize, std::optional<u16> lengthField = std::nullopt) {
    return test::RedirectedMessage(client.AsRequester(), Destination(), test::DnsBytes(dnsSize), lengthField);
  }
  // Sends `datagram` and then a good one; true when the good one arrived last.
  bool SendThenProbe(const Bytes& datagram) {
    Bytes probe = test::RedirectedMessage(client.AsRequester(), Destination(), test::DnsBytes(20, 99));
    std::size_t before = callback.Datagrams().size();
    return client.SendTo(udpPort, datagram) && client.SendTo(udpPort, probe) && test::WaitFor([&] {
             auto datagrams = callback.Datagrams();
             return datagrams.size() > before && datagrams.back() == probe;
           });
  }

  LoopbackSocket client{GetParam(), SOCK_DGRAM};
};

INSTANTIATE_TEST_SUITE_P(Families, ListenerHostTest,
                         ::testing::Values(kAddressFamilyIPv4, kAddressFamilyIPv6), [](const auto& info) {
                           return std::string(info.param == kAddressFamilyIPv4 ? "IPv4" : "IPv6");
                         });

TEST_P(ListenerHostTest, HandsOnWellFramedDatagramsAndDropsTheOthers) {
  // The datagram, the error line (empty when the datagram is handed on).
  const std::tuple<const char*, Bytes, std::string> cases[] = {
      {"empty", Bytes(), "Malformed received payload (expected at least 71)"},
      {"header only", Request(0), "Malformed received payload (expected at least 71)"},
      {"length field too small", Request(30, 40), "Malformed received payload (expected 110)"},
      {"length field too large", Request(30, 20), "Malformed received payload (expected 90)"},
      {"one byte", Request(1), ""},
      {"largest", Request(4026), ""},
      {"one byte too large", Request(4027), "received 4097 bytes (max expected - 4096), ignoring data"}};
  for (const auto& [name, datagram, message] : cases) {
    SCOPED_TRACE(name);
    log.Clear();
    std::size_t before = callback.Datagrams().size();
    ASSERT_TRUE(SendThenProbe(datagram));
    auto datagrams = callback.Datagrams();
    ASSERT_EQ(datagrams.size(), before + (message.empty() ? 2 : 1));
    EXPECT_TRUE(!message.empty() || datagrams[before] == datagram);
    EXPECT_TRUE(message.empty() ? log.Messages(LOG_LEVEL_ERROR).empty() : log.Has(LOG_LEVEL_ERROR, message))
        << log.Dump();
  }
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG,
                      "received 90 bytes from [" + Loopback() + "]:" + std::to_string(client.LocalPort())));

  // A refused hand-over is logged and receiving goes on.
  callback.SetHandOverResult(false);
  ASSERT_TRUE(SendThenProbe(Request(12)));
  EXPECT_EQ(log.Count("OnUdpRequestAvailable failed"), 2u);

  // An answer sent on the caller's thread is closed on the I/O thread: a
  // plug-in answering with its own locks held gets its CloseSession elsewhere.
  Bytes response = test::RedirectedMessage(client.AsRequester(), Destination(), test::DnsBytes(13, 6));
  const unsigned char* requester = response.data() + kRequesterAddressOffset;
  EXPECT_EQ(host->TrySendUdpDnsResponse(response.data(), static_cast<u32>(response.size()), requester, 78),
            CVelmoraUdpListener::SendOutcome::Sent);
  EXPECT_EQ(client.Receive(), std::optional<Bytes>(response));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Sent UDP DNS response of size 83 to KDF [ctx 78]"));
  EXPECT_EQ(host->TrySendUdpDnsResponse(nullptr, 83, requester, 79),
            CVelmoraUdpListener::SendOutcome::Dropped);
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{78}; }));
  EXPECT_NE(callback.CloseThreads()[0], std::this_thread::get_id());
}

TEST_P(ListenerHostTest, AnAnswerSentElsewhereIsClosedByTheNextPassOrWithinTheWindow) {
  // Each answer follows a pass that handed a request on, so the pass's timer
  // is armed: with a window longer than the test only the next datagram's
  // pass can close the session; with the default one, nothing else comes.
  const std::tuple<std::chrono::milliseconds, bool> cases[] = {{std::chrono::hours(1), true},
                                                               {kSentCloseWindow, false}};
  u32 contextId = 90;
  for (const auto& [window, nextDatagram] : cases) {
    SCOPED_TRACE(window.count());
    ListenerSettings settings;
    settings.sentCloseWindow = window;
    host.reset();
    StartHost(GetParam(), settings);
    const std::size_t closed = callback.Closed().size();
    ASSERT_TRUE(SendThenProbe(Request(12)));
    Bytes response = test::RedirectedMessage(client.AsRequester(), Destination(), test::DnsBytes(13, 7));
    ASSERT_EQ(host->TrySendUdpDnsResponse(response.data(), static_cast<u32>(response.size()),
                                          response.data() + kRequesterAddressOffset, ++contextId),
              CVelmoraUdpListener::SendOutcome::Sent);
    EXPECT_EQ(client.Receive(), std::optional<Bytes>(response));
    if (nextDatagram) {
      EXPECT_EQ(callback.Closed().size(), closed);
      ASSERT_TRUE(SendThenProbe(Request(12)));
    }
    ASSERT_TRUE(test::WaitFor([&] { return callback.Closed().size() == closed + 1; }));
    EXPECT_EQ(callback.Closed().back(), contextId);
    EXPECT_NE(callback.CloseThreads().back(), std::this_thread::get_id());
  }
}

TEST_P(ListenerHostTest, ResponseGoesToTheRequesterPortOnLoopbackAndThenClosesTheSession) {
  // The requester address names another host: the answer still goes to loopback, at the requester's port.
  auto requester =
      test::FilterSocketAddress(GetParam(), v6() ? "2001:db8::7" : "198.51.100.7", client.LocalPort());
  Bytes response = test::RedirectedMessage(requester, Destination(), test::DnsBytes(13, 5));
  host->ProcessUdpDnsResponse(std::make_shared<const Bytes>(response), static_cast<u32>(response.size()),
                              response.data() + kRequesterAddressOffset, 77);
  u16 from = 0;
  EXPECT_EQ(client.Receive(&from), std::optional<Bytes>(response));
  EXPECT_EQ(from, udpPort);
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{77}; }));
  EXPECT_NE(callback.CloseThreads()[0], std::this_thread::get_id());
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Sending to KDF UDP DNS response of size 83 to " + Loopback() + ":" +
                                           std::to_string(client.LocalPort()) + " [ctx 77]"));

  // A requester of the other family, no bytes or a zero size are refused.
  auto wrongFamily = test::FilterSocketAddress(v6() ? kAddressFamilyIPv4 : kAddressFamilyIPv6,
                                               v6() ? "127.0.0.1" : "::1", 5353);
  auto rightFamily = test::FilterSocketAddress(GetParam(), Loopback(), 5353);
  auto bytes = std::make_shared<const Bytes>(test::DnsBytes(90));
  host->ProcessUdpDnsResponse(bytes, 90, wrongFamily.data(), 1);
  host->ProcessUdpDnsResponse(nullptr, 90, rightFamily.data(), 2);
  host->ProcessUdpDnsResponse(bytes, 0, rightFamily.data(), 3);
  EXPECT_EQ(log.Count("At least one argument is invalid"), 3u);
  EXPECT_EQ(callback.Closed(), std::vector<u32>{77});

  // Datagrams queued while the I/O thread works are read in one go, in order.
  std::vector<Bytes> sent;
  for (unsigned char i = 0; i < 100; ++i) {
    sent.push_back(test::RedirectedMessage(client.AsRequester(), Destination(), test::DnsBytes(20, i)));
    ASSERT_TRUE(client.SendTo(udpPort, sent.back()));
  }
  ASSERT_TRUE(test::WaitFor([&] { return callback.Datagrams().size() == sent.size(); }));
  EXPECT_EQ(callback.Datagrams(), sent);
}

TEST(ListenerHostConstruction, RefusesBadArgumentsAndReportsNoPorts) {
  test::ScopedCaptureLog log;
  test::RecordingListenerCB callback;
  const std::tuple<IVelmoraListenerCB*, u32, const char*> cases[] = {
      {&callback, 0, "Invalid address family parameter"},
      {&callback, 10, "Invalid address family parameter"},  // the native AF_INET6
      {nullptr, kAddressFamilyIPv4, "Invalid callback interface parameter"},
      // Without the filter manager the UDP listener is refused and no TCP listener is built.
      {&callback, kAddressFamilyIPv4, "KDF plugin manager not initialized"}};
  for (const auto& [cb, family, message] : cases) {
    SCOPED_TRACE(message);
    log.Clear();
    bool ok = true;
    CVelmoraListener host(cb, family, ok);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, message)) << log.Dump();
    u16 udp = 1, tcp = 1;
    EXPECT_FALSE(host.GetListenerPorts(udp, tcp));
    EXPECT_EQ(udp + tcp, 0);
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "At least one listener is not initialized."));
  }
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraUdpListener failure"));
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Message(std::size_t dnsSize, std::optional<u16> lengthField = std::nullopt, unsigned char seed = 1) {
  return test::RedirectedMessage(test::FilterSocketAddress(kAddressFamilyIPv4, "127.0.0.1", 40000),
                                 test::FilterSocketAddress(kAddressFamilyIPv4, "192.0.2.53", 53),
                                 test::DnsBytes(dnsSize, seed), lengthField);
}

Bytes Prefix(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + size);
}

std::string Insufficient(int have, int need) {
  return "Insufficient remaining buffer (" + std::to_string(have) + " bytes, expected at least " +
         std::to_string(need) + ")";
}

TEST(ParseReceivedData, FindsWholeMessagesOnly) {
  // What was read; the sizes of the messages found, in order; the error logged
  // by the call after them that fails (empty when none does).
  const std::tuple<Bytes, std::vector<std::size_t>, std::string> cases[] = {
      {Message(30), {100}, ""},
      {Message(30) + Message(1), {100, 71}, ""},
      {Message(30, 60), {}, Insufficient(100, 130)},
      {Bytes(50, 0), {}, Insufficient(50, 71)},
      {Message(30) + Prefix(Message(30), 40), {100}, Insufficient(40, 71)},
      {Message(30) + Prefix(Message(30), 80), {100}, Insufficient(80, 100)},
      {Message(30) + Bytes(1, 7), {100}, "Payload start out of bounds"}};
  int row = 0;
  for (const auto& [read, found, error] : cases) {
    SCOPED_TRACE("case " + std::to_string(row++));
    test::ScopedCaptureLog log;
    const unsigned char *first = read.data(), *last = first + read.size() - 1, *start = nullptr;
    std::size_t size = 0, offset = 0;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const bool moreFollows = i + 1 < found.size() || !error.empty();
      bool more = !moreFollows;
      ASSERT_TRUE(CVelmoraTcpListenerConnection::parseReceivedData(first, last, start, size, more))
          << log.Dump();
      EXPECT_EQ(static_cast<std::size_t>(start - first), offset);
      EXPECT_EQ(size, found[i]);
      EXPECT_EQ(more, moreFollows);
      offset += size;
    }
    bool more = false;
    EXPECT_TRUE(error.empty() ||
                !CVelmoraTcpListenerConnection::parseReceivedData(first, last, start, size, more));
    EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR), error.empty() ? std::vector<std::string>{} : std::vector{error});
  }
}

class TcpConnectionTest : public ListenerHarness, public ::testing::Test {
 protected:
  void Start(const ListenerSettings& settings = ListenerSettings()) {
    StartHost(kAddressFamilyIPv4, settings);
    ASSERT_TRUE(client.Connect(tcpPort));
  }
  // Sends the first message and returns the connection the callback got.
  std::shared_ptr<CVelmoraTcpListenerConnection> Open(const Bytes& message) {
    EXPECT_TRUE(client.Send(message));
    EXPECT_TRUE(test::WaitFor([&] { return !callback.Fragments().empty(); }));
    auto fragments = callback.Fragments();
    return fragments.empty() ? nullptr : fragments[0].connection;
  }

  LoopbackSocket client{kAddressFamilyIPv4, SOCK_STREAM};
};

TEST_F(TcpConnectionTest, MessagesOfOneReadAreTheFirstAndLaterFragmentsOfOneContext) {
  Start();
  Bytes first = Message(30, {}, 1), second = Message(5, {}, 2), third = Message(8, {}, 3);
  ASSERT_TRUE(client.Send(first + second));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 2; }));
  ASSERT_TRUE(client.Send(third));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 3; }));
  auto fragments = callback.Fragments();
  const u32 id = fragments[0].connection->contextId();
  const Bytes expected[] = {first, second, third};
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::tie(fragments[i].first, fragments[i].bytes, fragments[i].contextId),
              std::make_tuple(i == 0, expected[i], id));
  // The peer's close ends the session of the connection's context.
  client.Close();
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
}

TEST_F(TcpConnectionTest, BadlyFramedReadsAreDroppedAndAProcessingErrorClosesOnTheIoThread) {
  Start();
  // A message split across two reads is not reassembled: each part is
  // parsed as if a message began at its first byte.
  Bytes whole = Message(30);
  ASSERT_TRUE(client.Send(Prefix(whole, 40)));
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("Failed to parse received data, ignoring") == 1; }));
  ASSERT_TRUE(client.Send(Bytes(whole.begin() + 40, whole.end())));
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("Failed to parse received data, ignoring") == 2; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Insufficient remaining buffer (60 bytes, expected at least 71)"));
  EXPECT_TRUE(callback.Fragments().empty());

  auto connection = Open(whole);
  ASSERT_TRUE(connection);
  EXPECT_EQ(callback.Fragments()[0].bytes, whole);

  // A processing error closes the connection on the I/O thread; the
  // orchestrator's side of a refused request the DNS path tests show.
  const u32 id = connection->contextId();
  EXPECT_TRUE(connection->PostRequestProcessingError());
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return !callback.Closed().empty(); }));
  // Once only, though the read the close aborted ends too: a connection
  // taken after it shows that the I/O thread has run that handler.
  ASSERT_TRUE(Open(whole));
  EXPECT_EQ(callback.Closed(), std::vector<u32>{id});
  EXPECT_NE(callback.CloseThreads()[0], std::this_thread::get_id());
  boost::asio::io_service io;
  EXPECT_EQ(CVelmoraTcpListenerConnection::Create(nullptr, io), nullptr);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "bad callback interface"));
}

TEST_F(TcpConnectionTest, AnswersGoOutUnframedInOrderAndAnEmptyAnswerEndsTheConnection) {
  Start();
  auto connection = Open(Message(30));
  ASSERT_TRUE(connection);
  const u32 id = connection->contextId();
  Bytes a = test::DnsBytes(300, 11), b = test::DnsBytes(50000, 12), c = test::DnsBytes(1, 13);
  for (const Bytes* answer : {&a, &b, &c})
    connection->ProcessResponseFragment(std::make_shared<const Bytes>(*answer),
                                        static_cast<u32>(answer->size()));
  connection->ProcessResponseFragment(nullptr, 0);
  EXPECT_EQ(client.ReceiveExactly(a.size() + b.size() + c.size()), std::optional<Bytes>(a + b + c));
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));

  log.Clear();
  connection->ProcessResponseFragment(std::make_shared<const Bytes>(a), static_cast<u32>(a.size()));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "TCP socket is closed [ctx " + std::to_string(id) + "]"));
}

TEST_F(TcpConnectionTest, IdleConnectionTimesOut) {
  ListenerSettings settings;
  settings.tcpReceiveTimeout = std::chrono::milliseconds(50);
  Start(settings);
  ASSERT_TRUE(test::WaitFor([&] { return log.Has(LOG_LEVEL_ERROR, "receive timed out"); }));
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(callback.Closed().empty());

  // With a context, the time-out also closes the session.
  LoopbackSocket second(kAddressFamilyIPv4, SOCK_STREAM);
  ASSERT_TRUE(second.Connect(tcpPort) && second.Send(Message(3)));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 1; }));
  ASSERT_TRUE(test::WaitFor(
      [&] { return callback.Closed() == std::vector<u32>{callback.Fragments()[0].contextId}; }));
  EXPECT_TRUE(second.WaitForClose());
}

// A host whose thread is stuck in a callback (as when it waits for the orchestrator's listenerMutex held by
// the destroyer) is destroyed after the bounded wait; the thread finishes its handler on listeners that are
// still alive and frees them itself.
TEST_F(TcpConnectionTest, HostDestroyedWhileItsThreadIsBusyLeavesTheThreadItsListeners) {
  ASSERT_TRUE(CVelmoraListener::WaitForAllThreads(std::chrono::seconds(10)));
  ListenerSettings settings;
  settings.stopWait = std::chrono::milliseconds(20);
  Start(settings);
  // An open TCP connection whose context the orchestrator would still hold.
  auto connection = Open(Message(5));
  ASSERT_TRUE(connection);
  callback.HoldDatagrams();
  LoopbackSocket udp(kAddressFamilyIPv4, SOCK_DGRAM);
  ASSERT_TRUE(udp.SendTo(udpPort, Message(5)));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Held() == 1; }));

  host.reset();
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Failed to stop ioListenerService thread"));
  EXPECT_EQ(CVelmoraListener::RunningThreads(), 1u);
  EXPECT_FALSE(CVelmoraListener::WaitForAllThreads(std::chrono::milliseconds(1)));

  // Once the thread has freed the listeners, the connection the orchestrator
  // still holds is detached from the service that is gone.
  callback.Release();
  ASSERT_TRUE(CVelmoraListener::WaitForAllThreads(std::chrono::seconds(10)));
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "ioListenerService run complete"));
  connection->ProcessResponseFragment(std::make_shared<const Bytes>(test::DnsBytes(4)), 4);
  EXPECT_FALSE(connection->PostRequestProcessingError());
  EXPECT_TRUE(client.WaitForClose());
}

test::Bytes Header(u32 requesterFamily) {
  return test::RedirectedMessage(
      test::FilterSocketAddress(requesterFamily, requesterFamily == kAddressFamilyIPv6 ? "::1" : "127.0.0.1",
                                4000),
      test::FilterSocketAddress(kAddressFamilyIPv4, "192.0.2.1", 53), test::DnsBytes(4));
}

TEST(ContextCache, IdsRunOnAndAreNeverReusedAndContextsAreCopiedOut) {
  CVelmoraContextCache cache;
  auto header = Header(kAddressFamilyIPv6);
  const u32 first = cache.Add(header.data(), nullptr, false);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), 2u);
  EXPECT_TRUE(cache.SetSession(2, 42));
  std::size_t remaining = 9;
  EXPECT_TRUE(cache.Erase(2, remaining) && remaining == 1u);
  EXPECT_FALSE(cache.Erase(2, remaining) || remaining != 1u);
  // The next context takes the finished one's place in memory, none of its fields.
  auto v4 = Header(kAddressFamilyIPv4);
  EXPECT_EQ(cache.Add(v4.data(), nullptr, true), 3u);
  RequestContext context;
  for (const auto& [id, bytes, udp] : {std::tuple{3u, v4, true}, std::tuple{first, header, false}}) {
    ASSERT_TRUE(cache.Find(id, context));
    EXPECT_TRUE(std::equal(context.header.begin(), context.header.end(), bytes.begin())) << id;
    EXPECT_EQ(std::tie(context.session, context.isUdp), std::make_tuple(0u, udp)) << id;
  }
  EXPECT_TRUE(cache.SetSession(first, 555));
  EXPECT_EQ(context.session, 0u);  // a copy, not a view
  ASSERT_TRUE(cache.Find(first, context));
  EXPECT_EQ(context.session, 555u);
  EXPECT_FALSE(cache.SetSession(2, 1));
  EXPECT_FALSE(cache.Find(2, context));

  EXPECT_EQ(cache.RemoveAll(), 2u);
  EXPECT_EQ(cache.Add(header.data(), nullptr, true), 4u);
}

}  // namespace
}  // namespace hxt
