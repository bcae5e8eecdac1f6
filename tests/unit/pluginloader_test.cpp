#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "agent/pluginloader.h"
#include "fakes/capturelogger.h"
#include "fakes/fakeplugin.h"
#include "fakes/testroot.h"

namespace hxt {
namespace {

namespace fs = boost::filesystem;

constexpr const char* kDns = HXT_VELMORA_PLUGIN_ID;
constexpr const char* kSwg = HXT_SWG_PLUGIN_ID;
constexpr const char* kCloud = HXT_CLOUD_DOWNLOADER_ID;

class PluginLoaderTest : public ::testing::Test {
 protected:
  ~PluginLoaderTest() override { PluginLoader::releaseInstance(loader_); }

  std::string Install(const char* module, const std::string& name = std::string()) {
    return test::InstallPlugin(module, root_.PluginsPath(), name);
  }
  void WritePluginFile(const std::string& name, const std::string& content) {
    root_.WriteFile("opt/Truvane/Truvane Helixor Client/Plugins/" + name, content);
  }
  bool CreateLoader() { return PluginLoader::createSingletonInstance(loader_); }
  void ReleaseLoader() {
    PluginLoader::releaseInstance(loader_);
    loader_ = nullptr;
  }
  IPlugin* Create(const char* id) {
    IPlugin* object = nullptr;
    EXPECT_TRUE(loader_->CreateInstance(id, object)) << log_.Dump();
    return object;
  }
  bool Logged(u32 level, const std::string& message) const { return log_.Has(level, message); }

  test::TestRoot root_;
  test::ScopedCaptureLog log_;
  PluginLoader* loader_ = nullptr;
};

TEST_F(PluginLoaderTest, FileNamesNeedTwoCharactersAndTheExactSuffix) {
  const struct {
    const char* name;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"a.so", "Bad file name extension length"}, {".so", "Bad file name extension length"},
      {"fake.SO", "Bad file name extension"},     {"fake.so.1", "Bad file name extension"},
      {"readme.txt", "Bad file name extension"},  {"ab.so", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TestRoot root;
    test::InstallPlugin(HXT_FAKE_PLUGIN_VELMORA, root.PluginsPath(), c.name);
    log_.Clear();
    PluginLoader* loader = nullptr;
    const bool created = PluginLoader::createSingletonInstance(loader);
    EXPECT_EQ(created, c.refusal == nullptr) << log_.Dump();
    EXPECT_EQ(loader != nullptr, created);
    if (c.refusal != nullptr) {
      EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, c.refusal)) << log_.Dump();
      EXPECT_TRUE(
          Logged(LOG_LEVEL_ERROR, std::string("PluginLoader::scanAvailableModule failed for ") + c.name));
      EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::FindAvailablePlugins failed"));
    }
    PluginLoader::releaseInstance(loader);
  }
}

TEST_F(PluginLoaderTest, ScanSkipsWhatIsNotAModuleAndKeepsNothingLoaded) {
  const std::string good = Install(HXT_FAKE_PLUGIN_VELMORA);
  const std::string noList = Install(HXT_FAKE_PLUGIN_NO_LIST);
  WritePluginFile("readme.txt", "notes\n");
  WritePluginFile("notes.so", "not a module\n");
  fs::create_directories(root_.PluginsPath() + "/folder.so");

  ASSERT_TRUE(CreateLoader()) << log_.Dump();
  const std::string dir = root_.PluginsPath() + "/";
  for (const std::string& message : {
           std::string("Bad file name extension"),
           std::string("PluginLoader::scanAvailableModule failed for readme.txt"),
           "CModuleLoader::Load failed for " + dir + "notes.so",
           std::string("PluginLoader::scanAvailableModule failed for notes.so"),
           "CModuleLoader::GetFuncAddress - GetAvailableInterfaces failed for " + noList,
           std::string("PluginLoader::scanAvailableModule failed for fake_no_list.so"),
       }) {
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, message)) << message << "\n" << log_.Dump();
  }
  EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Scanning plugin fake_velmora.so"));
  EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Adding interface com.tarrow.plugin as available in fake_velmora.so"));
  EXPECT_FALSE(Logged(LOG_LEVEL_INFO, "Scanning plugin folder.so")) << "only regular files are scanned";
  EXPECT_FALSE(test::IsModuleLoaded(good)) << "scanning loads a module only while it lists its ids";
  EXPECT_FALSE(test::IsModuleLoaded(noList));
}

TEST_F(PluginLoaderTest, CreationFailsWithoutAUsablePluginsFolder) {
  ASSERT_FALSE(CreateLoader()) << "an empty folder holds no acceptable module";
  EXPECT_EQ(loader_, nullptr);
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::FindAvailablePlugins failed"));

  log_.Clear();
  fs::remove_all(root_.PluginsPath());
  ASSERT_FALSE(CreateLoader());
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR,
                     "Plugin directory " + root_.PluginsPath() + "/ is invalid, skipping load of plugins"))
      << log_.Dump();
  EXPECT_EQ(PluginLoader::acquireInstance(), nullptr) << "a failed creation leaves no instance behind";

  log_.Clear();
  ::setenv("HXT_ROOT", "relative/root", 1);  // restored by the TestRoot
  ASSERT_FALSE(CreateLoader());
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "Failed to retrieve the plugin directory"));
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader failed"));
  ::setenv("HXT_ROOT", root_.path().c_str(), 1);

  Install(HXT_FAKE_PLUGIN_VELMORA);
  EXPECT_TRUE(CreateLoader()) << log_.Dump();
}

TEST_F(PluginLoaderTest, TheSingletonIsCreatedOnceAndLivesUntilItsLastRelease) {
  EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr);
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::acquireInstance failed for com.tarrow.plugin\n"));

  Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_TRUE(CreateLoader());
  PluginLoader* second = reinterpret_cast<PluginLoader*>(&second);
  EXPECT_FALSE(PluginLoader::createSingletonInstance(second));
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "plugin loader already initialized"));

  PluginLoader* shared = PluginLoader::acquireInstance();
  EXPECT_EQ(shared, loader_);
  ReleaseLoader();
  EXPECT_EQ(PluginLoader::acquireInstance(), shared) << "still referenced";
  PluginLoader::releaseInstance(shared);
  PluginLoader::releaseInstance(shared);
  EXPECT_EQ(PluginLoader::acquireInstance(), nullptr);
  EXPECT_TRUE(CreateLoader()) << "the slot is free again";
}

TEST_F(PluginLoaderTest, QuickCreatePluginHandsOutEachInterfaceFromItsModule) {
  test::FakePlugin dns(Install(HXT_FAKE_PLUGIN_VELMORA));
  test::FakePlugin swg(Install(HXT_FAKE_PLUGIN_SWG));
  test::FakePlugin cloud(Install(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER));
  ASSERT_TRUE(CreateLoader());

  auto* velmora = PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns);
  auto* gateway = PluginLoader::QuickCreatePlugin<ISWGPlugin>(kSwg);
  auto* downloader = PluginLoader::QuickCreatePlugin<ICloudDownloaderPlugin>(kCloud);
  ASSERT_NE(velmora, nullptr);
  ASSERT_NE(gateway, nullptr);
  ASSERT_NE(downloader, nullptr);
  EXPECT_EQ(velmora->Start(), 0u);
  EXPECT_EQ(gateway->Start("{}"), 0u);
  EXPECT_EQ(downloader->Stop(), 0u);

  const struct {
    test::FakePlugin& fake;
    const char* id;
    const char* supports;
    const char* operation;
  } expected[] = {
      {dns, kDns, "IVelmoraPlugin::SupportsInterface", "IVelmoraPlugin::Start"},
      {swg, kSwg, "ISWGPlugin::SupportsInterface", "ISWGPlugin::Start"},
      {cloud, kCloud, "ICloudDownloaderPlugin::SupportsInterface", "ICloudDownloaderPlugin::Stop"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.id);
    std::vector<std::string> ops;
    std::vector<fake::Call> calls = e.fake->Calls();
    for (const auto& call : calls) {
      if (call.op != "GetAvailableInterfaces") ops.push_back(call.op);
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"CreatePlugin", e.supports, e.operation}));
    for (const auto& call : calls) {
      if (call.op == "CreatePlugin") {
        EXPECT_EQ(call.args, std::vector<std::string>{e.id});
      } else if (call.op == e.supports) {
        EXPECT_EQ(call.args, (std::vector<std::string>{e.id, "1"}));
      }
    }
  }

  EXPECT_TRUE(loader_->DisposeInstance(velmora));
  EXPECT_TRUE(loader_->DisposeInstance(gateway));
  EXPECT_TRUE(loader_->DisposeInstance(downloader));
  EXPECT_EQ(dns->LiveObjects() + swg->LiveObjects() + cloud->LiveObjects(), 0u);
}

TEST_F(PluginLoaderTest, ASecondObjectForAnIdIsRefused) {
  test::FakePlugin dns(Install(HXT_FAKE_PLUGIN_VELMORA));
  ASSERT_TRUE(CreateLoader());
  IPlugin* first = Create(kDns);
  ASSERT_NE(first, nullptr);

  IPlugin* second = first;
  EXPECT_FALSE(loader_->CreateInstance(kDns, second));
  EXPECT_EQ(second, nullptr);
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "Instance already exists"));
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::instantiateInterfaces failed for com.tarrow.plugin"));
  EXPECT_EQ(dns->CallCount("CreatePlugin"), 1u);
}

TEST_F(PluginLoaderTest, DisposingTheLastObjectUnloadsTheModuleAndCreatingLoadsItAgain) {
  const std::string path = Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_TRUE(CreateLoader());
  ASSERT_FALSE(test::IsModuleLoaded(path));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    log_.Clear();
    IPlugin* object = Create(kDns);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(test::IsModuleLoaded(path));
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Loading plugin fake_velmora.so"));

    ASSERT_TRUE(loader_->DisposeInstance(object));
    EXPECT_FALSE(test::IsModuleLoaded(path));
    const std::string pointer = fake::PointerText(object);
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Disposing plugin " + pointer + ", refcount pre-decrement = 1"));
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Disposing plugin " + pointer + " in module fake_velmora.so"));
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "No active instances for module fake_velmora.so - Unloading"));

    EXPECT_FALSE(loader_->DisposeInstance(object));
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "Could not dispose instance"));
  }
  EXPECT_FALSE(loader_->DisposeInstance(nullptr));
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "Bad plugin"));
}

TEST_F(PluginLoaderTest, TwoModulesOfferingOneIdAreBothLoadedButNeitherIsUsed) {
  const std::string one = Install(HXT_FAKE_PLUGIN_VELMORA);
  const std::string twin = Install(HXT_FAKE_PLUGIN_VELMORA_TWIN);
  ASSERT_TRUE(CreateLoader());

  for (int attempt = 0; attempt < 2; ++attempt) {
    IPlugin* object = nullptr;
    EXPECT_FALSE(loader_->CreateInstance(kDns, object));
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(log_.Count("Error: multiple plugins available for com.tarrow.plugin"), 2u)
      << "no object was kept, so the second attempt fails the same way\n"
      << log_.Dump();
  EXPECT_TRUE(test::IsModuleLoaded(one));
  EXPECT_TRUE(test::IsModuleLoaded(twin));
  EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Skipping load of module fake_velmora.so which is already loaded"));

  test::FakePlugin first(one), second(twin);  // the loaded modules' own state
  EXPECT_EQ(first->CallCount("CreatePlugin") + second->CallCount("CreatePlugin"), 0u);
}

TEST_F(PluginLoaderTest, AnObjectRefusingItsInterfaceIsDisposedAtOnce) {
  const std::string path = Install(HXT_FAKE_PLUGIN_UNSUPPORTED);
  ASSERT_TRUE(CreateLoader());
  EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr);
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::Plugin_dynamic_cast<T> failed for com.tarrow.plugin\n"));
  EXPECT_FALSE(test::IsModuleLoaded(path)) << "its only object went, and the module with it";

  test::FakePlugin fake(path);
  EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr) << "and the id is free again";
  EXPECT_EQ(fake->CallCount("DisposePlugin"), 1u);
  EXPECT_EQ(fake->LiveObjects(), 0u);
}

TEST_F(PluginLoaderTest, ModulesThatCannotMakeTheObjectAreLoggedAndSkipped) {
  const struct {
    const char* module;
    bool staysLoaded;  // nothing is rolled back once the module was accepted
    std::vector<std::string> errors;
  } cases[] = {
      {HXT_FAKE_PLUGIN_NULL_CREATE,
       true,
       {"Loaded plugin: CreatePlugin returned NULL for com.tarrow.plugin",
        "No instances created for com.tarrow.plugin"}},
      {HXT_FAKE_PLUGIN_NO_CREATE,
       false,
       {"CModuleLoader::GetFuncAddress - CreatePlugin failed for @",
        "PluginLoader::loadModule failed for fake_no_create.so",
        "PluginLoader::loadModulesWithInterface failed for com.tarrow.plugin",
        "PluginLoader::instantiateInterfaces failed for com.tarrow.plugin"}},
      {HXT_FAKE_PLUGIN_NO_DISPOSE,
       false,
       {"CModuleLoader::GetFuncAddress - DisposePlugin failed for @",
        "PluginLoader::loadModule failed for fake_no_dispose.so"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module);
    test::TestRoot root;
    const std::string path = test::InstallPlugin(c.module, root.PluginsPath());
    PluginLoader* loader = nullptr;
    ASSERT_TRUE(PluginLoader::createSingletonInstance(loader)) << log_.Dump();
    log_.Clear();
    IPlugin* object = nullptr;
    EXPECT_FALSE(loader->CreateInstance(kDns, object));
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(PluginLoader::QuickCreatePlugin<IVelmoraPlugin>(kDns), nullptr);
    EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "PluginLoader::CreateInstance failed for com.tarrow.plugin\n"));
    for (std::string message : c.errors) {
      if (message.back() == '@') message = message.substr(0, message.size() - 1) + path;
      EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, message)) << message << "\n" << log_.Dump();
    }
    EXPECT_EQ(test::IsModuleLoaded(path), c.staysLoaded);
    PluginLoader::releaseInstance(loader);
    EXPECT_FALSE(test::IsModuleLoaded(path)) << "the loader unloads what it holds when it goes";
  }

  Install(HXT_FAKE_PLUGIN_VELMORA);
  ASSERT_TRUE(CreateLoader());
  IPlugin* object = nullptr;
  EXPECT_FALSE(loader_->CreateInstance("com.example.unknown", object));
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "No instances created for com.example.unknown"));
}

TEST_F(PluginLoaderTest, BrokenInterfaceListsAreReadWithoutTrustingThem) {
  Install(HXT_FAKE_PLUGIN_ODD_IDS);
  Install(HXT_FAKE_PLUGIN_NO_ARRAY);
  ASSERT_TRUE(CreateLoader()) << log_.Dump();
  EXPECT_TRUE(Logged(LOG_LEVEL_ERROR, "Unexpected NULL interface name returned from plugin fake_odd_ids.so"));
  EXPECT_EQ(log_.Count("Unexpected NULL interface name returned from plugin fake_no_array.so"), 1u)
      << "a list without an array is one failure, not one per counted entry";
  EXPECT_TRUE(
      Logged(LOG_LEVEL_INFO, "Adding interface com.truvane.swg.plugin as available in fake_odd_ids.so"));
  EXPECT_FALSE(Logged(LOG_LEVEL_INFO, "Adding interface  as available in fake_odd_ids.so"));

  ISWGPlugin* gateway = PluginLoader::QuickCreatePlugin<ISWGPlugin>(kSwg);
  ASSERT_NE(gateway, nullptr) << log_.Dump();
  EXPECT_TRUE(loader_->DisposeInstance(gateway));
}

TEST_F(PluginLoaderTest, TheLastReleaseDisposesOfObjectsStillActive) {
  test::FakePlugin dns(Install(HXT_FAKE_PLUGIN_VELMORA));
  const std::string cloudPath = Install(HXT_FAKE_PLUGIN_CLOUD_DOWNLOADER);
  ASSERT_TRUE(CreateLoader());
  IPlugin* velmora = Create(kDns);
  IPlugin* downloader = Create(kCloud);
  ASSERT_TRUE(velmora != nullptr && downloader != nullptr);
  ASSERT_TRUE(test::IsModuleLoaded(cloudPath));

  ReleaseLoader();
  for (const auto& [object, file] :
       {std::make_pair(velmora, "fake_velmora.so"), std::make_pair(downloader, "fake_cloud_downloader.so")}) {
    EXPECT_TRUE(Logged(LOG_LEVEL_INFO, "Disposing active instance plugin " + fake::PointerText(object) +
                                           " in module " + file + " in destructor to avoid leaks."))
        << log_.Dump();
  }
  EXPECT_EQ(dns->CallCount("DisposePlugin"), 1u);
  EXPECT_EQ(dns->LiveObjects(), 0u);
  EXPECT_FALSE(test::IsModuleLoaded(cloudPath));
  EXPECT_TRUE(log_.Messages(LOG_LEVEL_ERROR).empty()) << log_.Dump();
}

}  // namespace
}  // namespace hxt
