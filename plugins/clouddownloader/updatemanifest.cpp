#include "updatemanifest.h"

#include <sys/stat.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include <openssl/evp.h>

namespace hxtplugin {
namespace {

bool parseVersion(const std::string& text, std::vector<unsigned long>& parts) {
  parts.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (part.empty() || part.size() > 9) return false;
    for (char c : part) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    parts.push_back(std::stoul(part));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return parts.size() <= 4;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool LocationFromUrl(const std::string& url, std::string& path, std::string& error) {
  static const std::string kScheme = "file://";
  std::string encoded = url;
  if (url.compare(0, kScheme.size(), kScheme) == 0) {
    encoded = url.substr(kScheme.size());
    // file:///path and file://localhost/path name this machine; any other host does not.
    if (encoded.compare(0, 9, "localhost") == 0) encoded = encoded.substr(9);
    if (encoded.empty() || encoded[0] != '/') {
      error = "only local file:// locations are supported";
      return false;
    }
    path.clear();
    for (std::size_t i = 0; i < encoded.size(); ++i) {
      if (encoded[i] == '%') {
        const int high = i + 2 < encoded.size() ? hexValue(encoded[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(encoded[i + 2]) : -1;
        if (low < 0) {
          error = "malformed %-escape";
          return false;
        }
        path += static_cast<char>(high * 16 + low);
        i += 2;
      } else {
        path += encoded[i];
      }
    }
    return true;
  }
  if (url.empty() || url[0] != '/') {
    error = url.find("://") != std::string::npos ? "only local file:// locations are supported"
                                                 : "a local location must be an absolute path";
    return false;
  }
  path = url;
  return true;
}

bool CompareVersions(const std::string& a, const std::string& b, int& order) {
  std::vector<unsigned long> left, right;
  if (!parseVersion(a, left) || !parseVersion(b, right)) return false;
  left.resize(4, 0);
  right.resize(4, 0);
  order = left < right ? -1 : (right < left ? 1 : 0);
  return true;
}

bool ParseManifest(const std::string& json, UpdateManifest& manifest, std::string& error) {
  boost::property_tree::ptree tree;
  try {
    std::istringstream in(json);
    boost::property_tree::read_json(in, tree);
  } catch (const boost::property_tree::json_parser_error& e) {
    error = "not JSON (" + e.message() + " at line " + std::to_string(e.line()) + ")";
    return false;
  }
  manifest.version = tree.get<std::string>("version", "");
  manifest.package = tree.get<std::string>("package", "");
  manifest.sha256 = tree.get<std::string>("sha256", "");
  int ignored;
  if (!CompareVersions(manifest.version, "0", ignored)) {
    error = "version: missing or not a version (expected numbers separated by dots)";
    return false;
  }
  if (manifest.package.empty() || manifest.package.find('/') != std::string::npos ||
      manifest.package == "." || manifest.package == "..") {
    error = "package: missing or not a file name";
    return false;
  }
  bool hex = manifest.sha256.size() == 64;
  for (char& c : manifest.sha256) {
    hex = hex && hexValue(c) >= 0;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (tree.count("sha256") != 0 && !hex) {
    error = "sha256: expected 64 hex digits";
    return false;
  }
  return true;
}

std::string Sha256OfFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "";
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return "";
  std::vector<char> buffer(65536);
  while (file.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || file.gcount() > 0) {
    if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(file.gcount())) != 1) return "";
  }
  if (file.bad()) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

LocationCheck CheckLocation(const std::string& location, const std::string& installedVersion) {
  LocationCheck check;
  const std::string manifestPath = isFolder(location) ? location + "/manifest.json" : location;
  std::ifstream file(manifestPath, std::ios::binary);
  if (!isFile(manifestPath) || !file) {
    check.detail = "no manifest at " + manifestPath;
    return check;
  }
  std::ostringstream text;
  text << file.rdbuf();
  UpdateManifest manifest;
  std::string error;
  check.kind = LocationCheck::kInvalid;
  if (!ParseManifest(text.str(), manifest, error)) {
    check.detail = manifestPath + ": " + error;
    return check;
  }
  check.version = manifest.version;
  int order = 0;
  if (!CompareVersions(manifest.version, installedVersion, order)) {
    check.detail = "the installed version \"" + installedVersion + "\" is not a version";
    return check;
  }
  if (order <= 0) {
    check.kind = LocationCheck::kNotNewer;
    check.detail = manifestPath + ": version " + manifest.version + " is not newer than " + installedVersion;
    return check;
  }
  const std::string folder = manifestPath.substr(0, manifestPath.rfind('/'));
  const std::string package = folder + "/" + manifest.package;
  if (!isFile(package)) {
    check.detail = manifestPath + ": package " + package + " is missing";
    return check;
  }
  if (!manifest.sha256.empty() && Sha256OfFile(package) != manifest.sha256) {
    check.detail = manifestPath + ": package " + package + " does not match its sha256";
    return check;
  }
  check.kind = LocationCheck::kNewer;
  check.detail = manifestPath + ": version " + manifest.version + " is ready in " + package;
  return check;
}

}  // namespace hxtplugin
