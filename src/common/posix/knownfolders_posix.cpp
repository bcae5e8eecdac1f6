#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "common/knownfolders.h"

namespace hxt::platform {

u32 GetServiceRoot(std::string& root) {
  root.clear();
  const char* env = std::getenv("HXT_ROOT");
  if (env == nullptr || *env == '\0') return 0;
  // A relative root would make every path depend on the working directory,
  // which a daemon does not control.
  if (env[0] != '/') return EINVAL;
  root = env;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return 0;
}

u32 GetKnownFolderPath(KnownFolder folder, std::string& path) {
  path.clear();
  std::string root;
  if (u32 err = GetServiceRoot(root)) return err;
  switch (folder) {
    case KnownFolder::ProgramFiles:
      path = root + "/opt";
      break;
    case KnownFolder::CommonAppData:
      path = root + "/var/opt";
      break;
  }
  return 0;
}

std::string GetTempFolder() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace hxt::platform

namespace hxt::platform {

u32 GetModuleFilePath(std::string& path) {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) {
    path.clear();
    return static_cast<u32>(errno);
  }
  path.assign(buffer, static_cast<std::size_t>(n));
  return 0;
}

}  // namespace hxt::platform
