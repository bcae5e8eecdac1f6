// The modules as the service's loader sees them: exactly one id each, and an object for it that says so.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hxtarrow/plugin.h>

namespace {

TEST(ReferencePluginModules, OfferTheirOneInterface) {
  struct Case {
    const char* module;
    const char* id;
  } cases[] = {{HXT_SWG_MODULE, HXT_SWG_PLUGIN_ID}, {HXT_CLOUD_DOWNLOADER_MODULE, HXT_CLOUD_DOWNLOADER_ID}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module);
    void* module = ::dlopen(c.module, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto list = reinterpret_cast<GetAvailableInterfacesFn>(::dlsym(module, HXT_GET_AVAILABLE_INTERFACES));
    auto create = reinterpret_cast<CreatePluginFn>(::dlsym(module, HXT_CREATE_PLUGIN));
    auto dispose = reinterpret_cast<DisposePluginFn>(::dlsym(module, HXT_DISPOSE_PLUGIN));
    ASSERT_TRUE(list && create && dispose);
    const InterfaceList offered = list();
    ASSERT_EQ(offered.count, 1u);
    EXPECT_STREQ(offered.descriptors[0].interfaceId, c.id);
    EXPECT_EQ(create(HXT_VELMORA_PLUGIN_ID), nullptr);
    EXPECT_EQ(create(nullptr), nullptr);
    IPlugin* object = create(c.id);
    ASSERT_NE(object, nullptr);
    EXPECT_TRUE(object->SupportsInterface(c.id, 1));
    EXPECT_FALSE(object->SupportsInterface(c.id, 2));
    EXPECT_FALSE(object->SupportsInterface(HXT_VELMORA_PLUGIN_ID, 1));
    dispose(object);
    EXPECT_EQ(::dlclose(module), 0);
  }
}

}  // namespace
