#include "daemon/daemonlogger.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/servicemanager.h"

namespace hxt::sockfilter {

namespace {

bool journalWanted() {
  const char* forced = std::getenv("HXT_LOG");
  if (forced != nullptr && std::strcmp(forced, "stderr") == 0) return false;
  struct stat st {};
  bool present = ::stat("/run/systemd/journal/socket", &st) == 0 && S_ISSOCK(st.st_mode);
  if (forced != nullptr && std::strcmp(forced, "journal") == 0) return present;
  return present && std::getenv("INVOCATION_ID") != nullptr;
}

}  // namespace

CDaemonLogger::CDaemonLogger() : journal_(journalWanted()) {}

bool CDaemonLogger::Write(u32 level, u8, const char* text) {
  if (text == nullptr) return false;
  if (journal_) {
    int priority = level == LOG_LEVEL_ERROR     ? 3
                   : level == LOG_LEVEL_WARNING ? 4
                   : level == LOG_LEVEL_DEBUG   ? 7
                                                : 6;
    return platform::SendToJournal(text, priority, "hxsockfilterd");
  }
  // One write per record, one prefixed line per text line, so that records
  // never interleave.
  const std::string out = PrefixedLines(static_cast<u32>(::getpid()), level, text);
  return ::write(STDERR_FILENO, out.data(), out.size()) == static_cast<ssize_t>(out.size());
}

std::string CDaemonLogger::GetErrorText(u32 code) {
  char buffer[256];
  return ::strerror_r(static_cast<int>(code), buffer, sizeof buffer);
}

}  // namespace hxt::sockfilter
