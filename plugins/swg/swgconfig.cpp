#include "swgconfig.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <fstream>
#include <sstream>

namespace hxtplugin {

bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
  std::string portText;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "expected [address]:port";
      return false;
    }
    host = text.substr(1, close - 1);
    portText = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || text.find(':') != colon) {
      error = "expected host:port";
      return false;
    }
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
  }
  for (char c : host) {
    if (std::isspace(static_cast<unsigned char>(c))) host.clear();
  }
  if (host.empty()) {
    error = "missing or malformed host";
    return false;
  }
  unsigned long value = 0;
  for (char c : portText) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || value > 65535) {
      value = 0;
      break;
    }
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (portText.empty() || value == 0 || value > 65535) {
    error = "port must be a number from 1 to 65535";
    return false;
  }
  port = static_cast<uint16_t>(value);
  return true;
}

SwgConfig ParseSwgConfig(const std::string& profileJson) {
  SwgConfig config;
  boost::property_tree::ptree profile;
  try {
    std::istringstream in(profileJson);
    boost::property_tree::read_json(in, profile);
  } catch (const boost::property_tree::json_parser_error& e) {
    config.error = "OrgInfo.json: not JSON (" + e.message() + " at line " + std::to_string(e.line()) + ")";
    return config;
  }
  const auto swg = profile.get_child_optional("swg");
  if (!swg) return config;
  if (!swg->data().empty()) {
    config.error = "swg: expected an object";
    return config;
  }
  const std::string enabled = swg->get<std::string>("enabled", "false");
  if (enabled != "true" && enabled != "false") {
    config.error = "swg.enabled: expected true or false";
    return config;
  }
  if (enabled == "false") return config;
  const auto proxy = swg->get_optional<std::string>("proxy");
  if (!proxy) {
    config.error = "swg.proxy: missing (an enabled gateway needs \"host:port\")";
    return config;
  }
  std::string host, reason;
  uint16_t port = 0;
  if (!SplitHostPort(*proxy, host, port, reason)) {
    config.error = "swg.proxy: " + reason;
    return config;
  }
  config.enabled = true;
  config.host = host;
  config.port = port;
  config.proxy = *proxy;
  return config;
}

SwgConfig LoadSwgConfig(const std::string& profileDir) {
  const std::string path = profileDir + "/OrgInfo.json";
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    SwgConfig config;
    config.error = "OrgInfo.json: cannot read " + path;
    return config;
  }
  std::ostringstream text;
  text << file.rdbuf();  // an empty file leaves the text empty, which the parser refuses
  return ParseSwgConfig(text.str());
}

}  // namespace hxtplugin
