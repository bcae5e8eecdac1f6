// The web-gateway plug-in: profile settings, the states its gateway check reports, stop, and its one message.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "fakes/testroot.h"
#include "support/recordingservice.h"
#include "swgconfig.h"
#include "swgplugin.h"

namespace hxtplugin {
namespace {

using hxt::test::TestRoot;
using hxt::test::WaitFor;

TEST(SwgConfig, ReadsTheProfileOrNamesWhatIsWrong) {
  struct Case {
    const char* profile;
    bool enabled;
    const char* host;
    uint16_t port;
    const char* error;  // start of the error, "" for none
  } cases[] = {
      {R"({"organization":"demo"})", false, "", 0, ""},
      {R"({"swg":{"enabled":false,"proxy":"127.0.0.1:3128"}})", false, "", 0, ""},
      {R"({"swg":{"enabled":true,"proxy":"127.0.0.1:3128"}})", true, "127.0.0.1", 3128, ""},
      {R"({"swg":{"enabled":"true","proxy":"[::1]:8080"}})", true, "::1", 8080, ""},
      {R"({"swg":{"enabled":true,"proxy":"gw.example:65535"}})", true, "gw.example", 65535, ""},
      {R"({"swg":{"enabled":true}})", false, "", 0, "swg.proxy: missing"},
      {R"({"swg":{"enabled":true,"proxy":"127.0.0.1"}})", false, "", 0, "swg.proxy: expected host:port"},
      {R"({"swg":{"enabled":true,"proxy":"::1:80"}})", false, "", 0, "swg.proxy: expected host:port"},
      {R"({"swg":{"enabled":true,"proxy":"[::1]80"}})", false, "", 0, "swg.proxy: expected [address]:port"},
      {R"({"swg":{"enabled":true,"proxy":":80"}})", false, "", 0, "swg.proxy: missing or malformed host"},
      {R"({"swg":{"enabled":true,"proxy":"h:0"}})", false, "", 0, "swg.proxy: port"},
      {R"({"swg":{"enabled":true,"proxy":"h:65536"}})", false, "", 0, "swg.proxy: port"},
      {R"({"swg":{"enabled":true,"proxy":"h:99999999999999999999"}})", false, "", 0, "swg.proxy: port"},
      {R"({"swg":{"enabled":true,"proxy":"h:8o"}})", false, "", 0, "swg.proxy: port"},
      {R"({"swg":{"enabled":"yes"}})", false, "", 0, "swg.enabled: expected true or false"},
      {R"({"swg":5})", false, "", 0, "swg: expected an object"},
      {R"({"swg":)", false, "", 0, "OrgInfo.json: not JSON"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    const SwgConfig config = ParseSwgConfig(c.profile);
    EXPECT_EQ(std::make_tuple(config.enabled, config.host, config.port, config.error.empty()),
              std::make_tuple(c.enabled, std::string(c.host), c.port, *c.error == '\0'));
    EXPECT_EQ(config.error.rfind(c.error, 0), 0u) << config.error;
  }
}

using Recording = hxt::test::RecordingService;

// The documents and the stop, in order, once there are `count` of them.
std::vector<std::string> WaitForEvents(const Recording& service, std::size_t count) {
  service.WaitFor("", count);
  std::vector<std::string> events;
  for (const auto& event : service.Events())
    events.push_back(event.name == "SWGPluginStopped" ? "stopped" : event.text);
  return events;
}

// A loopback port that accepts connections until closed.
struct Acceptor {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor{io, {boost::asio::ip::make_address("127.0.0.1"), 0}};
  const uint16_t port = acceptor.local_endpoint().port();
};

std::string stateDocument(const std::string& state) {
  return R"({"version":"1","swg_protection_state":")" + state + "\"}\n";
}
std::string statsStart(const std::string& proxy, const std::string& message) {
  return R"({"version":"1","web_connections_info":{"http_connections":"0","https_connections":"0",)"
         R"("bypassed_connections":"0"},"tarrow_proxy":")" +
         proxy + R"(","user_message":")" + message;
}

class SwgPluginTest : public ::testing::Test {
 protected:
  // Starts `plugin` on a profile whose "swg" member is `swg`, reporting to `service`.
  void start(const std::string& swg, CSwgPlugin& plugin, Recording& service, const char* payload = "") {
    root_.WriteFile("profile/OrgInfo.json", R"({"organization":"demo","swg":)" + swg + "}");
    const std::string profile = root_.path() + "/profile";
    ASSERT_EQ(plugin.Init("/bin", "/lib", profile.c_str(), "1.0.0", &service, &service, nullptr), 0u);
    ASSERT_EQ(plugin.Start(payload), 0u);
  }
  void start(const std::string& swg) { start(swg, plugin_, callback_); }

  TestRoot root_;
  Recording callback_;
  CSwgPlugin plugin_{SwgTiming{std::chrono::milliseconds(10), std::chrono::milliseconds(2000)}};
};

TEST_F(SwgPluginTest, ReportsTheGatewayStateAndStopsDisabled) {
  Acceptor open, closed;
  closed.acceptor.close();
  const std::string up = "127.0.0.1:" + std::to_string(open.port);
  const std::string down = "127.0.0.1:" + std::to_string(closed.port);
  struct Case {
    std::string swg, state, proxy, message;  // message: its start
  } cases[] = {
      {R"({"enabled":false})", "disabled", "", "the profile does not enable a web gateway"},
      {R"({"enabled":true,"proxy":"nonsense"})", "config_error", "", "profile refused: swg.proxy: expected"},
      {R"({"enabled":true,"proxy":")" + up + "\"}", "protected", up, up + " accepts connections"},
      {R"({"enabled":true,"proxy":")" + down + "\"}", "cloud_service_unavailable", down,
       down + " does not accept connections: Connection refused"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.swg);
    Recording callback;
    CSwgPlugin plugin;
    // Nothing before Init, which needs both callbacks.
    EXPECT_EQ(plugin.Start(""), kSwgNotInitialised);
    EXPECT_EQ(plugin.InitiateStop(), kSwgNotInitialised);
    EXPECT_EQ(plugin.Init("/bin", "/lib", "/profile", "1.0.0", nullptr, &callback, nullptr), kSwgBadArgument);
    start(c.swg, plugin, callback, nullptr);
    auto events = WaitForEvents(callback, 2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], stateDocument(c.state));
    EXPECT_EQ(events[1].rfind(statsStart(c.proxy, c.message), 0), 0u) << events[1];
    ASSERT_EQ(plugin.InitiateStop(), 0u);
    // Anything but "disabled" is withdrawn before the stop is reported.
    const std::size_t stopAt = c.state == "disabled" ? 2 : 4;
    events = WaitForEvents(callback, stopAt + 1);
    ASSERT_EQ(events.size(), stopAt + 1);
    EXPECT_EQ(events[2], stopAt == 4 ? stateDocument("disabled") : "stopped");
    EXPECT_EQ(events[stopAt], "stopped");
  }
}

// The gateway going away is reported without a restart.
TEST_F(SwgPluginTest, AnswersTheStateMessageAndRefusesOthers) {
  Acceptor gateway;
  start(R"({"enabled":true,"proxy":"127.0.0.1:)" + std::to_string(gateway.port) + "\"}");
  ASSERT_EQ(WaitForEvents(callback_, 2).at(0), stateDocument("protected"));
  EXPECT_EQ(plugin_.ReceiveMessage("Velmora", "GetState", "", 0), 0u);
  EXPECT_EQ(WaitForEvents(callback_, 3).at(2), "Velmora <- SWG SWGState " + stateDocument("protected"));
  gateway.acceptor.close();
  EXPECT_EQ(WaitForEvents(callback_, 4).at(3), stateDocument("cloud_service_unavailable"));
  EXPECT_EQ(plugin_.ReceiveMessage("Velmora", "Reboot", "", 0), kSwgUnknownTopic);
  EXPECT_EQ(plugin_.ReceiveMessage(nullptr, "GetState", "", 0), kSwgBadArgument);
}

}  // namespace
}  // namespace hxtplugin
