// The one Name Resolution Policy Table rule that steers the Windows DNS
// client to the stub: namespace "." (every name) to the generic DNS servers
// 127.0.0.1 and ::1. Written as a local rule under
// HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters\DnsPolicyConfig,
// where the DNS client service watches for changes, not under the Group
// Policy path (SOFTWARE\Policies\...\DnsPolicyConfig), which is read only on
// a policy refresh and belongs to the domain's administrators. Rules of
// others (a VPN's split-DNS namespaces) are separate keys and stay as they
// are; being more specific than ".", they keep winning for their names.
// Adapter DNS settings are never touched.
#pragma once

#include <string>

namespace hxt::sockfilter {

// The rule's key, below the local DnsPolicyConfig key.
constexpr const char* kNrptPolicyKey =
    "SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig";
constexpr const char* kNrptRuleName = "{6C1E4B1A-2F0D-4E5B-9A77-68787366696C}";

// False with the reason when the registry refuses.
bool WriteNrptRule(std::string& why);
// Removing a rule that is not there succeeds.
bool RemoveNrptRule(std::string& why);

}  // namespace hxt::sockfilter
