// Answers from upstream, kept for their TTL (clamped to a floor and a
// ceiling), negative answers for their SOA's negative TTL, bounded in
// entries and bytes with the least recently used entry evicted first. A hit
// is answered with the TTLs lowered by the time the answer spent here. Keys
// come from CacheKey (name, type, class, DO, CD); answers are kept without
// OPT record, for FinishAnswer to make each client's own.
//
// Serving stale answers (RFC 8767, off unless the profile turns it on): an
// expired answer stays, within the same entry and byte bounds, for at most
// maxStale past its expiry. Lookup never returns it; LookupStale does, for a
// query every upstream failed, with TTLs of kStaleTtl, so that a roaming
// machine keeps the names it used while its resolvers are out of reach.
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
  std::chrono::seconds maxStale{0};  // 0: expired answers are dropped
};

class CAnswerCache {
 public:
  using Clock = std::chrono::steady_clock;
  // The stale window the profile's serveStale turns on, and the TTL that
  // stale answers carry (both as RFC 8767 recommends).
  static constexpr std::chrono::seconds kMaxStale{86400};
  static constexpr std::uint32_t kStaleTtl = 30;

  explicit CAnswerCache(CacheLimits limits = {}) : limits_(limits) {}

  // Fills `answer` on a hit, its TTLs aged.
  bool Lookup(const std::string& key, std::string& answer, Clock::time_point now = Clock::now());
  // Fills `answer` with an expired answer still within maxStale, every TTL
  // kStaleTtl.
  bool LookupStale(const std::string& key, std::string& answer, Clock::time_point now = Clock::now());
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
  // The entry under `key`, made the most recently used; end() when there is
  // none or it is past the stale window (then erased).
  std::list<Entry>::iterator findLocked(const std::string& key, Clock::time_point now);

  const CacheLimits limits_;
  mutable std::mutex mutex_;
  std::list<Entry> lru_;  // most recently used first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
  std::size_t bytes_ = 0;
};

}  // namespace hxt::dnsprotect
