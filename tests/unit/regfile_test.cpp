#include <gtest/gtest.h>

#include "common/posix/regfile.h"
#include "common/registry.h"
#include "fakes/capturelogger.h"
#include "fakes/testroot.h"

namespace hxt::platform {
namespace {

const RegValue* find(const RegFileContents& c, const std::string& key, const std::string& name) {
  auto k = c.keys.find(CanonicalKeyPath(key));
  if (k == c.keys.end()) return nullptr;
  auto v = k->second.find(name);
  return v == k->second.end() ? nullptr : &v->second;
}

TEST(RegFile, ParsesEveryValueFormAndBothHeaders) {
  for (std::string header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
    std::string text = "\xEF\xBB\xBF" + header +
                       "\r\n\r\n; a comment\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\Key]\r\n"
                       "\"Number\"=dword:0000002A\r\n"
                       "\"Blob\"=hex:01,02,\\\r\n"
                       "  03,ff\r\n"
                       "\"Text\"=\"say \\\"hi\\\" C:\\\\dir\"\r\n"
                       "@=\"default\"\r\n"
                       "\"Empty\"=hex:\r\n"
                       "\"Qword\"=hex(b):01,00,00,00,00,00,00,00\r\n";
    auto c = ParseRegFile(text);
    EXPECT_TRUE(c.diagnostics.empty()) << c.diagnostics.front().message;
    const std::string key = "HKLM\\SOFTWARE\\vendor\\KEY";
    ASSERT_NE(find(c, key, "number"), nullptr);
    EXPECT_EQ(find(c, key, "number")->type, kRegDword);
    EXPECT_EQ(find(c, key, "number")->bytes, (std::vector<unsigned char>{0x2a, 0, 0, 0}));
    EXPECT_EQ(find(c, key, "blob")->bytes, (std::vector<unsigned char>{1, 2, 3, 0xff}));
    EXPECT_EQ(find(c, key, "text")->text, "say \"hi\" C:\\dir");
    EXPECT_EQ(find(c, key, "")->text, "default");
    EXPECT_TRUE(find(c, key, "empty")->bytes.empty());
    EXPECT_EQ(find(c, key, "qword")->type, kRegQword);
  }
}

TEST(RegFile, MalformedLinesAreReportedWithLineNumbersAndSkippedAndAHeaderIsNeeded) {
  std::string text =
      "REGEDIT4\n"                      // 1
      "\"Orphan\"=dword:1\n"            // 2 value outside a key
      "[HKEY_LOCAL_MACHINE\\K]\n"       // 3
      "\"BadDword\"=dword:123456789\n"  // 4
      "\"BadHex\"=hex:1,zz\n"           // 5
      "\"Unterminated\"=\"abc\n"        // 6
      "\"NoEquals\" dword:1\n"          // 7
      "\"Good\"=dword:00000007\n"       // 8
      "[HKEY_CURRENT_USER\\Other]\n"    // 9
      "\"Ignored\"=dword:1\n"           // 10
      "[HKEY_LOCAL_MACHINE\\Broken\n"   // 11
      "\"Weird\"=qword:1\n";            // 12
  auto c = ParseRegFile(text);
  std::vector<unsigned> lines;
  for (const auto& d : c.diagnostics) lines.push_back(d.line);
  EXPECT_EQ(lines, (std::vector<unsigned>{2, 4, 5, 6, 7, 9, 10, 11, 12}));
  ASSERT_NE(find(c, "HKEY_LOCAL_MACHINE\\K", "good"), nullptr);
  EXPECT_EQ(find(c, "HKEY_LOCAL_MACHINE\\K", "baddword"), nullptr);

  // Without the header nothing is read.
  c = ParseRegFile("[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n");
  EXPECT_TRUE(c.keys.empty());
  ASSERT_EQ(c.diagnostics.size(), 1u);
  EXPECT_EQ(c.diagnostics[0].line, 1u);
  EXPECT_TRUE(ParseRegFile(std::string("\0\xff\x01garbage", 10)).keys.empty());
}

TEST(RegistryStore, QueriesAreCaseInsensitiveAndTypedAndBadLinesAreLogged) {
  test::TestRoot root;
  root.WriteRegistry(
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor]\n"
      "\"Count\"=dword:00000003\n"
      "\"Name\"=\"fifteen chars!!\"\n"
      "\"Long\"=\"sixteen chars!!!\"\n");
  CRegistryKey key;
  ASSERT_EQ(key.Open("software\\VENDOR"), kRegOk);
  u32 count = 0;
  EXPECT_EQ(key.QueryDword("COUNT", count), kRegOk);
  EXPECT_EQ(count, 3u);
  std::string text;
  EXPECT_EQ(key.QueryString("name", 16, text), kRegOk);
  EXPECT_EQ(key.QueryString("long", 16, text), kRegMoreData);
  EXPECT_EQ(key.QueryDword("Name", count), kRegNotFound);  // wrong type counts as missing
  EXPECT_EQ(key.QueryDword("Missing", count), kRegNotFound);

  CRegistryKey absent;
  EXPECT_EQ(absent.Open("Software\\Nobody"), kRegNotFound);
  root.RemoveRegistry();
  EXPECT_EQ(absent.Open("Software\\Vendor"), kRegNotFound);

  // A malformed store is logged with its file and line.
  test::ScopedCaptureLog log;
  root.WriteRegistry("[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:zz\n");
  CRegistryKey malformed;
  ASSERT_EQ(malformed.Open("K"), kRegOk);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING,
                      "Registry store " + RegistryStorePath() + ", line 4: value \"A\": bad dword 'zz'"))
      << log.Dump();
}

}  // namespace
}  // namespace hxt::platform
