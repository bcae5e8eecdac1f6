// The plug-in's own log. The service gives a plug-in no logger, so lines go
// to standard error (the journal, under systemd), or to a sink a test sets.
#pragma once

#include <functional>
#include <string>

namespace hxt::dnsprotect {

enum class LogLevel { Info, Warning, Error };

void PluginLog(LogLevel level, const std::string& text);
// Replaces the sink; an empty function restores standard error.
void SetPluginLogSink(std::function<void(LogLevel, const std::string&)> sink);

}  // namespace hxt::dnsprotect
