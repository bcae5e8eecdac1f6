#include "daemon/resolversource.h"

#include <fstream>
#include <sstream>

#include "common/applog.h"

namespace hxt::sockfilter {

namespace {
constexpr const char* kSource = "CResolverSource";

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}
}  // namespace

CResolverSource::CResolverSource(const SockFilterConfig& config)
    : config_(config), resolvers_(config.resolvers) {
  if (!config_.resolvConfPath.empty()) {
    // The configuration read the file already; remember what it looked like.
    seenValid_ = ::stat(config_.resolvConfPath.c_str(), &seen_) == 0;
    nextCheck_ = std::chrono::steady_clock::now() + config_.resolvConfCheckInterval;
  }
}

bool CResolverSource::fileChanged() {
  struct stat now {};
  bool exists = ::stat(config_.resolvConfPath.c_str(), &now) == 0;
  bool changed = exists != seenValid_ || (exists && !sameFile(now, seen_));
  seen_ = now;
  seenValid_ = exists;
  return changed;
}

const std::vector<boost::asio::ip::udp::endpoint>& CResolverSource::Current() {
  if (config_.resolvConfPath.empty()) return resolvers_;
  auto now = std::chrono::steady_clock::now();
  if (now < nextCheck_) return resolvers_;
  nextCheck_ = now + config_.resolvConfCheckInterval;
  if (!fileChanged()) return resolvers_;
  std::vector<boost::asio::ip::udp::endpoint> stubs;
  if (config_.stub4) stubs.push_back(*config_.stub4);
  if (config_.stub6) stubs.push_back(*config_.stub6);
  std::ifstream in(config_.resolvConfPath);
  std::stringstream text;
  text << in.rdbuf();
  auto fresh = ResolversFromResolvConf(text.str(), stubs, config_.resolvConfPort);
  if (fresh != resolvers_) {
    resolvers_ = std::move(fresh);
    LogState(true);
  }
  return resolvers_;
}

void CResolverSource::LogState(bool changed) const {
  if (resolvers_.empty()) {
    HXT_LOGF(LOG_LEVEL_ERROR, kSource,
             "NO PASS-THROUGH RESOLVER%s: every query that is not redirected gets SERVFAIL; %s",
             config_.resolvConfPath.empty() ? "" : (" in " + config_.resolvConfPath).c_str(),
             config_.resolvConfPath.empty()
                 ? "configure PassThroughResolvers"
                 : "it names only the stub itself or nothing: record the machine's resolvers in "
                   "PassThroughResolvers");
    return;
  }
  std::string list;
  for (const auto& resolver : resolvers_) list += (list.empty() ? "" : ", ") + EndpointText(resolver);
  HXT_LOGF(LOG_LEVEL_INFO, kSource, "pass-through resolvers%s: %s%s%s", changed ? " changed" : "",
           list.c_str(), config_.resolvConfPath.empty() ? "" : " from ", config_.resolvConfPath.c_str());
}

}  // namespace hxt::sockfilter
