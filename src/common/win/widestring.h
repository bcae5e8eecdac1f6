// UTF-8 inside the service, UTF-16 at the Windows API: the conversions every
// Windows adapter uses. Invalid input converts to an empty string.
#pragma once

#include <windows.h>

#include <string>

namespace hxt::platform {

inline std::wstring Utf8ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), n);
  return wide;
}

inline std::string WideToUtf8(const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), n, nullptr, nullptr);
  return narrow;
}

inline std::string WideToUtf8(const std::wstring& text) {
  return WideToUtf8(text.data(), text.size());
}

}  // namespace hxt::platform
