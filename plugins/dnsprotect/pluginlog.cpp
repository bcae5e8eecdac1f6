#include "pluginlog.h"

#include <cstdio>
#include <mutex>

namespace hxt::dnsprotect {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void(LogLevel, const std::string&)>& Sink() {
  static std::function<void(LogLevel, const std::string&)> sink;
  return sink;
}

}  // namespace

void PluginLog(LogLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) {
    Sink()(level, text);
    return;
  }
  static const char* const kNames[] = {"info", "warning", "error"};
  std::fprintf(stderr, "dnsprotect %s: %s\n", kNames[static_cast<int>(level)], text.c_str());
}

void SetPluginLogSink(std::function<void(LogLevel, const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace hxt::dnsprotect
