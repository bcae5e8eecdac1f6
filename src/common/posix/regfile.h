// Parser of the `.reg` export text format ("REGEDIT4" or
// "Windows Registry Editor Version 5.00"):
//
//   [HKEY_LOCAL_MACHINE\Software\Vendor\Key]
//   "Name"=dword:0000002a
//   "Blob"=hex:01,02,<backslash at the end of the line continues the list>
//     03
//   "Text"="with \"quotes\" and \\ backslashes"
//   @="default value"
//   ; comment
//
// Malformed lines are reported with their line number and skipped; the
// values that parsed are kept. Names are stored lower-cased.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/registry.h"

namespace hxt::platform {

struct RegFileDiagnostic {
  unsigned line;
  std::string message;
};

struct RegFileContents {
  // Lower-cased full key path (root spelled HKEY_LOCAL_MACHINE) → lower-cased value name → value.
  std::map<std::string, std::map<std::string, RegValue>> keys;
  std::vector<RegFileDiagnostic> diagnostics;
};

RegFileContents ParseRegFile(const std::string& text);

// Canonical lower-case form of a key path: HKLM expanded, separators
// normalised to single backslashes, no leading or trailing backslash.
std::string CanonicalKeyPath(const std::string& path);

}  // namespace hxt::platform
