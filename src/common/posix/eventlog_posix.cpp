// Event log on Linux: journald's native protocol when the service runs under
// systemd (INVOCATION_ID set and the journal socket present), otherwise
// standard error. HXT_LOG=journal or HXT_LOG=stderr forces one of the two.
// A record on standard error is written with a single write(2), one output
// line per text line, each prefixed with a time stamp and the level, so that
// records from different threads never interleave.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/eventlog.h"
#include "common/servicemanager.h"

namespace hxt::platform {

namespace {

constexpr EventSourceHandle kStderrSource = 1;
constexpr EventSourceHandle kJournalSource = 2;

bool journalWanted() {
  const char* forced = std::getenv("HXT_LOG");
  if (forced != nullptr && std::strcmp(forced, "stderr") == 0) return false;
  struct stat st {};
  bool socketPresent = ::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode);
  if (forced != nullptr && std::strcmp(forced, "journal") == 0) return socketPresent;
  return socketPresent && std::getenv("INVOCATION_ID") != nullptr;
}

std::string timeStamp() {
  auto now = std::chrono::system_clock::now();
  std::time_t secs = std::chrono::system_clock::to_time_t(now);
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  ::localtime_r(&secs, &tm);
  char buf[40];
  std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  std::snprintf(buf + n, sizeof buf - n, ".%03d", static_cast<int>(millis));
  return buf;
}

void writeToStderr(const char* tag, const char* text) {
  std::string prefix = timeStamp() + " hxtarrowagent[" + std::to_string(::getpid()) + "] " + tag + ": ";
  std::string out;
  const char* line = text;
  while (true) {
    const char* end = std::strchr(line, '\n');
    out += prefix;
    if (end == nullptr) {
      out += line;
      out += '\n';
      break;
    }
    out.append(line, end);
    out += '\n';
    line = end + 1;
    if (*line == '\0') break;
  }
  const char* p = out.data();
  std::size_t left = out.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

EventSourceHandle RegisterEventSource(const char* sourceName) {
  if (sourceName == nullptr || *sourceName == '\0') {
    errno = EINVAL;
    return kInvalidEventSource;
  }
  return journalWanted() ? kJournalSource : kStderrSource;
}

bool ReportEvent(EventSourceHandle source, EventType type, u16 category, u32 eventId, const char* text) {
  if (text == nullptr) return false;
  const char* tag = type == EventType::Error ? "error" : type == EventType::Warning ? "warning" : "info";
  if (source == kJournalSource) {
    int priority = type == EventType::Error ? 3 : type == EventType::Warning ? 4 : 6;
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", eventId);
    return SendToJournal(text, priority, "hxtarrowagent",
                         {{"HXT_EVENT_ID", id}, {"HXT_CATEGORY", std::to_string(category)}});
  }
  if (source == kStderrSource) {
    writeToStderr(tag, text);
    return true;
  }
  return false;
}

void DeregisterEventSource(EventSourceHandle) {}

void OutputDebugString(const char* text) {
  if (text != nullptr) writeToStderr("debug-output", text);
}

std::string SystemErrorText(u32 code) {
  char buf[256];
  // GNU strerror_r: returns a pointer to the text, "Unknown error N" when the
  // code has none.
  const char* text = ::strerror_r(static_cast<int>(code), buf, sizeof buf);
  if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) return std::string();
  return text;
}

u32 LastSystemError() {
  return static_cast<u32>(errno);
}

}  // namespace hxt::platform
