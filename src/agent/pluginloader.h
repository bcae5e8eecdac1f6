// Finds, loads, instantiates and disposes of the service's plug-ins.
//
// `PluginLoader` scans the Plugins folder for modules (file names ending in
// the platform's module suffix, exact case, at least two characters before
// it), asks each for the interface ids it offers, and loads a module for use
// only when an object of one of its ids is wanted. It keeps at most one object
// per interface id; disposing of a module's last object unloads the module.
// A module that cannot be loaded, lacks an export, lists broken ids or returns
// no object is logged and skipped; no operation throws.
//
// Ownership: the loader owns every module and instance record; the objects
// belong to their modules and are destroyed only through DisposeInstance (or
// the destructor's sweep of the ones still active).
//
// Threads: the loader has no lock. It is used while the orchestrator is
// constructed and destroyed, from one thread at a time.
//
// Lifetime: a process-wide singleton with a reference count.
// createSingletonInstance hands the creator the first reference;
// acquireInstance adds one; releaseInstance drops one and destroys the loader
// at 0.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "agent/moduleloader.h"
#include "hxtarrow/plugin.h"

namespace hxt {

// One object made by a module's CreatePlugin. Nothing raises the count above
// the 1 it starts with; DisposeInstance destroys the object when it drops to 0.
struct PluginInstance {
  IPlugin* object = nullptr;
  u32 refCount = 1;
  std::string interfaceId;
};

// A module loaded for use, with its three exports and the objects made from it.
struct LoadedModule {
  std::string fileName;  // without the directory
  std::unique_ptr<CModuleLoader> moduleLoader;
  GetAvailableInterfacesFn getAvailableInterfaces = nullptr;
  CreatePluginFn createPlugin = nullptr;
  DisposePluginFn disposePlugin = nullptr;
  std::list<std::unique_ptr<PluginInstance>> instances;
};

// A module the last scan accepted, with the ids it listed in its own order.
struct AvailableModule {
  std::string fileName;
  std::vector<std::string> interfaceIds;
};

class PluginLoader {
 public:
  // Creates the singleton and scans the Plugins folder. False, with `loader`
  // null, when an instance exists, the folder is unknown, missing or holds no
  // acceptable module.
  static bool createSingletonInstance(PluginLoader*& loader);
  // The singleton with one more reference, or null.
  static PluginLoader* acquireInstance();
  // Drops one reference; the last one destroys the loader. A pointer that is
  // no longer the singleton is destroyed at once.
  static void releaseInstance(PluginLoader* loader);

  // Creates the object for `interfaceId` from the singleton and checks that it
  // supports the interface; null on any failure (a refusing object is
  // disposed of again). Give the result back with DisposeInstance.
  template <typename T>
  static T* QuickCreatePlugin(const char* interfaceId) {
    static_assert(std::is_base_of<IPlugin, T>::value, "plug-in interfaces derive from IPlugin");
    return static_cast<T*>(quickCreatePlugin(interfaceId));
  }

  ~PluginLoader();
  PluginLoader(const PluginLoader&) = delete;
  PluginLoader& operator=(const PluginLoader&) = delete;

  // Forgets the previous scan and scans the Plugins folder again. True when at
  // least one file was accepted.
  bool FindAvailablePlugins();
  // The one object for `interfaceId`; false when it exists already, when no or
  // more than one module offers the id, or when the module made no object.
  bool CreateInstance(const char* interfaceId, IPlugin*& object);
  // Destroys an object made here; its module is unloaded with its last object.
  bool DisposeInstance(IPlugin* object);

 private:
  explicit PluginLoader(bool& ok);

  static IPlugin* quickCreatePlugin(const char* interfaceId);
  bool scanAvailableModule(const std::string& fileName);
  bool checkAvailableInterfaces(LoadedModule* module);
  bool isInterfaceAvailable(LoadedModule* module, const std::string& interfaceId);
  bool loadModule(const std::string& fileName);
  bool loadModulesWithInterface(const std::string& interfaceId);
  bool instantiateInterfaces(const std::string& interfaceId, std::vector<IPlugin*>& objects);
  void clearAvailableModules();
  bool hasModuleFileName(const std::string& fileName, const char* function) const;

  std::list<std::unique_ptr<LoadedModule>> loadedModules_;
  std::list<std::unique_ptr<AvailableModule>> availableModules_;
  std::map<std::string, PluginInstance*> activeInstances_;
  std::string pluginDirectory_;  // with a trailing separator
};

}  // namespace hxt
