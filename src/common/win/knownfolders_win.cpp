#include <windows.h>
// after windows.h, whose types it uses
#include <shlobj.h>

#include "common/knownfolders.h"
#include "common/win/widestring.h"

namespace hxt::platform {

namespace {

std::string withoutTrailingSeparator(std::string path) {
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return path;
}

}  // namespace

u32 GetServiceRoot(std::string& root) {
  root.clear();
  return 0;
}

u32 GetKnownFolderPath(KnownFolder folder, std::string& path) {
  path.clear();
  wchar_t buffer[MAX_PATH];
  // The suite installs as 32-bit software: its folder is the one a 32-bit process
  // sees as program files, which a 64-bit build must ask for by name.
  int csidl = folder == KnownFolder::ProgramFiles ? CSIDL_PROGRAM_FILESX86 : CSIDL_COMMON_APPDATA;
  HRESULT hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (FAILED(hr)) return static_cast<u32>(hr);
  path = withoutTrailingSeparator(WideToUtf8(buffer, ::wcslen(buffer)));
  return path.empty() ? ERROR_PATH_NOT_FOUND : 0;
}

std::string GetTempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return std::string();
  return withoutTrailingSeparator(WideToUtf8(buffer, n));
}

u32 GetModuleFilePath(std::string& path) {
  path.clear();
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return ::GetLastError();
    if (n < buffer.size()) {
      path = WideToUtf8(buffer.data(), n);
      return 0;
    }
    buffer.resize(buffer.size() * 2);  // truncated: a long path
  }
}

}  // namespace hxt::platform
