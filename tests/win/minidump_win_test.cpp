// Crash dumps on Windows: each crash happens in a death-test child, which must end with the exception's code
// after writing one minidump into the temporary folder it inherited; installation prunes old dumps. A Windows
// death-test child re-runs its test from the start, so every step before the statement must be harmless
// twice.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/minidump.h"

namespace hxt {
namespace {

namespace fs = std::filesystem;

__attribute__((noinline)) void nullDereference() {
  *static_cast<volatile int*>(nullptr) = 1;
}

__attribute__((noinline)) void throwUncaught() {
  throw std::runtime_error("nobody catches this");
}
// The test framework would catch it on the way out of the test body.
void throwThroughNoexcept() noexcept {
  throwUncaught();
}

std::string executableName() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).filename().string();
}

// The temporary folder of the crashing children: made by the test process, inherited by its children through
// the environment (TMP is what GetTempPathW reads first), removed when the test process ends.
const fs::path& DumpDir() {
  static struct Folder {
    fs::path path;
    bool owner = false;
    Folder() {
      if (const char* inherited = std::getenv("HXT_TEST_DUMP_DIR")) {
        path = inherited;
        return;
      }
      path = fs::temp_directory_path() / ("hxt-dumps-" + std::to_string(::GetCurrentProcessId()));
      fs::create_directories(path);
      owner = true;
      for (const char* name : {"HXT_TEST_DUMP_DIR", "TMP"}) {
        _putenv_s(name, path.string().c_str());
        ::SetEnvironmentVariableA(name, path.string().c_str());
      }
    }
    ~Folder() {
      std::error_code ignored;
      if (owner) fs::remove_all(path, ignored);
    }
  } folder;
  return folder.path;
}

std::vector<std::string> Dumps() {
  const std::regex name(std::regex_replace(executableName(), std::regex(R"([.])"), R"(\.)") + "_" +
                        HXT_TEST_BUILD_VERSION + R"(_\d{14}\.mdmp)");
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(DumpDir())) {
    if (std::regex_match(entry.path().filename().string(), name))
      found.push_back(entry.path().filename().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

struct Crash {
  const char* name;
  void (*crash)();
  DWORD code;
};

void PrintTo(const Crash& crash, std::ostream* out) {
  *out << crash.name;
}

class MiniDumpCrashWin : public ::testing::TestWithParam<Crash> {};

TEST_P(MiniDumpCrashWin, ACrashingChildLeavesOneMinidumpAndEndsWithItsExceptionCode) {
  for (const std::string& old : Dumps()) fs::remove(DumpDir() / old);
  EXPECT_EXIT(
      {
        static CExceptionHandlerEx handler;
        if (handler.InstallGlobalExceptionHandler() != 0) ::ExitProcess(90);
        GetParam().crash();
      },
      ::testing::ExitedWithCode(static_cast<int>(GetParam().code)), "");
  const std::vector<std::string> dumps = Dumps();
  ASSERT_EQ(dumps.size(), 1u);
  char signature[4] = {};
  std::ifstream(DumpDir() / dumps[0], std::ios::binary).read(signature, 4);
  EXPECT_EQ(std::string(signature, 4), "MDMP");
}

INSTANTIATE_TEST_SUITE_P(Crashes, MiniDumpCrashWin,
                         ::testing::Values(Crash{"AccessViolation", nullDereference, 0xC0000005},
                                           Crash{"UncaughtCppException", throwThroughNoexcept,
                                                 kExceptionCodeCppThrow}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MiniDumpWin, InstallationKeepsTheFiveNewestDumps) {
  const std::string prefix = executableName() + "_" + HXT_TEST_BUILD_VERSION + "_";
  for (const std::string& old : Dumps()) fs::remove(DumpDir() / old);
  for (int i = 0; i < 7; ++i) {
    const fs::path path = DumpDir() / (prefix + "2026010100000" + std::to_string(i) + ".mdmp");
    std::ofstream(path) << i;
    // Distinct creation times, oldest first, whatever the file system keeps.
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME created{static_cast<DWORD>(10000000 * (i + 1)), 0x01d00000};
    ::SetFileTime(file, &created, nullptr, nullptr);
    ::CloseHandle(file);
  }
  EXPECT_EXIT(
      {
        static CExceptionHandlerEx handler;
        ::ExitProcess(handler.InstallGlobalExceptionHandler());
      },
      ::testing::ExitedWithCode(0), "");
  const std::vector<std::string> left = Dumps();
  ASSERT_EQ(left.size(), kMiniDumpsKept);
  EXPECT_EQ(left.front(), prefix + "20260101000002.mdmp");
}

}  // namespace
}  // namespace hxt
