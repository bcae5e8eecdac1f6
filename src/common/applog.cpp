#include "common/applog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include <boost/filesystem.hpp>

#include "common/eventlog.h"
#include "common/eventviewerlogger.h"
#include "common/velmorautils.h"

namespace hxt {

namespace {

u32 currentThreadId() {
  return platform::CurrentThreadId();
}

// vsnprintf into a fixed buffer: text beyond size - 1 characters is cut off.
void formatInto(char* buffer, std::size_t size, const char* format, va_list args) {
  int n = std::vsnprintf(buffer, size, format, args);
  if (n < 0) buffer[0] = '\0';
}

void formatInto(char* buffer, std::size_t size, const char* format, ...) HXT_PRINTF_FORMAT(3, 4);
void formatInto(char* buffer, std::size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  formatInto(buffer, size, format, args);
  va_end(args);
}

bool suppressed(const LoggerHandle& logger, u32 level) {
  if (!logger) return true;
  return level == LOG_LEVEL_DEBUG && !logger->verbose();
}

}  // namespace

CAppLog::CAppLog(bool& ok) {
  ok = false;
  std::string profile;
  if (!CVelmoraUtils::GetProfilePath(profile)) return;
  boost::system::error_code ec;
  verbose_ = boost::filesystem::is_regular_file(profile + "/" + kVerboseMarkerFileName, ec);
  auto sink = std::make_unique<CEventViewerLogger>(verbose_);
  ok = sink->Open();
  sink_ = std::move(sink);
}

CAppLog::CAppLog(std::unique_ptr<ILogger> sink, bool verbose) : sink_(std::move(sink)), verbose_(verbose) {}

CAppLog::~CAppLog() = default;

bool CAppLog::createSingletonInstance() {
  if (!CSingletonSlot<CAppLog>::IsFree()) return false;
  bool ok = false;
  auto* log = new CAppLog(ok);
  if (!ok || !registerInstance(log)) {
    delete log;
    return false;
  }
  return true;
}

bool CAppLog::registerInstance(CAppLog* log) {
  return CSingletonSlot<CAppLog>::Register(log);
}

void CAppLog::releaseInstance() {
  CAppLog* log = CSingletonSlot<CAppLog>::Peek();
  CSingletonSlot<CAppLog>::Release(log);
}

void Log(const LoggerHandle& logger, u32 level, const char* format, ...) {
  if (suppressed(logger, level) || logger->sink() == nullptr) return;
  char text[kLogMessageBufferSize];
  va_list args;
  va_start(args, format);
  formatInto(text, sizeof text, format, args);
  va_end(args);
  logger->sink()->Write(level, LOG_CATEGORY_PLAIN, text);
}

// The caller's format is embedded in a header and the header is then used as
// the format for the caller's arguments, so '%' in function or file names
// would be misread; those names are compile-time constants without '%'.
void LogFunction(const LoggerHandle& logger, u32 level, const char* file, u32 line, const char* function,
                 const char* format, ...) {
  if (suppressed(logger, level) || logger->sink() == nullptr) return;
  char header[kLogHeaderBufferSize];
  formatInto(header, sizeof header, "Function: %s (%s:%u)\nThread: %u\n%s", function, file, line,
             currentThreadId(), format);
  char text[kLogMessageBufferSize];
  va_list args;
  va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  formatInto(text, sizeof text, header, args);
#pragma GCC diagnostic pop
  va_end(args);
  logger->sink()->Write(level, LOG_CATEGORY_FUNCTION, text);
}

void LogFunctionCode(const LoggerHandle& logger, u32 level, i32 code, bool isSystemError,
                     const char* calledFunction, const char* file, u32 line, const char* function,
                     const char* message, ...) {
  if (suppressed(logger, level) || logger->sink() == nullptr) return;
  std::string suffix;
  if (isSystemError) suffix = " - " + logger->sink()->GetErrorText(static_cast<u32>(code));
  char text[kLogMessageBufferSize];
  if (message == nullptr) {
    formatInto(text, sizeof text, "Function: %s (%s:%u)\nThread: %u\n%s returned code %d%s", function, file,
               line, currentThreadId(), calledFunction, code, suffix.c_str());
  } else {
    char header[kLogHeaderBufferSize];
    formatInto(header, sizeof header, "Function: %s (%s:%u)\nThread: %u\n%s returned code %d%s\n%s", function,
               file, line, currentThreadId(), calledFunction, code, suffix.c_str(), message);
    va_list args;
    va_start(args, message);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    formatInto(text, sizeof text, header, args);
#pragma GCC diagnostic pop
    va_end(args);
  }
  logger->sink()->Write(level, LOG_CATEGORY_FUNCTION, text);
}

bool IsVerboseLogging(const LoggerHandle& logger) {
  return logger && logger->verbose();
}

}  // namespace hxt
