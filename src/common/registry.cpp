// What both registry adapters share: a DWORD is four little-endian bytes of
// a value whatever store it came from.
#include "common/registry.h"

namespace hxt::platform {

u32 CRegistryKey::QueryDword(const std::string& name, u32& value) const {
  RegValue raw;
  if (u32 status = QueryValue(name, raw)) return status;
  if (raw.type != kRegDword || raw.bytes.size() != 4) return kRegNotFound;
  value = static_cast<u32>(raw.bytes[0]) | static_cast<u32>(raw.bytes[1]) << 8 |
          static_cast<u32>(raw.bytes[2]) << 16 | static_cast<u32>(raw.bytes[3]) << 24;
  return kRegOk;
}

}  // namespace hxt::platform
