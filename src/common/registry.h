// Platform seam for the registry (HKEY_LOCAL_MACHINE only; the service reads,
// never writes).
//
// Windows: RegOpenKeyExW / RegQueryValueExW with the requested view. POSIX: a
// text store in the `.reg` export format at $HXT_ROOT/etc/opt/truvane/registry.reg,
// read on every open and query; key and value names compare case-insensitively
// and the 32- and 64-bit views are the same store.
#pragma once

#include <string>
#include <vector>

#include "common/hxttypes.h"

namespace hxt::platform {

// Value types with the platform's numbers.
enum RegType : u32 {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
  kRegQword = 11,
};

// Status codes with the platform's numbers.
constexpr u32 kRegOk = 0;
constexpr u32 kRegNotFound = 2;    // ERROR_FILE_NOT_FOUND
constexpr u32 kRegMoreData = 234;  // ERROR_MORE_DATA

enum class RegView { Default, View32, View64 };

struct RegValue {
  u32 type = kRegNone;
  std::vector<unsigned char> bytes;  // binary, dword (4 bytes little-endian) and other raw types
  std::string text;                  // REG_SZ, UTF-8
};

class CRegistryKey {
 public:
  CRegistryKey() = default;
  ~CRegistryKey() { Close(); }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  // Opens HKEY_LOCAL_MACHINE\`subKey` for reading. 0 or a status code.
  u32 Open(const std::string& subKey, RegView view = RegView::Default);
  void Close();
  bool IsOpen() const { return open_; }

  // Any value. 0, or kRegNotFound when the key or the value is missing.
  u32 QueryValue(const std::string& name, RegValue& value) const;
  // A REG_DWORD; kRegNotFound also for a value of another type.
  u32 QueryDword(const std::string& name, u32& value) const;
  // A REG_SZ read into a buffer of `capacity` characters including the
  // terminator: kRegMoreData when the text does not fit.
  u32 QueryString(const std::string& name, std::size_t capacity, std::string& value) const;

 private:
  std::string subKey_;
  bool open_ = false;
  void* handle_ = nullptr;  // the HKEY on Windows
};

// Where the POSIX store lives (for tools and tests that write it).
std::string RegistryStorePath();

}  // namespace hxt::platform
