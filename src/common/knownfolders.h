// Platform seam for the well-known folders.
//
// Windows: SHGetFolderPathW. POSIX: everything lives below $HXT_ROOT (empty on
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

// Temporary files folder: $TMPDIR or /tmp.
std::string GetTempFolder();

constexpr char kPathSeparator = '/';

}  // namespace hxt::platform
