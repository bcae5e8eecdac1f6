#include "fakes/capturelogger.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/eventviewerlogger.h"

namespace hxt::test {

bool CCaptureLogger::Write(u32 level, u8 category, const char* text) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.push_back({level, category, text ? text : ""});
  return true;
}

std::string CCaptureLogger::GetErrorText(u32 code) {
  CEventViewerLogger real(false);
  return real.GetErrorText(code);
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

ScopedCaptureLog::~ScopedCaptureLog() { CAppLog::releaseInstance(); }

std::string MessageOf(const LogRecord& record) {
  if (record.category != LOG_CATEGORY_FUNCTION) return record.text;
  std::size_t first = record.text.find('\n');
  if (first == std::string::npos) return record.text;
  std::size_t second = record.text.find('\n', first + 1);
  if (second == std::string::npos) return record.text;
  return record.text.substr(second + 1);
}

std::vector<std::string> ScopedCaptureLog::Messages() const {
  std::vector<std::string> out;
  for (const auto& r : Records()) out.push_back(MessageOf(r));
  return out;
}

std::vector<std::string> ScopedCaptureLog::Messages(u32 level) const {
  std::vector<std::string> out;
  for (const auto& r : Records())
    if (r.level == level) out.push_back(MessageOf(r));
  return out;
}

bool ScopedCaptureLog::Has(const std::string& message) const { return Count(message) > 0; }

bool ScopedCaptureLog::Has(u32 level, const std::string& message) const {
  for (const auto& r : Records())
    if (r.level == level && MessageOf(r) == message) return true;
  return false;
}

std::size_t ScopedCaptureLog::Count(const std::string& message) const {
  std::size_t n = 0;
  for (const auto& r : Records())
    if (MessageOf(r) == message) ++n;
  return n;
}

std::string ScopedCaptureLog::Dump() const {
  std::string out;
  for (const auto& r : Records()) out += "[" + std::to_string(r.level) + "] " + r.text + "\n";
  return out;
}

}  // namespace hxt::test
