#include "common/velmorautils.h"

#include "common/applog.h"
#include "common/knownfolders.h"

namespace hxt {

namespace {

bool folderPath(platform::KnownFolder folder, const char* function, std::string& path) {
  path.clear();
  std::string base;
  if (u32 err = platform::GetKnownFolderPath(folder, base)) {
    HXT_LOG_CODE(LOG_LEVEL_ERROR, static_cast<i32>(err), true, "SHGetFolderPath", function, nullptr);
    return false;
  }
  path = base + platform::kPathSeparator + kSuiteFolder;
  return true;
}

}  // namespace

bool CVelmoraUtils::getMainPath(std::string& path) {
  return folderPath(platform::KnownFolder::ProgramFiles, "CVelmoraUtils::getMainPath", path);
}

bool CVelmoraUtils::getDataPath(std::string& path) {
  return folderPath(platform::KnownFolder::CommonAppData, "CVelmoraUtils::getDataPath", path);
}

bool CVelmoraUtils::GetBinariesPath(std::string& path) {
  if (!getMainPath(path)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraUtils::GetBinariesPath",
             "failed to get Helixor installation directory");
    return false;
  }
  return true;
}

bool CVelmoraUtils::GetPluginsPath(std::string& path) {
  if (!GetBinariesPath(path)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraUtils::GetPluginsPath", "failed to get Helixor binaries directory");
    return false;
  }
  path += platform::kPathSeparator;
  path += kPluginsFolder;
  return true;
}

bool CVelmoraUtils::GetProfilePath(std::string& path) {
  if (!getDataPath(path)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CVelmoraUtils::GetProfilePath", "failed to get Helixor data directory");
    return false;
  }
  path += platform::kPathSeparator;
  path += kProfileFolder;
  return true;
}

}  // namespace hxt
