// The Windows adapters against the real system calls (Wine in CI).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/eventlog.h"
#include "common/knownfolders.h"
#include "common/machineidentity.h"
#include "common/registry.h"

namespace hxt::platform {
namespace {

constexpr const wchar_t* kTestKey = L"SOFTWARE\\HxtAdapterTest";

// A scratch key in HKEY_LOCAL_MACHINE, removed again by the destructor.
struct ScratchKey {
  ScratchKey() {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
    EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                                               nullptr, &key, nullptr));
  }
  ~ScratchKey() {
    ::RegCloseKey(key);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestKey);
  }
  void Set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
  }
  HKEY key = nullptr;
};

TEST(WinRegistry, ReadsValuesByTypeAndReportsMissingOnes) {
  ScratchKey scratch;
  DWORD dword = 0x2a;
  const wchar_t text[] = L"4.8.09037";
  const unsigned char blob[] = {1, 2, 0, 255};
  scratch.Set(L"Release", REG_DWORD, &dword, sizeof dword);
  scratch.Set(L"Version", REG_SZ, text, sizeof text);
  scratch.Set(L"Sid", REG_BINARY, blob, sizeof blob);

  CRegistryKey key;
  ASSERT_EQ(kRegOk, key.Open("Software\\HxtAdapterTest", RegView::View64));
  u32 number = 0;
  EXPECT_EQ(kRegOk, key.QueryDword("release", number));  // names are case-insensitive
  EXPECT_EQ(0x2au, number);
  std::string version;
  EXPECT_EQ(kRegOk, key.QueryString("Version", 10, version));
  EXPECT_EQ("4.8.09037", version);
  EXPECT_EQ(kRegMoreData, key.QueryString("Version", 9, version));
  RegValue raw;
  ASSERT_EQ(kRegOk, key.QueryValue("Sid", raw));
  EXPECT_EQ(kRegBinary, raw.type);
  EXPECT_EQ(std::vector<unsigned char>(blob, blob + sizeof blob), raw.bytes);
  // Wrong type and absence read alike.
  EXPECT_EQ(kRegNotFound, key.QueryDword("Version", number));
  EXPECT_EQ(kRegNotFound, key.QueryValue("Missing", raw));

  CRegistryKey absent;
  EXPECT_EQ(kRegNotFound, absent.Open("Software\\HxtAdapterTest\\Nope"));
  EXPECT_FALSE(absent.IsOpen());
}

TEST(WinKnownFolders, GivesAbsolutePathsWithoutTrailingSeparator) {
  std::string data, programs, module;
  ASSERT_EQ(0u, GetKnownFolderPath(KnownFolder::CommonAppData, data));
  ASSERT_EQ(0u, GetKnownFolderPath(KnownFolder::ProgramFiles, programs));
  ASSERT_EQ(0u, GetModuleFilePath(module));
  for (const std::string& path : {data, programs, module, GetTempFolder()}) {
    SCOPED_TRACE(path);
    ASSERT_GT(path.size(), 3u);
    EXPECT_EQ(':', path[1]);
    EXPECT_NE('\\', path.back());
  }
  EXPECT_NE(std::string::npos, module.find("hxt_win_tests"));
}

TEST(WinIdentity, ComputerAccount) {
  std::vector<unsigned char> sid;
  ASSERT_TRUE(GetComputerAccountSid(sid));
  EXPECT_EQ(1, sid[0]);  // SID revision
}

TEST(WinEventLog, RegistersReportsAndExplainsErrors) {
  EventSourceHandle source = RegisterEventSource("hxtarrowagent");
  ASSERT_NE(kInvalidEventSource, source);
  EXPECT_TRUE(ReportEvent(source, EventType::Warning, 1, 0x1234, "adapter test"));
  DeregisterEventSource(source);
  EXPECT_EQ(kInvalidEventSource, RegisterEventSource(""));
  std::string text = SystemErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(text.empty());
  EXPECT_NE('\n', text.back());
}

}  // namespace
}  // namespace hxt::platform
