// What the DNS plug-in did, counted for a fleet's monitoring: answers by
// their source and transport, and how long the upstreams took. The service's
// statistics carry only requests and responses, so the plug-in writes these
// itself, as a file in the Prometheus text format for node_exporter's
// textfile collector, when the profile names one.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace hxt::dnsprotect {

class CPluginMetrics {
 public:
  enum class Source { Cache, Blocked, BlockedAlias, Upstream, Stale, ServFail, Refused, kCount };
  static constexpr std::array<double, 11> kLatencyBuckets{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                          0.1,   0.25,   0.5,   1,    2.5};

  // Any thread.
  void Answered(Source source, bool tcp) { answers_[Index(source, tcp)].fetch_add(1, std::memory_order_relaxed); }
  void UpstreamTook(std::chrono::steady_clock::duration took);

  // The exposition; `cacheEntries` as a gauge, the TLS connections made to
  // the upstreams and how many of them resumed a session as counters.
  std::string Text(std::size_t cacheEntries, std::size_t tlsConnects, std::size_t tlsResumed) const;
  // Replaces `path` by `text` through a temporary file beside it, so that a
  // reader never sees half a file; false with the reason otherwise.
  static bool WriteFile(const std::string& path, const std::string& text, std::string& error);

 private:
  static std::size_t Index(Source source, bool tcp) { return static_cast<std::size_t>(source) * 2 + (tcp ? 1 : 0); }

  std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(Source::kCount) * 2> answers_{};
  std::array<std::atomic<std::uint64_t>, kLatencyBuckets.size() + 1> buckets_{};  // the last: above all
  std::atomic<std::uint64_t> latencyMicros_{0};
};

}  // namespace hxt::dnsprotect
