// The registry store, its file format, and what the service reads through it and through the service root:
// the runtime's version, the device identifier and the service's folders.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cwchar>
#include <string>
#include <vector>

#include "agent/netframeworkdependency.h"
#include "common/deviceinfo.h"
#include "common/posix/regfile.h"
#include "common/registry.h"
#include "common/sha1.h"
#include "common/velmorautils.h"
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

  c = ParseRegFile("[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n");  // Without the header nothing is read.
  EXPECT_TRUE(c.keys.empty());
  EXPECT_TRUE(c.diagnostics.size() == 1 && c.diagnostics[0].line == 1u);
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
  EXPECT_TRUE(key.QueryDword("COUNT", count) == kRegOk && count == 3u);
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
  ASSERT_EQ(CRegistryKey().Open("K"), kRegOk);
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING,
                      "Registry store " + RegistryStorePath() + ", line 4: value \"A\": bad dword 'zz'"))
      << log.Dump();
}

const std::string kKey = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\n";
const std::string kNotInstalled = ".NET Framework 4.0 or newer is not installed.";

TEST(DotNetDependency, Cases) {
  // The values under the key (empty: no key at all), the outcome, its one log line.
  const std::tuple<const char*, std::string, bool, u32, std::string> cases[] = {
      {"installed", "\"Install\"=dword:1\n\"Version\"=\"4.8.09037\"\n", true, LOG_LEVEL_INFO,
       ".NET Framework 4.8.09037 is installed."},
      {"no key", "", false, LOG_LEVEL_WARNING, kNotInstalled},
      {"release too old", "\"Release\"=dword:0005c614\n\"Version\"=\"4.5\"\n", false, LOG_LEVEL_WARNING,
       kNotInstalled},
      {"release enough", "\"Install\"=dword:0\n\"Release\"=dword:0005c615\n\"Version\"=\"4.6.1\"\n", true,
       LOG_LEVEL_INFO, ".NET Framework 4.6.1 is installed."},
      {"install mistyped", "\"Install\"=\"1\"\n\"Version\"=\"4.8\"\n", false, LOG_LEVEL_WARNING,
       kNotInstalled},
      {"version too long", "\"Install\"=dword:1\n\"Version\"=\"4.8.0903712345678\"\n", false, LOG_LEVEL_ERROR,
       "::RegQueryValueEx returned code 234 - UNKNOWN_WINDOWS_ERROR_CODE\nregistry value Version"},
      {"version missing", "\"Install\"=dword:1\n", false, LOG_LEVEL_ERROR,
       "::RegQueryValueEx returned code 2 - No such file or directory\nregistry value Version"},
      {"major 3", "\"Install\"=dword:1\n\"Version\"=\"3.5.30729\"\n", false, LOG_LEVEL_ERROR,
       ".NET Framework 3.5.30729 is installed, expected 4.0 or newer"},
      {"no digits", "\"Install\"=dword:1\n\"Version\"=\"v4\"\n", false, LOG_LEVEL_ERROR,
       ".NET Framework v4 is installed, expected 4.0 or newer"}};
  for (const auto& [name, values, result, level, message] : cases) {
    SCOPED_TRACE(name);
    test::TestRoot root;
    root.WriteRegistry(values.empty() ? "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n" : kKey + values);
    test::ScopedCaptureLog log;
    EXPECT_EQ(CDotNetDependency::Validate(), result);
    EXPECT_EQ(log.Messages(level), std::vector<std::string>{message});
    EXPECT_EQ(log.Records().size(), 1u) << log.Dump();
  }
}

// The crypto library's SHA-1, to check the service's own against.
std::string sha1Of(const std::vector<unsigned char>& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(bytes.data(), bytes.size(), digest);
  char hex[2 * SHA_DIGEST_LENGTH + 1];
  for (int i = 0; i < SHA_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

std::string udid() {
  wchar_t buffer[kUdidSize];
  u32 size = kUdidSize;
  EXPECT_EQ(CDeviceInfo::GetUDID(buffer, &size), kUdidOk);
  return std::string(buffer, buffer + std::wcslen(buffer));  // hex digits only
}

class DeviceInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { CDeviceInfo::ResetCacheForTesting(); }
  void TearDown() override { CDeviceInfo::ResetCacheForTesting(); }
  test::TestRoot root;
  const std::string details =
      "[HKEY_LOCAL_MACHINE\\Software\\Truvane\\Truvane Helixor Client\\DeviceDetails]\n";
  const std::string current = "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\n";
};

// The bytes hashed: Sid, product ids and the nonce (little-endian) of the
// device details; without a Sid, the machine id and the system's product ids.
TEST_F(DeviceInfoTest, TheIdentifierHashesTheSourceItemsInNameOrder) {
  const struct {
    const char* name;
    std::string registry;
    std::vector<unsigned char> hashed;
  } cases[] = {
      {"details with a nonce",
       details + "\"Nonce\"=dword:0a0b0c0d\n\"DigitalProductId\"=hex:aa,bb\n\"Sid\"=hex:01,02,03\n",
       {1, 2, 3, 0xaa, 0xbb, 0x0d, 0x0c, 0x0b, 0x0a}},
      {"no Sid: the fallback, even with product ids in the details",
       details + "\"DigitalProductId\"=hex:aa\n\"DigitalProductId4\"=hex:bb\n" + current +
           "\"DigitalProductId\"=hex:c1\n\"DigitalProductId4\"=hex:c2\n",
       {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0xc1,
        0xc2}},
      {"empty and mistyped items, a nonce of another type",
       details + "\"Sid\"=hex:05\n\"DigitalProductId\"=hex:\n\"DigitalProductId4\"=\"text\"\n\"Nonce\"=hex:"
                 "01,00,00,00\n",
       {5}},
      {"a nonce as text", details + "\"Sid\"=hex:05\n\"Nonce\"=\"1\"\n", {5}}};
  root.WriteMachineId("00112233445566778899aabbccddeeff\n");
  for (const auto& c : cases) {
    CDeviceInfo::ResetCacheForTesting();
    root.WriteRegistry(c.registry);
    EXPECT_EQ(udid(), sha1Of(c.hashed)) << c.name;
  }
}

// The identifier is kept once made; a digest the crypto library refuses is
// a failure, not an identifier of zeros; without any identity there is none.
TEST_F(DeviceInfoTest, TheIdentifierIsKeptAndWithoutDigestOrIdentityThereIsNone) {
  root.WriteRegistry(details + "\"Sid\"=hex:05\n");
  u32 size = kUdidSize;
  wchar_t buffer[kUdidSize];
  FailDigestsForTesting(true);
  EXPECT_EQ(CDeviceInfo::GetUDID(buffer, &size), kUdidFailure);
  FailDigestsForTesting(false);
  const std::string first = udid();
  EXPECT_EQ(first, sha1Of({5}));
  // The size protocol: too small a buffer (or none) is told the size needed;
  // nothing is written past the terminator.
  wchar_t small[40];
  for (auto [target, given] : {std::pair<wchar_t*, u32>{nullptr, 0}, {small, 40}})
    EXPECT_TRUE(CDeviceInfo::GetUDID(target, &(size = given)) == kUdidBufferTooSmall && size == kUdidSize)
        << given;
  EXPECT_EQ(CDeviceInfo::GetUDID(small, nullptr), kUdidBufferTooSmall);
  wchar_t big[64];
  std::wmemset(big, L'#', 64);
  size = 64;
  ASSERT_EQ(CDeviceInfo::GetUDID(big, &size), kUdidOk);
  EXPECT_EQ(std::wstring(big + 40, 2), std::wstring(L"\0#", 2));
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(std::iswxdigit(big[i]) && !std::iswupper(big[i]));
  size = kUdidSize;
  root.WriteRegistry(details + "\"Sid\"=hex:06\n");
  EXPECT_EQ(udid(), first);
  CDeviceInfo::ResetCacheForTesting();
  EXPECT_EQ(udid(), sha1Of({6}));

  CDeviceInfo::ResetCacheForTesting();
  root.RemoveRegistry();  // and no machine id in the private root
  for (const char* machineId : {"", "not-a-machine-id\n", "00000000000000000000000000000000\n"}) {
    if (*machineId != '\0') root.WriteMachineId(machineId);
    EXPECT_EQ(CDeviceInfo::GetUDID(buffer, &size), kUdidFailure) << machineId;
  }
}

}  // namespace
}  // namespace hxt::platform
