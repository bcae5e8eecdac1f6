#include "agent/pluginloader.h"

#include <cstring>
#include <exception>
#include <utility>

#include <boost/filesystem.hpp>

#include "common/applog.h"
#include "common/knownfolders.h"
#include "common/singleton.h"
#include "common/velmorautils.h"

namespace hxt {

namespace fs = boost::filesystem;

namespace {

using LoaderSlot = CSingletonSlot<PluginLoader>;

// Plug-ins are foreign code: an exception escaping one of their calls is
// logged and turned into a failure instead of ending the service.
template <typename Call>
bool callPlugin(const char* function, const char* call, const std::string& fileName, Call&& body) {
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "%s of plugin %s threw: %s", call, fileName.c_str(), e.what());
  } catch (...) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "%s of plugin %s threw an unknown exception", call, fileName.c_str());
  }
  return false;
}

const void* asPointer(const IPlugin* object) {
  return object;
}

}  // namespace

PluginLoader::PluginLoader(bool& ok) {
  ok = false;
  std::string path;
  if (!CVelmoraUtils::GetPluginsPath(path)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::PluginLoader", "Failed to retrieve the plugin directory");
    return;
  }
  pluginDirectory_ = path + platform::kPathSeparator;
  ok = true;
}

PluginLoader::~PluginLoader() {
  std::vector<IPlugin*> leaked;
  for (const auto& module : loadedModules_) {
    if (!module) {
      HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::~PluginLoader", "NULL module in list of loaded modules");
      continue;
    }
    for (const auto& instance : module->instances) {
      if (!instance) continue;
      HXT_LOGF(LOG_LEVEL_INFO, "PluginLoader::~PluginLoader",
               "Disposing active instance plugin %p in module %s in destructor to avoid leaks.",
               asPointer(instance->object), module->fileName.c_str());
      leaked.push_back(instance->object);
    }
  }
  for (IPlugin* object : leaked) {
    if (!DisposeInstance(object)) {
      HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::~PluginLoader", "PluginLoader::DisposeInstance failed");
    }
  }
  clearAvailableModules();
}

bool PluginLoader::createSingletonInstance(PluginLoader*& loader) {
  loader = nullptr;
  if (!LoaderSlot::IsFree()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::createSingletonInstance", "plugin loader already initialized");
    return false;
  }
  bool ok = false;
  auto* instance = new PluginLoader(ok);
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::createSingletonInstance", "PluginLoader failed");
    delete instance;
    return false;
  }
  if (!LoaderSlot::Register(instance)) {
    HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::createSingletonInstance", "plugin loader already initialized");
    delete instance;
    return false;
  }
  if (!instance->FindAvailablePlugins()) {
    HXT_LOGF(LOG_LEVEL_ERROR, "PluginLoader::createSingletonInstance",
             "PluginLoader::FindAvailablePlugins failed");
    releaseInstance(instance);
    return false;
  }
  loader = instance;
  return true;
}

PluginLoader* PluginLoader::acquireInstance() {
  return LoaderSlot::Acquire();
}

void PluginLoader::releaseInstance(PluginLoader* loader) {
  LoaderSlot::Release(loader);
}

IPlugin* PluginLoader::quickCreatePlugin(const char* interfaceId) {
  const char* function = "PluginLoader::QuickCreatePlugin";
  if (interfaceId == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "invalid interface id\n");
    return nullptr;
  }
  PluginLoader* loader = acquireInstance();
  if (loader == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::acquireInstance failed for %s\n", interfaceId);
    return nullptr;
  }
  IPlugin* object = nullptr;
  if (!loader->CreateInstance(interfaceId, object)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::CreateInstance failed for %s\n", interfaceId);
    object = nullptr;
  } else {
    // The object came back as its first base; it may be used as the
    // interface of the id only once it has confirmed that it implements it.
    bool supported = false;
    callPlugin(function, "SupportsInterface", interfaceId,
               [&] { supported = object->SupportsInterface(interfaceId, 1); });
    if (!supported) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::Plugin_dynamic_cast<T> failed for %s\n",
               interfaceId);
      if (!loader->DisposeInstance(object)) {
        HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::DisposeInstance failed for %s\n", interfaceId);
      }
      object = nullptr;
    }
  }
  releaseInstance(loader);
  return object;
}

bool PluginLoader::FindAvailablePlugins() {
  const char* function = "PluginLoader::FindAvailablePlugins";
  clearAvailableModules();
  boost::system::error_code ec;
  const fs::path directory(pluginDirectory_);
  if (!fs::is_directory(directory, ec)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Plugin directory %s is invalid, skipping load of plugins",
             pluginDirectory_.c_str());
    return false;
  }
  unsigned scanned = 0;
  try {
    fs::directory_iterator entry(directory, ec);
    for (; !ec && entry != fs::directory_iterator(); entry.increment(ec)) {
      boost::system::error_code statusError;
      if (!fs::is_regular_file(entry->status(statusError))) continue;
      const std::string fileName = entry->path().filename().string();
      if (scanAvailableModule(fileName)) {
        ++scanned;
      } else {
        HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::scanAvailableModule failed for %s",
                 fileName.c_str());
      }
    }
  } catch (const std::exception& e) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "reading plugin directory %s failed: %s", pluginDirectory_.c_str(),
             e.what());
  }
  if (ec) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "reading plugin directory %s failed: %s", pluginDirectory_.c_str(),
             ec.message().c_str());
  }
  return scanned > 0;
}

bool PluginLoader::hasModuleFileName(const std::string& fileName, const char* function) const {
  const std::string suffix = platform::ModuleSuffix();
  if (fileName.size() < suffix.size() + 2) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Bad file name extension length");
    return false;
  }
  if (fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Bad file name extension");
    return false;
  }
  return true;
}

bool PluginLoader::scanAvailableModule(const std::string& fileName) {
  const char* function = "PluginLoader::scanAvailableModule";
  HXT_LOGF(LOG_LEVEL_INFO, function, "Scanning plugin %s", fileName.c_str());
  if (!hasModuleFileName(fileName, function)) return false;

  // A temporary record: the module stays loaded only while it lists its ids.
  LoadedModule module;
  module.fileName = fileName;
  module.moduleLoader = std::make_unique<CModuleLoader>();
  const std::string path = pluginDirectory_ + fileName;
  if (!module.moduleLoader->Load(path.c_str())) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "CModuleLoader::Load failed for %s", path.c_str());
    return false;
  }
  if (!module.moduleLoader->GetFuncAddress(module.getAvailableInterfaces, HXT_GET_AVAILABLE_INTERFACES)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function,
             "CModuleLoader::GetFuncAddress - GetAvailableInterfaces failed for %s", path.c_str());
    return false;
  }
  return checkAvailableInterfaces(&module);
}

bool PluginLoader::checkAvailableInterfaces(LoadedModule* module) {
  const char* function = "PluginLoader::checkAvailableInterfaces";
  if (module == nullptr || module->getAvailableInterfaces == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::checkAvailableInterfaces - Loaded Module was NULL");
    return false;
  }
  auto available = std::make_unique<AvailableModule>();
  available->fileName = module->fileName;
  InterfaceList list{nullptr, 0};
  if (!callPlugin(function, HXT_GET_AVAILABLE_INTERFACES, module->fileName,
                  [&] { list = module->getAvailableInterfaces(); })) {
    return false;
  }
  for (u32 i = 0; i < list.count; ++i) {
    // Without an array no entry can be read; one line says so.
    const char* id = list.descriptors != nullptr ? list.descriptors[i].interfaceId : nullptr;
    if (id == nullptr) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "Unexpected NULL interface name returned from plugin %s",
               module->fileName.c_str());
      if (list.descriptors == nullptr) break;
      continue;
    }
    if (*id == '\0') continue;
    HXT_LOGF(LOG_LEVEL_INFO, function, "Adding interface %s as available in %s", id,
             module->fileName.c_str());
    available->interfaceIds.emplace_back(id);
  }
  availableModules_.push_back(std::move(available));
  return true;
}

bool PluginLoader::isInterfaceAvailable(LoadedModule* module, const std::string& interfaceId) {
  const char* function = "PluginLoader::isInterfaceAvailable";
  if (module == nullptr || module->getAvailableInterfaces == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Ignoring invalid loaded module for %s", interfaceId.c_str());
    return false;
  }
  InterfaceList list{nullptr, 0};
  if (!callPlugin(function, HXT_GET_AVAILABLE_INTERFACES, module->fileName,
                  [&] { list = module->getAvailableInterfaces(); })) {
    return false;
  }
  if (list.descriptors == nullptr) return false;
  for (u32 i = 0; i < list.count; ++i) {
    const char* id = list.descriptors[i].interfaceId;
    if (id != nullptr && interfaceId == id) return true;
  }
  return false;
}

bool PluginLoader::loadModule(const std::string& fileName) {
  const char* function = "PluginLoader::loadModule";
  HXT_LOGF(LOG_LEVEL_INFO, function, "Loading plugin %s", fileName.c_str());
  if (!hasModuleFileName(fileName, function)) return false;
  for (const auto& loaded : loadedModules_) {
    if (!loaded) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL module in list of loaded modules");
      continue;
    }
    if (loaded->fileName == fileName) {
      HXT_LOGF(LOG_LEVEL_INFO, function, "Skipping load of module %s which is already loaded",
               fileName.c_str());
      return true;
    }
  }

  // On any failure the record goes out of scope and unloads the module.
  auto module = std::make_unique<LoadedModule>();
  module->fileName = fileName;
  module->moduleLoader = std::make_unique<CModuleLoader>();
  const std::string path = pluginDirectory_ + fileName;
  if (!module->moduleLoader->Load(path.c_str())) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "CModuleLoader::Load failed for %s", path.c_str());
    return false;
  }
  if (!module->moduleLoader->GetFuncAddress(module->getAvailableInterfaces, HXT_GET_AVAILABLE_INTERFACES)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function,
             "CModuleLoader::GetFuncAddress - GetAvailableInterfaces failed for %s", path.c_str());
    return false;
  }
  if (!module->moduleLoader->GetFuncAddress(module->createPlugin, HXT_CREATE_PLUGIN)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "CModuleLoader::GetFuncAddress - CreatePlugin failed for %s",
             path.c_str());
    return false;
  }
  if (!module->moduleLoader->GetFuncAddress(module->disposePlugin, HXT_DISPOSE_PLUGIN)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "CModuleLoader::GetFuncAddress - DisposePlugin failed for %s",
             path.c_str());
    return false;
  }
  loadedModules_.push_back(std::move(module));
  return true;
}

bool PluginLoader::loadModulesWithInterface(const std::string& interfaceId) {
  const char* function = "PluginLoader::loadModulesWithInterface";
  for (const auto& available : availableModules_) {
    if (!available) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL pointer in list of available modules.");
      continue;
    }
    for (const auto& id : available->interfaceIds) {
      if (id != interfaceId) continue;
      if (!loadModule(available->fileName)) {
        HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::loadModule failed for %s",
                 available->fileName.c_str());
        return false;
      }
    }
  }
  return true;
}

bool PluginLoader::instantiateInterfaces(const std::string& interfaceId, std::vector<IPlugin*>& objects) {
  const char* function = "PluginLoader::instantiateInterfaces";
  const char* id = interfaceId.c_str();
  if (activeInstances_.count(interfaceId) != 0) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Instance already exists");
    return false;
  }
  if (!loadModulesWithInterface(interfaceId)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::loadModulesWithInterface failed for %s", id);
    return false;
  }

  std::vector<LoadedModule*> candidates;
  for (const auto& module : loadedModules_) {
    if (!module) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL module in list of loaded modules for %s", id);
      continue;
    }
    if (module->createPlugin == nullptr || module->getAvailableInterfaces == nullptr) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL function pointer in list of loaded modules for %s", id);
      continue;
    }
    if (isInterfaceAvailable(module.get(), interfaceId)) candidates.push_back(module.get());
  }
  // Which of two modules is the real one cannot be told, so neither is used.
  if (candidates.size() > 1) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Error: multiple plugins available for %s", id);
    return false;
  }
  if (candidates.empty()) return true;

  LoadedModule* module = candidates.front();
  IPlugin* object = nullptr;
  callPlugin(function, HXT_CREATE_PLUGIN, module->fileName, [&] { object = module->createPlugin(id); });
  if (object == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Loaded plugin: CreatePlugin returned NULL for %s", id);
    return true;
  }
  auto instance = std::make_unique<PluginInstance>();
  instance->object = object;
  instance->interfaceId = interfaceId;
  activeInstances_[interfaceId] = instance.get();
  module->instances.push_back(std::move(instance));
  objects.push_back(object);
  return true;
}

bool PluginLoader::CreateInstance(const char* interfaceId, IPlugin*& object) {
  const char* function = "PluginLoader::CreateInstance";
  object = nullptr;
  if (interfaceId == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "invalid interface id");
    return false;
  }
  std::vector<IPlugin*> objects;
  if (!instantiateInterfaces(interfaceId, objects)) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::instantiateInterfaces failed for %s", interfaceId);
    return false;
  }
  if (objects.size() == 1) {
    object = objects.front();
    return true;
  }
  if (objects.empty()) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "No instances created for %s", interfaceId);
    return false;
  }
  HXT_LOGF(LOG_LEVEL_ERROR, function, "Unexpected number of interfaces %lu for %s!",
           static_cast<unsigned long>(objects.size()), interfaceId);
  for (IPlugin* extra : objects) {
    if (!DisposeInstance(extra)) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "PluginLoader::DisposeInstance failed for %s", interfaceId);
    }
  }
  return false;
}

bool PluginLoader::DisposeInstance(IPlugin* object) {
  const char* function = "PluginLoader::DisposeInstance";
  if (object == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Bad plugin");
    return false;
  }
  auto owner = loadedModules_.end();
  std::list<std::unique_ptr<PluginInstance>>::iterator match;
  for (auto module = loadedModules_.begin(); module != loadedModules_.end() && owner == loadedModules_.end();
       ++module) {
    if (!*module) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL module in list of loaded modules");
      continue;
    }
    if ((*module)->disposePlugin == nullptr) {
      HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL function pointer in list of loaded modules");
      continue;
    }
    auto& instances = (*module)->instances;
    for (auto instance = instances.begin(); instance != instances.end(); ++instance) {
      if (!*instance) {
        HXT_LOGF(LOG_LEVEL_ERROR, function, "NULL active plugin pointer in list of interfaces");
        continue;
      }
      if ((*instance)->object == object) {
        owner = module;
        match = instance;
        break;
      }
    }
  }
  if (owner == loadedModules_.end()) {
    HXT_LOGF(LOG_LEVEL_ERROR, function, "Could not dispose instance");
    return false;
  }

  LoadedModule& module = **owner;
  PluginInstance& instance = **match;
  HXT_LOGF(LOG_LEVEL_INFO, function, "Disposing plugin %p, refcount pre-decrement = %d", asPointer(object),
           static_cast<int>(instance.refCount));
  if (--instance.refCount > 0) return true;

  HXT_LOGF(LOG_LEVEL_INFO, function, "Disposing plugin %p in module %s", asPointer(object),
           module.fileName.c_str());
  callPlugin(function, HXT_DISPOSE_PLUGIN, module.fileName, [&] { module.disposePlugin(object); });
  auto active = activeInstances_.find(instance.interfaceId);
  if (active != activeInstances_.end() && active->second == &instance) activeInstances_.erase(active);
  module.instances.erase(match);

  if (module.instances.empty()) {
    HXT_LOGF(LOG_LEVEL_INFO, function, "No active instances for module %s - Unloading",
             module.fileName.c_str());
    module.moduleLoader->Unload();
    loadedModules_.erase(owner);
  }
  return true;
}

void PluginLoader::clearAvailableModules() {
  availableModules_.clear();
}

}  // namespace hxt
