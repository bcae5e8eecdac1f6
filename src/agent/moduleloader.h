// One dynamically loaded module (a plug-in shared library) and the platform
// calls beneath it.
//
// `CModuleLoader` owns at most one module handle and unloads it when it is
// destroyed, so a module is never leaked on an early return. It is not
// thread-safe: the plug-in loader uses it from one thread at a time.
//
// The OS calls sit in `platform::` and are implemented once per platform:
// POSIX (posix/moduleloader_posix.cpp) over dlopen(RTLD_NOW | RTLD_LOCAL),
// dlsym and dlclose; Windows over LoadLibraryW, GetProcAddress and
// FreeLibrary. Paths are UTF-8 everywhere; the Windows adapter widens them.
#pragma once

#include <string>

#include "common/hxttypes.h"

namespace hxt {

namespace platform {

using ModuleHandle = void*;

// What a failed module call reports: a system error code for the log line
// (errno values on POSIX, GetLastError values on Windows) and the loader's own
// explanation where the platform has one (dlerror text), possibly empty.
struct ModuleError {
  u32 code = 0;
  std::string detail;
};

// Null on failure, with `error` filled.
ModuleHandle OpenModule(const char* path, ModuleError& error);
// Null on failure, with `error` filled.
void* FindModuleSymbol(ModuleHandle module, const char* name, ModuleError& error);
bool CloseModule(ModuleHandle module, ModuleError& error);
// The file-name suffix of a loadable module, with its dot: ".so" or ".dll".
const char* ModuleSuffix();

}  // namespace platform

class CModuleLoader {
 public:
  CModuleLoader() = default;
  ~CModuleLoader();
  CModuleLoader(const CModuleLoader&) = delete;
  CModuleLoader& operator=(const CModuleLoader&) = delete;

  // Loads the module at `path`, unloading the one held before. A null path or
  // a module that cannot be loaded is logged and reported as false.
  bool Load(const char* path);
  // Unloads the held module. The handle is forgotten even when the platform
  // refuses, so a failed unload is never retried on a stale handle.
  bool Unload();
  // Looks up the export `name`; `entryPoint` is null when it is missing.
  bool GetFuncAddress(void*& entryPoint, const char* name);

  // Typed form for function pointers.
  template <typename Fn>
  bool GetFuncAddress(Fn& entryPoint, const char* name) {
    void* address = nullptr;
    bool ok = GetFuncAddress(address, name);
    entryPoint = reinterpret_cast<Fn>(address);
    return ok;
  }

  bool IsLoaded() const { return module_ != nullptr; }

 private:
  platform::ModuleHandle module_ = nullptr;
};

}  // namespace hxt
