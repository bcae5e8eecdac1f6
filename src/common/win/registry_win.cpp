#include <windows.h>

#include "common/registry.h"
#include "common/win/widestring.h"

namespace hxt::platform {

namespace {

REGSAM viewFlag(RegView view) {
  switch (view) {
    case RegView::View32:
      return KEY_WOW64_32KEY;
    case RegView::View64:
      return KEY_WOW64_64KEY;
    case RegView::Default:
      break;
  }
  return 0;
}

// The system's status codes are the seam's; a key or value that is not
// there is kRegNotFound whatever way the system says it.
u32 status(LSTATUS code) {
  return code == ERROR_PATH_NOT_FOUND ? kRegNotFound : static_cast<u32>(code);
}

}  // namespace

std::string RegistryStorePath() {
  return "HKEY_LOCAL_MACHINE";
}

u32 CRegistryKey::Open(const std::string& subKey, RegView view) {
  Close();
  HKEY key = nullptr;
  LSTATUS code =
      ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, Utf8ToWide(subKey).c_str(), 0, KEY_READ | viewFlag(view), &key);
  if (code != ERROR_SUCCESS) return status(code);
  handle_ = key;
  subKey_ = subKey;
  open_ = true;
  return kRegOk;
}

void CRegistryKey::Close() {
  if (handle_ != nullptr) ::RegCloseKey(static_cast<HKEY>(handle_));
  handle_ = nullptr;
  open_ = false;
  subKey_.clear();
}

u32 CRegistryKey::QueryValue(const std::string& name, RegValue& value) const {
  if (!open_) return kRegNotFound;
  HKEY key = static_cast<HKEY>(handle_);
  std::wstring wideName = Utf8ToWide(name);
  std::vector<unsigned char> data;
  DWORD type = REG_NONE;
  LSTATUS code = ERROR_MORE_DATA;
  // The value may grow between the two calls; ask again until it fits.
  while (code == ERROR_MORE_DATA) {
    DWORD size = 0;
    code = ::RegQueryValueExW(key, wideName.c_str(), nullptr, &type, nullptr, &size);
    if (code != ERROR_SUCCESS) return status(code);
    data.resize(size);
    code = ::RegQueryValueExW(key, wideName.c_str(), nullptr, &type, data.empty() ? nullptr : data.data(),
                              &size);
    data.resize(size);
  }
  if (code != ERROR_SUCCESS) return status(code);
  value = RegValue();
  value.type = type;
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::size_t chars = data.size() / sizeof(wchar_t);
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    while (chars > 0 && text[chars - 1] == L'\0') --chars;  // stored with or without terminator
    value.text = WideToUtf8(text, chars);
  } else {
    value.bytes = std::move(data);
  }
  return kRegOk;
}

u32 CRegistryKey::QueryString(const std::string& name, std::size_t capacity, std::string& value) const {
  RegValue raw;
  if (u32 code = QueryValue(name, raw)) return code;
  if (raw.type != kRegSz) return kRegNotFound;
  if (Utf8ToWide(raw.text).size() + 1 > capacity) return kRegMoreData;
  value = raw.text;
  return kRegOk;
}

}  // namespace hxt::platform
