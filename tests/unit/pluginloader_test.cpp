#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem.hpp>
#include <fstream>

#include "agent/moduleloader.h"
#include "agent/pluginloader.h"
#include "common/knownfolders.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace hxt {
namespace {

namespace fs = boost::filesystem;

constexpr const char* kDns = HXT_VELMORA_PLUGIN_ID;
constexpr const char* kSwg = HXT_SWG_PLUGIN_ID;
constexpr const char* kCloud = HXT_CLOUD_DOWNLOADER_ID;

class PluginLoaderTest : public ::testing::Test {
 protected:
  ~PluginLoaderTest() override { PluginLoader::releaseInstance(loader_); }

  std::string Install(const char* module) { return test::InstallPlugin(module, root_.PluginsPath()); }
  bool CreateLoader() { return PluginLoader::createSingletonInstance(loader_); }
  void ReleaseLoader() { PluginLoader::releaseInstance(std::exchange(loader_, nullptr)); }
  bool Error(const std::string& message) const { return log_.Has(LOG_LEVEL_ERROR, message); }

  test::TestRoot root_;
  test::ScopedCaptureLog log_;
  PluginLoader* loader_ = nullptr;
};

// The module loader alone, in the same private root.
class ModuleLoaderTest : public PluginLoaderTest {};

// The system's codes for a missing file, a file that is not a module and a
// missing export, which the log lines pass on.
#ifdef _WIN32
constexpr unsigned kMissingFile = ERROR_MOD_NOT_FOUND, kNotAModule = ERROR_BAD_EXE_FORMAT,
                   kNoExport = ERROR_PROC_NOT_FOUND;
#else
constexpr unsigned kMissingFile = ENOENT, kNotAModule = ENOEXEC, kNoExport = ENOENT;
#endif

TEST_F(ModuleLoaderTest, LoadFailuresNameThePathAndAnErrnoCode) {
  const std::string loadable = Install(HXT_FAKE_PLUGIN_VELMORA);
  const std::string so = platform::ModuleSuffix(), dir = root_.PluginsPath() + platform::kPathSeparator;
  const std::string missing = dir + "absent" + so, text = dir + "notes" + so;
  std::ofstream(text) << "not a module\n";

  const std::pair<const char*, std::string> cases[] = {
      {nullptr, "LoadLibrary: invalid library name\n"},
      {missing.c_str(),
       "LoadLibrary: unable to load " + missing + " [error " + std::to_string(kMissingFile) + "]\n"},
      {text.c_str(),
       "LoadLibrary: unable to load " + text + " [error " + std::to_string(kNotAModule) + "]\n"}};
  for (const auto& [path, message] : cases) {
    SCOPED_TRACE(message);
    log_.Clear();
    CModuleLoader loader;
    ASSERT_TRUE(loader.Load(loadable.c_str()));
    EXPECT_FALSE(loader.Load(path));
    EXPECT_EQ(log_.Messages(LOG_LEVEL_ERROR), std::vector<std::string>{message}) << log_.Dump();
    EXPECT_NE(log_.Records().front().text.find("Function: CModuleLoader::Load"), std::string::npos);
    EXPECT_EQ(loader.IsLoaded(), path == nullptr);  // Only a real attempt gives up the module held before.
  }
}

TEST_F(ModuleLoaderTest, MissingExportsAndBadArgumentsYieldNull) {
  const std::string path = Install(HXT_FAKE_PLUGIN_NO_CREATE), first = Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_NE(path.find(' '), std::string::npos);
  CModuleLoader loader;
  void* entry = &loader;
  EXPECT_FALSE(loader.GetFuncAddress(entry, HXT_CREATE_PLUGIN)) << "nothing loaded";
  EXPECT_EQ(entry, nullptr);

  ASSERT_TRUE(loader.Load(first.c_str()) && test::IsModuleLoaded(first));
  ASSERT_TRUE(loader.Load(path.c_str()));
  EXPECT_FALSE(test::IsModuleLoaded(first)) << "a reload gives up the module held before";
  EXPECT_FALSE(loader.GetFuncAddress(entry, nullptr));
  entry = &loader;
  EXPECT_FALSE(loader.GetFuncAddress(entry, HXT_CREATE_PLUGIN));
  EXPECT_EQ(entry, nullptr);
  EXPECT_TRUE(loader.GetFuncAddress(entry, HXT_DISPOSE_PLUGIN) && entry != nullptr);
  EXPECT_TRUE(loader.Unload() && !test::IsModuleLoaded(path) && loader.Unload()) << "a second unload is fine";
  ASSERT_TRUE(CModuleLoader().Load(first.c_str()));  // a temporary: destroyed at the semicolon
  EXPECT_FALSE(test::IsModuleLoaded(first)) << "destruction unloads";

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

// Each refused file is named right after the reason, so one scan of a folder
// holding every kind of unusable file shows the reason for each. The names
// follow the platform's module suffix: the Windows suite runs this case too.
TEST_F(PluginLoaderTest, ScanRefusesWhatIsNotAModuleAndKeepsNothingLoaded) {
  const std::string so = platform::ModuleSuffix(), dir = root_.PluginsPath() + platform::kPathSeparator;
  const std::string good = Install(HXT_FAKE_PLUGIN_VELMORA), noList = Install(HXT_FAKE_PLUGIN_NO_LIST);
  const std::vector<std::string> names = {
      "a" + so,           so,           "fake" + boost::algorithm::to_upper_copy(so),
      "fake" + so + ".1", "readme.txt", "ab" + so};
  for (const auto& name : names) test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root_.PluginsPath(), name);
  std::ofstream(dir + "notes" + so) << "not a module\n";
  fs::create_directories(dir + "folder" + so);

  ASSERT_TRUE(CreateLoader()) << log_.Dump();
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {names[0], "Bad file name extension length"},
      {names[1], "Bad file name extension length"},
      {names[2], "Bad file name extension"},
      {names[3], "Bad file name extension"},
      {names[4], "Bad file name extension"},
      {"notes" + so, "CModuleLoader::Load failed for " + dir + "notes" + so},
      {fs::path(noList).filename().string(),
       "CModuleLoader::GetFuncAddress - GetAvailableInterfaces failed for " + noList}};
  const auto errors = log_.Messages(LOG_LEVEL_ERROR);
  for (const auto& [name, reason] : refusals) {
    auto failed =
        std::find(errors.begin(), errors.end(), "PluginLoader::scanAvailableModule failed for " + name);
    ASSERT_TRUE(failed != errors.end() && failed != errors.begin()) << name << "\n" << log_.Dump();
    EXPECT_EQ(*(failed - 1), reason) << name;
  }
  EXPECT_TRUE(log_.Has(LOG_LEVEL_INFO, "Adding interface com.tarrow.plugin as available in ab" + so));
  EXPECT_FALSE(log_.Has(LOG_LEVEL_INFO, "Scanning plugin folder" + so)) << "only regular files are scanned";
  EXPECT_FALSE(test::IsModuleLoaded(good)) << "scanning loads a module only while it lists its ids";
  EXPECT_FALSE(test::IsModuleLoaded(noList));
}

TEST_F(PluginLoaderTest, CreationNeedsAUsablePluginsFolderAndTheInstanceLivesUntilItsLastRelease) {
  ASSERT_FALSE(CreateLoader()) << "an empty folder holds no acceptable module";
  EXPECT_EQ(loader_, nullptr);
  EXPECT_TRUE(Error("PluginLoader::FindAvailablePlugins failed"));

  log_.Clear();
  fs::remove_all(root_.PluginsPath());
  ASSERT_FALSE(CreateLoader());
  EXPECT_TRUE(Error("Plugin directory " + root_.PluginsPath() + "/ is invalid, skipping load of plugins"))
      << log_.Dump();
  EXPECT_EQ(PluginLoader::acquireInstance(), nullptr) << "a failed creation leaves no instance behind";
  EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr);
  EXPECT_TRUE(Error("PluginLoader::acquireInstance failed for com.tarrow.plugin\n"));

#ifndef _WIN32  // there the folders are the machine's, whatever HXT_ROOT says
  log_.Clear();
  ::setenv("HXT_ROOT", "relative/root", 1);  // restored by the TestRoot
  ASSERT_FALSE(CreateLoader());
  EXPECT_TRUE(Error("Failed to retrieve the plugin directory") && Error("PluginLoader failed"))
      << log_.Dump();
  ::setenv("HXT_ROOT", root_.path().c_str(), 1);
#endif

  Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_TRUE(CreateLoader()) << log_.Dump();
  PluginLoader* second = reinterpret_cast<PluginLoader*>(&second);
  EXPECT_FALSE(PluginLoader::createSingletonInstance(second));
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(Error("plugin loader already initialized"));

  PluginLoader* shared = PluginLoader::acquireInstance();
  EXPECT_EQ(shared, loader_);
  ReleaseLoader();
  EXPECT_EQ(PluginLoader::acquireInstance(), shared) << "still referenced";
  PluginLoader::releaseInstance(shared);
  PluginLoader::releaseInstance(shared);
  EXPECT_EQ(PluginLoader::acquireInstance(), nullptr);
  EXPECT_TRUE(CreateLoader()) << "the slot is free again";
}

// A module's calls with their arguments, apart from the listing of its ids.
std::vector<std::string> Trace(const test::FakePlugin& fake) {
  std::vector<std::string> trace;
  for (const auto& call : fake->Calls()) {
    if (call.op == "GetAvailableInterfaces") continue;
    trace.push_back(call.op);
    for (const auto& arg : call.args) trace.back() += " " + arg;
  }
  return trace;
}

// Each id is served by its own module, once: a second object for a live id is refused without asking the
// module. Objects still active when the loader goes are disposed of.
TEST_F(PluginLoaderTest, QuickCreatePluginHandsOutEachInterfaceFromItsModuleOnce) {
  test::FakePlugin dns(Install(HXT_FAKE_PLUGIN_VELMORA)), swg(Install(HXT_FAKE_PLUGIN_SWG)),
      cloud(Install(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER));
  ASSERT_TRUE(CreateLoader());

  auto* velmora = PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns);
  auto* gateway = PluginLoader::QuickCreatePlugin<ISWGPlugin>(kSwg);
  auto* downloader = PluginLoader::QuickCreatePlugin<ICloudDownloaderPlugin>(kCloud);
  ASSERT_TRUE(velmora && gateway && downloader);
  EXPECT_EQ(velmora->Start(), 0u);
  EXPECT_EQ(gateway->Start("{}"), 0u);
  EXPECT_EQ(downloader->Stop(), 0u);

  IPlugin* second = velmora;
  EXPECT_FALSE(loader_->CreateInstance(kDns, second));
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(Error("Instance already exists"));
  EXPECT_TRUE(Error("PluginLoader::instantiateInterfaces failed for com.tarrow.plugin"));

  using Lines = std::vector<std::string>;
  EXPECT_EQ(Trace(dns),
            (Lines{"CreatePlugin com.tarrow.plugin", "IVelmoraPlugin::SupportsInterface com.tarrow.plugin 1",
                   "IVelmoraPlugin::Start"}));
  EXPECT_EQ(Trace(swg),
            (Lines{"CreatePlugin com.truvane.swg.plugin",
                   "ISWGPlugin::SupportsInterface com.truvane.swg.plugin 1", "ISWGPlugin::Start {}"}));
  EXPECT_EQ(Trace(cloud),
            (Lines{"CreatePlugin com.truvane.helixor.cloud_downloader",
                   "ICloudDownloaderPlugin::SupportsInterface com.truvane.helixor.cloud_downloader 1",
                   "ICloudDownloaderPlugin::Stop"}));

  // The last release disposes of the objects still active.
  log_.Clear();
  ReleaseLoader();
  for (test::FakePlugin* fake : {&dns, &swg, &cloud})
    EXPECT_EQ(std::make_pair((*fake)->CallCount("DisposePlugin"), (*fake)->LiveObjects()),
              std::make_pair(std::size_t{1}, 0u));
  EXPECT_TRUE(log_.Messages(LOG_LEVEL_ERROR).empty()) << log_.Dump();
}

TEST_F(PluginLoaderTest, DisposingTheLastObjectUnloadsTheModuleAndCreatingLoadsItAgain) {
  const std::string path = Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_TRUE(CreateLoader());
  ASSERT_FALSE(test::IsModuleLoaded(path));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    log_.Clear();
    IPlugin* object = nullptr;
    ASSERT_TRUE(loader_->CreateInstance(kDns, object) && object != nullptr) << log_.Dump();
    EXPECT_TRUE(test::IsModuleLoaded(path));
    ASSERT_TRUE(loader_->DisposeInstance(object));
    EXPECT_FALSE(test::IsModuleLoaded(path));
    EXPECT_FALSE(loader_->DisposeInstance(object));
    EXPECT_TRUE(Error("Could not dispose instance"));
  }
  EXPECT_FALSE(loader_->DisposeInstance(nullptr));
  EXPECT_TRUE(Error("Bad plugin"));
  IPlugin* none = nullptr;
  EXPECT_FALSE(loader_->CreateInstance("com.example.unknown", none));
  EXPECT_TRUE(Error("No instances created for com.example.unknown"));
}

TEST_F(PluginLoaderTest, TwoModulesOfferingOneIdAreBothLoadedButNeitherIsUsed) {
  const std::string one = Install(HXT_FAKE_PLUGIN_VELMORA), twin = Install(HXT_FAKE_PLUGIN_VELMORA_TWIN);
  ASSERT_TRUE(CreateLoader());

  for (int attempt = 0; attempt < 2; ++attempt) {
    IPlugin* object = nullptr;
    EXPECT_FALSE(loader_->CreateInstance(kDns, object) || object != nullptr);
  }
  EXPECT_EQ(log_.Count("Error: multiple plugins available for com.tarrow.plugin"), 2u)
      << "no object was kept, so the second attempt fails the same way\n"
      << log_.Dump();
  EXPECT_TRUE(test::IsModuleLoaded(one) && test::IsModuleLoaded(twin));
  EXPECT_TRUE(log_.Has(LOG_LEVEL_INFO, "Skipping load of module fake_velmora.so which is already loaded"));

  test::FakePlugin first(one), second(twin);  // the loaded modules' own state
  EXPECT_EQ(first->CallCount("CreatePlugin") + second->CallCount("CreatePlugin"), 0u);
}

TEST_F(PluginLoaderTest, ModulesThatCannotMakeTheObjectAreLoggedAndSkipped) {
  // `staysLoaded`: nothing is rolled back once the module was accepted. An
  // error ending in '@' ends in the module's path.
  auto check = [this](const char* module, bool staysLoaded, const std::vector<std::string>& errors) {
    SCOPED_TRACE(module);
    test::TestRoot root;
    const std::string path = test::InstallPlugin(module, root.PluginsPath());
    PluginLoader* loader = nullptr;
    ASSERT_TRUE(PluginLoader::createSingletonInstance(loader)) << log_.Dump();
    log_.Clear();
    IPlugin* object = nullptr;
    EXPECT_FALSE(loader->CreateInstance(kDns, object));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr);
    EXPECT_TRUE(Error("PluginLoader::CreateInstance failed for com.tarrow.plugin\n"));
    for (std::string message : errors) {
      if (message.back() == '@') message = message.substr(0, message.size() - 1) + path;
      EXPECT_TRUE(Error(message)) << message << "\n" << log_.Dump();
    }
    EXPECT_EQ(test::IsModuleLoaded(path), staysLoaded);
    PluginLoader::releaseInstance(loader);
    EXPECT_FALSE(test::IsModuleLoaded(path)) << "the loader unloads what it holds when it goes";
  };
  check(HXT_FAKE_PLUGIN_NULL_CREATE, true,
        {"Loaded plugin: CreatePlugin returned NULL for com.tarrow.plugin",
         "No instances created for com.tarrow.plugin"});
  check(HXT_FAKE_PLUGIN_NO_CREATE, false,
        {"CModuleLoader::GetFuncAddress - CreatePlugin failed for @",
         "PluginLoader::loadModule failed for fake_no_create.so",
         "PluginLoader::loadModulesWithInterface failed for com.tarrow.plugin",
         "PluginLoader::instantiateInterfaces failed for com.tarrow.plugin"});
  check(HXT_FAKE_PLUGIN_NO_DISPOSE, false,
        {"CModuleLoader::GetFuncAddress - DisposePlugin failed for @",
         "PluginLoader::loadModule failed for fake_no_dispose.so"});
}

TEST_F(PluginLoaderTest, BrokenInterfaceListsAreReadWithoutTrustingThem) {
  Install(HXT_FAKE_PLUGIN_ODD_IDS);
  Install(HXT_FAKE_PLUGIN_NO_ARRAY);
  ASSERT_TRUE(CreateLoader()) << log_.Dump();
  EXPECT_TRUE(Error("Unexpected NULL interface name returned from plugin fake_odd_ids.so"));
  EXPECT_EQ(log_.Count("Unexpected NULL interface name returned from plugin fake_no_array.so"), 1u)
      << "a list without an array is one failure, not one per counted entry";
  EXPECT_TRUE(
      log_.Has(LOG_LEVEL_INFO, "Adding interface com.truvane.swg.plugin as available in fake_odd_ids.so"));
  EXPECT_FALSE(log_.Has(LOG_LEVEL_INFO, "Adding interface  as available in fake_odd_ids.so"));

  ISWGPlugin* gateway = PluginLoader::QuickCreatePlugin<ISWGPlugin>(kSwg);
  ASSERT_NE(gateway, nullptr) << log_.Dump();
  EXPECT_TRUE(loader_->DisposeInstance(gateway));
}

}  // namespace
}  // namespace hxt
