// The VPN state intake: the shared record and its named objects, the
// consumer's parsing and change rules, and the VPN document.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>

#include "agent/velmorapluginjsonutils.h"
#include "agent/velmoravpnconsumer.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"
#include "vpn/agent/intermodulestate.h"
#include "vpn/agent/sharedmemory.h"

namespace hxt {
namespace {

using Edit = std::function<void(RawVpnState&)>;

std::unique_ptr<RawVpnState> recordWith(const Edit& edit = nullptr) {
  auto record = std::make_unique<RawVpnState>(DefaultRawVpnState());
  if (edit) edit(*record);
  return record;
}

// Sets one number of the record.
Edit Set(u32 RawVpnState::*field, u32 value) {
  return [=](RawVpnState& s) { s.*field = value; };
}

void setText(char* field, std::size_t size, const std::string& text) {
  std::memset(field, 0, size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}
#define SET_TEXT(record, field, text) setText((record).field, sizeof((record).field), (text))

// The VPN agent's side of the objects, as hxvpnstate drives them.
struct Publisher {
  bool Publish(const Edit& edit) {
    edit(*record);
    u32 size = kRawVpnStateSize;
    return memory.WriteToSharedMemory(record.get(), size);
  }
  bool ok() const { return memoryOk && eventOk; }

  std::unique_ptr<RawVpnState> record = recordWith();
  bool memoryOk = false, eventOk = false;
  CSharedMemory memory{memoryOk, record.get(), kRawVpnStateSize, kSharedMemoryRolePublisher};
  CInterProcessSync event{kSyncKindEvent, eventOk};
};

class VpnSharedMemoryTest : public ::testing::Test {
 protected:
  test::TestRoot root;  // private object names, removed at the end
  test::ScopedCaptureLog log;
};

TEST_F(VpnSharedMemoryTest, ShortReadsAndReaderWritesAreRefusedAndAPulseResetsASetStays) {
  bool ok = false;
  CSharedMemory memory(ok, nullptr, kRawVpnStateSize);
  ASSERT_TRUE(ok);
  auto buffer = recordWith();
  u32 size = kRawVpnStateSize - 1;
  EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.get()));
  EXPECT_EQ(size, kRawVpnStateSize);
  EXPECT_TRUE(
      log.Has(LOG_LEVEL_ERROR, "Unable to read the shared memory, memory corrupted or not initialized"));
  EXPECT_FALSE(memory.WriteToSharedMemory(buffer.get(), size));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Only the publisher can write to shared memory"));
  EXPECT_TRUE(memory.ReadSharedMemory(size, buffer.get()));  // The refused read released the lock.

  // The event: a pulse wakes only who waits at that moment (the consumer tests
  // show that it does), a set event stays set.
  log.Clear();
  CInterProcessSync waiter(kSyncKindEvent, ok);
  CInterProcessSync signaller(kSyncKindEvent, ok);
  ASSERT_TRUE(ok && signaller.SignalAll());
  EXPECT_FALSE(waiter.Wait(1));  // nobody waited: the pulse is gone; a time-out is not logged
  ASSERT_TRUE(signaller.Signal());
  EXPECT_TRUE(waiter.Wait(1) && waiter.Wait(1));
  EXPECT_TRUE(log.Messages(LOG_LEVEL_ERROR).empty()) << log.Dump();
  waiter.Close();
  EXPECT_FALSE(waiter.Wait(1));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Synchronization primitive not initialized"));
}

TEST_F(VpnSharedMemoryTest, MutexHeldByAnotherProcess) {
  for (bool holderDies : {false, true}) {
    SCOPED_TRACE(holderDies ? "holder dies holding the mutex" : "holder keeps it past the time-out");
    log.Clear();
    bool ok = false;
    CSharedMemory memory(ok, nullptr, kRawVpnStateSize);
    CInterProcessSync lock(kSyncKindLock, ok);
    ASSERT_TRUE(ok);
    int held[2], release[2];
    ASSERT_TRUE(::pipe(held) == 0 && ::pipe(release) == 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      char byte = lock.Lock() ? 'y' : 'n';
      (void)!::write(held[1], &byte, 1);
      if (!holderDies) {
        (void)!::read(release[0], &byte, 1);
        lock.Unlock();
      }
      ::_exit(0);
    }
    char byte = 0;
    ASSERT_TRUE(::read(held[0], &byte, 1) == 1 && byte == 'y');
    ASSERT_TRUE(!holderDies || ::waitpid(child, nullptr, 0) == child);

    auto buffer = recordWith();
    u32 size = kRawVpnStateSize;
    EXPECT_FALSE(memory.ReadSharedMemory(size, buffer.get()));
    EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Unable to read the shared memory as the lock was not available"));
    if (holderDies) {
      EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "WaitForSingleObject failed - " + std::to_string(EOWNERDEAD)));
    } else {
      EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR).size(), 1u) << log.Dump();  // the lock logs no time-out
      ASSERT_TRUE(::write(release[1], "x", 1) == 1 && ::waitpid(child, nullptr, 0) == child);
    }
    // Neither a time-out nor a dead holder leaves the mutex held.
    EXPECT_TRUE(memory.ReadSharedMemory(size, buffer.get())) << log.Dump();
    for (int fd : {held[0], held[1], release[0], release[1]}) ::close(fd);
    std::string error;
    RemoveVpnSharedObjects(VpnSharedObjectNames::FromEnvironment(), error);
  }
}

TEST(VpnDocuments, ByteForByte) {
  const std::string undefinedFamily =
      R"({"state":"disconnected","vpn_type":"undefined","tunnel_all_dns":"false","split_dns":"false","dns":"",)"
      R"("split_dns_domains":"","split_include_networks":""})";
  const std::tuple<const char*, Edit, std::string> cases[] = {
      {"defaults: empty lists are empty strings", nullptr,
       R"({"version":"1","vpn_ipv4":)" + undefinedFamily + R"(,"vpn_ipv6":)" + undefinedFamily +
           R"(,"tnd":"undefined"})" + "\n"},
      {"split DNS decides per family; slashes escaped; tunnel-all in both",
       [](RawVpnState& s) {
         s.tunnelState = s.tunnelModeIpv4 = s.splitDnsIpv6 = s.tunnelAllDns = 1;
         s.tndState = s.tunnelModeIpv6 = 0;
         SET_TEXT(s, dnsServersIpv4, "10.0.0.1,10.0.0.2");
         SET_TEXT(s, splitIncludeNetworksIpv4, "10.0.0.0/8");
         SET_TEXT(s, splitDnsDomains, "d.example");
       },
       R"({"version":"1","vpn_ipv4":{"state":"connected","vpn_type":"split_include","tunnel_all_dns":"true",)"
       R"("split_dns":"false","dns":["10.0.0.1","10.0.0.2"],"split_dns_domains":"","split_include_networks":""},)"
       R"("vpn_ipv6":{"state":"connected","vpn_type":"tunnel_all","tunnel_all_dns":"true","split_dns":"true",)"
       R"("dns":"","split_dns_domains":["d.example"],"split_include_networks":["10.0.0.0\/8"]},"tnd":"trusted"})"
       "\n"}};
  for (const auto& [name, edit, document] : cases) {
    SCOPED_TRACE(name);
    std::string out = "stale";
    ASSERT_TRUE(CVelmoraPluginJsonUtils::BuildVpnStatePayload(ParsedVpnState(*recordWith(edit)), out));
    EXPECT_EQ(out, document);
  }
}

class RecordingVpnCB : public IVelmoraVpnConsumerCB {
 public:
  void VpnStateChanged(const RawVpnState& state) override {
    std::unique_lock<std::mutex> lock(mutex);
    states.emplace_back(state);
    changed.notify_all();
    changed.wait(lock, [this] { return !hold; });
  }
  void UserSessionChanged(u32 event) override {
    std::lock_guard<std::mutex> lock(mutex);
    sessions.push_back(event);
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<ParsedVpnState> states;
  std::vector<u32> sessions;
  bool hold = false;  // VpnStateChanged returns only once this is false
};

class VpnConsumerTest : public VpnSharedMemoryTest {
 protected:
  VpnConsumerSettings fast{std::chrono::milliseconds(20), kVpnStopJoinTimeout};

  // Publishes `edit`, then pulses until `states` states and `sessions` session events were reported: a pulse
  // wakes the consumer only while it waits, so one may pass unseen.
  bool PublishUntil(Publisher& publisher, const Edit& edit, std::size_t states, std::size_t sessions = 0) {
    if (!publisher.Publish(edit)) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_lock<std::mutex> lock(cb.mutex);
    while (std::chrono::steady_clock::now() < deadline) {
      publisher.event.SignalAll();
      if (cb.changed.wait_for(lock, std::chrono::milliseconds(2),
                              [&] { return cb.states.size() >= states && cb.sessions.size() >= sessions; }))
        return true;
    }
    return false;
  }

  RecordingVpnCB cb;
};

TEST_F(VpnConsumerTest, ReportsTunnelAndTrustedNetworkChangesAndEachNewSessionUntilStopped) {
  // The publisher came first: the consumer leaves its record alone.
  Publisher publisher;
  ASSERT_TRUE(publisher.ok() &&
              publisher.Publish([](RawVpnState& s) { SET_TEXT(s, splitDnsDomains, "c.example"); }));
  bool ok = false;
  CVelmoraVpnConsumer consumer(&cb, ok, fast);
  ASSERT_TRUE(ok) << log.Dump();
  auto initial = recordWith([](RawVpnState& s) { s.tunnelState = 1; });
  consumer.Start(*initial);  // hands over the current record
  EXPECT_EQ(std::memcmp(initial.get(), publisher.record.get(), kRawVpnStateSize), 0);

  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::tndState, 1), 1));
  // Lists alone are read but not reported: they come with the next report.
  ASSERT_TRUE(publisher.Publish([](RawVpnState& s) { SET_TEXT(s, dnsServersIpv4, "10.9.9.9"); }));
  for (int i = 0; i < 20; ++i) publisher.event.SignalAll();
  log.Clear();
  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::tndState, 0), 2));
  EXPECT_EQ(cb.states.size(), 2u);
  EXPECT_EQ(cb.states[1].tndState, "trusted");
  EXPECT_EQ(cb.states[1].dnsServersIpv4, (std::vector<std::string>{"10.9.9.9"}));
  EXPECT_EQ(log.Messages(LOG_LEVEL_INFO), (std::vector<std::string>{"New TND state reported (0)"}));

  // A session value is reported once, again only after another value was read.
  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::userSessionEvent, kUserSessionLogon), 2, 1));
  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::tunnelState, 1), 3, 1));
  const Edit endSession = [](RawVpnState& s) { s.userSessionEvent = kUserSessionNone, s.tunnelState = 2; };
  ASSERT_TRUE(PublishUntil(publisher, endSession, 4, 1));
  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::userSessionEvent, kUserSessionLogon), 4, 2));
  EXPECT_EQ(cb.states.size(), 4u);
  EXPECT_EQ(cb.sessions, (std::vector<u32>{1, 1}));
  EXPECT_EQ(log.Count("User session change reported (1)"), 2u);
  EXPECT_EQ(cb.states[2].state, "connected");
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "New VPN tunnel state reported (2)"));

  consumer.Stop();
  consumer.Stop();  // harmless
  EXPECT_EQ(log.Count("Successfully stopped polling thread"), 1u) << log.Dump();
  CVelmoraVpnConsumer refused(nullptr, ok);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Invalid callback interface"));
}

TEST_F(VpnConsumerTest, ThreadBusyInACallbackOutlivesStopButNotTheConsumer) {
  bool ok = false;
  auto consumer = std::make_unique<CVelmoraVpnConsumer>(
      &cb, ok, VpnConsumerSettings{std::chrono::milliseconds(20), std::chrono::milliseconds(1)});
  ASSERT_TRUE(ok);
  cb.hold = true;  // set before the thread exists
  auto initial = recordWith([](RawVpnState& s) { s.tunnelState = 77; });
  consumer->Start(*initial);
  // No publisher yet: the consumer made the record with the defaults. The header,
  // trusted network, tunnel, IPv4 and IPv6 modes at their offsets:
  const auto* bytes = reinterpret_cast<const unsigned char*>(initial.get());
  EXPECT_EQ(
      (std::vector<u32>{bytes[0], bytes[12], bytes[16], bytes[20], bytes[47580]}),
      (std::vector<u32>{1, kTndUndefined, kTunnelDisconnected, kTunnelModeUndefined, kTunnelModeUndefined}));
  Publisher publisher;
  ASSERT_TRUE(publisher.ok());
  ASSERT_TRUE(PublishUntil(publisher, Set(&RawVpnState::tunnelState, 1), 1));
  consumer->Stop();
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "Failed to stop polling thread within 1 ms")) << log.Dump();
  {
    std::lock_guard<std::mutex> lock(cb.mutex);
    cb.hold = false;
  }
  cb.changed.notify_all();
  consumer.reset();  // waits for the thread before anything it uses goes away
}

}  // namespace
}  // namespace hxt
