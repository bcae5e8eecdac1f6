#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/deviceinfo.h"
#include "common/sha1.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

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
  std::string out;
  for (const wchar_t* p = buffer; *p; ++p) out += static_cast<char>(*p);
  return out;
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
      {"a nonce as text", details + "\"Sid\"=hex:05\n\"Nonce\"=\"1\"\n", {5}},
  };
  root.WriteMachineId("00112233445566778899aabbccddeeff\n");
  for (const auto& c : cases) {
    CDeviceInfo::ResetCacheForTesting();
    root.WriteRegistry(c.registry);
    EXPECT_EQ(udid(), sha1Of(c.hashed)) << c.name;
  }
}

TEST_F(DeviceInfoTest, SizeProtocolAndBufferLimits) {
  root.WriteRegistry(details + "\"Sid\"=hex:05\n");
  u32 size = 0;
  EXPECT_EQ(CDeviceInfo::GetUDID(nullptr, &size), kUdidBufferTooSmall);
  EXPECT_EQ(size, kUdidSize);
  wchar_t small[40];
  size = 40;
  EXPECT_EQ(CDeviceInfo::GetUDID(small, &size), kUdidBufferTooSmall);
  EXPECT_EQ(size, kUdidSize);
  EXPECT_EQ(CDeviceInfo::GetUDID(small, nullptr), kUdidBufferTooSmall);

  wchar_t big[64];
  std::wmemset(big, L'#', 64);
  size = 64;
  ASSERT_EQ(CDeviceInfo::GetUDID(big, &size), kUdidOk);
  EXPECT_EQ(big[40], L'\0');
  EXPECT_EQ(big[41], L'#');  // nothing written past the terminator
  for (int i = 0; i < 40; ++i) EXPECT_TRUE(std::iswxdigit(big[i]) && !std::iswupper(big[i]));
}

// The identifier is kept once made; without any identity there is none.
TEST_F(DeviceInfoTest, SecondCallReturnsTheCachedIdentifierAndNoIdentityAtAllFails) {
  root.WriteRegistry(details + "\"Sid\"=hex:05\n");
  std::string first = udid();
  root.WriteRegistry(details + "\"Sid\"=hex:06\n");
  EXPECT_EQ(udid(), first);
  CDeviceInfo::ResetCacheForTesting();
  EXPECT_EQ(udid(), sha1Of({6}));

  CDeviceInfo::ResetCacheForTesting();
  root.RemoveRegistry();  // and no machine id in the private root
  u32 size = kUdidSize;
  wchar_t buffer[kUdidSize];
  for (const char* machineId : {"", "not-a-machine-id\n", "00000000000000000000000000000000\n"}) {
    if (*machineId != '\0') root.WriteMachineId(machineId);
    EXPECT_EQ(CDeviceInfo::GetUDID(buffer, &size), kUdidFailure) << machineId;
  }
}

// A digest the crypto library refuses is a failure, not an identifier of zeros.
TEST_F(DeviceInfoTest, DigestFailureIsAFailure) {
  root.WriteRegistry(details + "\"Sid\"=hex:05\n");
  FailDigestsForTesting(true);
  u32 size = kUdidSize;
  wchar_t buffer[kUdidSize];
  EXPECT_EQ(CDeviceInfo::GetUDID(buffer, &size), kUdidFailure);
  FailDigestsForTesting(false);
  EXPECT_EQ(udid(), sha1Of({5}));
}

}  // namespace
}  // namespace hxt
