// The daemon's records on Windows: standard error, one prefixed line per
// text line and one write per record, as outside the journal on Linux. A
// service's standard error goes nowhere unless redirected; the event log
// follows with the service host.
#include <windows.h>

#include "daemon/daemonlogger.h"

#include <cstdio>
#include <cstring>
#include <system_error>

namespace hxt::sockfilter {

CDaemonLogger::CDaemonLogger() : journal_(false) {}

bool CDaemonLogger::Write(u32 level, u8, const char* text) {
  if (text == nullptr) return false;
  const std::string out = PrefixedLines(static_cast<u32>(::GetCurrentProcessId()), level, text);
  bool written = std::fwrite(out.data(), 1, out.size(), stderr) == out.size();
  std::fflush(stderr);
  return written;
}

std::string CDaemonLogger::GetErrorText(u32 code) {
  return std::system_category().message(static_cast<int>(code));
}

}  // namespace hxt::sockfilter
