// The VPN intake's named section, mutex and event between two processes. The other process is a death-test
// child: on Windows it re-runs the test from its start and then runs the statement, so what comes before the
// statement must be harmless twice, and the names are fixed so that both find them.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <cstring>
#include <future>
#include <string>

#include "vpn/agent/sharedmemory.h"

namespace hxt {
namespace {

constexpr u32 kRecordSize = 64;

// In the child: publish `text` as the record, pulse the event, end with 0.
void PublishAndExit(const VpnSharedObjectNames& names, const char* text) {
  bool ok = false;
  CSharedMemory publisher(ok, nullptr, kRecordSize, kSharedMemoryRolePublisher, names);
  char record[kRecordSize] = {};
  std::strncpy(record, text, kRecordSize - 1);
  u32 size = kRecordSize;
  bool eventOk = false;
  CInterProcessSync event(kSyncKindEvent, eventOk, names);
  bool published = ok && eventOk && publisher.WriteToSharedMemory(record, size) && event.SignalAll();
  ::ExitProcess(published ? 0 : 1);
}

TEST(NamedObjectsWin, ARecordPublishedByAnotherProcessIsReadAndItsPulseWakesTheReader) {
  const VpnSharedObjectNames names = VpnSharedObjectNames::ForRoot("named-objects-publish");
  bool ok = false;
  CSharedMemory reader(ok, nullptr, kRecordSize, kSharedMemoryRoleReader, names);
  ASSERT_TRUE(ok);
  bool eventOk = false;
  CInterProcessSync event(kSyncKindEvent, eventOk, names);
  ASSERT_TRUE(eventOk);
  auto woken = std::async(std::launch::async, [&] { return event.Wait(20000); });

  EXPECT_EXIT(PublishAndExit(names, "published by the child"), ::testing::ExitedWithCode(0), "");

  EXPECT_TRUE(woken.get());
  char record[kRecordSize] = {};
  u32 size = kRecordSize;
  ASSERT_TRUE(reader.ReadSharedMemory(size, record));
  EXPECT_STREQ(record, "published by the child");
  // A second opener finds the section the first one created.
  bool againOk = false;
  CSharedMemory again(againOk, nullptr, kRecordSize, kSharedMemoryRoleReader, names);
  EXPECT_TRUE(againOk);
  EXPECT_FALSE(again.createdSection());
}

TEST(NamedObjectsWin, AMutexAbandonedByADeadProcessFailsOneLockAndIsFreeAfterwards) {
  const VpnSharedObjectNames names = VpnSharedObjectNames::ForRoot("named-objects-abandon");
  bool ok = false;
  CInterProcessSync lock(kSyncKindLock, ok, names);
  ASSERT_TRUE(ok);

  EXPECT_EXIT(::ExitProcess(lock.Lock() ? 0 : 1), ::testing::ExitedWithCode(0), "");

  EXPECT_FALSE(lock.Lock());  // abandoned: the record may be half written
  EXPECT_TRUE(lock.Lock());
  EXPECT_TRUE(lock.Unlock());
}

}  // namespace
}  // namespace hxt
