#include "fakes/capturelogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "common/eventviewerlogger.h"

namespace hxt::test {

bool CCaptureLogger::Write(u32 level, u8 category, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back({level, category, text ? text : ""});
  return true;
}

std::string CCaptureLogger::GetErrorText(u32 code) {
  return CEventViewerLogger(false).GetErrorText(code);
}

std::vector<LogRecord> CCaptureLogger::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

void CCaptureLogger::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

ScopedCaptureLog::ScopedCaptureLog(bool verbose) {
  auto sink = std::make_unique<CCaptureLogger>();
  sink_ = sink.get();
  auto* log = new CAppLog(std::move(sink), verbose);
  if (!CAppLog::registerInstance(log)) {
    delete log;
    ADD_FAILURE() << "a logger is already registered";
  }
}

std::string MessageOf(const LogRecord& record) {
  const std::size_t first = record.text.find('\n');
  const std::size_t second = first == std::string::npos ? first : record.text.find('\n', first + 1);
  if (record.category != LOG_CATEGORY_FUNCTION || second == std::string::npos) return record.text;
  return record.text.substr(second + 1);
}

std::vector<std::string> ScopedCaptureLog::Messages(u32 level) const {
  std::vector<std::string> out;
  for (const auto& r : Records())
    if (level == kAnyLevel || r.level == level) out.push_back(MessageOf(r));
  return out;
}

bool ScopedCaptureLog::Has(u32 level, const std::string& message) const {
  const auto messages = Messages(level);
  return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::size_t ScopedCaptureLog::Count(const std::string& message) const {
  const auto messages = Messages();
  return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
}

std::string ScopedCaptureLog::Dump() const {
  std::string out;
  for (const auto& r : Records()) out += "[" + std::to_string(r.level) + "] " + r.text + "\n";
  return out;
}

}  // namespace hxt::test
