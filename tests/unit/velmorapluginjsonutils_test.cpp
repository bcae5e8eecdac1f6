// The plug-in's documents as the agent reads them, and the parameter record
// it hands the filter for a redirection.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "agent/velmorainfo.h"
#include "agent/velmorapluginjsonutils.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

using test::ScopedCaptureLog;

// A parse by its outcome: the error text ("" when it succeeded) and the error
// lines logged.
struct Outcome {
  std::string error;
  std::vector<std::string> logged;
};

template <typename Record>
Outcome parse(bool (*parser)(const char*, Record&), const std::string& json, Record* out = nullptr) {
  ScopedCaptureLog log;
  Record record;
  const bool ok = parser(json.c_str(), record);
  EXPECT_EQ(ok, record.valid);
  if (out != nullptr) *out = record;
  return {ok ? "" : record.error, log.Messages(LOG_LEVEL_ERROR)};
}

const char* kInvalidFormat =
    "invalid format: expected just PIDs, just white lists, just resolvers or all properties";

const char* kFullRedirect = R"({"version":1,"ignore_pids":[4,"1234"],
  "dns4":{"redirect":true,"whitelist":["a.example","b.example"],"resolvers":["208.67.222.222","2620:119:35::35"]},
  "dns6":{"redirect":"TRUE","whitelist":[],"resolvers":["::1"]}})";

TEST(RedirectPayload, FullDocumentFillsEveryField) {
  ScopedCaptureLog log;
  ParsedRedirect r;
  ASSERT_TRUE(CVelmoraPluginJsonUtils::ParseRedirectPayload(kFullRedirect, r)) << r.error;
  EXPECT_TRUE(r.valid);
  EXPECT_FALSE(r.justPids || r.justWhiteLists || r.justResolvers);
  EXPECT_EQ(r.ignorePids, (std::vector<u32>{4, 1234}));
  EXPECT_EQ(r.whitelist4, (std::vector<std::string>{"a.example", "b.example"}));
  EXPECT_TRUE(r.whitelist6.empty());
  EXPECT_TRUE(r.redirect4);
  EXPECT_FALSE(r.redirect6);  // "TRUE" is not "true", but redirect still counts as present
  ASSERT_EQ(r.resolvers4.size(), 2u);
  EXPECT_EQ(r.resolvers4[0].family, 2u);
  EXPECT_EQ((std::vector<u8>(r.resolvers4[0].address, r.resolvers4[0].address + 4)),
            (std::vector<u8>{208, 67, 222, 222}));
  for (int i = 4; i < 16; ++i) EXPECT_EQ(r.resolvers4[0].address[i], 0);
  EXPECT_EQ(r.resolvers4[1].family, 23u);  // an IPv6 resolver in the IPv4 list is accepted
  EXPECT_EQ(r.resolvers4[1].address[0], 0x26);
  EXPECT_EQ(r.resolvers6.at(0).address[15], 1);
  // Only the payload line is logged.
  ASSERT_EQ(log.Records().size(), 1u);
  EXPECT_EQ(log.Messages()[0], std::string("parsing payload\n") + kFullRedirect);
}

TEST(RedirectPayload, PartialShapes) {
  struct Case {
    const char* json;
    bool pids, whitelists, resolvers;
  };
  const Case good[] = {
      {R"({"version":1,"ignore_pids":[4,1234]})", true, false, false},
      {R"({"version":"1","dns4":{"whitelist":["x"]},"dns6":{"whitelist":[]}})", false, true, false},
      {R"({"version":1,"dns4":{"resolvers":["1.1.1.1"]},"dns6":{"resolvers":[]}})", false, false, true},
  };
  for (const auto& c : good) {
    SCOPED_TRACE(c.json);
    ScopedCaptureLog log;
    ParsedRedirect r;
    ASSERT_TRUE(CVelmoraPluginJsonUtils::ParseRedirectPayload(c.json, r)) << r.error;
    EXPECT_EQ(r.justPids, c.pids);
    EXPECT_EQ(r.justWhiteLists, c.whitelists);
    EXPECT_EQ(r.justResolvers, c.resolvers);
  }
  const char* bad[] = {
      R"({"version":1,"ignore_pids":[4],"dns4":{"whitelist":[]}})",
      R"({"version":1,"dns4":{"whitelist":[],"resolvers":[]},"dns6":{"whitelist":[],"resolvers":[]}})",
      R"({"version":1,"dns4":{"whitelist":[]}})",
      R"({"version":1})",
      R"({"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},"dns6":{"redirect":true,"whitelist":[]}})",
  };
  for (const char* json : bad)
    EXPECT_EQ(parse(&CVelmoraPluginJsonUtils::ParseRedirectPayload, json).error, kInvalidFormat);
}

TEST(RedirectPayload, FailuresCarryTheirReason) {
  const std::string version = "missing or unsupported payload version, expected 1";
  const std::string cast = "bad lexical cast: source type value could not be interpreted as target";
  const struct {
    const char* json;
    std::string error;   // "" for any
    std::string logged;  // the one error line expected, empty for none
  } cases[] = {
      {R"({"version":2})", "unsupported payload version", version},
      {R"({"ignore_pids":[1]})", "unsupported payload version", version},
      {R"({"version":"one"})", cast, ""},
      {R"({"version":1,"ignore_pids":["x"]})", cast, ""},
      {R"({"version":1,"ignore_pids":["99999999999"]})", cast, ""},
      {R"({"version":1,"ignore_pids":[-1]})", cast, ""},
      {"{\"version\":1,", "", ""},
      {R"({"version":1,"dns4":{"resolvers":["999.1.1.1"]},"dns6":{"resolvers":[]}})", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const Outcome outcome = parse(&CVelmoraPluginJsonUtils::ParseRedirectPayload, c.json);
    EXPECT_TRUE(c.error.empty() ? !outcome.error.empty() : outcome.error == c.error) << outcome.error;
    EXPECT_EQ(outcome.logged,
              c.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.logged});
  }
  ScopedCaptureLog log;
  ParsedRedirect r;
  EXPECT_FALSE(CVelmoraPluginJsonUtils::ParseRedirectPayload(nullptr, r));
  EXPECT_EQ(r.error, "NULL payload");
  EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR), std::vector<std::string>{"bad json payload parameter"});
}

TEST(RedirectPayload, DeepNestingIsRefusedBeforeItReachesTheReader) {
  ScopedCaptureLog log;
  std::string deep = "{\"version\":1,\"x\":" + std::string(1 << 20, '[') + std::string(1 << 20, ']') + "}";
  ParsedRedirect r;
  EXPECT_FALSE(CVelmoraPluginJsonUtils::ParseRedirectPayload(deep.c_str(), r));
  EXPECT_EQ(r.error, "JSON nested deeper than 64 levels");
  // Brackets inside strings do not count, and ordinary documents pass.
  std::string quoted = "{\"version\":1,\"ignore_pids\":[1],\"note\":\"" + std::string(100, '[') + "\\\"\"}";
  ParsedRedirect ok;
  EXPECT_TRUE(CVelmoraPluginJsonUtils::ParseRedirectPayload(quoted.c_str(), ok)) << ok.error;
}

const std::string kRequired =
    R"("client_display_name":"Acme","user_name":"ann","last_policy_sync_time":"-5","log_upload_enabled":true)";

TEST(ProtectionStatePayload, FullDocument) {
  ScopedCaptureLog log;
  ParsedProtectionState p;
  std::string json = R"({"version":1,"dns4":{"protection_state":"velm_trusted_network"},
    "dns6":{"protection_state":"open_interference_detected_A_and_AAAA"},
    "ip4":{"protection_state":"partial","connection_error":true},"ip6":{"protection_state":"in_progress"},
    "swg":{"enabled":"true"},)" +
                     kRequired + "}";
  ASSERT_TRUE(CVelmoraPluginJsonUtils::ParseProtectionStatePayload(json.c_str(), p)) << p.error;
  std::ostringstream fields;
  fields << p.dnsProtectionState4 << " " << p.dnsProtectionState6 << " " << p.ipProtectionState4 << " "
         << p.connectionError4 << " " << p.ipProtectionState6 << " " << p.connectionError6 << " "
         << p.swgEnabled << " " << p.clientDisplayName << " " << p.userName << " " << p.lastPolicySyncTime
         << " " << p.logUploadEnabled << " " << p.valid;
  EXPECT_EQ(
      fields.str(),
      "velm_trusted_network open_interference_detected_A_and_AAAA partial 1 in_progress 0 1 Acme ann -5 1 1");
}

TEST(ProtectionStatePayload, FailuresAndTheirLines) {
  struct Case {
    std::string json;
    std::string error;
    std::string logged;
  };
  auto without = [](const std::string& member) {
    std::string all = kRequired;
    auto start = all.find("\"" + member + "\"");
    auto end = all.find(',', start);
    all.erase(start, end == std::string::npos ? std::string::npos : end - start + 1);
    if (!all.empty() && all.back() == ',') all.pop_back();
    return "{\"version\":1," + all + "}";
  };
  const Case cases[] = {
      {R"({"version":1,"dns4":{"protection_state":"Protected"},)" + kRequired + "}",
       "unexpected IPv4 protection state", ""},
      {R"({"version":1,"dns6":{"protection_state":"nope"},)" + kRequired + "}",
       "unexpected IPv6 protection state", ""},
      {R"({"version":1,"ip4":{"protection_state":"protected_network"},)" + kRequired + "}",
       "unexpected IPv4 blocking state", ""},
      {R"({"version":1,"ip6":{"protection_state":""},)" + kRequired + "}", "unexpected IPv6 blocking state",
       ""},
      {without("client_display_name"), "no client name attribute", "missing client name attribute"},
      {without("user_name"), "no user name attribute", "missing user name attribute"},
      {without("last_policy_sync_time"), "no last sync time attribute", "missing last sync time attribute"},
      {without("log_upload_enabled"), "no log upload enabled attribute",
       "missing log upload enabled attribute"},
      {R"({"version":1,"client_display_name":"A","user_name":"u","last_policy_sync_time":"soon","log_upload_enabled":1})",
       "bad lexical cast: source type value could not be interpreted as target", ""},
  };
  for (const auto& c : cases) {
    Outcome outcome = parse(&CVelmoraPluginJsonUtils::ParseProtectionStatePayload, c.json);
    EXPECT_EQ(outcome.error, c.error) << c.json;
    EXPECT_EQ(outcome.logged,
              c.logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.logged});
  }
}

// The SWG and upgrade-details records, as one text of their fields.
std::string fields(const ParsedSwgState& r) {
  return r.swgState;
}
std::string fields(const ParsedSwgStats& r) {
  return std::to_string(r.httpConnections) + " " + std::to_string(r.httpsConnections) + " " +
         std::to_string(r.bypassedConnections) + " " + r.proxy + " " + r.userMessage;
}
std::string fields(const ParsedUpgradeDetails& r) {
  return r.manifestUrl + " " + r.downloadUrl + " " + std::to_string(r.upgradeCheckInterval) +
         (r.upgradeWindowIsOpen ? " open" : " closed");
}

// The fields of a parse that succeeded, else its error text; then the error lines logged.
template <typename Record>
std::vector<std::string> run(bool (*parser)(const char*, Record&), const std::string& json) {
  Record record;
  Outcome outcome = parse(parser, json, &record);
  outcome.logged.insert(outcome.logged.begin(), outcome.error.empty() ? fields(record) : outcome.error);
  return outcome.logged;
}

TEST(SwgAndUpgradePayloads, FieldsOrFailureTextAndLine) {
  using J = CVelmoraPluginJsonUtils;
  const std::string lexical = "bad lexical cast: source type value could not be interpreted as target";
  auto stats = [](const std::string& counters, const std::string& rest = R"(,"tarrow_proxy":"p")") {
    return R"({"version":1,"web_connections_info":{)" + counters + "}" + rest + "}";
  };
  auto upgrade = [](const std::string& interval, const std::string& window) {
    return R"({"version":1,"manifest_url":"m","download_url":"d","upgrade_check_interval":)" + interval +
           (window.empty() ? "" : R"(,"upgrade_window_is_open":)" + window) + "}";
  };
  const std::string all3 = R"("http_connections":1,"https_connections":2,"bypassed_connections":3)";
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {run(&J::ParseSWGStatePayload, R"({"version":1,"swg_protection_state":"disabled_due_to_vpn"})"),
       {"disabled_due_to_vpn"}},
      {run(&J::ParseSWGStatePayload, R"({"version":1,"swg_protection_state":"Disabled"})"),
       {"unexpected SWG state"}},
      {run(&J::ParseSWGStatsPayload, stats(all3, R"(,"tarrow_proxy":"p","user_message":"hi")")),
       {"1 2 3 p hi"}},
      // Members are counted, not names: a counter sent twice hides a missing one.
      {run(&J::ParseSWGStatsPayload,
           stats(R"("http_connections":1,"https_connections":"2","http_connections":5)")),
       {"5 2 0 p "}},
      {run(&J::ParseSWGStatsPayload, stats(R"("http_connections":1,"https_connections":2)")),
       {"incomplete web connection info attributes", "found 2 web connection info attributes, expected 3"}},
      {run(&J::ParseSWGStatsPayload, stats(all3 + R"(,"http_connections":4)")),
       {"incomplete web connection info attributes", "found 4 web connection info attributes, expected 3"}},
      {run(&J::ParseSWGStatsPayload, stats(all3, "")), {"no proxy attribute", "missing proxy attribute"}},
      {run(&J::ParseSWGStatsPayload,
           stats(R"("http_connections":-1,"https_connections":2,"bypassed_connections":3)")),
       {lexical}},
      {run(&J::ParseUpgradeDetailsChangedPayload, upgrade(R"("3600")", "true")), {"m d 3600 open"}},
      {run(&J::ParseUpgradeDetailsChangedPayload, upgrade("3600", "false")), {"m d 3600 closed"}},
      {run(&J::ParseUpgradeDetailsChangedPayload, upgrade(R"("abc")", "true")), {lexical}},
      {run(&J::ParseUpgradeDetailsChangedPayload, upgrade("3600", "")),
       {"no 'upgrade windows open' attribute", "missing 'upgrade windows open' attribute"}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

// One getter call on the IPv4 white list and what it must produce.
struct Step {
  bool first;
  u32 size;  // 0 with `null` means a null buffer
  bool truncate;
  bool result;
  const char* text;  // expected buffer content when result is true
  bool null = false;
};

TEST(VelmoraInfo, WhiteListCursorAndTruncation) {
  // "ab" is 2 bytes, "abcdef" 6, "xyz" 3.
  const std::vector<Step> steps = {
      {false, 8, false, true, "ab"},           // next before first reads from the start
      {true, 2, false, false, nullptr},        // length == size: no room for the terminator
      {false, 6, false, false, nullptr},       // the failure left the cursor on "abcdef"; 6 >= 6
      {false, 7, false, true, "abcdef"},       // length == size - 1 fits
      {false, 0, true, false, nullptr, true},  // null buffer, even with truncation
      {false, 0, true, false, nullptr},        // no room at all, even with truncation
      {false, 3, true, true, "xy"},            // truncated to size - 1
      {false, 8, true, false, nullptr},        // at the end
      {true, 8, false, true, "ab"},            // first starts over
      {true, 1, true, true, ""},               // only the terminator fits
      {false, 4, true, true, "abc"},
  };
  CVelmoraInfo info = CVelmoraInfo::WhiteLists({"ab", "abcdef", "xyz"}, {});
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    char* target = s.null ? nullptr : buffer;
    bool result = s.first ? info.GetFirstWhiteList4Entry(target, s.size, s.truncate)
                          : info.GetNextWhiteList4Entry(target, s.size, s.truncate);
    ASSERT_EQ(result, s.result);
    if (result) {
      EXPECT_STREQ(buffer, s.text);
    } else {
      EXPECT_EQ(buffer[0], '#') << "a failed read copied something";
    }
  }
  char buffer[8];
  EXPECT_FALSE(info.GetFirstWhiteList6Entry(buffer, sizeof buffer, true)) << "the IPv6 list is its own";
}

TEST(VelmoraInfo, ResolversPadIpv4AndCopyIpv6Whole) {
  IpAddressRecord v4{
      HXT_AF_INET, {192, 168, 1, 1, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee}};
  IpAddressRecord v6{HXT_AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}};
  CVelmoraInfo info = CVelmoraInfo::Resolvers({v4, v6}, {v6});

  IpAddressRecord out;
  std::memset(&out, 0xaa, sizeof out);
  ASSERT_TRUE(info.GetFirstResolver4(&out));
  const u8 padded[16] = {192, 168, 1, 1};
  EXPECT_EQ(out.family, HXT_AF_INET);
  EXPECT_EQ(std::memcmp(out.address, padded, sizeof padded), 0);
  EXPECT_FALSE(info.GetNextResolver4(nullptr));
  // A family other than IPv4 is copied whole, whichever list it sits in.
  ASSERT_TRUE(info.GetNextResolver4(&out));
  EXPECT_EQ(std::memcmp(&out, &v6, sizeof out), 0);
  EXPECT_FALSE(info.GetNextResolver4(&out));

  ASSERT_TRUE(info.GetFirstResolver6(&out));
  EXPECT_EQ(std::memcmp(&out, &v6, sizeof out), 0);
  EXPECT_FALSE(info.GetNextResolver6(&out));
}

TEST(VelmoraInfo, IgnoredPidsAndListenerPorts) {
  CVelmoraInfo info = CVelmoraInfo::Pids(77, {3, 5});
  u32 pid = 0;
  EXPECT_FALSE(info.GetFirstIgnoredPid(nullptr));
  EXPECT_TRUE(info.GetNextIgnoredPid(&pid) && pid == 3u);
  EXPECT_TRUE(info.GetNextIgnoredPid(&pid) && pid == 5u);
  EXPECT_FALSE(info.GetNextIgnoredPid(&pid));
  EXPECT_TRUE(info.GetFirstIgnoredPid(&pid) && pid == 3u);

  CVelmoraInfo ports = CVelmoraInfo::PortsOnly({1001, 1002, 1003, 1004});
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET, 17), 1001);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET6, 17), 1002);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET, 6), 1003);
  EXPECT_EQ(ports.GetListenerPort(HXT_AF_INET6, 6), 1004);
  EXPECT_EQ(ports.GetListenerPort(0, 0), 1003);
  EXPECT_EQ(ports.GetListenerPort(10, 17), 1001) << "Linux's own AF_INET6 is not the filter's 23";
}

}  // namespace
}  // namespace hxt
