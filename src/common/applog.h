// The process-wide application log.
//
// `CAppLog` formats messages and hands the finished text to its sink (an
// `ILogger`). It is a reference-counted singleton: the service's main creates
// it before anything else, every call site takes a `CInstanceSmartPtr` for the
// duration of one call, and logging is a no-op while no logger is registered.
// Any thread may log; the logger keeps no mutable state after creation.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/hxttypes.h"
#include "common/singleton.h"

namespace hxt {

enum LogLevel : u32 {
  LOG_LEVEL_INFO = 0,
  LOG_LEVEL_DEBUG = 1,  // written only when verbose logging is on
  LOG_LEVEL_WARNING = 2,
  LOG_LEVEL_ERROR = 3,
};

// Category of a record: 0 for plain `Log`, 1 for the forms with a function header.
enum LogCategory : u8 {
  LOG_CATEGORY_PLAIN = 0,
  LOG_CATEGORY_FUNCTION = 1,
};

constexpr std::size_t kLogHeaderBufferSize = 2048;
constexpr std::size_t kLogMessageBufferSize = 3072;
constexpr const char* kVerboseMarkerFileName = "verbose_logging";

// The sink behind `CAppLog`. Slot order: destructor, Write, GetErrorText.
class ILogger {
 public:
  virtual ~ILogger() = default;
  virtual bool Write(u32 level, u8 category, const char* text) = 0;
  virtual std::string GetErrorText(u32 code) = 0;
};

class CAppLog {
 public:
  // Production construction: verbose from the marker file in the profile
  // directory, the event-log sink. `ok` is false when the profile directory is
  // unknown or the event source could not be registered.
  explicit CAppLog(bool& ok);
  // Construction with a given sink (tests, tools). Takes ownership of `sink`.
  CAppLog(std::unique_ptr<ILogger> sink, bool verbose);
  virtual ~CAppLog();

  CAppLog(const CAppLog&) = delete;
  CAppLog& operator=(const CAppLog&) = delete;

  // Creates and registers the singleton. False when one is registered already
  // or construction failed (the half-built logger is deleted).
  static bool createSingletonInstance();
  // Registers an already built logger; on failure the caller keeps it.
  static bool registerInstance(CAppLog* log);
  // Drops the creator's reference taken by createSingletonInstance/registerInstance.
  static void releaseInstance();

  bool verbose() const { return verbose_; }
  ILogger* sink() const { return sink_.get(); }

 private:
  std::unique_ptr<ILogger> sink_;
  bool verbose_ = false;
};

using LoggerHandle = CInstanceSmartPtr<CAppLog>;

// Format checking of the printf-style logging calls. mingw's C99 printf
// (__USE_MINGW_ANSI_STDIO) is checked as GNU printf, not as the system's.
#ifdef __MINGW32__
#define HXT_PRINTF_FORMAT(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define HXT_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

void Log(const LoggerHandle& logger, u32 level, const char* format, ...) HXT_PRINTF_FORMAT(3, 4);

void LogFunction(const LoggerHandle& logger, u32 level, const char* file, u32 line, const char* function,
                 const char* format, ...) HXT_PRINTF_FORMAT(6, 7);

// Reports that `calledFunction` returned `code`. With `isSystemError` the
// platform's text for the code is appended. `message` may be null.
void LogFunctionCode(const LoggerHandle& logger, u32 level, i32 code, bool isSystemError,
                     const char* calledFunction, const char* file, u32 line, const char* function,
                     const char* message, ...) HXT_PRINTF_FORMAT(9, 10);

bool IsVerboseLogging(const LoggerHandle& logger);

// Classic 16-bytes-a-line hexadecimal dump, closed by the total length.
std::string HexDump(const unsigned char* data, u32 length);

// Base name of a compile-time source path (after the last '/' or '\').
constexpr const char* SourceBaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

}  // namespace hxt

// One-line call sites: the file base name and line are filled in here.
#define HXT_LOG(level, ...)                       \
  do {                                            \
    ::hxt::LoggerHandle hxtLogger_;               \
    ::hxt::Log(hxtLogger_, (level), __VA_ARGS__); \
  } while (0)

#define HXT_LOGF(level, function, ...)                                                             \
  do {                                                                                             \
    ::hxt::LoggerHandle hxtLogger_;                                                                \
    ::hxt::LogFunction(hxtLogger_, (level), ::hxt::SourceBaseName(__FILE__), __LINE__, (function), \
                       __VA_ARGS__);                                                               \
  } while (0)

// HXT_LOG_CODE(level, code, isSystemError, calledFunction, function, message-or-null, args...)
#define HXT_LOG_CODE(level, code, isSystemError, calledFunction, function, ...)                 \
  do {                                                                                          \
    ::hxt::LoggerHandle hxtLogger_;                                                             \
    ::hxt::LogFunctionCode(hxtLogger_, (level), (code), (isSystemError), (calledFunction),      \
                           ::hxt::SourceBaseName(__FILE__), __LINE__, (function), __VA_ARGS__); \
  } while (0)
