#include <windows.h>

#include "daemon/nrpt.h"

#include <string>

#include "common/win/widestring.h"

namespace hxt::sockfilter {

namespace {

constexpr DWORD kRuleVersion = 2;
// Only "generic DNS servers" is configured: no DNSSEC, no DirectAccess.
constexpr DWORD kConfigGenericDnsServers = 0x8;

std::wstring ruleKey() {
  return platform::Utf8ToWide(std::string(kNrptPolicyKey) + "\\" + kNrptRuleName);
}

std::string failure(const char* what, LSTATUS status) {
  return std::string(what) + " [" + std::to_string(status) + "]";
}

}  // namespace

bool WriteNrptRule(std::string& why) {
  HKEY key = nullptr;
  LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ruleKey().c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    why = failure("cannot create the NRPT rule's key", status);
    return false;
  }
  // REG_MULTI_SZ: the namespace, then the list's terminator.
  static const wchar_t kNamespace[] = L".\0";
  static const wchar_t kServers[] = L"127.0.0.1;::1";
  static const wchar_t kEmpty[] = L"";
  const DWORD version = kRuleVersion;
  const DWORD options = kConfigGenericDnsServers;
  struct Value {
    const wchar_t* name;
    DWORD type;
    const void* data;
    DWORD size;
  } values[] = {
      {L"Name", REG_MULTI_SZ, kNamespace, sizeof kNamespace},
      {L"GenericDNSServers", REG_SZ, kServers, sizeof kServers},
      {L"ConfigOptions", REG_DWORD, &options, sizeof options},
      {L"Version", REG_DWORD, &version, sizeof version},
      {L"IPSECCARestriction", REG_SZ, kEmpty, sizeof kEmpty},
  };
  for (const Value& value : values) {
    status =
        ::RegSetValueExW(key, value.name, 0, value.type, static_cast<const BYTE*>(value.data), value.size);
    if (status != ERROR_SUCCESS) break;
  }
  ::RegCloseKey(key);
  if (status == ERROR_SUCCESS) return true;
  why = failure("cannot write the NRPT rule", status);
  std::string ignored;
  RemoveNrptRule(ignored);  // half a rule steers nothing it should
  return false;
}

bool RemoveNrptRule(std::string& why) {
  LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, ruleKey().c_str());
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
  why = failure("cannot remove the NRPT rule", status);
  return false;
}

}  // namespace hxt::sockfilter
