#include "common/deviceinfo.h"

#include <memory>
#include <mutex>
#include <string>

#include "common/machineidentity.h"
#include "common/registry.h"
#include "common/sha1.h"

namespace hxt {

namespace {

const char* const kIdentityNames[] = {"Sid", "DigitalProductId", "DigitalProductId4"};

std::mutex& cacheMutex() {
  static std::mutex m;
  return m;
}
std::vector<unsigned char>& cache() {
  static std::vector<unsigned char> bytes;
  return bytes;
}

// A non-empty REG_BINARY, or false.
bool readBinary(const platform::CRegistryKey& key, const char* name, std::vector<unsigned char>& out) {
  platform::RegValue value;
  if (key.QueryValue(name, value) != platform::kRegOk) return false;
  if (value.type != platform::kRegBinary || value.bytes.empty()) return false;
  out = std::move(value.bytes);
  return true;
}

bool collectPrimary(std::vector<unsigned char>& bytes) {
  platform::CRegistryKey key;
  if (key.Open(kDeviceDetailsKey, platform::RegView::View32) != platform::kRegOk) return false;
  std::vector<unsigned char> collected;
  for (const char* name : kIdentityNames) {
    std::vector<unsigned char> item;
    if (!readBinary(key, name, item)) {
      if (name == kIdentityNames[0]) return false;  // no Sid: the whole source fails
      continue;
    }
    collected.insert(collected.end(), item.begin(), item.end());
  }
  bytes = std::move(collected);
  return true;
}

bool collectFallback(std::vector<unsigned char>& bytes) {
  std::vector<unsigned char> sid;
  if (!platform::GetComputerAccountSid(sid)) return false;
  bytes = sid;
  platform::CRegistryKey key;
  if (key.Open(kCurrentVersionKey, platform::RegView::View64) == platform::kRegOk) {
    for (std::size_t i = 1; i < sizeof kIdentityNames / sizeof kIdentityNames[0]; ++i) {
      std::vector<unsigned char> item;
      if (readBinary(key, kIdentityNames[i], item)) bytes.insert(bytes.end(), item.begin(), item.end());
    }
  }
  return true;
}

void appendNonce(std::vector<unsigned char>& bytes) {
  platform::CRegistryKey key;
  if (key.Open(kDeviceDetailsKey, platform::RegView::View32) != platform::kRegOk) return;
  u32 nonce = 0;
  if (key.QueryDword("Nonce", nonce) != platform::kRegOk) return;
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(nonce >> shift));
}

bool sha1Hex(const std::vector<unsigned char>& input, std::string& hex) {
  std::array<unsigned char, 20> digest{};
  if (!Sha1(input.data(), input.size(), digest)) return false;
  static const char kDigits[] = "0123456789abcdef";
  hex.clear();
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0f];
  }
  return true;
}

}  // namespace

bool CDeviceInfo::CollectIdentity(std::vector<unsigned char>& bytes) {
  std::lock_guard<std::mutex> lock(cacheMutex());
  if (!cache().empty()) {
    bytes = cache();
    return true;
  }
  std::vector<unsigned char> collected;
  if (!collectPrimary(collected) && !collectFallback(collected)) return false;
  appendNonce(collected);
  cache() = collected;  // an empty result stays uncached, so the next call collects again
  bytes = std::move(collected);
  return true;
}

void CDeviceInfo::ResetCacheForTesting() {
  std::lock_guard<std::mutex> lock(cacheMutex());
  cache().clear();
}

i32 CDeviceInfo::GetUDID(wchar_t* buffer, u32* size) {
  std::vector<unsigned char> identity;
  if (!CollectIdentity(identity)) return kUdidFailure;
  if (size == nullptr) return kUdidBufferTooSmall;
  if (buffer == nullptr || *size < kUdidSize) {
    *size = kUdidSize;
    return kUdidBufferTooSmall;
  }
  std::string hex;
  if (!sha1Hex(identity, hex)) return kUdidFailure;
  std::size_t n = std::min<std::size_t>(hex.size(), *size - 1);
  for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<wchar_t>(hex[i]);
  buffer[n] = L'\0';
  return kUdidOk;
}

}  // namespace hxt
