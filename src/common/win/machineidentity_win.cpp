#include <windows.h>

#include <string>

#include "common/machineidentity.h"

namespace hxt::platform {

bool GetComputerAccountSid(std::vector<unsigned char>& sid) {
  sid.clear();
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD computerLength = MAX_COMPUTERNAME_LENGTH + 1;
  if (!::GetComputerNameW(computer, &computerLength)) return false;
  std::vector<unsigned char> buffer(32);
  std::wstring domain(32, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD sidSize = static_cast<DWORD>(buffer.size());
    DWORD domainSize = static_cast<DWORD>(domain.size());
    SID_NAME_USE use = SidTypeUnknown;
    if (::LookupAccountNameW(nullptr, computer, buffer.data(), &sidSize, domain.data(), &domainSize, &use)) {
      if (!::IsValidSid(buffer.data())) return false;
      buffer.resize(::GetLengthSid(buffer.data()));
      sid = std::move(buffer);
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(sidSize);
    domain.resize(domainSize);
  }
  return false;
}

}  // namespace hxt::platform
