// The log sink: the platform event log under the source "hxtarrowagent" and,
// with verbose logging on, the debugger output as well.
#pragma once

#include <string>

#include "common/applog.h"
#include "common/eventlog.h"

namespace hxt {

constexpr const char* kEventSourceName = "hxtarrowagent";
constexpr u32 kEventId = 0x45010100;
constexpr const char* kUnknownErrorText = "UNKNOWN_WINDOWS_ERROR_CODE";

class CEventViewerLogger : public ILogger {
 public:
  explicit CEventViewerLogger(bool verbose);
  ~CEventViewerLogger() override;

  // Registers the event source; false (and a note on the debugger output) on failure.
  bool Open();

  bool Write(u32 level, u8 category, const char* text) override;
  std::string GetErrorText(u32 code) override;

 private:
  bool verbose_;
  platform::EventSourceHandle eventSource_ = platform::kInvalidEventSource;
  u32 eventId_ = kEventId;
};

}  // namespace hxt
