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

SharedBytes Share(const Bytes& bytes) {
  return std::make_shared<const Bytes>(bytes);
}

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

Bytes Prefix(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + size);
}

Bytes Message(std::size_t dnsSize, std::optional<u16> lengthField = std::nullopt, unsigned char seed = 1) {
  auto requester = test::FilterSocketAddress(kAddressFamilyIPv4, "127.0.0.1", 40000);
  auto destination = test::FilterSocketAddress(kAddressFamilyIPv4, "192.0.2.53", 53);
  return test::RedirectedMessage(requester, destination, test::DnsBytes(dnsSize, seed), lengthField);
}

// ---- Framing of one read -------------------------------------------------------

struct ParseStep {
  bool ok;
  std::size_t offset;  // of the message found
  std::size_t size;
  bool more;
};

struct ParseCase {
  const char* name;
  Bytes read;
  std::vector<ParseStep> steps;
  std::string error;  // logged by the failing step
};

class ParseReceivedDataTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseReceivedDataTest, FindsWholeMessagesOnly) {
  test::ScopedCaptureLog log;
  const ParseCase& c = GetParam();
  const unsigned char* first = c.read.data();
  const unsigned char* last = first + c.read.size() - 1;
  const unsigned char* start = nullptr;
  std::size_t size = 0;
  for (const ParseStep& step : c.steps) {
    bool more = !step.more;
    bool ok = CVelmoraTcpListenerConnection::parseReceivedData(first, last, start, size, more);
    ASSERT_EQ(ok, step.ok) << log.Dump();
    if (!ok) break;
    EXPECT_EQ(static_cast<std::size_t>(start - first), step.offset);
    EXPECT_EQ(size, step.size);
    EXPECT_EQ(more, step.more);
  }
  if (c.error.empty()) {
    EXPECT_TRUE(log.Messages(LOG_LEVEL_ERROR).empty()) << log.Dump();
  } else {
    EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR), std::vector<std::string>{c.error});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ParseReceivedDataTest,
    ::testing::Values(ParseCase{"one_message", Message(30), {{true, 0, 100, false}}, ""},
                      ParseCase{"two_messages",
                                Concat(Message(30), Message(1)),
                                {{true, 0, 100, true}, {true, 100, 71, false}},
                                ""},
                      ParseCase{"announces_more_than_read",
                                Message(30, 60),
                                {{false, 0, 0, false}},
                                "Insufficient remaining buffer (100 bytes, expected at least 130)"},
                      ParseCase{"shorter_than_a_header",
                                Bytes(50, 0),
                                {{false, 0, 0, false}},
                                "Insufficient remaining buffer (50 bytes, expected at least 71)"},
                      ParseCase{"message_and_a_half",
                                Concat(Message(30), Prefix(Message(30), 40)),
                                {{true, 0, 100, true}, {false, 0, 0, false}},
                                "Insufficient remaining buffer (40 bytes, expected at least 71)"},
                      ParseCase{"message_and_a_half_with_header",
                                Concat(Message(30), Prefix(Message(30), 80)),
                                {{true, 0, 100, true}, {false, 0, 0, false}},
                                "Insufficient remaining buffer (80 bytes, expected at least 100)"},
                      ParseCase{"message_and_one_byte",
                                Concat(Message(30), Bytes(1, 7)),
                                {{true, 0, 100, true}, {false, 0, 0, false}},
                                "Payload start out of bounds"}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// ---- Connections over loopback -----------------------------------------------------

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

  test::ScopedCaptureLog log{true};
  test::ScopedKdfPluginMgr kdf;
  test::RecordingListenerCB callback;
  LoopbackSocket client{kAddressFamilyIPv4, SOCK_STREAM};
  std::unique_ptr<CVelmoraListener> host;
  u16 tcpPort = 0;
};

TEST_F(TcpConnectionTest, MessagesOfOneReadAreTheFirstAndLaterFragmentsOfOneContext) {
  Start();
  Bytes first = Message(30, std::nullopt, 1);
  Bytes second = Message(5, std::nullopt, 2);
  Bytes third = Message(8, std::nullopt, 3);
  ASSERT_TRUE(client.Send(Concat(first, second)));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 2; }));
  ASSERT_TRUE(client.Send(third));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 3; }));
  auto fragments = callback.Fragments();
  EXPECT_TRUE(fragments[0].first);
  EXPECT_EQ(fragments[0].bytes, first);
  EXPECT_FALSE(fragments[1].first);
  EXPECT_EQ(fragments[1].bytes, second);
  EXPECT_EQ(fragments[1].contextId, fragments[0].contextId);
  EXPECT_EQ(fragments[2].bytes, third);
  EXPECT_EQ(fragments[2].contextId, fragments[0].contextId);
  EXPECT_EQ(fragments[0].connection->contextId(), fragments[0].contextId);
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "received 175 bytes"));
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_DEBUG,
              "Successfully parsed payload of size 100, at least another payload still to be parsed"));
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_DEBUG, "Successfully parsed payload of size 75, no other payload to be parsed"));
}

TEST_F(TcpConnectionTest, BadlyFramedReadsAreDroppedAndReadingGoesOn) {
  Start();
  // A message split across two reads is not reassembled: each part is
  // parsed as if a message began at its first byte.
  Bytes whole = Message(30);
  ASSERT_TRUE(client.Send(Bytes(whole.begin(), whole.begin() + 40)));
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("Failed to parse received data, ignoring") == 1; }));
  ASSERT_TRUE(client.Send(Bytes(whole.begin() + 40, whole.end())));
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("Failed to parse received data, ignoring") == 2; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Insufficient remaining buffer (40 bytes, expected at least 71)"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Insufficient remaining buffer (60 bytes, expected at least 71)"));
  EXPECT_TRUE(callback.Fragments().empty());

  auto connection = Open(whole);
  ASSERT_TRUE(connection);
  EXPECT_EQ(callback.Fragments()[0].bytes, whole);
}

TEST_F(TcpConnectionTest, AnswersGoOutUnframedInOrderAndAnEmptyAnswerEndsTheConnection) {
  Start();
  auto connection = Open(Message(30));
  ASSERT_TRUE(connection);
  u32 id = connection->contextId();
  Bytes a = test::DnsBytes(300, 11), b = test::DnsBytes(50000, 12), c = test::DnsBytes(1, 13);
  connection->ProcessResponseFragment(Share(a), static_cast<u32>(a.size()));
  connection->ProcessResponseFragment(Share(b), static_cast<u32>(b.size()));
  connection->ProcessResponseFragment(Share(c), static_cast<u32>(c.size()));
  connection->ProcessResponseFragment(nullptr, 0);
  auto received = client.ReceiveExactly(a.size() + b.size() + c.size());
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(*received, Concat(Concat(a, b), c));
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "Sent TCP DNS response fragment of size 50000 to KDF"));

  log.Clear();
  connection->ProcessResponseFragment(Share(a), static_cast<u32>(a.size()));
  EXPECT_TRUE(log.Has(LOG_LEVEL_DEBUG, "TCP socket is closed [ctx " + std::to_string(id) + "]"));
}

TEST_F(TcpConnectionTest, PeerClosingEndsTheSessionOnlyOnceAContextExists) {
  Start();
  client.Close();
  ASSERT_TRUE(test::WaitFor([&] { return log.Count("receive error [2-End of file], ctx 0") == 1; }))
      << log.Dump();
  EXPECT_TRUE(callback.Closed().empty());

  LoopbackSocket second(kAddressFamilyIPv4, SOCK_STREAM);
  ASSERT_TRUE(second.Connect(tcpPort));
  ASSERT_TRUE(second.Send(Message(3)));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 1; }));
  second.Close();
  u32 id = callback.Fragments()[0].contextId;
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
}

TEST_F(TcpConnectionTest, IdleConnectionTimesOut) {
  Start(std::chrono::milliseconds(50));
  ASSERT_TRUE(test::WaitFor([&] { return log.Has(LOG_LEVEL_ERROR, "receive timed out"); }));
  EXPECT_TRUE(client.WaitForClose());
  EXPECT_TRUE(callback.Closed().empty());

  // With a context, the time-out also closes the session; every read re-arms it.
  LoopbackSocket second(kAddressFamilyIPv4, SOCK_STREAM);
  ASSERT_TRUE(second.Connect(tcpPort));
  ASSERT_TRUE(second.Send(Message(3)));
  ASSERT_TRUE(test::WaitFor([&] { return callback.Fragments().size() == 1; }));
  u32 id = callback.Fragments()[0].contextId;
  ASSERT_TRUE(test::WaitFor([&] { return callback.Closed() == std::vector<u32>{id}; }));
  EXPECT_TRUE(second.WaitForClose());
}

TEST_F(TcpConnectionTest, ProcessingErrorClosesTheConnectionOnTheIoThread) {
  Start();
  auto connection = Open(Message(3));
  ASSERT_TRUE(connection);
  u32 id = connection->contextId();
  EXPECT_TRUE(connection->PostRequestProcessingError());
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(test::WaitFor([&] { return !callback.Closed().empty(); }));
  EXPECT_EQ(callback.Closed()[0], id);
  EXPECT_NE(callback.CloseThreads()[0], std::this_thread::get_id());
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_DEBUG, "Handling TCP request processing failure [ctx " + std::to_string(id) + "]"));
}

TEST(TcpConnectionCreation, NeedsACallback) {
  test::ScopedCaptureLog log;
  boost::asio::io_service io;
  EXPECT_EQ(CVelmoraTcpListenerConnection::Create(nullptr, io), nullptr);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "bad callback interface"));
}

}  // namespace
}  // namespace hxt
