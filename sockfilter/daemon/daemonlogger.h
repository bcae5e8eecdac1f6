// hxsockfilterd's log sink: the journal (SYSLOG_IDENTIFIER=hxsockfilterd)
// when it runs under systemd, standard error otherwise; HXT_LOG=stderr or
// HXT_LOG=journal forces one. Any thread.
#pragma once

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

class CDaemonLogger : public ILogger {
 public:
  CDaemonLogger();
  bool Write(u32 level, u8 category, const char* text) override;
  std::string GetErrorText(u32 code) override;

 private:
  bool journal_;
};

}  // namespace hxt::sockfilter
