// Module loading on Windows: the example plug-in as a real DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "agent/moduleloader.h"
#include "hxtarrow/plugin.h"

namespace hxt {
namespace {

TEST(WinModuleLoader, LoadsResolvesAndReportsSystemErrors) {
  EXPECT_STREQ(".dll", platform::ModuleSuffix());

  CModuleLoader loader;
  ASSERT_TRUE(loader.Load(HXT_EXAMPLE_PLUGIN));
  GetAvailableInterfacesFn list = nullptr;
  ASSERT_TRUE(loader.GetFuncAddress(list, HXT_GET_AVAILABLE_INTERFACES));
  ASSERT_NE(nullptr, list);
  EXPECT_GT(list().count, 0u);
  void* missing = &loader;
  EXPECT_FALSE(loader.GetFuncAddress(missing, "NoSuchExport"));
  EXPECT_EQ(nullptr, missing);
  EXPECT_TRUE(loader.Unload());

  // What the loader's log lines report for modules that do not load.
  const std::string text = "not_a_module.dll";
  std::ofstream(text) << "not a module\n";
  struct Case {
    std::string path;
    u32 code;
  } cases[] = {{"absent_module.dll", ERROR_MOD_NOT_FOUND}, {text, ERROR_BAD_EXE_FORMAT}};
  for (const auto& c : cases) {
    platform::ModuleError error;
    EXPECT_EQ(nullptr, platform::OpenModule(c.path.c_str(), error)) << c.path;
    EXPECT_EQ(c.code, error.code) << c.path;
  }
  ::DeleteFileA(text.c_str());
}

}  // namespace
}  // namespace hxt
