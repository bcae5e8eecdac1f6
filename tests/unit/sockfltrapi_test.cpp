// The filter library is called through virtual tables, so the position of
// every operation is part of its binary interface: a separately compiled
// library or agent reaches each one by its table entry.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "hxtarrow/sockfltrapi.h"

#if defined(__GXX_ABI_VERSION)  // Itanium C++ ABI

namespace hxt {
namespace {

// A pointer to a virtual member holds 1 + the entry's byte offset.
template <typename Method>
long Entry(Method method) {
  struct {
    std::uintptr_t ptr;
    std::ptrdiff_t adj;
  } decoded;
  static_assert(sizeof(Method) == sizeof decoded, "Itanium pointer to member");
  std::memcpy(&decoded, &method, sizeof decoded);
  return (decoded.ptr & 1) != 0 ? static_cast<long>((decoded.ptr - 1) / sizeof(void*)) : -1;
}

// Operations that follow one another in the table, the first at `first`.
void ExpectConsecutive(const char* name, long first, const std::vector<long>& entries) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i], first + static_cast<long>(i)) << name << " operation " << i;
  }
}

// Entries as the published slots give them; behind a virtual destructor,
// which fills two entries (complete and deleting), slot n is entry n + 1.
TEST(FilterApiLayout, OperationsSitAtTheirSlots) {
  ExpectConsecutive(
      "IVelmoraApi", 1,
      {Entry(&IVelmoraApi::IsPreloadNeeded), Entry(&IVelmoraApi::IsPluginOpen),
       Entry(&IVelmoraApi::OpenPlugin), Entry(&IVelmoraApi::ClosePlugin), Entry(&IVelmoraApi::Clear),
       Entry(&IVelmoraApi::SetParameters), Entry(&IVelmoraApi::StartEncryptedDnsHandling)});
  EXPECT_EQ(Entry(&IVpnDnsApi::OpenPlugin), 3);
  EXPECT_EQ(Entry(&IVpnDnsApi::ClosePlugin), 4);
  EXPECT_EQ(Entry(&IVpnDnsApi::RefreshVelmoraPids), 11);
  EXPECT_EQ(Entry(&IKestrumApi::OpenPlugin), 2);
  EXPECT_EQ(Entry(&IKestrumApi::ClosePlugin), 3);
  EXPECT_EQ(Entry(&IKestrumApi::RefreshVelmoraPids), 7);
  EXPECT_EQ(Entry(&ISocketRedirectorApi::OpenPlugin), 2);
  EXPECT_EQ(Entry(&ISocketRedirectorApi::ClosePlugin), 3);
  EXPECT_EQ(Entry(&ISocketRedirectorApi::RefreshVelmoraPids), 9);
  EXPECT_EQ(Entry(&IKdfApiCB::OnKdfDisruption), 1 + 1);
  ExpectConsecutive(
      "IVelmoraInfo", 1 + 1,
      {Entry(&IVelmoraInfo::GetWhiteList4Count),      Entry(&IVelmoraInfo::GetFirstWhiteList4Entry),
       Entry(&IVelmoraInfo::GetNextWhiteList4Entry),  Entry(&IVelmoraInfo::GetWhiteList6Count),
       Entry(&IVelmoraInfo::GetFirstWhiteList6Entry), Entry(&IVelmoraInfo::GetNextWhiteList6Entry),
       Entry(&IVelmoraInfo::GetResolver4Count),       Entry(&IVelmoraInfo::GetFirstResolver4),
       Entry(&IVelmoraInfo::GetNextResolver4),        Entry(&IVelmoraInfo::GetResolver6Count),
       Entry(&IVelmoraInfo::GetFirstResolver6),       Entry(&IVelmoraInfo::GetNextResolver6),
       Entry(&IVelmoraInfo::GetListenerPort),         Entry(&IVelmoraInfo::GetAgentPid),
       Entry(&IVelmoraInfo::GetIgnoredPidCount),      Entry(&IVelmoraInfo::GetFirstIgnoredPid),
       Entry(&IVelmoraInfo::GetNextIgnoredPid),       Entry(&IVelmoraInfo::IsRedirect4Enabled),
       Entry(&IVelmoraInfo::IsRedirect6Enabled),      Entry(&IVelmoraInfo::GetUpdateKind)});
}

}  // namespace
}  // namespace hxt

#endif  // __GXX_ABI_VERSION
