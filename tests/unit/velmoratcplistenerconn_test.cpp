#include "agent/velmoratcplistenerconn.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "agent/velmoralistener.h"
#include "fakes/capturelogger.h"
#include "fakes/recordinglistenercb.h"
#include "fakes/redirectclient.h"
#include "fakes/scopedkdfmgr.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using test::Bytes;
using test::LoopbackSocket;

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
  const struct {
    Bytes read;
    std::vector<std::size_t> found;  // sizes of the messages found, in order
    std::string error;               // logged by the call after them that fails; empty when none does
  } cases[] = {
      {Message(30), {100}, ""},
      {Message(30) + Message(1), {100, 71}, ""},
      {Message(30, 60), {}, Insufficient(100, 130)},
      {Bytes(50, 0), {}, Insufficient(50, 71)},
      {Message(30) + Prefix(Message(30), 40), {100}, Insufficient(40, 71)},
      {Message(30) + Prefix(Message(30), 80), {100}, Insufficient(80, 100)},
      {Message(30) + Bytes(1, 7), {100}, "Payload start out of bounds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    test::ScopedCaptureLog log;
    const unsigned char *first = c.read.data(), *last = first + c.read.size() - 1, *start = nullptr;
    std::size_t size = 0, offset = 0;
    for (std::size_t i = 0; i < c.found.size(); ++i) {
      const bool moreFollows = i + 1 < c.found.size() || !c.error.empty();
      bool more = !moreFollows;
      ASSERT_TRUE(CVelmoraTcpListenerConnection::parseReceivedData(first, last, start, size, more))
          << log.Dump();
      EXPECT_EQ(static_cast<std::size_t>(start - first), offset);
      EXPECT_EQ(size, c.found[i]);
      EXPECT_EQ(more, moreFollows);
      offset += size;
    }
    bool more = false;
    if (!c.error.empty()) {
      EXPECT_FALSE(CVelmoraTcpListenerConnection::parseReceivedData(first, last, start, size, more));
    }
    EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR),
              c.error.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.error});
  }
}

class TcpConnectionTest : public ::testing::Test {
 protected:
  void Start(std::chrono::milliseconds receiveTimeout = kTcpReceiveTimeout) {
    ListenerSettings settings;
    settings.tcpReceiveTimeout = receiveTimeout;
    bool ok = false;
    host = std::make_unique<CVelmoraListener>(&callback, kAddressFamilyIPv4, ok, settings);
    ASSERT_TRUE(ok);
    u16 udpPort;
    ASSERT_TRUE(host->GetListenerPorts(udpPort, tcpPort));
    host->start();
    ASSERT_TRUE(client.Connect(tcpPort));
  }
  // Sends the first message and returns the connection the callback got.
  std::shared_ptr<CVelmoraTcpListenerConnection> Open(const Bytes& message) {
    EXPECT_TRUE(client.Send(message));
    EXPECT_TRUE(test::WaitFor([&] { return !callback.Fragments().empty(); }));
    auto fragments = callback.Fragments();
    return fragments.empty() ? nullptr : fragments[0].connection;
  }
  // Opens a second connection with one message and waits for its context.
  u32 OpenSecond(LoopbackSocket& second) {
    EXPECT_TRUE(second.Connect(tcpPort));
    EXPECT_TRUE(second.Send(Message(3)));
    EXPECT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 1; }));
    return callback.Fragments().empty() ? 0 : callback.Fragments()[0].contextId;
  }

  test::ScopedCaptureLog log{true};
  test::ScopedKdfPluginMgr kdf;
  test::RecordingListenerCB callback;
  LoopbackSocket client{kAddressFamilyIPv4, SOCK_STREAM};
  std::unique_ptr<CVelmoraListener> host;
  u16 tcpPort = 0;
};

TEST_F(TcpConnectionTest, MessagesOfOneReadAreTheFirstAndLaterFragmentsOfOneContext) {
  Start();
  Bytes first = Message(30, {}, 1), second = Message(5, {}, 2), third = Message(8, {}, 3);
  ASSERT_TRUE(client.Send(first + second));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 2; }));
  ASSERT_TRUE(client.Send(third));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 3; }));
  auto fragments = callback.Fragments();
  EXPECT_EQ(fragments[0].connection->contextId(), fragments[0].contextId);
  const Bytes expected[] = {first, second, third};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(fragments[i].first, i == 0);
    EXPECT_EQ(fragments[i].bytes, expected[i]);
    EXPECT_EQ(fragments[i].contextId, fragments[0].contextId);
  }
}

TEST_F(TcpConnectionTest, BadlyFramedReadsAreDroppedAndReadingGoesOn) {
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

  ASSERT_TRUE(Open(whole));
  EXPECT_EQ(callback.Fragments()[0].bytes, whole);
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

TEST_F(TcpConnectionTest, PeerClosingEndsTheSessionOnlyOnceAContextExists) {
  Start();
  client.Close();
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("receive error [2-End of file], ctx 0") == 1; }))
      << log.Dump();
  EXPECT_TRUE(callback.Closed().empty());

  LoopbackSocket second(kAddressFamilyIPv4, SOCK_STREAM);
  const u32 id = OpenSecond(second);
  second.Close();
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
}

TEST_F(TcpConnectionTest, IdleConnectionTimesOut) {
  Start(std::chrono::milliseconds(50));
  ASSERT_TRUE(test::WaitFor([&] { return log.Has(LOG_LEVEL_ERROR, "receive timed out"); }));
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(callback.Closed().empty());

  // With a context, the time-out also closes the session.
  LoopbackSocket second(kAddressFamilyIPv4, SOCK_STREAM);
  const u32 id = OpenSecond(second);
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
  EXPECT_TRUE(second.WaitForClose());
}

// The close happens on the I/O thread; the orchestrator's side of a refused
// request the DNS path tests show.
TEST_F(TcpConnectionTest, ProcessingErrorClosesTheConnectionOnTheIoThread) {
  Start();
  auto connection = Open(Message(3));
  ASSERT_TRUE(connection);
  const u32 id = connection->contextId();
  EXPECT_TRUE(connection->PostRequestProcessingError());
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return !callback.Closed().empty(); }));
  EXPECT_EQ(callback.Closed()[0], id) << callback.Closed().size();
  EXPECT_NE(callback.CloseThreads()[0], std::this_thread::get_id());
  boost::asio::io_service io;
  EXPECT_EQ(CVelmoraTcpListenerConnection::Create(nullptr, io), nullptr);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "bad callback interface"));
}

}  // namespace
}  // namespace hxt
