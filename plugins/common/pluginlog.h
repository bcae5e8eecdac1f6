// The reference plug-ins' log: one line per record on standard error, which
// the service's own terminal or its journal unit collects.
#ifndef HXT_PLUGINS_PLUGINLOG_H
#define HXT_PLUGINS_PLUGINLOG_H

#include <cstdio>
#include <string>

namespace hxtplugin {

enum class LogLevel { Info, Warning, Error };

inline void Log(LogLevel level, const char* module, const std::string& text) {
  static const char* const kNames[] = {"info", "warning", "error"};
  // One call per line, so that lines of concurrent threads do not interleave.
  std::fprintf(stderr, "%s %s: %s\n", module, kNames[static_cast<int>(level)], text.c_str());
}

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_PLUGINLOG_H
