#include "agent/moduleloader.h"

#include "common/applog.h"

namespace hxt {

namespace {

// The platform's own explanation is worth having next to the error code
// (dlerror names the missing library or symbol); it goes out as its own line.
void logDetail(const char* function, const platform::ModuleError& error) {
  if (!error.detail.empty()) HXT_LOGF(LOG_LEVEL_INFO, function, "%s", error.detail.c_str());
}

}  // namespace

CModuleLoader::~CModuleLoader() {
  Unload();
}

bool CModuleLoader::Load(const char* path) {
  if (path == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CModuleLoader::Load", "LoadLibrary: invalid library name\n");
    return false;
  }
  Unload();
  platform::ModuleError error;
  module_ = platform::OpenModule(path, error);
  if (module_ == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CModuleLoader::Load", "LoadLibrary: unable to load %s [error %u]\n", path,
             error.code);
    logDetail("CModuleLoader::Load", error);
    return false;
  }
  return true;
}

bool CModuleLoader::Unload() {
  if (module_ == nullptr) return true;
  platform::ModuleError error;
  bool ok = platform::CloseModule(module_, error);
  module_ = nullptr;
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CModuleLoader::Unload", "FreeLibrary failed [error %u]\n", error.code);
    logDetail("CModuleLoader::Unload", error);
  }
  return ok;
}

bool CModuleLoader::GetFuncAddress(void*& entryPoint, const char* name) {
  entryPoint = nullptr;
  if (module_ == nullptr || name == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CModuleLoader::GetFuncAddress",
             "CModuleLoader::GetFuncAddress: at least one parameter is invalid\n");
    return false;
  }
  platform::ModuleError error;
  entryPoint = platform::FindModuleSymbol(module_, name, error);
  if (entryPoint == nullptr) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CModuleLoader::GetFuncAddress",
             "GetProcAddress: Unable to obtain entry point %s [error %u]\n", name, error.code);
    logDetail("CModuleLoader::GetFuncAddress", error);
    return false;
  }
  return true;
}

}  // namespace hxt
