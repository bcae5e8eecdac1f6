// The plug-in loader on Windows: a scan of the real Plugins folder (inside
// the test's Wine prefix) with the `.dll` file-name rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "agent/pluginloader.h"
#include "common/velmorautils.h"
#include "fakes/capturelogger.h"
#include "hxtarrow/plugin.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;

TEST(WinPluginLoader, ScansTheDllsOfThePluginsFolder) {
  std::string folder;
  ASSERT_TRUE(CVelmoraUtils::GetPluginsPath(folder));
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const char* name : {"ab.dll", "a.dll", "fake.DLL", "fake.dll.1", "readme.txt"}) {
    fs::copy_file(HXT_EXAMPLE_PLUGIN, folder + "\\" + name);
  }
  std::ofstream(folder + "\\notes.dll") << "not a module\n";

  test::ScopedCaptureLog log;
  PluginLoader* loader = nullptr;
  ASSERT_TRUE(PluginLoader::createSingletonInstance(loader)) << log.Dump();
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {"a.dll", "Bad file name extension length"},
      {"fake.DLL", "Bad file name extension"},
      {"fake.dll.1", "Bad file name extension"},
      {"readme.txt", "Bad file name extension"},
      {"notes.dll", "CModuleLoader::Load failed for " + folder + "\\notes.dll"},
  };
  const auto errors = log.Messages(LOG_LEVEL_ERROR);
  for (const auto& [name, reason] : refusals) {
    auto failed =
        std::find(errors.begin(), errors.end(), "PluginLoader::scanAvailableModule failed for " + name);
    ASSERT_TRUE(failed != errors.end() && failed != errors.begin()) << name << "\n" << log.Dump();
    EXPECT_EQ(*(failed - 1), reason) << name;
  }
  EXPECT_TRUE(log.Has(LOG_LEVEL_INFO, "Adding interface com.tarrow.plugin as available in ab.dll"))
      << log.Dump();

  IPlugin* object = nullptr;
  ASSERT_TRUE(loader->CreateInstance(HXT_VELMORA_PLUGIN_ID, object)) << log.Dump();
  ASSERT_NE(nullptr, object);
  EXPECT_TRUE(loader->DisposeInstance(object));
  PluginLoader::releaseInstance(loader);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace hxt
