#include "answercache.h"

#include <algorithm>

namespace hxt::dnsprotect {

void CAnswerCache::eraseLocked(std::list<Entry>::iterator entry) {
  bytes_ -= entry->key.size() + entry->answer.size();
  index_.erase(entry->key);
  lru_.erase(entry);
}

std::list<CAnswerCache::Entry>::iterator CAnswerCache::findLocked(const std::string& key,
                                                                  Clock::time_point now) {
  auto found = index_.find(key);
  if (found == index_.end()) return lru_.end();
  auto entry = found->second;
  if (now >= entry->expires + limits_.maxStale) {
    eraseLocked(entry);
    return lru_.end();
  }
  lru_.splice(lru_.begin(), lru_, entry);
  return entry;
}

bool CAnswerCache::Lookup(const std::string& key, std::string& answer, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto entry = findLocked(key, now);
  if (entry == lru_.end() || now >= entry->expires) return false;
  answer = entry->answer;
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - entry->stored).count();
  AgeTtls(answer, static_cast<std::uint32_t>(elapsed));
  return true;
}

bool CAnswerCache::LookupStale(const std::string& key, std::string& answer, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto entry = findLocked(key, now);
  if (entry == lru_.end() || now < entry->expires) return false;
  answer = entry->answer;
  SetTtls(answer, kStaleTtl);
  return true;
}

void CAnswerCache::Store(const std::string& key, const std::string& answer, Clock::time_point now) {
  const CacheInfo info = CacheInfoOf(answer);
  if (!info.cacheable) return;
  std::uint32_t ttl = std::min(info.ttl, info.negative ? limits_.maxNegativeTtl : limits_.maxTtl);
  ttl = std::max(ttl, limits_.minTtl);
  // An answer whose own TTL is 0 is for this transaction only: keeping it
  // would only push a useful entry out. (One that the ceiling cuts to 0 is
  // kept, already expired, for serving stale.)
  if (info.ttl == 0 && limits_.minTtl == 0) return;
  const std::size_t size = key.size() + answer.size();
  if (size > limits_.maxBytes || limits_.maxEntries == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto found = index_.find(key); found != index_.end()) eraseLocked(found->second);
  // Answers past their stale window leave from the unused end first.
  while (!lru_.empty() && now >= std::prev(lru_.end())->expires + limits_.maxStale) {
    eraseLocked(std::prev(lru_.end()));
  }
  while (!lru_.empty() && (lru_.size() >= limits_.maxEntries || bytes_ + size > limits_.maxBytes)) {
    eraseLocked(std::prev(lru_.end()));
  }
  lru_.push_front(Entry{key, answer, now, now + std::chrono::seconds(ttl)});
  index_.emplace(key, lru_.begin());
  bytes_ += size;
}

void CAnswerCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lru_.clear();
  index_.clear();
  bytes_ = 0;
}

void CAnswerCache::DropNegative() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto entry = lru_.begin(); entry != lru_.end();) {
    auto next = std::next(entry);
    if (CacheInfoOf(entry->answer).negative) eraseLocked(entry);
    entry = next;
  }
}

std::size_t CAnswerCache::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lru_.size();
}

std::size_t CAnswerCache::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

}  // namespace hxt::dnsprotect
