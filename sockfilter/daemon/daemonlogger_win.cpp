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
  std::string prefix =
      "hxsockfilterd[" + std::to_string(::GetCurrentProcessId()) + "] " + LevelName(level) + ": ";
  std::string out;
  const char* line = text;
  while (true) {
    const char* end = std::strchr(line, '\n');
    out += prefix;
    out.append(line, end == nullptr ? line + std::strlen(line) : end);
    out += '\n';
    if (end == nullptr || end[1] == '\0') break;
    line = end + 1;
  }
  bool written = std::fwrite(out.data(), 1, out.size(), stderr) == out.size();
  std::fflush(stderr);
  return written;
}

std::string CDaemonLogger::GetErrorText(u32 code) {
  return std::system_category().message(static_cast<int>(code));
}

}  // namespace hxt::sockfilter
