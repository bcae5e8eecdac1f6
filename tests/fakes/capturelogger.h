// A log sink that keeps every record, so tests can assert exact log lines.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/applog.h"

namespace hxt::test {

struct LogRecord {
  u32 level;
  u8 category;
  std::string text;
};

class CCaptureLogger : public ILogger {
 public:
  bool Write(u32 level, u8 category, const char* text) override;
  std::string GetErrorText(u32 code) override;

  std::vector<LogRecord> Records() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// Registers a CAppLog with a capturing sink for the scope's lifetime.
class ScopedCaptureLog {
 public:
  explicit ScopedCaptureLog(bool verbose = false);
  ~ScopedCaptureLog() { CAppLog::releaseInstance(); }

  std::vector<LogRecord> Records() const { return sink_->Records(); }
  void Clear() { sink_->Clear(); }

  // The message part (after the "Function/Thread" header) of each record of `level`, by default of all.
  static constexpr u32 kAnyLevel = ~0u;
  std::vector<std::string> Messages(u32 level = kAnyLevel) const;
  // Whether some record's message equals `message` exactly.
  bool Has(const std::string& message) const { return Count(message) > 0; }
  bool Has(u32 level, const std::string& message) const;
  std::size_t Count(const std::string& message) const;
  std::string Dump() const;  // Every record as one text, for failure output.

 private:
  CCaptureLogger* sink_;
};

// The message of a record: the text after the two header lines of the
// function forms, or the whole text of a plain record.
std::string MessageOf(const LogRecord& record);

}  // namespace hxt::test
