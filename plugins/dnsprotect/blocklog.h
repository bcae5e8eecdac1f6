// The log of blocked queries: one JSON object a line, in the profile folder.
// When the file would grow past its bound it is renamed to "<name>.1"
// (replacing the previous one) and a new file begins, so at most twice the
// bound is kept.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace hxt::dnsprotect {

class CBlockLog {
 public:
  CBlockLog(std::string path, std::uint64_t maxBytes);
  ~CBlockLog();
  CBlockLog(const CBlockLog&) = delete;
  CBlockLog& operator=(const CBlockLog&) = delete;

  void Record(const std::string& name, std::uint16_t type, std::uint64_t millisecondsSince1970);
  const std::string& path() const { return path_; }

 private:
  bool openLocked();

  const std::string path_;
  const std::uint64_t maxBytes_;
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

// `text` as the inside of a JSON string.
std::string JsonEscape(const std::string& text);

}  // namespace hxt::dnsprotect
