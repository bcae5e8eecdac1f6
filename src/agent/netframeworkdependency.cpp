#include "agent/netframeworkdependency.h"

#include <cstdlib>
#include <string>

#include "common/applog.h"
#include "common/registry.h"

namespace hxt {

namespace {
constexpr const char* kFunction = "CDotNetDependency::Validate";
constexpr const char* kNotInstalled = ".NET Framework 4.0 or newer is not installed.";
}  // namespace

bool CDotNetDependency::Validate() {
  platform::CRegistryKey key;  // closed by its destructor on every path
  if (key.Open(kDotNetSetupKey) != platform::kRegOk) {
    HXT_LOGF(LOG_LEVEL_WARNING, kFunction, kNotInstalled);
    return false;
  }
  u32 install = 0;
  if (key.QueryDword("Install", install) != platform::kRegOk || install != 1) {
    u32 release = 0;
    if (key.QueryDword("Release", release) != platform::kRegOk || release < kDotNetMinimumRelease) {
      HXT_LOGF(LOG_LEVEL_WARNING, kFunction, kNotInstalled);
      return false;
    }
  }
  std::string version;
  const char* valueName = "Version";
  if (u32 status = key.QueryString(valueName, kDotNetVersionCapacity, version)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(status), true, "::RegQueryValueEx", kFunction,
                 "registry value %s", valueName);
    return false;
  }
  long major = std::strtol(version.c_str(), nullptr, 10);
  if (major > 3) {
    HXT_LOGF(LOG_LEVEL_INFO, kFunction, ".NET Framework %s is installed.", version.c_str());
    return true;
  }
  HXT_LOGF(LOG_LEVEL_ERROR, kFunction, ".NET Framework %s is installed, expected 4.0 or newer", version.c_str());
  return false;
}

}  // namespace hxt
