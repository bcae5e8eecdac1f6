#include "pluginmetrics.h"

#include <cstdio>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#endif

namespace hxt::dnsprotect {

void CPluginMetrics::UpstreamTook(std::chrono::steady_clock::duration took) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  const double seconds = static_cast<double>(micros) / 1e6;
  std::size_t bucket = 0;
  while (bucket < kLatencyBuckets.size() && seconds > kLatencyBuckets[bucket]) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  latencyMicros_.fetch_add(static_cast<std::uint64_t>(micros), std::memory_order_relaxed);
}

std::string CPluginMetrics::Text(std::size_t cacheEntries, std::size_t tlsConnects, std::size_t tlsResumed) const {
  static const char* const kSources[] = {"cache", "blocked", "blocked_alias", "upstream",
                                         "stale", "servfail", "refused"};
  std::string out =
      "# HELP hxtarrow_dns_plugin_answers_total Answers of the DNS plug-in, by where they came from.\n"
      "# TYPE hxtarrow_dns_plugin_answers_total counter\n";
  for (std::size_t s = 0; s < static_cast<std::size_t>(Source::kCount); ++s) {
    for (bool tcp : {false, true}) {
      out += std::string("hxtarrow_dns_plugin_answers_total{source=\"") + kSources[s] + "\",transport=\"" +
             (tcp ? "tcp" : "udp") + "\"} " +
             std::to_string(answers_[Index(static_cast<Source>(s), tcp)].load(std::memory_order_relaxed)) + "\n";
    }
  }
  out +=
      "# HELP hxtarrow_dns_plugin_upstream_latency_seconds Time from asking the upstreams to their answer "
      "or the last failure, per upstream query.\n"
      "# TYPE hxtarrow_dns_plugin_upstream_latency_seconds histogram\n";
  std::uint64_t count = 0;
  char le[32];
  for (std::size_t b = 0; b <= kLatencyBuckets.size(); ++b) {
    count += buckets_[b].load(std::memory_order_relaxed);
    if (b < kLatencyBuckets.size()) {
      std::snprintf(le, sizeof le, "%g", kLatencyBuckets[b]);
    } else {
      std::snprintf(le, sizeof le, "+Inf");
    }
    out += std::string("hxtarrow_dns_plugin_upstream_latency_seconds_bucket{le=\"") + le + "\"} " +
           std::to_string(count) + "\n";
  }
  char sum[64];
  std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(latencyMicros_.load(std::memory_order_relaxed)) / 1e6);
  out += std::string("hxtarrow_dns_plugin_upstream_latency_seconds_sum ") + sum + "\n" +
         "hxtarrow_dns_plugin_upstream_latency_seconds_count " + std::to_string(count) + "\n" +
         "# HELP hxtarrow_dns_plugin_cache_entries Answers in the DNS plug-in's cache.\n"
         "# TYPE hxtarrow_dns_plugin_cache_entries gauge\n"
         "hxtarrow_dns_plugin_cache_entries " +
         std::to_string(cacheEntries) + "\n" +
         "# HELP hxtarrow_dns_plugin_tls_connections_total TLS connections made to the upstreams.\n"
         "# TYPE hxtarrow_dns_plugin_tls_connections_total counter\n"
         "hxtarrow_dns_plugin_tls_connections_total " +
         std::to_string(tlsConnects) + "\n" +
         "# HELP hxtarrow_dns_plugin_tls_resumed_total TLS connections to the upstreams that resumed a session.\n"
         "# TYPE hxtarrow_dns_plugin_tls_resumed_total counter\n"
         "hxtarrow_dns_plugin_tls_resumed_total " +
         std::to_string(tlsResumed) + "\n";
  return out;
}

bool CPluginMetrics::WriteFile(const std::string& path, const std::string& text, std::string& error) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      error = "cannot write " + temporary;
      return false;
    }
  }
#ifdef _WIN32
  const bool moved = ::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
  const bool moved = std::rename(temporary.c_str(), path.c_str()) == 0;
#endif
  if (!moved) {
    std::remove(temporary.c_str());
    error = "cannot replace " + path;
    return false;
  }
  return true;
}

}  // namespace hxt::dnsprotect
