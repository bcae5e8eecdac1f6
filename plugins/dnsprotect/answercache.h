// Answers from upstream, kept for their TTL (clamped to a floor and a
// ceiling), negative answers for their SOA's negative TTL, bounded in
// entries and bytes with the least recently used entry evicted first. A hit
// is answered with the TTLs lowered by the time the answer spent here. Keys
// come from CacheKey (name, type, class, DO, CD); answers are kept without
// OPT record, for FinishAnswer to make each client's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dnsmessage.h"

namespace hxt::dnsprotect {

struct CacheLimits {
  std::size_t maxEntries = 10000;
  std::size_t maxBytes = 8u << 20;
  std::uint32_t minTtl = 5;
  std::uint32_t maxTtl = 86400;
  std::uint32_t maxNegativeTtl = 3600;
};

class CAnswerCache {
 public:
  using Clock = std::chrono::steady_clock;
  explicit CAnswerCache(CacheLimits limits = {}) : limits_(limits) {}

  // Fills `answer` on a hit, its TTLs aged.
  bool Lookup(const std::string& key, std::string& answer, Clock::time_point now = Clock::now());
  void Store(const std::string& key, const std::string& answer, Clock::time_point now = Clock::now());
  void Clear();
  // Drops the negative answers (NXDOMAIN, NODATA): on another network a
  // name may well exist.
  void DropNegative();
  std::size_t entries() const;
  std::size_t bytes() const;

 private:
  struct Entry {
    std::string key;
    std::string answer;
    Clock::time_point stored;
    Clock::time_point expires;
  };
  void eraseLocked(std::list<Entry>::iterator entry);

  const CacheLimits limits_;
  mutable std::mutex mutex_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  std::size_t bytes_ = 0;
};

}  // namespace hxt::dnsprotect
