#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/post.hpp>

#include "agent/velmoraipcmgr.h"
#include "common/ipcframe.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;

constexpr auto kDeadline = 10s;

// A UI stand-in on a plain blocking socket: it sends nothing unless told to
// and reads with a deadline, so a missing frame fails the test instead of
// hanging it.
class TestClient {
 public:
  // `receiveBuffer` > 0 shrinks the socket's receive buffer before connecting.
  explicit TestClient(u16 port, int receiveBuffer = 0, bool connectNow = true) : port_(port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (connectNow) Connect();
  }
  ~TestClient() { ::close(fd_); }

  bool Connect() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  // The next frame; false on time-out, closure or a malformed stream.
  bool ReadFrame(IpcFrame& frame) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    std::string error;
    for (;;) {
      const auto result = decoder_.Next(frame, error);
      if (result == CIpcFrameDecoder::kFrame) return true;
      EXPECT_EQ(result, CIpcFrameDecoder::kNeedMore) << error;
      if (result != CIpcFrameDecoder::kNeedMore || !receive(deadline)) return false;
    }
  }
  // The type of the next frame, or '?' when none arrives.
  char NextType() {
    IpcFrame frame;
    return ReadFrame(frame) ? static_cast<char>(frame.type) : '?';
  }
  // Receives until `total` bytes have arrived in all, without parsing them.
  bool ReadRawUntil(std::size_t total) {
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (raw_.size() < total) {
      if (!receive(deadline)) return false;
    }
    return true;
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
  }
  // Every byte received so far.
  const std::string& raw() const { return raw_; }

 private:
  bool receive(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1) return false;
    unsigned char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    raw_.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(n));
    decoder_.Feed(buffer, static_cast<std::size_t>(n));
    return true;
  }

  u16 port_;
  int fd_ = -1;
  CIpcFrameDecoder decoder_;
  std::string raw_;
};

// The frame as the UI must see it, spelt out byte by byte.
std::string WireFrame(char type, const std::string& json) {
  const u32 length = static_cast<u32>(json.size() + 1);
  std::string frame;
  for (int i = 0; i < 4; ++i) frame += static_cast<char>((length >> (8 * i)) & 0xff);
  return frame + type + json;
}

std::string CurrentJson(CIpcApiData& model, PayloadType type) {
  std::string json;
  EXPECT_TRUE(model.ToJson(type, json));
  return json;
}

IpcSettings TestSettings() {
  IpcSettings settings;
  settings.port = 0;
  settings.statsThrottle = 50ms;
  return settings;
}

// A manager on a free port with its I/O service on a thread of its own, as
// the orchestrator runs it.
class IpcMgrTest : public ::testing::Test {
 protected:
  void Start(const IpcSettings& settings = TestSettings(), bool verbose = true) {
    log_ = std::make_unique<test::ScopedCaptureLog>(verbose);
    bool ok = false;
    manager_ = std::make_unique<CVelmoraIpcMgr>(io_, ok, settings);
    ASSERT_TRUE(ok) << log_->Dump();
    ASSERT_NE(manager_->ListeningPort(), 0);
    thread_ = std::thread([this] { io_.run(); });
  }

  void TearDown() override {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    manager_.reset();
    log_.reset();
  }

  // A client that has been handed its two opening frames.
  std::unique_ptr<TestClient> Connect() {
    auto client = std::make_unique<TestClient>(manager_->ListeningPort());
    EXPECT_EQ(client->NextType(), 'A');
    EXPECT_EQ(client->NextType(), 'B');
    return client;
  }

  boost::asio::io_service io_;
  boost::asio::executor_work_guard<boost::asio::io_service::executor_type> work_ =
      boost::asio::make_work_guard(io_);
  std::unique_ptr<test::ScopedCaptureLog> log_;
  std::unique_ptr<CVelmoraIpcMgr> manager_;
  std::thread thread_;
};

TEST_F(IpcMgrTest, NewClientIsSentStatusThenStatistics) {
  Start();
  EXPECT_TRUE(log_->Has(LOG_LEVEL_INFO, "Initializing IPC listener..."));
  auto client = Connect();
  CIpcApiData initial;
  const std::string status = CurrentJson(initial, PAYLOAD_TYPE_STATUS);
  const std::string stats = CurrentJson(initial, PAYLOAD_TYPE_STATS);
  EXPECT_EQ(client->raw(), WireFrame('A', status) + WireFrame('B', stats));

  ASSERT_TRUE(WaitFor([&] {
    return log_->Count("Sent stats payload of size " + std::to_string(stats.size() + 5) + " to API") == 1;
  })) << log_->Dump();
  EXPECT_TRUE(log_->Has(LOG_LEVEL_INFO, "Accepted IPC connection #1 from client/UI"));
  EXPECT_TRUE(log_->Has(LOG_LEVEL_DEBUG,
                        "Sent status payload of size " + std::to_string(status.size() + 5) + " to API"));
  const std::string frame = WireFrame('A', status);
  EXPECT_TRUE(log_->Has(
      LOG_LEVEL_DEBUG,
      "Sending to API status payload of size " + std::to_string(frame.size()) + "\n" +
          HexDump(reinterpret_cast<const unsigned char*>(frame.data()), static_cast<u32>(frame.size()))))
      << log_->Dump();
}

TEST_F(IpcMgrTest, EveryStatusChangeReachesEveryClient) {
  Start();
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Connect());
  manager_->UpdateAgentStatus("noOrginfo");
  manager_->UpdateSwgState("protected");
  manager_->UpdateStatus("protected", "", "partial", true, "", false, "Acme/EU", "jane", 1700000000, true,
                         true);

  CIpcApiData model;
  model.SetAgentStatus("noOrginfo");
  model.SetSwgState("protected");
  model.SetStatus("protected", "", "partial", true, "", false, "Acme/EU", "jane", 1700000000, true, true);
  // Status changes are not coalesced: one frame each. A document is built
  // when it is sent, so the last frame carries every change.
  for (auto& client : clients) {
    IpcFrame frame;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(client->ReadFrame(frame));
      ASSERT_EQ(frame.type, PAYLOAD_TYPE_STATUS);
    }
    EXPECT_EQ(frame.json, CurrentJson(model, PAYLOAD_TYPE_STATUS));
  }
}

TEST_F(IpcMgrTest, CommandWaitsForAClientAndReachesOnlyTheLowestNumberedOne) {
  Start();
  // Queued with no client connected; new clients get status and statistics only.
  manager_->SendCommand("NotifyExitForUpdate");
  auto first = Connect();
  auto second = Connect();
  manager_->SendCommand("Reboot");
  manager_->SendCommand("NotifyExitForUpdate");
  manager_->UpdateAgentStatus("ok");

  IpcFrame frame;
  ASSERT_TRUE(first->ReadFrame(frame));
  EXPECT_EQ(frame.json,
            "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"},{\"Command\":\"NotifyExitForUpdate\"}]}\n");
  EXPECT_EQ(first->NextType(), 'A');
  // Building the first client's document drained the queue.
  EXPECT_EQ(second->NextType(), 'A');
  EXPECT_TRUE(log_->Has(LOG_LEVEL_DEBUG, "Retrieved empty JSON command payload"));
  EXPECT_TRUE(log_->Has(LOG_LEVEL_DEBUG, "Skip sending empty command payload to API"));
  EXPECT_TRUE(log_->Has(LOG_LEVEL_ERROR, "Invalid command - Reboot"));
  EXPECT_TRUE(log_->Has(LOG_LEVEL_ERROR, "Failed to queue IPC command[Reboot]"));
}

TEST_F(IpcMgrTest, BurstOfIncrementsGivesOneStatisticsFramePerClient) {
  Start(TestSettings(), false);
  auto first = Connect();
  auto second = Connect();

  // Hold the I/O thread so that the whole burst lands before the throttle
  // timer can fire, whatever the machine's speed.
  std::promise<void> release;
  std::promise<void> held;
  boost::asio::post(io_, [&] {
    held.set_value();
    release.get_future().wait();
  });
  held.get_future().wait();
  for (int i = 0; i < 100000; ++i) manager_->IncrementRequestCount(kIpcFamilyIpv4, kIpcSocketDatagram);
  manager_->IncrementResponseCount(kIpcFamilyIpv6, kIpcSocketStream);
  manager_->UpdateSwgStats(1, 2, 3, "proxy", "");
  release.set_value();

  for (auto* client : {first.get(), second.get()}) {
    IpcFrame frame;
    ASSERT_TRUE(client->ReadFrame(frame));
    ASSERT_EQ(frame.type, PAYLOAD_TYPE_STATS);
    EXPECT_EQ(frame.document.get<std::string>("Dns4.Udp.ReqCnt"), "100000");
    EXPECT_EQ(frame.document.get<std::string>("Dns6.Tcp.RespCnt"), "1");
    EXPECT_EQ(frame.document.get<std::string>("SWGBypassedConnCnt"), "3");
  }
  // Frames keep their order per connection: a status sent now arrives next
  // only if no second statistics frame was sent for the burst.
  manager_->UpdateAgentStatus("ok");
  EXPECT_EQ(first->NextType(), 'A');
  EXPECT_EQ(second->NextType(), 'A');
}

TEST_F(IpcMgrTest, IncrementsFromManyThreadsAreAllCounted) {
  IpcSettings settings = TestSettings();
  settings.statsThrottle = 5ms;
  Start(settings, false);
  auto client = Connect();

  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const u32 family = t % 2 == 0 ? kIpcFamilyIpv4 : kIpcFamilyIpv6;
      for (int i = 0; i < kEach; ++i) {
        manager_->IncrementRequestCount(family, kIpcSocketDatagram);
        manager_->IncrementResponseCount(family, kIpcSocketStream);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // The last statistics frame is built after the last increment.
  const std::string total = std::to_string(kThreads / 2 * kEach);
  bool complete = false;
  IpcFrame frame;
  while (!complete && client->ReadFrame(frame)) {
    ASSERT_EQ(frame.type, PAYLOAD_TYPE_STATS);
    complete = frame.document.get<std::string>("Dns4.Udp.ReqCnt") == total &&
               frame.document.get<std::string>("Dns6.Udp.ReqCnt") == total &&
               frame.document.get<std::string>("Dns4.Tcp.RespCnt") == total &&
               frame.document.get<std::string>("Dns6.Tcp.RespCnt") == total;
  }
  EXPECT_TRUE(complete) << frame.json;
}

TEST_F(IpcMgrTest, BytesFromTheClientAreReadAndIgnored) {
  Start();
  auto client = Connect();
  client->Send("xyz");
  ASSERT_TRUE(WaitFor([&] { return log_->Count("received 1 bytes, ignoring data") == 3; })) << log_->Dump();
  manager_->UpdateAgentStatus("ok");
  EXPECT_EQ(client->NextType(), 'A');
  for (const auto& message : log_->Messages(LOG_LEVEL_WARNING))
    EXPECT_EQ(message, "received 1 bytes, ignoring data");
  EXPECT_TRUE(log_->Messages(LOG_LEVEL_ERROR).empty()) << log_->Dump();
}

TEST_F(IpcMgrTest, ClosedClientIsForgotten) {
  Start();
  auto leaving = Connect();
  auto staying = Connect();
  leaving.reset();
  ASSERT_TRUE(WaitFor([&] {
    return log_->Has(LOG_LEVEL_INFO, "Client/UI disconnected, clearing IPC connection #1");
  })) << log_->Dump();
  EXPECT_TRUE(log_->Has(LOG_LEVEL_DEBUG, "receive error [2-End of file]"));

  manager_->UpdateAgentStatus("ok");
  EXPECT_EQ(staying->NextType(), 'A');
  EXPECT_TRUE(log_->Messages(LOG_LEVEL_ERROR).empty()) << log_->Dump();
}

TEST_F(IpcMgrTest, ClientThatStopsReadingIsClosedWithoutHarmingOthers) {
  IpcSettings settings = TestSettings();
  settings.sendTimeout = 500ms;
  Start(settings, false);
  // Connection #1 never reads after its opening frames, through a tiny window.
  auto stalled = std::make_unique<TestClient>(manager_->ListeningPort(), 4096);
  ASSERT_EQ(stalled->NextType(), 'A');
  ASSERT_EQ(stalled->NextType(), 'B');
  auto reader = Connect();

  // Large documents fill the stalled client's buffers quickly. The healthy
  // client takes each frame before the next change, so it knows the bytes to
  // expect; it reads them raw, without parsing, to keep up.
  const std::string bigName(1 << 20, 'n');
  CIpcApiData model;
  const std::size_t opening = reader->raw().size();
  std::size_t expectedSize = opening;
  for (int i = 0; i < 8; ++i) {
    const std::string user = "user" + std::to_string(i);
    manager_->UpdateStatus("", "", "", false, "", false, bigName, user, i, false, false);
    model.SetStatus("", "", "", false, "", false, bigName, user, i, false, false);
    const std::string expected = WireFrame('A', CurrentJson(model, PAYLOAD_TYPE_STATUS));
    ASSERT_TRUE(reader->ReadRawUntil(expectedSize + expected.size())) << i;
    ASSERT_TRUE(reader->raw().compare(expectedSize, expected.size(), expected) == 0) << i;
    expectedSize += expected.size();
  }

  ASSERT_TRUE(WaitFor([&] {
    return log_->Has(LOG_LEVEL_INFO, "Client/UI disconnected, clearing IPC connection #1");
  })) << log_->Dump();
  EXPECT_TRUE(log_->Has(LOG_LEVEL_ERROR, "send timed out"));
  EXPECT_TRUE(log_->Has(LOG_LEVEL_ERROR, "Failed to sent status payload to API [125-Operation canceled]"))
      << log_->Dump();
  // The other operations that were pending fail too and report the closure again.
  ASSERT_TRUE(WaitFor([&] { return log_->Has(LOG_LEVEL_WARNING, "Could not find IPC connection #1"); }));
  EXPECT_FALSE(log_->Has("Client/UI disconnected, clearing IPC connection #2"));
  manager_->UpdateAgentStatus("still here");
  model.SetAgentStatus("still here");
  const std::string last = WireFrame('A', CurrentJson(model, PAYLOAD_TYPE_STATUS));
  ASSERT_TRUE(reader->ReadRawUntil(expectedSize + last.size()));
  EXPECT_TRUE(reader->raw().compare(expectedSize, last.size(), last) == 0);
}

// Makes every file descriptor below the returned limit busy and lowers the
// process's limit to it, so that the next accept fails; undone on destruction.
class DescriptorExhaustion {
 public:
  DescriptorExhaustion() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    int highest = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
      while (dirent* entry = ::readdir(dir)) highest = std::max(highest, std::atoi(entry->d_name));
      ::closedir(dir);
    }
    // New descriptors take the lowest free number: fill every hole below
    // `highest`, and `highest` itself stays taken by the first filler if it
    // was the directory stream's.
    for (int fd = ::open("/dev/null", O_RDONLY); fd >= 0; fd = ::open("/dev/null", O_RDONLY)) {
      fillers_.push_back(fd);
      if (fd >= highest) break;
    }
    rlimit lowered = saved_;
    lowered.rlim_cur =
        static_cast<rlim_t>(fillers_.empty() ? highest + 1 : std::max(highest, fillers_.back()) + 1);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorExhaustion() { Restore(); }
  void Restore() {
    ::setrlimit(RLIMIT_NOFILE, &saved_);
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
  }

 private:
  rlimit saved_{};
  std::vector<int> fillers_;
};

TEST_F(IpcMgrTest, AcceptingGoesOnAfterAFailedAccept) {
  Start(TestSettings(), false);
  // The client's socket exists before the limit drops, so only the agent's
  // accept runs out of descriptors; the connection waits in the backlog.
  TestClient client(manager_->ListeningPort(), 0, false);
  {
    DescriptorExhaustion exhaustion;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(WaitFor([&] { return log_->Has(LOG_LEVEL_ERROR, "accept error [24-Too many open files]"); }));
  }
  EXPECT_EQ(client.NextType(), 'A');
  EXPECT_EQ(client.NextType(), 'B');
  // The failed attempt used up number 1.
  EXPECT_FALSE(log_->Has("Accepted IPC connection #1 from client/UI"));
}

TEST(IpcMgr, TakenPortFailsCreation) {
  test::ScopedCaptureLog log;
  boost::asio::io_service io;
  bool ok = false;
  CVelmoraIpcMgr holder(io, ok, TestSettings());
  ASSERT_TRUE(ok);
  IpcSettings settings;
  settings.port = holder.ListeningPort();
  CVelmoraIpcMgr* manager = reinterpret_cast<CVelmoraIpcMgr*>(1);
  EXPECT_FALSE(CVelmoraIpcMgr::createSingletonInstance(io, manager, settings));
  EXPECT_EQ(manager, nullptr);
  const std::vector<std::string> errors = log.Messages(LOG_LEVEL_ERROR);
  EXPECT_EQ(errors, (std::vector<std::string>{"TCP acceptor bind failure [98-Address already in use]",
                                              "CVelmoraIpcMgr failed"}));
}

TEST(IpcMgr, SingletonIsCreatedOnce) {
  test::ScopedCaptureLog log;
  boost::asio::io_service io;
  CVelmoraIpcMgr* first = nullptr;
  ASSERT_TRUE(CVelmoraIpcMgr::createSingletonInstance(io, first, TestSettings()));
  ASSERT_NE(first, nullptr);
  CVelmoraIpcMgr* second = nullptr;
  EXPECT_FALSE(CVelmoraIpcMgr::createSingletonInstance(io, second, TestSettings()));
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "CVelmoraIpcMgr instance already initialized"));
  CVelmoraIpcMgr::releaseInstance(first);
  // The slot is free again once the last reference is gone.
  ASSERT_TRUE(CVelmoraIpcMgr::createSingletonInstance(io, second, TestSettings()));
  CVelmoraIpcMgr::releaseInstance(second);
}

}  // namespace
}  // namespace hxt
