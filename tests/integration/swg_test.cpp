// The SWG plug-in's start and stop at the DNS plug-in's request, the messages between plug-ins and the
// upgrade details, inside the orchestrator with the fake plug-ins calling from their own threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "fakes/pluginhostfixture.h"

namespace hxt {
namespace {

using fake::Callback;
using fake::MakeCallback;
using fake::PluginKind;
using test::LastCall;
using ::testing::HasSubstr;
using Text = std::optional<std::string>;
const Text kNull;

class SwgTest : public test::PluginHostTest {
 protected:
  // SendPluginMessage made from the plug-in thread of `sender`.
  long long Send(PluginKind sender, Text to, Text from, Text topic, Text payload) {
    auto request = MakeCallback(Callback::SendPluginMessage);
    std::tie(request.sender, request.to, request.from, request.topic, request.nullText, request.text) =
        std::make_tuple(sender, to, from, topic, !payload, payload.value_or(""));
    long long result = -1;
    EXPECT_TRUE((sender == PluginKind::Swg ? swg : dns)->Fire(request, &result, 5000));
    return result;
  }

  // The DNS plug-in asks the SWG start or stop; the reply it gets, as "SWG <topic> <code>".
  std::string Ask(const char* topic, Text payload = kNull) {
    const std::size_t replies = dns->CallCount("IVelmoraPlugin::ReceiveMessageResult");
    EXPECT_EQ(Send(PluginKind::Velmora, "SWG", "Velmora", topic, payload), 7);
    if (!test::WaitForCall(dns, "IVelmoraPlugin::ReceiveMessageResult", replies + 1)) return "no reply";
    auto args = LastCall(dns, "IVelmoraPlugin::ReceiveMessageResult");
    return args[0] + " " + args[1] + " " + args[2];
  }

  void Report(const test::FakePlugin& plugin, Callback callback, const std::string& json) {
    auto request = MakeCallback(callback);
    request.text = json;
    EXPECT_TRUE(plugin->Fire(request, nullptr, 5000));
  }

  // The states the agent went through, in order.
  std::string States() {
    std::string path;
    for (const auto& line : Matching("State transition: .*")) path += line.substr(line.rfind(' ') + 1) + " ";
    return path;
  }
};

TEST_F(SwgTest, EveryMessageCode) {
  Start(true);
  swg->SetResult("ISWGPlugin::ReceiveMessage", 42);
  dns->SetResult("IVelmoraPlugin::ReceiveMessage", 9);
  const PluginKind V = PluginKind::Velmora, S = PluginKind::Swg;
  const std::tuple<PluginKind, Text, Text, Text, Text, long long, const test::FakePlugin*> cases[] = {
      {V, kNull, "Velmora", "T", "{}", 5, nullptr},
      {V, "SWG", kNull, "T", "{}", 5, nullptr},
      {V, "SWG", "SWG", "T", "{}", 5, nullptr},
      {V, "SWG", "Velmora", kNull, "{}", 5, nullptr},
      {V, "SWG", "Velmora", "T", kNull, 5, nullptr},
      {S, "Velmora", "SWG", "T", "{}", 6, nullptr},    // the SWG plug-in does not run
      {V, "Other", "Velmora", "T", "{}", 5, nullptr},  // "Unexpected target plugin" after the log line
      {V, "SWG", "Velmora", "T", "{}", 42, &swg},      // the receiver's result
      {S, "Velmora", "Updater", "T", "x", 9, &dns},    // another sender: no state check
  };
  for (const auto& [sender, to, from, topic, payload, code, receiver] : cases) {
    SCOPED_TRACE(to.value_or("null") + " <- " + from.value_or("null") + " " + topic.value_or("null"));
    log.Clear();
    EXPECT_EQ(Send(sender, to, from, topic, payload), code);
    if (receiver == nullptr) {  // a malformed request leaves no trace at all
      EXPECT_EQ(log.Messages(LOG_LEVEL_ERROR).size(), code == 6 || to == "Other" ? 1u : 0u);
      EXPECT_EQ(log.Dump().find("Sending message") != std::string::npos, to == "Other");
      continue;
    }
    auto args = LastCall(*receiver,
                         receiver == &swg ? "ISWGPlugin::ReceiveMessage" : "IVelmoraPlugin::ReceiveMessage");
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args, (std::vector<std::string>{*from, "T", *payload, args[3]}));
    EXPECT_TRUE(log.Has("Sending message with topic T from plugin " + *from + " to " + *to + " [" + args[3] +
                        "]\n" + *payload));
  }
}

TEST_F(SwgTest, StartReportsAndStopAtTheDnsPluginsRequest) {
  Start(true);
  EXPECT_EQ(Ask("StartPlugin", R"({"mode":"x"})"), "SWG StartPlugin 0");
  EXPECT_EQ(LastCall(swg, "ISWGPlugin::Start"), std::vector<std::string>{R"({"mode":"x"})"});
  EXPECT_EQ(host->getState(), VELMORA_SWG_PLUGINS_STARTED);
  EXPECT_EQ(Ask("StartPlugin", "{}"), "SWG StartPlugin 18");

  Report(swg, Callback::SWGStateChanged, R"({"version":1,"swg_protection_state":"disabled_due_to_vpn"})");
  Report(swg, Callback::SWGStateChanged, R"({"version":1,"swg_protection_state":"Disabled"})");
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "failed to parse JSON payload (unexpected SWG state)"));
  EXPECT_THAT(Document(PAYLOAD_TYPE_STATUS), HasSubstr(R"("SWG":{"State":"disabled_due_to_vpn")"));
  const std::string counters = R"("http_connections":1,"https_connections":2,"bypassed_connections":3}})";
  Report(swg, Callback::SWGStatsChanged,
         R"({"version":1,"tarrow_proxy":"p:80","user_message":"m","web_connections_info":{)" + counters);
  const std::string stats = Document(PAYLOAD_TYPE_STATS);
  EXPECT_THAT(stats, HasSubstr(R"("SWGHTTPConnCnt":"1","SWGHTTPSConnCnt":"2","SWGBypassedConnCnt":"3",)"
                               R"("SWGTarrowProxy":"p:80","SWGUserMsg":"m")"));
  // The SWG plug-in now passes the state check; a null payload is fine with this topic.
  EXPECT_EQ(Send(PluginKind::Swg, "Velmora", "SWG", "StopPlugin", kNull), 0);
  EXPECT_EQ(LastCall(dns, "IVelmoraPlugin::ReceiveMessage")[2], "(null)");

  EXPECT_EQ(Ask("StopPlugin"), "SWG StopPlugin 0");
  EXPECT_EQ(States(),
            "SERVICE_STARTED VELMORA_PLUGIN_STARTED VELMORA_SWG_PLUGINS_STARTED SWG_PLUGIN_STOPPING "
            "VELMORA_PLUGIN_STARTED ");
  Report(swg, Callback::SWGStatsChanged,
         R"({"version":1,"tarrow_proxy":"q","web_connections_info":{)" + counters);
  EXPECT_THAT(log.Dump(), HasSubstr("validator CVelmoraMainThread::SWGStatsChanged"));
  EXPECT_EQ(Document(PAYLOAD_TYPE_STATS), stats);  // refused in VELMORA_PLUGIN_STARTED

  // Upgrade details from the DNS plug-in reach the cloud downloader.
  cloud->SetResult("ICloudDownloaderPlugin::UpdateParameters", 2);
  Report(dns, Callback::UpgradeDetailsChanged,
         R"({"version":1,"manifest_url":"m","download_url":"https://d","upgrade_check_interval":3600,)"
         R"("upgrade_window_is_open":true})");
  Report(dns, Callback::UpgradeDetailsChanged, R"({"version":1,"manifest_url":"m"})");
  EXPECT_EQ(cloud->CallCount("ICloudDownloaderPlugin::UpdateParameters"), 1u);
  EXPECT_EQ(LastCall(cloud, "ICloudDownloaderPlugin::UpdateParameters"),
            (std::vector<std::string>{"https://d", "3600", "true"}));
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "ICloudDownloaderPlugin::UpdateParameters returned code 2"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "failed to parse JSON payload (no download URL attribute)"));

  // The state refuses a service stop while only the SWG plug-in stops; the
  // service stop follows once that stop ends.
  ASSERT_EQ(Ask("StartPlugin", "{}"), "SWG StartPlugin 0");
  swg->SetReportStopped(false);
  EXPECT_EQ(Send(PluginKind::Velmora, "SWG", "Velmora", "StopPlugin", kNull), 7);
  ASSERT_TRUE(test::WaitForCall(swg, "ISWGPlugin::InitiateStop"));
  host->RequestShutdown();
  ASSERT_TRUE(test::WaitFor(
      [&] { return log.Dump().find("not valid for STOP_VELMORA_PLUGIN") != std::string::npos; }));
  ASSERT_TRUE(swg->Fire(MakeCallback(Callback::SWGPluginStopped), nullptr, 5000));
  EXPECT_TRUE(run->Wait());
  EXPECT_EQ(dns->CallCount("IVelmoraPlugin::InitiateStop"), 1u);
}

TEST_F(SwgTest, FailedStartsAndStopsAnswerWithTheirCode) {
  Start(true, test::HostSettings(kPluginStopTimeout, std::chrono::milliseconds(200)));
  // The results of Start and InitiateStop, whether the stop is reported, the replies.
  const std::tuple<u32, u32, bool, std::vector<std::string>> cases[] = {
      {9, 0, true, {"SWG StartPlugin 9"}},  // then stopped without a reply
      {0, 4, true, {"SWG StartPlugin 0", "SWG StopPlugin 4"}},
      {0, 0, false, {"SWG StartPlugin 0", "SWG StopPlugin 6"}}};
  for (const auto& [start, stop, reportsStop, expected] : cases) {
    SCOPED_TRACE(expected.back());
    swg->SetResult("ISWGPlugin::Start", start);
    swg->SetResult("ISWGPlugin::InitiateStop", stop);
    swg->SetReportStopped(reportsStop);
    const std::size_t stops = swg->CallCount("ISWGPlugin::InitiateStop");
    std::vector<std::string> replies = {Ask("StartPlugin", "{}")};
    if (start == 0) replies.push_back(Ask("StopPlugin"));
    EXPECT_EQ(replies, expected);
    EXPECT_TRUE(test::WaitFor([&] { return host->getState() == VELMORA_PLUGIN_STARTED; }));
    EXPECT_EQ(swg->CallCount("ISWGPlugin::InitiateStop"), stops + 1);
  }
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "ISWGPlugin::Start returned code 9"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_ERROR, "ISWGPlugin::InitiateStop returned code 4"));
  EXPECT_TRUE(log.Has(LOG_LEVEL_WARNING, "stopSWGPlugin timed out"));
  EXPECT_EQ(dns->CallCount("IVelmoraPlugin::ReceiveMessageResult"), 5u);
}

// During a service stop, the DNS plug-in asks the SWG stop; its own stop
// time-out gives way to the SWG plug-in's.
TEST_F(SwgTest, SwgStopDuringTheServiceStop) {
  for (bool swgReports : {true, false}) {
    SCOPED_TRACE(swgReports);
    fakefilter::Reset();
    for (auto* plugin : {&dns, &swg}) (*plugin)->Reset();
    log.Clear();
    dns->SetReportStopped(false);
    swg->SetReportStopped(swgReports);
    Start(true, test::HostSettings(kPluginStopTimeout, std::chrono::milliseconds(50)));
    host->RequestShutdown();
    ASSERT_TRUE(test::WaitForCall(dns, "IVelmoraPlugin::InitiateStop"));
    EXPECT_EQ(Ask("StopPlugin"), swgReports ? "SWG StopPlugin 0" : "SWG StopPlugin 6");
    if (swgReports) {
      EXPECT_EQ(host->cancelStopTimerForTesting(), 0u);  // nothing waits any more
      ASSERT_TRUE(dns->Fire(MakeCallback(Callback::PluginStopped), nullptr, 5000));
    }
    EXPECT_TRUE(run->Wait());  // without a report, the SWG time-out ended the loop
    EXPECT_FALSE(log.Has("stopVelmoraPlugin timed out"));
    EXPECT_EQ(States(),
              "SERVICE_STARTED VELMORA_PLUGIN_STARTED VELMORA_PLUGIN_STOPPING VELMORA_SWG_PLUGINS_STOPPING "
              "VELMORA_PLUGIN_STOPPING SERVICE_STARTED ");
    run.reset();
    CVelmoraMainThread::releaseInstance();
  }
}

}  // namespace
}  // namespace hxt
