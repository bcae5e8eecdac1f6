#include "daemon/resolversource.h"

#include <algorithm>

#include "common/applog.h"

namespace hxt::sockfilter {

namespace {
constexpr const char* kSource = "CResolverSource";
}  // namespace

CResolverSource::CResolverSource(const SockFilterConfig& config)
    : config_(config), resolvers_(config.resolvers) {
  if (!config_.resolvConfPath.empty()) {
    // Watching first: a change during the first read is not lost.
    watch_ = watchChanges();
    seen_ = fingerprint();
    // Linux: the configuration read the file already. Windows: the list is
    // the adapters', which only this class reads.
    if (resolvers_.empty()) resolvers_ = readMachineList();
    nextCheck_ = std::chrono::steady_clock::now() + checkInterval();
  }
}

std::chrono::milliseconds CResolverSource::checkInterval() const {
  if (watch_ == nullptr) return config_.resolvConfCheckInterval;
  return std::max<std::chrono::milliseconds>(config_.resolvConfCheckInterval, kWatchedCheckInterval);
}

std::vector<boost::asio::ip::udp::endpoint> CResolverSource::stubs() const {
  std::vector<boost::asio::ip::udp::endpoint> stubs;
  if (config_.stub4) stubs.push_back(*config_.stub4);
  if (config_.stub6) stubs.push_back(*config_.stub6);
  return stubs;
}

const std::vector<boost::asio::ip::udp::endpoint>& CResolverSource::Current() {
  if (config_.resolvConfPath.empty()) return resolvers_;
  auto now = std::chrono::steady_clock::now();
  const bool notified = changed_->exchange(false);
  if (!notified && now < nextCheck_) return resolvers_;
  nextCheck_ = now + checkInterval();
  std::string current = fingerprint();
  if (current == seen_) return resolvers_;
  seen_ = std::move(current);
  auto fresh = readMachineList();
  if (fresh != resolvers_) {
    resolvers_ = std::move(fresh);
    LogState(true);
  }
  return resolvers_;
}

void CResolverSource::LogState(bool changed) const {
  const std::string source = config_.resolvConfPath.empty() ? std::string() : sourceName();
  if (resolvers_.empty()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kSource,
             "NO PASS-THROUGH RESOLVER%s: every query that is not redirected gets SERVFAIL; %s",
             source.empty() ? "" : (" in " + source).c_str(),
             source.empty() ? "configure PassThroughResolvers"
                            : "it names only the stub itself or nothing: record the machine's resolvers in "
                              "PassThroughResolvers");
    return;
  }
  std::string list;
  for (const auto& resolver : resolvers_) list += (list.empty() ? "" : ", ") + EndpointText(resolver);
  HXT_LOGF(LOG_LEVEL_INFO, kSource, "pass-through resolvers%s: %s%s%s", changed ? " changed" : "",
           list.c_str(), source.empty() ? "" : " from ", source.c_str());
}

}  // namespace hxt::sockfilter
