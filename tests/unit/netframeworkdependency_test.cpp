#include <gtest/gtest.h>

#include "agent/netframeworkdependency.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\n";
const std::string kNotInstalled = ".NET Framework 4.0 or newer is not installed.";

struct Case {
  const char* name;
  std::string values;  // empty: no key at all
  bool result;
  u32 level;
  std::string message;
};

TEST(DotNetDependency, Cases) {
  const std::vector<Case> cases = {
      {"installed", "\"Install\"=dword:1\n\"Version\"=\"4.8.09037\"\n", true, LOG_LEVEL_INFO,
       ".NET Framework 4.8.09037 is installed."},
      {"no key", "", false, LOG_LEVEL_WARNING, kNotInstalled},
      {"release too old", "\"Release\"=dword:0005c614\n\"Version\"=\"4.5\"\n", false, LOG_LEVEL_WARNING,
       kNotInstalled},
      {"release enough", "\"Install\"=dword:0\n\"Release\"=dword:0005c615\n\"Version\"=\"4.6.1\"\n", true,
       LOG_LEVEL_INFO, ".NET Framework 4.6.1 is installed."},
      {"install mistyped", "\"Install\"=\"1\"\n\"Version\"=\"4.8\"\n", false, LOG_LEVEL_WARNING, kNotInstalled},
      {"version too long", "\"Install\"=dword:1\n\"Version\"=\"4.8.0903712345678\"\n", false, LOG_LEVEL_ERROR,
       "::RegQueryValueEx returned code 234 - UNKNOWN_WINDOWS_ERROR_CODE\nregistry value Version"},
      {"version missing", "\"Install\"=dword:1\n", false, LOG_LEVEL_ERROR,
       "::RegQueryValueEx returned code 2 - No such file or directory\nregistry value Version"},
      {"major 3", "\"Install\"=dword:1\n\"Version\"=\"3.5.30729\"\n", false, LOG_LEVEL_ERROR,
       ".NET Framework 3.5.30729 is installed, expected 4.0 or newer"},
      {"no digits", "\"Install\"=dword:1\n\"Version\"=\"v4\"\n", false, LOG_LEVEL_ERROR,
       ".NET Framework v4 is installed, expected 4.0 or newer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TestRoot root;
    if (c.values.empty()) {
      root.WriteRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n");
    } else {
      root.WriteRegistry(kKey + c.values);
    }
    test::ScopedCaptureLog log;
    EXPECT_EQ(CDotNetDependency::Validate(), c.result);
    auto records = log.Records();
    ASSERT_EQ(records.size(), 1u) << log.Dump();
    EXPECT_EQ(records[0].level, c.level);
    EXPECT_EQ(test::MessageOf(records[0]), c.message);
  }
}

}  // namespace
}  // namespace hxt
