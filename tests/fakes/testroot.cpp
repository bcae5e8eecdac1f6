#include "fakes/testroot.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <boost/filesystem.hpp>

#include "common/knownfolders.h"
#include "common/registry.h"
#include "common/velmorautils.h"
#include "vpn/agent/sharedmemory.h"

namespace hxt::test {

namespace fs = boost::filesystem;

TestRoot::TestRoot() {
  const char* old = std::getenv("HXT_ROOT");
  hadRoot_ = old != nullptr;
  if (hadRoot_) savedRoot_ = old;
  // Spaces in the name: every path the service builds must cope with them.
  fs::path dir = fs::temp_directory_path() / fs::unique_path("hxt root %%%%-%%%%-%%%%");
  fs::create_directories(dir);
  path_ = dir.string();
  ::setenv("HXT_ROOT", path_.c_str(), 1);
  fs::create_directories(ProfilePath());
  fs::create_directories(PluginsPath());
}

TestRoot::~TestRoot() {
  // The VPN state objects of this root outlive every process that used them.
  std::string error;
  RemoveVpnSharedObjects(VpnSharedObjectNames::ForRoot(path_.c_str()), error);
  if (hadRoot_) {
    ::setenv("HXT_ROOT", savedRoot_.c_str(), 1);
  } else {
    ::unsetenv("HXT_ROOT");
  }
  boost::system::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TestRoot::BinariesPath() const { return path_ + "/opt/" + kSuiteFolder; }
std::string TestRoot::PluginsPath() const { return BinariesPath() + "/" + kPluginsFolder; }
std::string TestRoot::ProfilePath() const { return path_ + "/var/opt/" + kSuiteFolder + "/" + kProfileFolder; }

void TestRoot::WriteFile(const std::string& relativePath, const std::string& content) const {
  fs::path p = fs::path(path_) / relativePath;
  fs::create_directories(p.parent_path());
  std::ofstream out(p.string(), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + p.string());
}

void TestRoot::WriteRegistry(const std::string& body, bool raw) const {
  std::string store = platform::RegistryStorePath();
  fs::create_directories(fs::path(store).parent_path());
  std::ofstream out(store, std::ios::binary | std::ios::trunc);
  if (!raw) out << "REGEDIT4\n\n";
  out << body;
}

void TestRoot::RemoveRegistry() const {
  boost::system::error_code ec;
  fs::remove(platform::RegistryStorePath(), ec);
}

void TestRoot::WriteMachineId(const std::string& text) const { WriteFile("etc/machine-id", text); }

std::string TestRoot::DotNetPresentEntry() {
  return "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full]\n"
         "\"Install\"=dword:00000001\n"
         "\"Release\"=dword:00080ff4\n"
         "\"Version\"=\"4.8.09037\"\n";
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace hxt::test
