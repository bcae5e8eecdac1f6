#include "blocklog.h"

#include <cstdio>

#include "pluginlog.h"

namespace hxt::dnsprotect {

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

CBlockLog::CBlockLog(std::string path, std::uint64_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {}

CBlockLog::~CBlockLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool CBlockLog::openLocked() {
  file_ = std::fopen(path_.c_str(), "ab");
  if (file_ == nullptr) {
    PluginLog(LogLevel::Warning, "cannot open the block log " + path_);
    return false;
  }
  std::fseek(file_, 0, SEEK_END);
  size_ = static_cast<std::uint64_t>(std::ftell(file_));
  return true;
}

void CBlockLog::Record(const std::string& name, std::uint16_t type, std::uint64_t millisecondsSince1970) {
  const std::string line = "{\"time_ms\":" + std::to_string(millisecondsSince1970) + ",\"name\":\"" +
                           JsonEscape(name) + "\",\"type\":" + std::to_string(type) + "}\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr && !openLocked()) return;
  if (size_ > 0 && size_ + line.size() > maxBytes_) {
    std::fclose(file_);
    file_ = nullptr;
    std::rename(path_.c_str(), (path_ + ".1").c_str());
    if (!openLocked()) return;
  }
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
  size_ += line.size();
}

}  // namespace hxt::dnsprotect
