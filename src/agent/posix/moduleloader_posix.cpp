// Modules on POSIX: dlopen / dlsym / dlclose.
//
// RTLD_NOW makes a module with unresolved symbols fail here, at load time,
// instead of crashing the service at its first call; RTLD_LOCAL keeps one
// plug-in's symbols from resolving another's.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>

#include "agent/moduleloader.h"

namespace hxt::platform {

namespace {

// dlerror's text is per thread and cleared by reading it.
std::string takeDlError() {
  const char* text = ::dlerror();
  return text != nullptr ? text : "";
}

}  // namespace

ModuleHandle OpenModule(const char* path, ModuleError& error) {
  takeDlError();
  void* module = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module != nullptr) return module;
  error.detail = takeDlError();
  // dlopen leaves errno unreliable; ask the file system whether the file is
  // there and readable, and call anything else an invalid module.
  error.code = ::access(path, R_OK) != 0 ? static_cast<u32>(errno) : static_cast<u32>(ENOEXEC);
  return nullptr;
}

void* FindModuleSymbol(ModuleHandle module, const char* name, ModuleError& error) {
  takeDlError();
  void* symbol = ::dlsym(module, name);
  if (symbol != nullptr) return symbol;
  error.detail = takeDlError();
  error.code = ENOENT;
  return nullptr;
}

bool CloseModule(ModuleHandle module, ModuleError& error) {
  takeDlError();
  if (::dlclose(module) == 0) return true;
  error.detail = takeDlError();
  error.code = EINVAL;
  return false;
}

const char* ModuleSuffix() {
  return ".so";
}

}  // namespace hxt::platform
