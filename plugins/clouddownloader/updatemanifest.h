// The update location and its version manifest.
//
// The location is a local folder or file, written as an absolute path or a
// file:// URL. A folder holds the manifest as "manifest.json"; a file is the
// manifest itself. The manifest is a JSON object:
//   {"version": "1.2.0", "package": "hxtarrow-1.2.0.tar.gz", "sha256": "<64 hex digits>"}
// "version" is one to four dot-separated numbers; "package" is the name of a
// file beside the manifest; "sha256", when present, is the package's digest.
#ifndef HXT_PLUGINS_CLOUDDOWNLOADER_UPDATEMANIFEST_H
#define HXT_PLUGINS_CLOUDDOWNLOADER_UPDATEMANIFEST_H

#include <string>

namespace hxtplugin {

// The local path of a location; false with the reason in `error` for other
// URL schemes, remote hosts and relative paths.
bool LocationFromUrl(const std::string& url, std::string& path, std::string& error);

// Below, equal or above: -1, 0, 1. Missing parts count as 0 ("1.2" == "1.2.0").
// False when either text is not a version.
bool CompareVersions(const std::string& a, const std::string& b, int& order);

struct UpdateManifest {
  std::string version;
  std::string package;
  std::string sha256;  // lower-case hex, or empty
};
bool ParseManifest(const std::string& json, UpdateManifest& manifest, std::string& error);

// Lower-case hex SHA-256 of a file's content (libcrypto's EVP digest); empty
// when it cannot be read or digested.
std::string Sha256OfFile(const std::string& path);

struct LocationCheck {
  enum Kind { kNoManifest, kInvalid, kNotNewer, kNewer } kind = kNoManifest;
  std::string version;  // the manifest's, when it has one
  std::string detail;   // what was found, for the log
};
// Looks at the location for a manifest of a version above `installedVersion`
// whose package is there and matches its digest.
LocationCheck CheckLocation(const std::string& location, const std::string& installedVersion);

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_CLOUDDOWNLOADER_UPDATEMANIFEST_H
