// Platform seam for the well-known folders.
//
// Windows: SHGetFolderPathW; the service root is always "". POSIX: everything lives below $HXT_ROOT (empty on
// an installed system): program files = $HXT_ROOT/opt, common application
// data = $HXT_ROOT/var/opt, the configuration store under $HXT_ROOT/etc.
#pragma once

#include <string>

#include "common/hxttypes.h"

namespace hxt::platform {

enum class KnownFolder { ProgramFiles, CommonAppData };

// Fills `path` (no trailing separator). On failure returns a non-zero system
// error code and leaves `path` empty.
u32 GetKnownFolderPath(KnownFolder folder, std::string& path);

// The root every service path hangs from: "" on an installed system, the
// absolute value of HXT_ROOT otherwise. Non-zero error code when HXT_ROOT is
// set but not an absolute path.
u32 GetServiceRoot(std::string& root);

// Temporary files folder: $TMPDIR or /tmp (Windows: GetTempPathW), no
// trailing separator.
std::string GetTempFolder();

// Full path of the running executable (Windows: GetModuleFileNameW, POSIX:
// /proc/self/exe). Non-zero system error code on failure, `path` empty.
u32 GetModuleFilePath(std::string& path);

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

}  // namespace hxt::platform
