// hxsockfilterd's log sink: the journal (SYSLOG_IDENTIFIER=hxsockfilterd)
// when it runs under systemd, standard error otherwise; HXT_LOG=stderr or
// HXT_LOG=journal forces one. On Windows the event log when it runs as a
// service (daemonlogger_win.cpp). Any thread.
#pragma once

#include <cstring>
#include <string>

#include "common/applog.h"

namespace hxt::sockfilter {

// The word a line's level is written as, on either platform's sink.
inline const char* LevelName(u32 level) {
  switch (level) {
    case LOG_LEVEL_ERROR:
      return "error";
    case LOG_LEVEL_WARNING:
      return "warning";
    case LOG_LEVEL_DEBUG:
      return "debug";
    default:
      return "info";
  }
}

// "hxsockfilterd[PID] LEVEL: " before each line of `text`, each ending in a
// line feed: one write per record on either platform, so that records never
// interleave.
inline std::string PrefixedLines(u32 pid, u32 level, const char* text) {
  const std::string prefix = "hxsockfilterd[" + std::to_string(pid) + "] " + LevelName(level) + ": ";
  std::string out;
  for (const char* line = text;;) {
    const char* end = std::strchr(line, '\n');
    out += prefix;
    out.append(line, end == nullptr ? line + std::strlen(line) : end);
    out += '\n';
    if (end == nullptr || end[1] == '\0') break;
    line = end + 1;
  }
  return out;
}

class CDaemonLogger : public ILogger {
 public:
  CDaemonLogger();
  bool Write(u32 level, u8 category, const char* text) override;
  std::string GetErrorText(u32 code) override;

 private:
  bool journal_;  // the system's log: the journal, or on Windows the event log
};

}  // namespace hxt::sockfilter
