// A private service root for one test: a fresh directory that HXT_ROOT points at while the object lives, with
// helpers to write the registry store, the machine id and the profile files. On Windows the agent's folders
// and registry are the machine's: the root clears them instead (testroot.cpp).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hxt::test {

class TestRoot {
 public:
  TestRoot();
  ~TestRoot();
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string BinariesPath() const;
  std::string PluginsPath() const;
  std::string ProfilePath() const;

  // Writes `body` behind a REGEDIT4 header as the registry store.
  void WriteRegistry(const std::string& body) const;
  void RemoveRegistry() const;
  void WriteMachineId(const std::string& text) const;
  void WriteFile(const std::string& relativePath, const std::string& content) const;
  // The registry content the quick-start root holds: the runtime recorded present.
  static std::string DotNetPresentEntry();

 private:
  std::string path_;
  std::optional<std::string> savedRoot_;
#ifdef _WIN32
  mutable std::vector<std::string> writtenKeys_;  // registry keys to delete again
#endif
};

// Everything the file at `path` holds ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Polls `condition` until it holds or `timeout` passes; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace hxt::test
