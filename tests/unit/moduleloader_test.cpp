#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "agent/moduleloader.h"
#include "common/knownfolders.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace hxt {
namespace {

// The system's codes for a missing file, a file that is not a module and a
// missing export, which the log lines pass on.
#ifdef _WIN32
constexpr unsigned kMissingFile = ERROR_MOD_NOT_FOUND, kNotAModule = ERROR_BAD_EXE_FORMAT,
                   kNoExport = ERROR_PROC_NOT_FOUND;
#else
constexpr unsigned kMissingFile = ENOENT, kNotAModule = ENOEXEC, kNoExport = ENOENT;
#endif

class ModuleLoaderTest : public ::testing::Test {
 protected:
  std::string Install(const char* module) { return test::InstallPlugin(module, root_.PluginsPath()); }

  test::TestRoot root_;
  test::ScopedCaptureLog log_;
};

TEST_F(ModuleLoaderTest, LoadsResolvesAndReleasesModulesOnAPathWithSpaces) {
  const std::string first = Install(HXT_FAKE_PLUGIN_VELMORA);
  const std::string second = Install(HXT_FAKE_PLUGIN_SWG);
  ASSERT_NE(first.find(' '), std::string::npos);
  {
    CModuleLoader loader;
    ASSERT_TRUE(loader.Load(first.c_str()));
    EXPECT_TRUE(test::IsModuleLoaded(first));
    CreatePluginFn create = nullptr;
    EXPECT_TRUE(loader.GetFuncAddress(create, HXT_CREATE_PLUGIN));
    EXPECT_NE(create, nullptr);

    ASSERT_TRUE(loader.Load(second.c_str()));
    EXPECT_FALSE(test::IsModuleLoaded(first)) << "a reload gives up the module held before";
    EXPECT_TRUE(loader.Unload());
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_FALSE(test::IsModuleLoaded(second));
    EXPECT_TRUE(loader.Unload()) << "nothing loaded is not a failure";
    ASSERT_TRUE(loader.Load(first.c_str()));
  }
  EXPECT_FALSE(test::IsModuleLoaded(first)) << "destruction unloads";
  EXPECT_TRUE(log_.Messages(LOG_LEVEL_ERROR).empty()) << log_.Dump();
}

TEST_F(ModuleLoaderTest, LoadFailuresNameThePathAndAnErrnoCode) {
  const std::string loadable = Install(HXT_FAKE_PLUGIN_VELMORA);
  const std::string so = platform::ModuleSuffix(), dir = root_.PluginsPath() + platform::kPathSeparator;
  const std::string missing = dir + "absent" + so, text = dir + "notes" + so;
  std::ofstream(text) << "not a module\n";

  struct Case {
    const char* path;
    std::string message;
  } cases[] = {
      {nullptr, "LoadLibrary: invalid library name\n"},
      {missing.c_str(),
       "LoadLibrary: unable to load " + missing + " [error " + std::to_string(kMissingFile) + "]\n"},
      {text.c_str(),
       "LoadLibrary: unable to load " + text + " [error " + std::to_string(kNotAModule) + "]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    log_.Clear();
    CModuleLoader loader;
    ASSERT_TRUE(loader.Load(loadable.c_str()));
    EXPECT_FALSE(loader.Load(c.path));
    EXPECT_EQ(log_.Messages(LOG_LEVEL_ERROR), std::vector<std::string>{c.message}) << log_.Dump();
    EXPECT_NE(log_.Records().front().text.find("Function: CModuleLoader::Load"), std::string::npos);
    // Only a real attempt gives up the module held before.
    EXPECT_EQ(loader.IsLoaded(), c.path == nullptr);
  }
}

TEST_F(ModuleLoaderTest, MissingExportsAndBadArgumentsYieldNull) {
  const std::string path = Install(HXT_FAKE_PLUGIN_NO_CREATE);
  CModuleLoader loader;
  void* entry = &loader;
  EXPECT_FALSE(loader.GetFuncAddress(entry, HXT_CREATE_PLUGIN)) << "nothing loaded";
  EXPECT_EQ(entry, nullptr);

  ASSERT_TRUE(loader.Load(path.c_str()));
  EXPECT_FALSE(loader.GetFuncAddress(entry, nullptr));
  entry = &loader;
  EXPECT_FALSE(loader.GetFuncAddress(entry, HXT_CREATE_PLUGIN));
  EXPECT_EQ(entry, nullptr);
  EXPECT_TRUE(loader.GetFuncAddress(entry, HXT_DISPOSE_PLUGIN));

  const std::vector<std::string> expected = {
      "CModuleLoader::GetFuncAddress: at least one parameter is invalid\n",
      "CModuleLoader::GetFuncAddress: at least one parameter is invalid\n",
      "GetProcAddress: Unable to obtain entry point CreatePlugin [error " + std::to_string(kNoExport) + "]\n",
  };
  EXPECT_EQ(log_.Messages(LOG_LEVEL_ERROR), expected) << log_.Dump();
#ifndef _WIN32
  // The loader's own explanation follows as an info line.
  auto info = log_.Messages(LOG_LEVEL_INFO);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_NE(info[0].find("undefined symbol: CreatePlugin"), std::string::npos) << info[0];
#endif
}

}  // namespace
}  // namespace hxt
