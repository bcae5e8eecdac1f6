#include "fakes/testroot.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>

#include "common/knownfolders.h"
#include "common/registry.h"
#include "common/velmorautils.h"
#include "vpn/agent/sharedmemory.h"

#ifdef _WIN32
#include "common/posix/regfile.h"
#include "common/win/widestring.h"
#endif

namespace hxt::test {

namespace fs = boost::filesystem;

namespace {

void setRoot(const char* value) {
#ifdef _WIN32
  ::_putenv_s("HXT_ROOT", value != nullptr ? value : "");  // "" removes it
  ::_putenv_s("HXT_OBJECT_NAMESPACE", value != nullptr ? value : "");
#else
  value != nullptr ? ::setenv("HXT_ROOT", value, 1) : ::unsetenv("HXT_ROOT");
#endif
}

#ifdef _WIN32
// Windows has no private root: the agent's folders are the machine's (the Wine prefix's), so a root empties
// them when it starts and when it ends, and tests that use roots never run side by side (RESOURCE_LOCK).
// HXT_OBJECT_NAMESPACE still names the VPN objects apart.
std::string suiteFolder(bool (*get)(std::string&)) {
  std::string path;
  if (!get(path)) throw std::runtime_error("no folder for the suite");
  return path;
}

void clearSuiteFolders() {
  boost::system::error_code ec;
  fs::remove_all(suiteFolder(&CVelmoraUtils::getMainPath), ec);
  fs::remove_all(suiteFolder(&CVelmoraUtils::getDataPath), ec);
}

// HKEY_LOCAL_MACHINE\`key` (lower-cased, as the parser gives it).
std::wstring machineSubKey(const std::string& key) {
  const std::string prefix = "hkey_local_machine\\";
  return platform::Utf8ToWide(key.rfind(prefix, 0) == 0 ? key.substr(prefix.size()) : key);
}
#endif

}  // namespace

TestRoot::TestRoot() {
  if (const char* old = std::getenv("HXT_ROOT")) savedRoot_ = old;
  // Spaces in the name: every path the service builds must cope with them.
  path_ = (fs::temp_directory_path() / fs::unique_path("hxt root %%%%-%%%%-%%%%")).string();
  fs::create_directories(path_);
  setRoot(path_.c_str());
#ifdef _WIN32
  clearSuiteFolders();
  // A fresh root records no runtime, as an empty store does.
  for (const auto& entry : platform::ParseRegFile("REGEDIT4\n\n" + DotNetPresentEntry()).keys)
    writtenKeys_.push_back(entry.first);
  RemoveRegistry();
#endif
  fs::create_directories(ProfilePath());
  fs::create_directories(PluginsPath());
}

TestRoot::~TestRoot() {
  // The VPN state objects of this root outlive every process that used them.
  std::string error;
  RemoveVpnSharedObjects(VpnSharedObjectNames::ForRoot(path_.c_str()), error);
  setRoot(savedRoot_ ? savedRoot_->c_str() : nullptr);
#ifdef _WIN32
  RemoveRegistry();
  clearSuiteFolders();
#endif
  boost::system::error_code ec;
  fs::remove_all(path_, ec);
}

#ifdef _WIN32
std::string TestRoot::BinariesPath() const {
  return suiteFolder(&CVelmoraUtils::GetBinariesPath);
}
std::string TestRoot::PluginsPath() const {
  return suiteFolder(&CVelmoraUtils::GetPluginsPath);
}
std::string TestRoot::ProfilePath() const {
  return suiteFolder(&CVelmoraUtils::GetProfilePath);
}
#else
std::string TestRoot::BinariesPath() const {
  return path_ + "/opt/" + kSuiteFolder;
}
std::string TestRoot::PluginsPath() const {
  return BinariesPath() + "/" + kPluginsFolder;
}
std::string TestRoot::ProfilePath() const {
  return path_ + "/var/opt/" + kSuiteFolder + "/" + kProfileFolder;
}
#endif

void TestRoot::WriteFile(const std::string& relativePath, const std::string& content) const {
  fs::path p = fs::path(path_) / relativePath;
#ifdef _WIN32
  // The root's layout mapped onto the machine's folders.
  for (const auto& [below, get] :
       {std::pair{"var/opt/", &CVelmoraUtils::getDataPath}, std::pair{"opt/", &CVelmoraUtils::getMainPath}}) {
    const std::string prefix = below + std::string(kSuiteFolder);
    if (relativePath.rfind(prefix, 0) == 0) {
      p = suiteFolder(get) + relativePath.substr(prefix.size());
      break;
    }
  }
#endif
  fs::create_directories(p.parent_path());
  if (!(std::ofstream(p.string(), std::ios::binary | std::ios::trunc) << content))
    throw std::runtime_error("cannot write " + p.string());
}

#ifdef _WIN32
// The values go into the machine's registry, in place of what the root wrote
// before (as a new store replaces the old); RemoveRegistry deletes the keys
// again (the tests' keys belong to nothing else in the test prefix).
void TestRoot::WriteRegistry(const std::string& body) const {
  RemoveRegistry();
  const auto contents = platform::ParseRegFile("REGEDIT4\n\n" + body);
  for (const auto& [key, values] : contents.keys) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, machineSubKey(key).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, &handle, nullptr) != ERROR_SUCCESS)
      throw std::runtime_error("cannot create " + key);
    for (const auto& [name, value] : values) {
      std::wstring text = platform::Utf8ToWide(value.text);
      const BYTE* data =
          value.type == platform::kRegSz ? reinterpret_cast<const BYTE*>(text.c_str()) : value.bytes.data();
      DWORD size = static_cast<DWORD>(value.type == platform::kRegSz ? (text.size() + 1) * sizeof(wchar_t)
                                                                     : value.bytes.size());
      ::RegSetValueExW(handle, platform::Utf8ToWide(name).c_str(), 0, value.type, data, size);
    }
    ::RegCloseKey(handle);
    writtenKeys_.push_back(key);
  }
}

void TestRoot::RemoveRegistry() const {
  for (const auto& key : writtenKeys_) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, machineSubKey(key).c_str());
  writtenKeys_.clear();
}

// The machine's own identity stands: Windows has no machine-id file.
void TestRoot::WriteMachineId(const std::string&) const {}
#else
void TestRoot::WriteRegistry(const std::string& body) const {
  std::string store = platform::RegistryStorePath();
  fs::create_directories(fs::path(store).parent_path());
  std::ofstream(store, std::ios::binary | std::ios::trunc) << "REGEDIT4\n\n" << body;
}

void TestRoot::RemoveRegistry() const {
  boost::system::error_code ec;
  fs::remove(platform::RegistryStorePath(), ec);
}

void TestRoot::WriteMachineId(const std::string& text) const {
  WriteFile("etc/machine-id", text);
}
#endif

std::string TestRoot::DotNetPresentEntry() {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\n"
         "\"Install\"=dword:00000001\n"
         "\"Release\"=dword:00080ff4\n"
         "\"Version\"=\"4.8.09037\"\n";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (std::chrono::steady_clock::now() >= deadline) return false;
  return true;
}

}  // namespace hxt::test
