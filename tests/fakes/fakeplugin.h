// Test-side handling of the fake plug-in modules: installing a module into a
// Plugins folder, steering it, and telling whether a module is mapped.
//
// The module files are built by tests/plugins; a test executable that uses them is set up with
// hxt_use_fake_plugins(), which hands it each module's path as HXT_FAKE_PLUGIN_<NAME>
// (HXT_FAKE_PLUGIN_VELMORA, ..._SWG, ..._CLOUD_DOWNLOADER, ...). Typical use:
//
//   test::TestRoot root;
//   auto path = test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root.PluginsPath());
//   test::FakePlugin dns(path);              // pins the module: its state survives the loader's unloads
//   dns->SetResult("IVelmoraPlugin::Init", 5);
//   ... run the code under test ...
//   EXPECT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::InitiateStop"));
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "agent/moduleloader.h"
#include "fakes/fakeplugincontrol.h"

namespace hxt::test {

// Copies the module file `modulePath` into `pluginsDir`, under `fileName` when
// given, else under its own name; returns the copy's path.
std::string InstallPlugin(const std::string& modulePath, const std::string& pluginsDir,
                          const std::string& fileName = std::string());

// Whether the module file at `path` is loaded in this process.
bool IsModuleLoaded(const std::string& path);

// Loads a fake module for the object's lifetime and binds its control. A module that cannot be loaded or has
// no control is reported as a test failure, and ok() is false.
class FakePlugin {
 public:
  explicit FakePlugin(const std::string& path);
  FakePlugin(const FakePlugin&) = delete;
  FakePlugin& operator=(const FakePlugin&) = delete;

  bool ok() const { return control_ != nullptr; }
  fake::IFakePluginControl* operator->() const { return control_; }

 private:
  CModuleLoader module_;
  fake::IFakePluginControl* control_ = nullptr;
};

// Waits until the fake has recorded `op` at least `count` times.
bool WaitForCall(const FakePlugin& plugin, const char* op, std::size_t count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace hxt::test
