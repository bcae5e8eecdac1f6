// Modules on Windows: LoadLibraryW / GetProcAddress / FreeLibrary. The
// plug-in loader passes full paths, so the search order never decides which
// file loads; the system's own error dialogs stay off.
#include <windows.h>

#include "agent/moduleloader.h"
#include "common/win/widestring.h"

namespace hxt::platform {

ModuleHandle OpenModule(const char* path, ModuleError& error) {
  std::wstring widePath = Utf8ToWide(path != nullptr ? path : "");
  UINT previous = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = ::LoadLibraryW(widePath.c_str());
  error.code = module == nullptr ? ::GetLastError() : 0;
  ::SetErrorMode(previous);
  return module;
}

void* FindModuleSymbol(ModuleHandle module, const char* name, ModuleError& error) {
  FARPROC symbol = ::GetProcAddress(static_cast<HMODULE>(module), name);
  if (symbol == nullptr) error.code = ::GetLastError();
  return reinterpret_cast<void*>(symbol);
}

bool CloseModule(ModuleHandle module, ModuleError& error) {
  if (::FreeLibrary(static_cast<HMODULE>(module))) return true;
  error.code = ::GetLastError();
  return false;
}

const char* ModuleSuffix() {
  return ".dll";
}

}  // namespace hxt::platform
