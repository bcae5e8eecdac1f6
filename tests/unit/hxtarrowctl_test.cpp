#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "agent/velmoraipcmgr.h"
#include "arrowctl.h"
#include "common/ipcframe.h"
#include "fakes/capturelogger.h"

namespace hxt {
namespace {

using boost::asio::ip::tcp;

struct CtlResult {
  int code;
  std::string out;
  std::string err;
};

CtlResult RunCtl(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = ctl::RunArrowCtl(args, out, err);
  return {code, out.str(), err.str()};
}

std::string Wire(char type, const std::string& json) {
  std::vector<unsigned char> frame;
  EXPECT_TRUE(BuildIpcFrame(static_cast<PayloadType>(type), json, frame));
  return std::string(frame.begin(), frame.end());
}

// Accepts one client, sends it `script` and closes the connection.
class FakeAgent {
 public:
  explicit FakeAgent(std::string script)
      : acceptor_(io_, tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0)) {
    port_ = acceptor_.local_endpoint().port();
    thread_ = std::thread([this, script] {
      tcp::socket socket(io_);
      boost::system::error_code error;
      acceptor_.accept(socket, error);
      if (!error) boost::asio::write(socket, boost::asio::buffer(script), error);
    });
  }
  ~FakeAgent() { thread_.join(); }
  std::string port() const { return std::to_string(port_); }

 private:
  boost::asio::io_service io_;
  tcp::acceptor acceptor_;
  u16 port_ = 0;
  std::thread thread_;
};

const std::string kStatusJson =
    R"({"Dns4":{"ProtectionState":"protected"},"Ip4":{"ProtectionState":"partial","connectionError":"true"},)"
    R"("Dns6":{"ProtectionState":"open"},"Ip6":{"ProtectionState":"notProtected","connectionError":"false"},)"
    R"("LastConnectedTime":"1700000000","LogUploadEnabled":"true","ClientName":"Acme\/EU","UserName":"jane",)"
    R"("AgentStatus":"noOrginfo","SWG":{"State":"protected","Enabled":"true"}})"
    "\n";

// The agent's side: a live IPC manager on a free port, its I/O service on a
// thread of its own.
class LiveAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IpcSettings settings;
    settings.port = 0;
    bool ok = false;
    manager_ = std::make_unique<CVelmoraIpcMgr>(io_, ok, settings);
    ASSERT_TRUE(ok) << log_.Dump();
    manager_->UpdateAgentStatus("noOrginfo");
    manager_->UpdateStatus("protected", "", "partial", true, "", false, "Acme/EU", "jane", 1700000000, true,
                           true);
    manager_->UpdateSwgState("protected");
    for (int i = 0; i < 3; ++i) manager_->IncrementRequestCount(kIpcFamilyIpv4, kIpcSocketDatagram);
    manager_->IncrementResponseCount(kIpcFamilyIpv6, kIpcSocketStream);
    manager_->UpdateSwgStats(5, 6, 7, "http://proxy:3128/", "");
    thread_ = std::thread([this] { io_.run(); });
  }
  void TearDown() override {
    io_.stop();
    if (thread_.joinable()) thread_.join();
    manager_.reset();
  }
  std::string port() const { return std::to_string(manager_->ListeningPort()); }

  test::ScopedCaptureLog log_;
  boost::asio::io_service io_;
  boost::asio::executor_work_guard<boost::asio::io_service::executor_type> work_ =
      boost::asio::make_work_guard(io_);
  std::unique_ptr<CVelmoraIpcMgr> manager_;
  std::thread thread_;
};

TEST_F(LiveAgentTest, StatusIsPrintedReadably) {
  const CtlResult result = RunCtl({"status", "--port", port()});
  EXPECT_EQ(result.code, ctl::kExitOk) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "Agent status:      noOrginfo\n"
            "Client:            Acme/EU\n"
            "User:              jane\n"
            "DNS protection:    IPv4 protected, IPv6 open\n"
            "IP protection:     IPv4 partial, IPv6 notProtected\n"
            "Connection error:  IPv4 true, IPv6 false\n"
            "Last connected:    1700000000\n"
            "Log upload:        true\n"
            "SWG:               protected, enabled true\n"
            "DNS requests:      IPv4 UDP 3, IPv4 TCP 0, IPv6 UDP 0, IPv6 TCP 0\n"
            "DNS responses:     IPv4 UDP 0, IPv4 TCP 0, IPv6 UDP 0, IPv6 TCP 1\n"
            "SWG connections:   HTTP 5, HTTPS 6, bypassed 7\n"
            "SWG proxy:         http://proxy:3128/\n"
            "SWG user message:  (none)\n");
  // The client only listens: the agent never had a byte to ignore.
  EXPECT_TRUE(log_.Messages(LOG_LEVEL_WARNING).empty()) << log_.Dump();
}

TEST_F(LiveAgentTest, JsonPrintsTheDocumentsAsSent) {
  const CtlResult result = RunCtl({"--json", "--port", port()});
  EXPECT_EQ(result.code, ctl::kExitOk) << result.err;
  const std::string stats =
      R"({"Dns4":{"Udp":{"ReqCnt":"3","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
      R"("Dns6":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"1"}},)"
      R"("SWGHTTPConnCnt":"5","SWGHTTPSConnCnt":"6","SWGBypassedConnCnt":"7",)"
      R"("SWGTarrowProxy":"http:\/\/proxy:3128\/","SWGUserMsg":""})"
      "\n";
  EXPECT_EQ(result.out, kStatusJson + stats);
}

TEST(HxtArrowCtl, NoListenerFails) {
  u16 port = 0;
  {
    boost::asio::io_service io;
    tcp::acceptor probe(io, tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    port = probe.local_endpoint().port();
  }
  const CtlResult result = RunCtl({"--port", std::to_string(port)});
  EXPECT_EQ(result.code, ctl::kExitFailure);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "hxtarrowctl: no agent listening on 127.0.0.1:" + std::to_string(port) +
                            " (Connection refused)\n");
}

TEST(HxtArrowCtl, MalformedOrMissingFramesFail) {
  struct Case {
    const char* name;
    std::string script;
    std::string error;  // the start of the message
  };
  const std::string status = Wire('A', kStatusJson);
  const std::vector<Case> cases = {
      {"bad length", std::string("\x01\0\0\0A", 5),
       "hxtarrowctl: malformed frame from the agent: bad frame length 1"},
      {"unknown type", Wire('Z', "{}\n"),
       "hxtarrowctl: malformed frame from the agent: unknown payload type 0x5a"},
      {"invalid JSON", status + Wire('B', "{\"Dns4\":\n"),
       "hxtarrowctl: malformed frame from the agent: invalid JSON in stats payload: "},
      {"closed before statistics", status,
       "hxtarrowctl: the agent closed the connection before sending its status"},
      {"closed mid-frame", status.substr(0, 20),
       "hxtarrowctl: the agent closed the connection before sending its status"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAgent agent(c.script);
    const CtlResult result = RunCtl({"status", "--port", agent.port()});
    EXPECT_EQ(result.code, ctl::kExitFailure);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.substr(0, c.error.size()), c.error) << result.err;
  }
}

TEST(HxtArrowCtl, WatchShowsEveryFrameUntilTheAgentLeaves) {
  const std::string command = "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n";
  const std::string stats = "{\"SWGHTTPConnCnt\":\"1\"}\n";
  const std::string script = Wire('A', kStatusJson) + Wire('B', stats) + Wire('C', command);
  {
    FakeAgent agent(script);
    const CtlResult result = RunCtl({"watch", "--json", "--port", agent.port()});
    EXPECT_EQ(result.code, ctl::kExitOk);
    EXPECT_EQ(result.out, kStatusJson + stats + command);
    EXPECT_EQ(result.err, "hxtarrowctl: the agent closed the connection\n");
  }
  {
    FakeAgent agent(script);
    const CtlResult result = RunCtl({"--port", agent.port(), "watch"});
    EXPECT_EQ(result.code, ctl::kExitOk);
    // Each frame: a time stamp line naming the type, then its fields indented.
    const std::size_t statusAt = result.out.find(" status\n  Agent status:      noOrginfo\n");
    const std::size_t statsAt = result.out.find(" stats\n  DNS requests:      IPv4 UDP ?,");
    const std::size_t commandAt = result.out.find(" command\n  Command:           NotifyExitForUpdate\n");
    EXPECT_NE(statusAt, std::string::npos) << result.out;
    EXPECT_NE(statsAt, std::string::npos) << result.out;
    EXPECT_NE(commandAt, std::string::npos) << result.out;
    EXPECT_LT(statusAt, statsAt);
    EXPECT_LT(statsAt, commandAt);
  }
}

TEST(HxtArrowCtl, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12ab"}, {"restart"}, {"status", "watch"},
  };
  for (const auto& args : bad) {
    const CtlResult result = RunCtl(args);
    EXPECT_EQ(result.code, ctl::kExitUsage) << args[0];
    EXPECT_NE(result.err.find("usage: hxtarrowctl"), std::string::npos);
  }
  const CtlResult help = RunCtl({"--help"});
  EXPECT_EQ(help.code, ctl::kExitOk);
  EXPECT_EQ(help.out.rfind("usage: hxtarrowctl", 0), 0u);
}

}  // namespace
}  // namespace hxt
