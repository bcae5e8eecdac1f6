// The plug-in's documents as the agent reads them, and the parameter record
// it hands the filter for a redirection.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "agent/velmorainfo.h"
#include "agent/velmorapluginjsonutils.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

using test::ScopedCaptureLog;

// A parse by its outcome: the error text ("" when it succeeded) and the error lines logged.
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

TEST(RedirectPayload, PartialShapes) {
  // Brackets inside strings do not count towards the nesting limit.
  const std::string quoted = R"({"version":1,"ignore_pids":[1],"note":")" + std::string(100, '[') + R"(\""})";
  // The payload, then whether it is just PIDs, just white lists, just resolvers.
  const std::tuple<std::string, bool, bool, bool> good[] = {
      {R"({"version":1,"ignore_pids":[4,1234]})", true, false, false},
      {quoted, true, false, false},
      {R"({"version":"1","dns4":{"whitelist":["x"]},"dns6":{"whitelist":[]}})", false, true, false},
      {R"({"version":1,"dns4":{"resolvers":["1.1.1.1"]},"dns6":{"resolvers":[]}})", false, false, true}};
  for (const auto& [json, pids, whitelists, resolvers] : good) {
    SCOPED_TRACE(json);
    ScopedCaptureLog log;
    ParsedRedirect r;
    ASSERT_TRUE(CVelmoraPluginJsonUtils::ParseRedirectPayload(json.c_str(), r)) << r.error;
    EXPECT_EQ(std::tie(r.justPids, r.justWhiteLists, r.justResolvers), std::tie(pids, whitelists, resolvers));
  }
  const char* bad[] = {
      R"({"version":1,"ignore_pids":[4],"dns4":{"whitelist":[]}})",
      R"({"version":1,"dns4":{"whitelist":[],"resolvers":[]},"dns6":{"whitelist":[],"resolvers":[]}})",
      R"({"version":1,"dns4":{"whitelist":[]}})", R"({"version":1})",
      R"({"version":1,"ignore_pids":[],"dns4":{"redirect":true,"whitelist":[],"resolvers":[]},"dns6":{"redirect":true,"whitelist":[]}})"};
  for (const char* json : bad)
    EXPECT_EQ(parse(&CVelmoraPluginJsonUtils::ParseRedirectPayload, json).error, kInvalidFormat);
}

TEST(RedirectPayload, FailuresCarryTheirReason) {
  const std::string version = "missing or unsupported payload version, expected 1";
  const std::string cast = "bad lexical cast: source type value could not be interpreted as target";
  // The payload, the error ("" for any), the one error line logged (empty for none).
  const std::tuple<std::string, std::string, std::string> cases[] = {
      // Refused before it reaches the reader.
      {R"({"version":1,"x":)" + std::string(1 << 20, '[') + std::string(1 << 20, ']') + "}",
       "JSON nested deeper than 64 levels", ""},
      {R"({"version":2})", "unsupported payload version", version},
      {R"({"ignore_pids":[1]})", "unsupported payload version", version},
      {R"({"version":"one"})", cast, ""},
      {R"({"version":1,"ignore_pids":["x"]})", cast, ""},
      {R"({"version":1,"ignore_pids":["99999999999"]})", cast, ""},
      {R"({"version":1,"ignore_pids":[-1]})", cast, ""},
      {"{\"version\":1,", "", ""},
      {R"({"version":1,"dns4":{"resolvers":["999.1.1.1"]},"dns6":{"resolvers":[]}})", "", ""}};
  for (const auto& [json, error, logged] : cases) {
    SCOPED_TRACE(json.substr(0, 80));
    const Outcome outcome = parse(&CVelmoraPluginJsonUtils::ParseRedirectPayload, json);
    EXPECT_TRUE(error.empty() ? !outcome.error.empty() : outcome.error == error) << outcome.error;
    EXPECT_EQ(outcome.logged, logged.empty() ? std::vector<std::string>{} : std::vector<std::string>{logged});
  }
  ScopedCaptureLog log;
  ParsedRedirect r;
  EXPECT_FALSE(CVelmoraPluginJsonUtils::ParseRedirectPayload(nullptr, r));
  EXPECT_EQ(r.error, "NULL payload");
  EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR), std::vector<std::string>{"bad json payload parameter"});
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
       {"no 'upgrade windows open' attribute", "missing 'upgrade windows open' attribute"}}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST(VelmoraInfo, WhiteListCursorAndTruncation) {
  // Getter calls on the IPv4 white list: first or next, the size, whether to truncate, a null buffer; the
  // result and the buffer's text after it ("#" when untouched). "ab" is 2 bytes, "abcdef" 6, "xyz" 3.
  const std::tuple<bool, u32, bool, bool, bool, std::string> steps[] = {
      {false, 8, false, false, true, "ab"},      // next before first reads from the start
      {true, 2, false, false, false, "#"},       // length == size: no room for the terminator
      {false, 6, false, false, false, "#"},      // the failure left the cursor on "abcdef"; 6 >= 6
      {false, 7, false, false, true, "abcdef"},  // length == size - 1 fits
      {false, 0, true, true, false, "#"},        // null buffer, even with truncation
      {false, 0, true, false, false, "#"},       // no room at all, even with truncation
      {false, 3, true, false, true, "xy"},       // truncated to size - 1
      {false, 8, true, false, false, "#"},       // at the end
      {true, 8, false, false, true, "ab"},       // first starts over
      {true, 1, true, false, true, ""},          // only the terminator fits
      {false, 4, true, false, true, "abc"}};
  CVelmoraInfo info = CVelmoraInfo::WhiteLists({"ab", "abcdef", "xyz"}, {});
  int step = 0;
  for (const auto& [first, size, truncate, null, result, text] : steps) {
    SCOPED_TRACE("step " + std::to_string(step++));
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    char* target = null ? nullptr : buffer;
    ASSERT_EQ(first ? info.GetFirstWhiteList4Entry(target, size, truncate)
                    : info.GetNextWhiteList4Entry(target, size, truncate),
              result);
    EXPECT_EQ(result ? std::string(buffer) : std::string(1, buffer[0]), text);
  }
  char buffer[8];
  EXPECT_FALSE(info.GetFirstWhiteList6Entry(buffer, sizeof buffer, true)) << "the IPv6 list is its own";
}

}  // namespace
}  // namespace hxt
