// The daemon's records on Windows. Under the service manager a service has
// no standard error, so its records go to the Application event log under
// the source "hxsockfilterd" (information, warnings and errors; debug records
// are for a console). In a console, or with HXT_LOG=stderr, they go to
// standard error, one prefixed line per text line and one write per record,
// as outside the journal on Linux; HXT_LOG=eventlog forces the event log.
#include <windows.h>

#include "daemon/daemonlogger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "common/eventlog.h"

namespace hxt::sockfilter {

namespace {

bool eventLogWanted() {
  const char* forced = std::getenv("HXT_LOG");
  if (forced != nullptr && std::strcmp(forced, "stderr") == 0) return false;
  if (forced != nullptr && std::strcmp(forced, "eventlog") == 0) return true;
  HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  return error == nullptr || error == INVALID_HANDLE_VALUE || ::GetFileType(error) == FILE_TYPE_UNKNOWN;
}

// One source for the process, registered with the first record and kept to
// its end, as the logger is.
platform::EventSourceHandle eventSource() {
  static const platform::EventSourceHandle source = platform::RegisterEventSource("hxsockfilterd");
  return source;
}

}  // namespace

CDaemonLogger::CDaemonLogger() : journal_(eventLogWanted()) {}

bool CDaemonLogger::Write(u32 level, u8 category, const char* text) {
  if (text == nullptr) return false;
  if (journal_) {
    if (level == LOG_LEVEL_DEBUG) return false;
    const platform::EventType type = level == LOG_LEVEL_ERROR     ? platform::EventType::Error
                                     : level == LOG_LEVEL_WARNING ? platform::EventType::Warning
                                                                  : platform::EventType::Information;
    return platform::ReportEvent(eventSource(), type, category, 0, text);
  }
  const std::string out = PrefixedLines(static_cast<u32>(::GetCurrentProcessId()), level, text);
  bool written = std::fwrite(out.data(), 1, out.size(), stderr) == out.size();
  std::fflush(stderr);
  return written;
}

std::string CDaemonLogger::GetErrorText(u32 code) {
  return std::system_category().message(static_cast<int>(code));
}

}  // namespace hxt::sockfilter
