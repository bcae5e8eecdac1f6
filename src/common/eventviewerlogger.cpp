#include "common/eventviewerlogger.h"

#include <string>

namespace hxt {

CEventViewerLogger::CEventViewerLogger(bool verbose) : verbose_(verbose) {}

CEventViewerLogger::~CEventViewerLogger() {
  if (eventSource_ != 0 && eventSource_ != platform::kInvalidEventSource) {
    platform::DeregisterEventSource(eventSource_);
  }
}

bool CEventViewerLogger::Open() {
  eventSource_ = platform::RegisterEventSource(kEventSourceName);
  if (eventSource_ == platform::kInvalidEventSource || eventSource_ == 0) {
    std::string note = "RegisterEventSourceA failed - " + std::to_string(platform::LastSystemError());
    platform::OutputDebugString(note.c_str());
    return false;
  }
  return true;
}

bool CEventViewerLogger::Write(u32 level, u8 category, const char* text) {
  if (text == nullptr) return false;
  if (level == LOG_LEVEL_DEBUG && !verbose_) return false;
  if (verbose_) platform::OutputDebugString(text);

  platform::EventType type;
  switch (level) {
    case LOG_LEVEL_INFO:
      type = platform::EventType::Information;
      break;
    case LOG_LEVEL_WARNING:
      type = platform::EventType::Warning;
      break;
    case LOG_LEVEL_ERROR:
      type = platform::EventType::Error;
      break;
    default:
      return false;  // debug text never reaches the event log
  }
  return platform::ReportEvent(eventSource_, type, category, eventId_, text);
}

std::string CEventViewerLogger::GetErrorText(u32 code) {
  if (code == 0) return std::string();
  std::string text = platform::SystemErrorText(code);
  return text.empty() ? std::string(kUnknownErrorText) : text;
}

}  // namespace hxt
