#include "dnsprotectplugin.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

#include <boost/asio/post.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "captiveportal.h"
#include "dns64.h"
#include "dnsmessage.h"
#include "pluginlog.h"

namespace hxt::dnsprotect {

namespace asio = boost::asio;

namespace {

constexpr u32 kErrorBadQuery = 2;
constexpr u32 kErrorNoSession = 3;
constexpr const char* kSelf = "Velmora";
constexpr const char* kSwg = "SWG";
constexpr const char* kBlockLogName = "blocked-queries.jsonl";
constexpr std::chrono::milliseconds kNetworkProbeTimeout{1000};
constexpr std::chrono::milliseconds kPortalCheckTimeout{2000};
// Resolvers answer the probe (localhost) themselves, well within this; it is
// short so that a lost upstream shows within a second of the failed query.
constexpr std::chrono::milliseconds kConfirmProbeTimeout{500};

std::string JsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (const auto& item : items) out += (out.size() > 1 ? ",\"" : "\"") + JsonEscape(item) + "\"";
  return out + "]";
}

u64 NowMs() {
  return static_cast<u64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count());
}

bool UnderAny(const std::string& labels, const std::vector<std::string>& domains) {
  for (const auto& domain : domains) {
    if (IsAtOrBelow(labels, domain)) return true;
  }
  return false;
}

}  // namespace

bool ParseVpnDocument(const std::string& json, VpnView& out, std::string& error) {
  out = VpnView{};
  try {
    std::istringstream stream(json);
    boost::property_tree::ptree root;
    boost::property_tree::read_json(stream, root);
    out.trustedNetwork = root.get<std::string>("tnd", "") == "trusted";
    for (const char* family : {"vpn_ipv4", "vpn_ipv6"}) {
      auto tunnel = root.get_child_optional(family);
      if (!tunnel || tunnel->get<std::string>("state", "") != "connected") continue;
      if (tunnel->get<std::string>("tunnel_all_dns", "") == "true") out.tunnelAllDns = true;
      if (tunnel->get<std::string>("split_dns", "") != "true") continue;
      if (auto domains = tunnel->get_child_optional("split_dns_domains")) {
        for (const auto& domain : *domains) {
          std::string labels;
          if (TextToLabels(domain.second.data(), labels) && !labels.empty()) {
            out.splitDomains.push_back(labels);
          } else if (!domain.second.data().empty()) {
            PluginLog(LogLevel::Warning, "VPN document: split-DNS domain \"" + domain.second.data() +
                                             "\" skipped: not a domain name");
          }
        }
      }
      if (auto servers = tunnel->get_child_optional("dns")) {
        for (const auto& server : *servers) {
          UpstreamConfig config;
          if (ParseAddressPort(server.second.data(), 53, config.address, config.port)) {
            out.splitServers.push_back(config);
          }
        }
      }
    }
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

CDnsProtectPlugin::CDnsProtectPlugin(std::chrono::milliseconds answerDeadline)
    : answerDeadline_(answerDeadline) {}

CDnsProtectPlugin::~CDnsProtectPlugin() {
  stopIoThread();
}

bool CDnsProtectPlugin::SupportsInterface(const char* interfaceId, u32 version) {
  return interfaceId != nullptr && std::strcmp(interfaceId, HXT_VELMORA_PLUGIN_ID) == 0 && version == 1;
}

u32 CDnsProtectPlugin::Init(const char*, const char*, const char* profileDir, const char*, const char*,
                            IVelmoraPluginCallback* callback, IPluginMessagingCallback* messaging, void*) {
  if (callback == nullptr || profileDir == nullptr) return 1;
  callback_ = callback;
  messaging_ = messaging;
  profileDir_ = profileDir;
  return 0;
}

void CDnsProtectPlugin::Uninit() {
  stopIoThread();
  callback_ = nullptr;
  messaging_ = nullptr;
}

void CDnsProtectPlugin::startIoThread() {
  io_.restart();
  guard_.emplace(io_.get_executor());
  healthTimer_ = std::make_unique<asio::steady_timer>(io_);
  stopTimer_ = std::make_unique<asio::steady_timer>(io_);
  metricsTimer_ = std::make_unique<asio::steady_timer>(io_);
  portalTimer_ = std::make_unique<asio::steady_timer>(io_);
  thread_ = std::thread([this] {
    try {
      io_.run();
    } catch (const std::exception& e) {
      PluginLog(LogLevel::Error, std::string("I/O thread ended by an exception: ") + e.what());
    }
  });
}

void CDnsProtectPlugin::stopIoThread() {
  serving_ = false;
  if (!thread_.joinable()) return;
  // Let the loop run dry: the pool fails what is in flight, the timers stop.
  asio::post(io_, [this] {
    if (pool_) pool_->Shutdown();
    if (netWatch_) netWatch_->Close();
    healthTimer_->cancel();
    stopTimer_->cancel();
    metricsTimer_->cancel();
    portalTimer_->cancel();
  });
  guard_.reset();
  auto ended = std::async(std::launch::async, [this] { thread_.join(); });
  if (ended.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
    PluginLog(LogLevel::Warning, "I/O thread did not run dry, stopping it");
    io_.stop();
  }
  ended.wait();
  netWatch_.reset();
  pool_.reset();
  healthTimer_.reset();
  stopTimer_.reset();
  metricsTimer_.reset();
  portalTimer_.reset();
}

u32 CDnsProtectPlugin::Start() {
  if (callback_ == nullptr) return 1;
  stopIoThread();
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    sessions_.clear();
  }
  {
    std::lock_guard<std::mutex> lock(inFlightMutex_);
    inFlight_.clear();
  }
  state_.clear();
  redirect_.reset();
  stopping_ = swgStarted_ = stopReported_ = clearTextSinceCheck_ = false;
  dns64Prefix_.clear();
  dns64Checked_ = false;
  settleUntil_ = {};
  probing_ = 0;
  interference_.clear();
  canaryA_ = canaryAaaa_ = foreignA_ = foreignAaaa_ = false;
  canaryChecked_ = portal_ = portalChecking_ = false;
  portalCheckedAt_ = {};
  portalActive_ = false;
  profile_.reset();

  const std::string path = profileDir_ + "/OrgInfo.json";
  Profile profile;
  std::string error;
  std::unique_ptr<CPolicyHolder> policy;
  if (LoadProfile(path, profileDir_, profile, error)) {
    policy = std::make_unique<CPolicyHolder>(profile.blockLists, profile.allowList);
    if (!policy->Load(error))
      error = "dns.blockLists: " + error;
    else
      error.clear();
  }
  startIoThread();
  if (!error.empty()) {
    PluginLog(LogLevel::Error, "OrgInfo.json refused: " + error);
    asio::post(io_, [this, error] { sendState("disabled", "OrgInfo.json refused: " + error); });
    return 0;
  }
  PluginLog(LogLevel::Info, "profile of \"" + profile.organization +
                                "\": " + std::to_string(profile.upstreams.size()) + " upstreams, " +
                                std::to_string(policy->Current()->blocked.size()) + " blocked names");
  profile_ = profile;
  policy_ = std::move(policy);
  CacheLimits limits;
  limits.maxEntries = profile.cacheMaxEntries;
  limits.maxBytes = profile.cacheMaxBytes;
  limits.minTtl = profile.cacheMinTtl;
  limits.maxTtl = profile.cacheMaxTtl;
  if (profile.serveStale) limits.maxStale = CAnswerCache::kMaxStale;
  cache_ = std::make_unique<CAnswerCache>(limits);
  blockLog_ = std::make_unique<CBlockLog>(profileDir_ + "/" + kBlockLogName, profile.blockLogMaxBytes);
  std::vector<UpstreamConfig> upstreams = profile.upstreams;
  if (profile.strictTls) {
    upstreams.erase(
        std::remove_if(upstreams.begin(), upstreams.end(), [](const auto& up) { return !up.tls; }),
        upstreams.end());
  }
  pool_ = std::make_unique<CUpstreamPool>(io_, std::move(upstreams),
                                          std::chrono::milliseconds(profile.tlsIdleTimeoutMs));
  pool_->SetClearTextListener([this] {
    // Opportunistic use: the first answer in clear text ends "encrypted".
    clearTextSinceCheck_ = true;
    const char* why = "an answer came in clear text";
    if (state_ == "encrypted") sendState("protected", why);
    if (state_ == "encrypted_limited_dns64_detected") sendState("protected_limited_dns64_detected", why);
  });
  pool_->SetForeignAnswerListener([this](std::uint16_t type) {
    if (stopping_ || !pool_ || (type != kTypeA && type != kTypeAaaa)) return;
    bool& seen = type == kTypeA ? foreignA_ : foreignAaaa_;
    if (seen) return;
    seen = true;
    updateInterference(std::string("interference: a plain-DNS answer (") + (type == kTypeA ? "A" : "AAAA") +
                       ") came from an address that was not asked; plain upstreams set aside");
  });
  pool_->SetHealthListener([this](const std::string& what) {
    // A query found an upstream gone (or back): the state follows within the
    // second, not at the next health check. A probe reports as a whole when
    // it ends.
    if (probing_ > 0) return;
    asio::post(io_, [this, what] {
      if (probing_ > 0 || stopping_ || !profile_ || !pool_) return;
      if (pool_->AnyHealthy()) return evaluate(what);
      // One slow answer is no reason to give up protection: a quick probe
      // of every upstream confirms that nobody answers.
      ++probing_;
      pool_->Probe(kConfirmProbeTimeout, [this, what] {
        --probing_;
        if (!stopping_) evaluate(what + ", and no upstream answers a probe");
      });
    });
  });
  serving_ = true;
  asio::post(io_, [this] {
    if (profile_->swgEnabled && messaging_ != nullptr) {
      const std::string payload = "{\"version\":\"1\",\"proxy\":\"" + JsonEscape(profile_->swgProxy) + "\"}";
      u32 result = messaging_->SendPluginMessage(kSwg, kSelf, "StartPlugin", payload.c_str());
      PluginLog(LogLevel::Info, "asked for the SWG plug-in, result " + std::to_string(result));
    }
    if (!profile_->updatesLocation.empty()) {
      const std::string location = JsonEscape(profile_->updatesLocation);
      const std::string payload = "{\"version\":\"1\",\"manifest_url\":\"" + location +
                                  "\",\"download_url\":\"" + location + "\",\"upgrade_check_interval\":\"" +
                                  std::to_string(profile_->updatesCheckIntervalSeconds) +
                                  "\",\"upgrade_window_is_open\":\"true\"}";
      callback_->UpgradeDetailsChanged(payload.c_str());
    }
    if (!profile_->metricsFile.empty()) writeMetrics();
    netWatch_ = std::make_unique<CNetWatch>(io_, NetWatchOptions{},
                                            [this](const std::string& reason) { onNetworkChange(reason); });
    ++probing_;
    pool_->Probe(std::chrono::milliseconds(profile_->queryTimeoutMs), [this] {
      --probing_;
      evaluate("started", true);
      checkDns64();
      checkCanary();
      scheduleHealthCheck(nextCheckDelay());
    });
  });
  return 0;
}

void CDnsProtectPlugin::scheduleHealthCheck(std::chrono::milliseconds delay) {
  if (stopping_) return;
  healthTimer_->expires_after(delay);
  healthTimer_->async_wait([this](const boost::system::error_code& e) {
    if (e || stopping_) return;
    // Cached answers were checked against the old lists (their CNAME targets).
    if (policy_->ReloadIfChanged()) cache_->Clear();
    ++probing_;
    pool_->Probe(std::chrono::milliseconds(profile_->queryTimeoutMs), [this] {
      --probing_;
      if (stopping_) return;
      evaluate("health check");
      if (!dns64Checked_) checkDns64();
      if (!canaryChecked_) checkCanary();
      scheduleHealthCheck(nextCheckDelay());
    });
  });
}

void CDnsProtectPlugin::writeMetrics() {
  std::string error;
  const std::string text = metrics_.Text(cache_->entries(), pool_ ? pool_->TlsConnects() : 0,
                                         pool_ ? pool_->TlsResumed() : 0);
  if (!CPluginMetrics::WriteFile(profile_->metricsFile, text, error) &&
      !metricsFailed_) {
    PluginLog(LogLevel::Error, "metrics: " + error);  // once, not every interval
  }
  metricsFailed_ = !error.empty();
  if (stopping_) return;
  metricsTimer_->expires_after(std::chrono::milliseconds(profile_->metricsIntervalMs));
  metricsTimer_->async_wait([this](const boost::system::error_code& e) {
    if (!e) writeMetrics();
  });
}

std::chrono::milliseconds CDnsProtectPlugin::nextCheckDelay() const {
  const std::chrono::milliseconds interval(profile_->healthCheckIntervalMs);
  // A new network often carries DNS only a moment after it came up.
  if (Clock::now() < settleUntil_ && !pool_->AnyHealthy())
    return std::min(interval, std::chrono::milliseconds(1000));
  return interval;
}

void CDnsProtectPlugin::NetworkChanged(const std::string& reason) {
  if (!thread_.joinable()) return;
  asio::post(io_, [this, reason] { onNetworkChange(reason); });
}

void CDnsProtectPlugin::onNetworkChange(const std::string& reason) {
  if (stopping_ || !profile_ || !pool_) return;
  PluginLog(LogLevel::Info, "network changed (" + reason + "): probing the upstreams again");
  // What the old network taught is not true of the new one.
  pool_->ForgetNetwork();
  cache_->DropNegative();
  dns64Checked_ = false;
  interference_.clear();
  canaryA_ = canaryAaaa_ = foreignA_ = foreignAaaa_ = false;
  pool_->SetPlainAside(false);
  canaryChecked_ = false;
  // A portal belongs to the network it was met on.
  portal_ = portalActive_ = false;
  portalTimer_->cancel();
  portalCheckedAt_ = {};
  settleUntil_ = Clock::now() + std::chrono::seconds(15);
  healthTimer_->cancel();
  // Short, so that the state is known within the second; an upstream slower
  // than that is probed again every second while nobody answered.
  const auto timeout = std::min(std::chrono::milliseconds(profile_->queryTimeoutMs), kNetworkProbeTimeout);
  ++probing_;
  pool_->Probe(timeout, [this, reason] {
    --probing_;
    if (stopping_) return;
    evaluate("network changed (" + reason + ")", false, true);
    checkDns64();
    checkCanary();
    scheduleHealthCheck(nextCheckDelay());
  });
}

// Asks the upstreams for ipv4only.arpa AAAA, once per network (after the
// start or a change, or at the first health check that finds an upstream):
// a synthesized answer means DNS64, anything else none.
void CDnsProtectPlugin::checkDns64() {
  if (stopping_ || !pool_->AnyHealthy()) return;
  dns64Checked_ = true;
  const auto deadline =
      Clock::now() + std::min(answerDeadline_, std::chrono::milliseconds(profile_->queryTimeoutMs));
  pool_->Resolve(
      BuildQuery(kDns64ProbeName, kTypeAaaa, RandomId()), deadline, [this](u32 error, std::string answer) {
        if (stopping_) return;
        const std::string prefix = error == 0 ? FindDns64Prefix(answer).value_or("") : "";
        if (prefix == dns64Prefix_) return;
        dns64Prefix_ = prefix;
        PluginLog(LogLevel::Info, prefix.empty()
                                      ? std::string("no DNS64 on this network")
                                      : "DNS64 on this network: the upstreams synthesize AAAA records "
                                        "in " +
                                            prefix + " for " + kDns64ProbeName +
                                            "; protection is limited to what they answer");
        evaluate(prefix.empty() ? "DNS64 gone" : "DNS64 found");
      });
}

std::vector<UpstreamConfig> CDnsProtectPlugin::networkResolvers() const {
  if (!profile_->portalResolvers.empty()) return profile_->portalResolvers;
  // Loopback name servers are the filter's stub or a local cache in front of
  // it: asking them would bring the question back here.
  std::vector<UpstreamConfig> resolvers;
  std::ifstream file(NetWatchOptions{}.resolvConf);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    UpstreamConfig resolver;
    if (words >> keyword >> address && keyword == "nameserver" &&
        ParseAddressPort(address, 53, resolver.address, resolver.port) && !resolver.address.is_loopback())
      resolvers.push_back(resolver);
  }
  return resolvers;
}

// Asks the plain upstreams (or, without any, the network's resolvers) for the
// profile's canary name, once per network: an answer other than the one the
// organisation published means the network answers plain DNS itself. Plain
// upstreams are then set aside, per record type reported.
void CDnsProtectPlugin::checkCanary() {
  if (stopping_ || profile_->canaryLabels.empty()) return;
  std::vector<UpstreamConfig> servers = pool_->PlainUpstreams();
  if (servers.empty()) servers = networkResolvers();
  if (servers.empty()) return;
  canaryChecked_ = true;
  struct Tally {
    int pending = 0;
    bool a = false, aaaa = false;
  };
  auto tally = std::make_shared<Tally>();
  const auto deadline =
      Clock::now() + std::min(answerDeadline_, std::chrono::milliseconds(profile_->queryTimeoutMs));
  for (const std::uint16_t type : {kTypeA, kTypeAaaa}) {
    const std::vector<std::string> expected = type == kTypeA ? profile_->canaryA : profile_->canaryAaaa;
    if (expected.empty()) continue;
    ++tally->pending;
    pool_->Resolve(
        BuildQuery(profile_->canaryName, type, RandomId()), deadline,
        [this, tally, type, expected](u32 error, std::string answer) {
          if (error == kErrorStopped || stopping_) return;
          // No answer tells nothing; NXDOMAIN or other addresses do.
          std::vector<std::string> rdatas;
          bool wrong = false;
          if (error == 0 && Rcode(answer) == kRcodeNxDomain) {
            wrong = true;
          } else if (error == 0 && Rcode(answer) == kRcodeNoError && AnswerRdatas(answer, type, rdatas)) {
            wrong = rdatas.empty();
            for (const auto& rdata : rdatas)
              wrong = wrong || std::find(expected.begin(), expected.end(), rdata) == expected.end();
          }
          (type == kTypeA ? tally->a : tally->aaaa) = wrong;
          if (--tally->pending > 0) return;
          canaryA_ = tally->a;
          canaryAaaa_ = tally->aaaa;
          const char* found = tally->a && tally->aaaa ? "A_and_AAAA" : tally->a ? "A" : tally->aaaa ? "AAAA" : "";
          updateInterference(*found == '\0'
                                 ? std::string("plain DNS answers ") + profile_->canaryName + " as published"
                                 : "interference: plain DNS answers " + profile_->canaryName + " (" + found +
                                       ") otherwise than published; plain upstreams set aside");
        },
        servers);
  }
}

bool CDnsProtectPlugin::updateInterference(const std::string& what) {
  const bool a = canaryA_ || foreignA_, aaaa = canaryAaaa_ || foreignAaaa_;
  const std::string found = a && aaaa ? "A_and_AAAA" : a ? "A" : aaaa ? "AAAA" : "";
  if (found == interference_) return false;
  interference_ = found;
  pool_->SetPlainAside(!found.empty());
  PluginLog(found.empty() ? LogLevel::Info : LogLevel::Warning, what);
  evaluate(what);
  return true;
}

void CDnsProtectPlugin::maybeCheckPortal() {
  if (!profile_->portalCheck || portal_ || portalChecking_ || stopping_) return;
  if (portalCheckedAt_ != Clock::time_point{} &&
      Clock::now() - portalCheckedAt_ < std::chrono::milliseconds(profile_->portalRecheckMs))
    return;
  checkPortal();
}

// Resolves the check URL's host through the network's resolvers and asks for
// the URL in plain HTTP; setPortal acts on the answer.
void CDnsProtectPlugin::checkPortal() {
  const auto resolvers = networkResolvers();
  HttpUrl url;
  if (resolvers.empty() || !ParseHttpUrl(profile_->portalCheckUrl, url)) return;
  portalChecking_ = true;
  portalCheckedAt_ = Clock::now();
  auto fetch = [this, url](const boost::asio::ip::address& address) {
    HttpGet(io_, {address, url.port}, url, kPortalCheckTimeout,
            [this](const std::string& error, unsigned status, const std::string& location,
                   const std::string& body) {
              portalChecking_ = false;
              if (stopping_ || !serving_) return;  // the plug-in stops under it
              if (!error.empty()) {
                // Nobody answers HTTP either: a network without a way out,
                // not a portal.
                if (portal_) setPortal(false, {}, "the check URL does not answer (" + error + ")");
                return;
              }
              const PortalVerdict verdict = JudgeCheckAnswer(status, location, body, profile_->portalExpectBody);
              setPortal(verdict.portal, verdict.loginHost,
                        verdict.portal ? verdict.why : "the check URL answers as expected");
            });
  };
  boost::system::error_code literal;
  const auto address = boost::asio::ip::make_address(url.host, literal);
  if (!literal) return fetch(address);
  resolvePortalHost(url.host, kTypeA, Clock::now() + kPortalCheckTimeout, fetch, resolvers);
}

// The check host's address of `type`; a network without IPv4 (IPv6 only,
// NAT64 or not) has no A record for it, so AAAA is asked next.
void CDnsProtectPlugin::resolvePortalHost(const std::string& host, std::uint16_t type, Clock::time_point deadline,
                                          const std::function<void(const boost::asio::ip::address&)>& fetch,
                                          const std::vector<UpstreamConfig>& resolvers) {
  pool_->Resolve(
      BuildQuery(host, type, RandomId()), deadline,
      [this, host, type, deadline, fetch, resolvers](u32 error, std::string answer) {
        std::vector<std::string> rdatas;
        const std::size_t size = type == kTypeA ? 4 : 16;
        if (stopping_) {
          portalChecking_ = false;
          return;
        }
        if (error == 0 && AnswerRdatas(answer, type, rdatas) && !rdatas.empty() && rdatas[0].size() == size) {
          if (type == kTypeA) {
            boost::asio::ip::address_v4::bytes_type bytes;
            std::copy(rdatas[0].begin(), rdatas[0].end(), bytes.begin());
            return fetch(boost::asio::ip::address_v4(bytes));
          }
          boost::asio::ip::address_v6::bytes_type bytes;
          std::copy(rdatas[0].begin(), rdatas[0].end(), bytes.begin());
          return fetch(boost::asio::ip::address_v6(bytes));
        }
        if (type == kTypeA && Clock::now() < deadline)
          return resolvePortalHost(host, kTypeAaaa, deadline, fetch, resolvers);
        portalChecking_ = false;
      },
      resolvers);
}

void CDnsProtectPlugin::setPortal(bool portal, const std::string& loginHost, const std::string& why) {
  if (portal) {
    std::vector<std::string> names = profile_->portalAllow;
    HttpUrl url;
    std::string labels;
    if (ParseHttpUrl(profile_->portalCheckUrl, url) && TextToLabels(url.host, labels)) names.push_back(labels);
    boost::system::error_code literal;
    boost::asio::ip::make_address(loginHost, literal);
    if (!loginHost.empty() && literal && TextToLabels(loginHost, labels)) names.push_back(labels);
    {
      std::lock_guard<std::mutex> lock(portalMutex_);
      portalNames_ = std::move(names);
      portalResolvers_ = networkResolvers();
    }
    portalActive_ = true;
    if (!portal_) {
      portal_ = true;
      PluginLog(LogLevel::Warning, "captive portal: the check URL was " + why +
                                       "; only the portal's names go to the network's resolvers until it lets "
                                       "the upstreams through");
      evaluate("captive portal");
    }
    portalTimer_->expires_after(std::chrono::milliseconds(profile_->portalRecheckMs));
    portalTimer_->async_wait([this](const boost::system::error_code& e) {
      if (e || !portal_ || stopping_) return;
      // Let through by other means (a portal that forgets its HTTP check,
      // or an upstream it never held): nothing to scope any more.
      if (pool_->AnyHealthy()) return setPortal(false, {}, "an upstream answers");
      checkPortal();
    });
    return;
  }
  if (!portal_) return;
  portal_ = portalActive_ = false;
  PluginLog(LogLevel::Info, "captive portal gone: " + why + "; probing the upstreams");
  // Signed in: upstreams that the portal held back get their chance at once.
  pool_->ForgetNetwork();
  ++probing_;
  pool_->Probe(kNetworkProbeTimeout, [this] {
    --probing_;
    if (stopping_) return;
    evaluate("captive portal gone", false, true);
    if (!canaryChecked_) checkCanary();
  });
}

void CDnsProtectPlugin::evaluate(const std::string& reason, bool forceRedirect, bool forceReport) {
  if (stopping_) return;
  VpnView vpn;
  {
    std::lock_guard<std::mutex> lock(vpnMutex_);
    vpn = vpn_;
  }
  std::string state;
  bool redirect = false;
  if (vpn.tunnelAllDns) {
    state = "disabled_due_to_vpn";
  } else if (vpn.trustedNetwork && profile_->standDownOnTrustedNetwork) {
    state = "velm_trusted_network";
  } else if (portal_) {
    // Redirected, so that only the portal's names leave in clear text.
    state = "open_not_available";
    redirect = true;
  } else if (!pool_->AnyHealthy()) {
    state = interference_.empty() ? "open" : "open_interference_detected_" + interference_;
  } else {
    state = pool_->PreferredIsTls() && !clearTextSinceCheck_ ? "encrypted" : "protected";
    if (!dns64Prefix_.empty()) state += "_limited_dns64_detected";
    redirect = true;
  }
  clearTextSinceCheck_ = false;
  // Redirect before claiming protection; claim "open" before letting go.
  if (!redirect && (state != state_ || forceReport)) {
    sendState(state, reason);
    forceReport = false;
  }
  if (forceRedirect || redirect_ != redirect) sendRedirect(redirect);
  if (state != state_ || forceReport) sendState(state, reason);
  if (!redirect && state.compare(0, 4, "open") == 0) maybeCheckPortal();
}

void CDnsProtectPlugin::sendRedirect(bool redirect) {
  redirect_ = redirect;
  std::vector<std::string> resolvers4, resolvers6;
  for (const auto& upstream : profile_->upstreams) {
    (upstream.address.is_v4() ? resolvers4 : resolvers6).push_back(upstream.address.to_string());
  }
  const char* flag = redirect ? "true" : "false";
  const std::string whitelist = JsonArray(profile_->localDomains);
  const std::string payload = std::string("{\"version\":\"1\",\"ignore_pids\":[],\"dns4\":{\"redirect\":\"") +
                              flag + "\",\"whitelist\":" + whitelist +
                              ",\"resolvers\":" + JsonArray(resolvers4) + "},\"dns6\":{\"redirect\":\"" +
                              flag + "\",\"whitelist\":" + whitelist +
                              ",\"resolvers\":" + JsonArray(resolvers6) + "}}";
  PluginLog(LogLevel::Info, std::string("asking for redirection ") + (redirect ? "on" : "off"));
  callback_->ChangeDnsRedirectionMode(payload.c_str());
}

void CDnsProtectPlugin::sendState(const std::string& state, const std::string& reason) {
  state_ = state;
  const std::string organization = profile_ ? JsonEscape(profile_->organization) : std::string();
  const std::string swg = profile_ && profile_->swgEnabled ? "true" : "false";
  const std::string payload =
      "{\"version\":\"1\",\"dns4\":{\"protection_state\":\"" + state +
      "\"},\"dns6\":{\"protection_state\":\"" + state + "\"},\"client_display_name\":\"" + organization +
      "\",\"user_name\":\"\",\"last_policy_sync_time\":\"" + std::to_string(NowMs() / 1000) +
      "\",\"log_upload_enabled\":\"false\",\"swg\":{\"enabled\":\"" + swg + "\"}}";
  PluginLog(LogLevel::Info, "protection state: " + state + " (" + reason + ")");
  callback_->ProtectionStateChanged(payload.c_str());
}

u32 CDnsProtectPlugin::InitiateStop() {
  if (!thread_.joinable()) return 1;
  serving_ = false;
  asio::post(io_, [this] {
    stopping_ = true;
    healthTimer_->cancel();
    portalTimer_->cancel();
    if (netWatch_) netWatch_->Close();
    drainThenStop(Clock::now() + kStopGrace);
  });
  return 0;
}

// Queries in flight get until `giveUp` to finish, then are failed.
void CDnsProtectPlugin::drainThenStop(Clock::time_point giveUp) {
  if (pool_ && pool_->InFlight() > 0 && Clock::now() < giveUp) {
    stopTimer_->expires_after(std::chrono::milliseconds(20));
    stopTimer_->async_wait([this, giveUp](const boost::system::error_code& e) {
      if (!e) drainThenStop(giveUp);
    });
    return;
  }
  if (pool_) pool_->Shutdown();
  if (swgStarted_ && messaging_ != nullptr) {
    u32 result = messaging_->SendPluginMessage(kSwg, kSelf, "StopPlugin", "{}");
    if (result == 7) return;  // finishStop when the result arrives
    PluginLog(LogLevel::Warning, "stopping the SWG plug-in failed, result " + std::to_string(result));
  }
  finishStop();
}

void CDnsProtectPlugin::finishStop() {
  if (stopReported_) return;
  stopReported_ = true;
  PluginLog(LogLevel::Info, "stopped");
  callback_->PluginStopped();
}

u32 CDnsProtectPlugin::ReceiveMessage(const char* from, const char* topic, const char*, u64) {
  PluginLog(LogLevel::Info,
            std::string("message ") + (topic ? topic : "(null)") + " from " + (from ? from : "(null)"));
  return 0;
}

void CDnsProtectPlugin::ReceiveMessageResult(const char* plugin, const char* topic, u32 status) {
  if (topic == nullptr || !thread_.joinable()) return;
  std::string name = topic;
  PluginLog(LogLevel::Info,
            name + " of " + (plugin ? plugin : "(null)") + ": result " + std::to_string(status));
  asio::post(io_, [this, name, status] {
    if (name == "StartPlugin") swgStarted_ = status == 0;
    if (name != "StopPlugin") return;
    swgStarted_ = false;
    if (stopping_) finishStop();
  });
}

u32 CDnsProtectPlugin::OpenSession(u32 contextId, const char*, u32 transport, u32* sessionHandle) {
  if (sessionHandle == nullptr || (transport != HXT_TRANSPORT_TCP && transport != HXT_TRANSPORT_UDP))
    return 1;
  const auto now = Clock::now();
  std::size_t forgotten = 0;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (now >= nextOrphanSweep_) forgotten = forgetOrphans(now);
    *sessionHandle = nextHandle_++;
    if (nextHandle_ == 0) nextHandle_ = 1;
    Session session{contextId, transport == HXT_TRANSPORT_TCP, {}, now};
    if (spareSessions_.empty()) {
      sessions_[*sessionHandle] = std::move(session);
    } else {
      // Most sessions carry one query: their map nodes are kept rather than
      // allocated and freed each time.
      auto node = std::move(spareSessions_.back());
      spareSessions_.pop_back();
      node.key() = *sessionHandle;
      node.mapped() = std::move(session);
      auto inserted = sessions_.insert(std::move(node));
      if (!inserted.inserted) inserted.position->second = std::move(inserted.node.mapped());
    }
  }
  if (forgotten > 0)
    PluginLog(LogLevel::Info, "forgot " + std::to_string(forgotten) + " UDP sessions the service no longer closes");
  return 0;
}

std::size_t CDnsProtectPlugin::forgetOrphans(Clock::time_point now) {
  const auto age = answerDeadline_ * kOrphanDeadlines;
  nextOrphanSweep_ = now + age;
  std::size_t forgotten = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (!it->second.tcp && now - it->second.opened > age) {
      it = sessions_.erase(it);
      ++forgotten;
    } else {
      ++it;
    }
  }
  return forgotten;
}

std::size_t CDnsProtectPlugin::SessionCount() {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  return sessions_.size();
}

u32 CDnsProtectPlugin::CloseSession(u32 sessionHandle) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  auto found = sessions_.find(sessionHandle);
  if (found == sessions_.end()) return kErrorNoSession;
  if (spareSessions_.size() < kSpareSessions) {
    spareSessions_.push_back(sessions_.extract(found));
    spareSessions_.back().mapped().stream.clear();
  } else {
    sessions_.erase(found);
  }
  return 0;
}

u32 CDnsProtectPlugin::Send(u32 sessionHandle, const unsigned char* data, u32 length) {
  if (data == nullptr) return kErrorBadQuery;
  std::vector<std::string> queries;
  u32 contextId = 0;
  bool tcp = false;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    auto found = sessions_.find(sessionHandle);
    if (found == sessions_.end()) return kErrorNoSession;
    Session& session = found->second;
    contextId = session.contextId;
    tcp = session.tcp;
    if (tcp) {
      session.stream.append(reinterpret_cast<const char*>(data), length);
      while (session.stream.size() >= 2) {
        std::size_t size = (std::size_t{static_cast<unsigned char>(session.stream[0])} << 8) |
                           static_cast<unsigned char>(session.stream[1]);
        if (session.stream.size() < 2 + size) break;
        queries.push_back(session.stream.substr(2, size));
        session.stream.erase(0, 2 + size);
      }
    }
  }
  // A datagram is one query, taken as it came.
  if (!tcp) handleQuery(sessionHandle, contextId, false, std::string(reinterpret_cast<const char*>(data), length));
  for (auto& query : queries) handleQuery(sessionHandle, contextId, tcp, std::move(query));
  return 0;
}

void CDnsProtectPlugin::handleQuery(u32 handle, u32 contextId, bool tcp, std::string raw) {
  if (!serving_) {
    asio::post(io_, [this, handle, contextId] { fail(handle, contextId, kErrorStopped); });
    return;
  }
  Waiter waiter{handle, contextId, tcp, std::move(raw), {}};
  const QueryVerdict verdict = ParseQuery(waiter.raw, waiter.query);
  if (verdict != QueryVerdict::Answer) {
    refuse(waiter, verdict);
    return;
  }
  const ClientQuery& query = waiter.query;
  std::vector<UpstreamConfig> servers;
  {
    std::lock_guard<std::mutex> lock(vpnMutex_);
    if (!vpn_.splitServers.empty() && UnderAny(query.question.labels, vpn_.splitDomains))
      servers = vpn_.splitServers;
  }
  std::string key = CacheKey(query);
  if (servers.empty()) {
    // Known already: answered here, on the service's thread, before Send
    // returns. A hop to the I/O thread would cost a wake-up and a context
    // switch per query and gain nothing; no lock of ours is held here.
    const Match match = policy_->Current()->Check(query.question.labels);
    if (match.verdict == Verdict::Blocked) {
      blockLog_->Record(LabelsToText(query.question.labels), query.question.type, NowMs());
      const std::string blocked = BuildBlockedAnswer(waiter.raw, query.question, match.apex,
                                                     profile_->blockAddress, profile_->blockTtl);
      metrics_.Answered(CPluginMetrics::Source::Blocked, tcp);
      respond(waiter, FinishAnswer(blocked, waiter.raw, query, AnswerLimit(query, tcp), kEdeBlocked));
      return;
    }
    std::string stored;
    if (cache_->Lookup(key, stored)) {
      metrics_.Answered(CPluginMetrics::Source::Cache, tcp);
      respond(waiter, FinishAnswer(stored, waiter.raw, query, AnswerLimit(query, tcp)));
      return;
    }
  } else {
    key.insert(0, "vpn:");  // never merged with, nor cached as, the profile's answers
  }
  if (servers.empty() && portalActive_) {
    // Behind a captive portal only its own names leave, to the network's
    // resolvers; everything else is refused rather than sent in clear text.
    {
      std::lock_guard<std::mutex> lock(portalMutex_);
      if (UnderAny(query.question.labels, portalNames_)) servers = portalResolvers_;
    }
    if (servers.empty()) {
      metrics_.Answered(CPluginMetrics::Source::Refused, tcp);
      respond(waiter, FinishAnswer(BuildErrorAnswer(waiter.raw, query.question, kRcodeRefused), waiter.raw,
                                   query, AnswerLimit(query, tcp), kEdeProhibited));
      return;
    }
    key.insert(0, "portal:");
  }
  std::string upstreamQuery = BuildUpstreamQuery(waiter.raw, query);
  {
    // The same question already on its way upstream: this one waits for
    // that answer instead of asking again.
    std::lock_guard<std::mutex> lock(inFlightMutex_);
    auto found = inFlight_.find(key);
    if (found != inFlight_.end()) {
      found->second.push_back(std::move(waiter));
      return;
    }
    if (spareInFlight_.empty()) {
      inFlight_.try_emplace(key).first->second.push_back(std::move(waiter));
    } else {
      // A kept node: its key's and its list's buffers serve this query too.
      auto node = std::move(spareInFlight_.back());
      spareInFlight_.pop_back();
      node.key().assign(key);
      node.mapped().push_back(std::move(waiter));
      inFlight_.insert(std::move(node));
    }
  }
  const bool cacheable = servers.empty();
  const auto deadline =
      Clock::now() + std::min(answerDeadline_, std::chrono::milliseconds(profile_->queryTimeoutMs));
  pool_->Resolve(
      std::move(upstreamQuery), deadline,
      [this, key = std::move(key), cacheable, asked = Clock::now()](u32 error, std::string answer) {
        if (error != kErrorStopped) metrics_.UpstreamTook(Clock::now() - asked);
        answerWaiters(key, cacheable, error, answer);
      },
      std::move(servers));
}

void CDnsProtectPlugin::refuse(const Waiter& waiter, QueryVerdict verdict) {
  static const char* const kReasons[] = {"", "not a query", "malformed", "opcode not supported",
                                         "EDNS version not supported"};
  PluginLog(LogLevel::Warning, std::string("query refused: ") + kReasons[static_cast<int>(verdict)]);
  if (verdict == QueryVerdict::Drop) {
    // Nothing to answer a client with; the service learns it gets nothing.
    asio::post(io_, [this, handle = waiter.handle, contextId = waiter.contextId] {
      fail(handle, contextId, kErrorBadQuery);
    });
    return;
  }
  metrics_.Answered(CPluginMetrics::Source::Refused, waiter.tcp);
  respond(waiter, BuildRefusal(waiter.raw, waiter.query, verdict));
}

void CDnsProtectPlugin::answerWaiters(const std::string& key, bool cacheable, u32 error,
                                      const std::string& answer) {
  {
    std::lock_guard<std::mutex> lock(inFlightMutex_);
    auto found = inFlight_.find(key);
    if (found == inFlight_.end()) return;
    // The waiters change places with the empty list of the last answer, and
    // the node is kept for a next query: nothing is freed here that the
    // service's thread allocated for this one but the waiters themselves.
    auto node = inFlight_.extract(found);
    answering_.swap(node.mapped());
    if (spareInFlight_.size() < kSpareInFlight) spareInFlight_.push_back(std::move(node));
  }
  struct Clear {
    std::vector<Waiter>& list;
    ~Clear() { list.clear(); }
  } clear{answering_};
  const std::vector<Waiter>& waiters = answering_;
  if (error == kErrorStopped) {
    for (const auto& waiter : waiters) fail(waiter.handle, waiter.contextId, error);
    return;
  }
  std::string stale;
  if (cacheable && (error != 0 || Rcode(answer) == kRcodeServFail) && cache_->LookupStale(key, stale)) {
    // Every upstream failed, and the profile lets an expired answer stand in.
    const std::uint16_t ede = Rcode(stale) == kRcodeNxDomain ? kEdeStaleNxDomain : kEdeStaleAnswer;
    for (const auto& waiter : waiters) {
      metrics_.Answered(CPluginMetrics::Source::Stale, waiter.tcp);
      respond(waiter,
              FinishAnswer(stale, waiter.raw, waiter.query, AnswerLimit(waiter.query, waiter.tcp), ede));
    }
    return;
  }
  if (error != 0) {
    // Every upstream failed: a SERVFAIL that says why, well before the
    // service gives up on the query.
    const std::uint16_t ede = error == kErrorTimeout ? kEdeNoReachableAuthority : kEdeNetworkError;
    for (const auto& waiter : waiters) {
      metrics_.Answered(CPluginMetrics::Source::ServFail, waiter.tcp);
      const std::string failed = BuildErrorAnswer(waiter.raw, waiter.query.question, kRcodeServFail);
      respond(waiter,
              FinishAnswer(failed, waiter.raw, waiter.query, AnswerLimit(waiter.query, waiter.tcp), ede));
    }
    return;
  }
  if (cacheable) {
    // A name that passed the lists may lead, by CNAME or DNAME, to one that
    // does not.
    std::vector<std::string> targets;
    AliasTargets(answer, targets);
    const auto policy = policy_->Current();
    for (const auto& target : targets) {
      if (policy->Check(target).verdict != Verdict::Blocked) continue;
      for (const auto& waiter : waiters) {
        const ClientQuery& query = waiter.query;
        blockLog_->Record(LabelsToText(target), query.question.type, NowMs());
        metrics_.Answered(CPluginMetrics::Source::BlockedAlias, waiter.tcp);
        const std::string blocked =
            BuildBlockedAnswer(waiter.raw, query.question, 0, profile_->blockAddress, profile_->blockTtl);
        respond(waiter,
                FinishAnswer(blocked, waiter.raw, query, AnswerLimit(query, waiter.tcp), kEdeBlocked));
      }
      return;
    }
    cache_->Store(key, answer);
  }
  for (const auto& waiter : waiters) {
    metrics_.Answered(CPluginMetrics::Source::Upstream, waiter.tcp);
    // The service copies what Response gives it before returning: one
    // buffer serves every forwarded answer.
    FinishAnswerInto(finishedUpstream_, answer, waiter.raw, waiter.query, AnswerLimit(waiter.query, waiter.tcp));
    respond(waiter, finishedUpstream_);
  }
}

void CDnsProtectPlugin::respond(const Waiter& waiter, const std::string& answer) {
  const u32 handle = waiter.handle, contextId = waiter.contextId;
  const bool tcp = waiter.tcp;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (sessions_.count(handle) == 0) return;  // the service gave up on it
  }
  if (callback_ == nullptr) return;
  if (!tcp) {
    callback_->Response(handle, contextId, reinterpret_cast<const unsigned char*>(answer.data()),
                        static_cast<u32>(answer.size()));
    return;
  }
  std::string data;
  data.reserve(2 + answer.size());
  data.push_back(static_cast<char>(answer.size() >> 8));
  data.push_back(static_cast<char>(answer.size() & 0xff));
  data += answer;
  callback_->Response(handle, contextId, reinterpret_cast<const unsigned char*>(data.data()),
                      static_cast<u32>(data.size()));
}

void CDnsProtectPlugin::fail(u32 handle, u32 contextId, u32 error) {
  {
    std::lock_guard<std::mutex> lock(sessionsMutex_);
    if (sessions_.count(handle) == 0) return;
  }
  if (callback_ != nullptr) callback_->ErrorOccurred(handle, contextId, error);
}

u32 CDnsProtectPlugin::VpnStateChanged(const char* json) {
  if (json == nullptr) return 1;
  VpnView view;
  std::string error;
  if (!ParseVpnDocument(json, view, error)) {
    PluginLog(LogLevel::Error, "unreadable VPN document: " + error);
    return 1;
  }
  PluginLog(LogLevel::Info, std::string("VPN: ") +
                                (view.tunnelAllDns ? "tunnel carries all DNS" : "DNS not tunnelled") + ", " +
                                std::to_string(view.splitDomains.size()) + " split-DNS domains" +
                                (view.trustedNetwork ? ", trusted network" : ""));
  {
    std::lock_guard<std::mutex> lock(vpnMutex_);
    vpn_ = std::move(view);
  }
  if (thread_.joinable() && profile_) {
    asio::post(io_, [this] {
      if (profile_ && pool_) evaluate("VPN state");
    });
  }
  return 0;
}

u32 CDnsProtectPlugin::UpgradeStateChanged(const char*) {
  PluginLog(LogLevel::Info, "an upgrade is ready");
  return 0;
}

u32 CDnsProtectPlugin::DnsRedirectionDisrupted() {
  if (!thread_.joinable()) return 1;
  asio::post(io_, [this] {
    PluginLog(LogLevel::Warning, "redirection disrupted, asking for it again");
    if (redirect_ && profile_ && !stopping_) sendRedirect(*redirect_);
  });
  return 0;
}

}  // namespace hxt::dnsprotect
