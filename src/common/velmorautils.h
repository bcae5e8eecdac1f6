// The directories the service works in, derived from the platform's
// well-known folders. No operation checks that a directory exists.
#pragma once

#include <string>

namespace hxt {

constexpr const char* kSuiteFolder = "Truvane/Truvane Helixor Client";
constexpr const char* kPluginsFolder = "Plugins";
constexpr const char* kProfileFolder = "Tarrow";

class CVelmoraUtils {
 public:
  // Each fills `path` (emptied first) and returns false, after logging, when
  // the platform cannot name the folder.
  static bool getMainPath(std::string& path);
  static bool getDataPath(std::string& path);
  static bool GetBinariesPath(std::string& path);
  static bool GetPluginsPath(std::string& path);
  static bool GetProfilePath(std::string& path);
};

}  // namespace hxt
