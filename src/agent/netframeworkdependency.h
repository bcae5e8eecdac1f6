// Check that the runtime the plug-ins need is installed, from the runtime's
// own setup key in the registry (it never loads the runtime).
#pragma once

namespace hxt {

constexpr const char* kDotNetSetupKey = "SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
constexpr unsigned kDotNetMinimumRelease = 378389;
constexpr unsigned kDotNetVersionCapacity = 16;  // characters, terminator included

class CDotNetDependency {
 public:
  static bool Validate();
};

}  // namespace hxt
