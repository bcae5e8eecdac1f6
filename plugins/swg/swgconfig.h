// The web gateway's settings in the organisation profile: the "swg" member of
// OrgInfo.json, {"enabled": true, "proxy": "host:port"}.
#ifndef HXT_PLUGINS_SWG_SWGCONFIG_H
#define HXT_PLUGINS_SWG_SWGCONFIG_H

#include <cstdint>
#include <string>

namespace hxtplugin {

struct SwgConfig {
  bool enabled = false;
  std::string proxy;  // as the profile writes it
  std::string host;
  uint16_t port = 0;
  std::string error;  // "<member>: <reason>" when the profile cannot be used, else empty
};

// "host:port", "[v6 address]:port"; false with the reason in `error`.
bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port, std::string& error);

// The settings of a profile document. No "swg" member means a disabled gateway.
SwgConfig ParseSwgConfig(const std::string& profileJson);
// The same for <profileDir>/OrgInfo.json; a missing or unreadable file is an error.
SwgConfig LoadSwgConfig(const std::string& profileDir);

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_SWG_SWGCONFIG_H
