#include <cctype>
#include <fstream>
#include <sstream>

#include "common/applog.h"
#include "common/knownfolders.h"
#include "common/posix/regfile.h"
#include "common/registry.h"

namespace hxt::platform {

namespace {

constexpr const char* kStoreRelativePath = "/etc/opt/truvane/registry.reg";

// Reads and parses the store; malformed lines are logged with the file name
// and line number, and only the values that parsed are returned.
bool loadStore(RegFileContents& contents) {
  std::string path = RegistryStorePath();
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream buffer;
  buffer << in.rdbuf();
  contents = ParseRegFile(buffer.str());
  for (const auto& d : contents.diagnostics) {
    HXT_LOG(LOG_LEVEL_WARNING, "Registry store %s, line %u: %s", path.c_str(), d.line, d.message.c_str());
  }
  return true;
}

std::string fullKey(const std::string& subKey) { return CanonicalKeyPath("HKEY_LOCAL_MACHINE\\" + subKey); }

std::string lowerName(const std::string& name) {
  std::string out = name;
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string RegistryStorePath() {
  std::string root;
  GetServiceRoot(root);  // a relative HXT_ROOT leaves the root empty: the system store
  return root + kStoreRelativePath;
}

u32 CRegistryKey::Open(const std::string& subKey, RegView) {
  Close();
  RegFileContents contents;
  if (!loadStore(contents)) return kRegNotFound;
  std::string key = fullKey(subKey);
  if (contents.keys.find(key) == contents.keys.end()) return kRegNotFound;
  subKey_ = key;
  open_ = true;
  return kRegOk;
}

void CRegistryKey::Close() {
  open_ = false;
  subKey_.clear();
}

u32 CRegistryKey::QueryValue(const std::string& name, RegValue& value) const {
  if (!open_) return kRegNotFound;
  RegFileContents contents;
  if (!loadStore(contents)) return kRegNotFound;
  auto key = contents.keys.find(subKey_);
  if (key == contents.keys.end()) return kRegNotFound;
  auto it = key->second.find(lowerName(name));
  if (it == key->second.end()) return kRegNotFound;
  value = it->second;
  return kRegOk;
}

u32 CRegistryKey::QueryString(const std::string& name, std::size_t capacity, std::string& value) const {
  RegValue raw;
  if (u32 status = QueryValue(name, raw)) return status;
  if (raw.type != kRegSz) return kRegNotFound;
  if (raw.text.size() + 1 > capacity) return kRegMoreData;
  value = raw.text;
  return kRegOk;
}

}  // namespace hxt::platform
