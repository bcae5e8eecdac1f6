// The device identifier handed to the plug-ins: SHA-1 over machine-specific
// registry data and a per-installation nonce, as 40 lower-case hex digits.
#pragma once

#include <vector>

#include "common/hxttypes.h"

namespace hxt {

constexpr i32 kUdidOk = 0;
constexpr i32 kUdidBufferTooSmall = -9992;
constexpr i32 kUdidFailure = -9999;
constexpr u32 kUdidSize = 41;  // 40 digits and the terminator

constexpr const char* kDeviceDetailsKey = "Software\\Truvane\\Truvane Helixor Client\\DeviceDetails";
constexpr const char* kCurrentVersionKey = "Software\\Microsoft\\Windows NT\\CurrentVersion";

class CDeviceInfo {
 public:
  // `buffer` may be null to learn the size; `size` is in characters. Never logs.
  static i32 GetUDID(wchar_t* buffer, u32* size);

  // The identity bytes, from the process-wide cache once collected.
  static bool CollectIdentity(std::vector<unsigned char>& bytes);
  // Tests only: forget the cached identity.
  static void ResetCacheForTesting();
};

}  // namespace hxt
