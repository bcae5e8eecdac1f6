// hxsockfilterd's log sink: the journal (SYSLOG_IDENTIFIER=hxsockfilterd)
// when it runs under systemd, standard error otherwise; HXT_LOG=stderr or
// HXT_LOG=journal forces one. Any thread.
#pragma once

#include <string>

#include "common/applog.h"

namespace hxt::sockfilter {

class CDaemonLogger : public ILogger {
 public:
  CDaemonLogger();
  bool Write(u32 level, u8 category, const char* text) override;
  std::string GetErrorText(u32 code) override;

 private:
  bool journal_;
};

}  // namespace hxt::sockfilter
