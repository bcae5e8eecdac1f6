#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include "arrowctl.h"
#include "common/ipcframe.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include <boost/asio/local/stream_protocol.hpp>

#include "common/controlproto.h"
#endif

namespace hxt {
namespace {

using boost::asio::ip::tcp;

using CtlResult = std::tuple<int, std::string, std::string>;  // the exit code, out and err

// Runs the tool with `line` split at spaces as its arguments.
CtlResult RunCtl(const std::string& line) {
  std::istringstream words(line);
  const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
  std::ostringstream out, err;
  const int code = ctl::RunArrowCtl(args, out, err);
  return {code, out.str(), err.str()};
}

std::string Wire(char type, const std::string& json) {
  std::vector<unsigned char> frame;
  EXPECT_TRUE(BuildIpcFrame(static_cast<PayloadType>(type), json, frame));
  return std::string(frame.begin(), frame.end());
}

// Accepts one client on a free port, sends it `script` and closes the connection.
class FakeAgent {
 public:
  explicit FakeAgent(const std::string& script)
      : acceptor_(io_, tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0)),
        thread_([this, script] {
          tcp::socket socket(io_);
          boost::system::error_code error;
          acceptor_.accept(socket, error);
          if (!error) boost::asio::write(socket, boost::asio::buffer(script), error);
        }) {}
  ~FakeAgent() { thread_.join(); }
  std::string port() const { return std::to_string(acceptor_.local_endpoint().port()); }

 private:
  boost::asio::io_service io_;
  tcp::acceptor acceptor_;
  std::thread thread_;
};

const std::string kStatusJson =
    R"({"Dns4":{"ProtectionState":"protected"},"Ip4":{"ProtectionState":"partial","connectionError":"true"},)"
    R"("Dns6":{"ProtectionState":"open"},"Ip6":{"ProtectionState":"notProtected","connectionError":"false"},)"
    R"("LastConnectedTime":"1700000000","LogUploadEnabled":"true","ClientName":"Acme\/EU","UserName":"jane",)"
    R"("AgentStatus":"noOrginfo","SWG":{"State":"protected","Enabled":"true"}})"
    "\n";

const std::string kStatsJson =
    R"({"Dns4":{"Udp":{"ReqCnt":"3","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"0"}},)"
    R"("Dns6":{"Udp":{"ReqCnt":"0","RespCnt":"0"},"Tcp":{"ReqCnt":"0","RespCnt":"1"}},)"
    R"("SWGHTTPConnCnt":"5","SWGHTTPSConnCnt":"6","SWGBypassedConnCnt":"7",)"
    R"("SWGTarrowProxy":"http:\/\/proxy:3128\/","SWGUserMsg":""})"
    "\n";

TEST(HxtArrowCtl, MalformedOrMissingFramesFail) {
  const std::string status = Wire('A', kStatusJson);
  // What the agent sends, and the start of the error.
  const std::pair<std::string, std::string> cases[] = {
      {status + Wire('B', "{\"Dns4\":\n"),
       "hxtarrowctl: malformed frame from the agent: invalid JSON in stats payload: "},
      {status, "hxtarrowctl: the agent closed the connection before sending its status"},
      {status.substr(0, 20), "hxtarrowctl: the agent closed the connection before sending its status"}};
  for (const auto& [script, error] : cases) {
    FakeAgent agent(script);
    const auto [code, out, err] = RunCtl("status --port " + agent.port());
    EXPECT_EQ(CtlResult(code, out, err.substr(0, error.size())), CtlResult(ctl::kExitFailure, "", error))
        << err;
  }
}

// `status` prints the first status and stats frames readably or as sent;
// `watch` every frame until the agent leaves.
TEST(HxtArrowCtl, StatusAndWatchPrintFramesReadablyOrAsSent) {
  const std::string command = "{\"Commands\":[{\"Command\":\"NotifyExitForUpdate\"}]}\n";
  const std::string script = Wire('A', kStatusJson) + Wire('B', kStatsJson) + Wire('C', command);
  FakeAgent readable(script), raw(script), watchRaw(script), agent(script);
  EXPECT_EQ(RunCtl("status --port " + readable.port()),
            CtlResult(ctl::kExitOk,
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
                      "SWG user message:  (none)\n",
                      ""));
  EXPECT_EQ(RunCtl("--json --port " + raw.port()), CtlResult(ctl::kExitOk, kStatusJson + kStatsJson, ""));

  EXPECT_EQ(RunCtl("watch --json --port " + watchRaw.port()),
            CtlResult(ctl::kExitOk, kStatusJson + kStatsJson + command,
                      "hxtarrowctl: the agent closed the connection\n"));
  const auto [code, out, err] = RunCtl("--port " + agent.port() + " watch");
  EXPECT_EQ(code, ctl::kExitOk) << err;
  // Each frame: a time stamp line naming the type, then its fields indented.
  const std::size_t statusAt = out.find(" status\n  Agent status:      noOrginfo\n");
  const std::size_t statsAt = out.find(" stats\n  DNS requests:      IPv4 UDP 3,");
  const std::size_t commandAt = out.find(" command\n  Command:           NotifyExitForUpdate\n");
  EXPECT_NE(commandAt, std::string::npos) << out;
  EXPECT_LT(statusAt, statsAt) << out;
  EXPECT_LT(statsAt, commandAt) << out;
}

TEST(HxtArrowCtl, UsageErrorsAndNoListener) {
  for (const char* line : {"--port", "--port 0", "--port 65536", "--port 12ab", "restart", "status watch"}) {
    const auto [code, out, err] = RunCtl(line);
    EXPECT_EQ(code, ctl::kExitUsage) << line;
    EXPECT_NE(err.find("usage: hxtarrowctl"), std::string::npos) << line;
  }
  const auto [code, out, err] = RunCtl("--help");
  EXPECT_EQ(code, ctl::kExitOk) << err;
  EXPECT_EQ(out.rfind("usage: hxtarrowctl", 0), 0u);

  boost::asio::io_service io;
  auto probe =
      std::make_unique<tcp::acceptor>(io, tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
  const std::string port = std::to_string(probe->local_endpoint().port());
  probe.reset();
  EXPECT_EQ(RunCtl("--port " + port),
            CtlResult(ctl::kExitFailure, "",
                      "hxtarrowctl: no agent listening on 127.0.0.1:" + port + " (Connection refused)\n"));
}

// The daemon's PROGRAMS rows as `top` shows them: short rows left out, "-" for names withheld, the names only
// on a page that may show them, and the same facts in the JSON document.
TEST(HxtArrowCtl, TopShowsTheDaemonsProgramRows) {
  using namespace ctl;
  const std::vector<ProgramRow> rows = ParseProgramRows({
      "/usr/bin/dig\t0\t42\tsession-1.scope\t5\t4\t1\t3\t0\ta.test b.test",
      "/opt/very/long/path/to/a/program/that/does/not/fit/resolver\t1000\t7\tapp.service\t2\t0\t0\t9\t1\t-",
      "exited\t0\t0",  // too short: a newer daemon never sends fewer fields
  });
  ASSERT_EQ(rows.size(), 2u);
  // The note, texts the page shows and texts it does not.
  const std::tuple<const char*, std::vector<const char*>, std::vector<const char*>> cases[] = {
      {"names",
       {"UNIT / LAST NAMES", "/usr/bin/dig", "a.test b.test", "...", "(ignored)"},
       {"are shown only"}},
      {"counters only", {"are shown only to root", "session-1.scope"}, {"LAST NAMES"}},
      {"attribution is off", {"attribution is off"}, {"/usr/bin/dig"}}};
  for (const auto& [note, shown, hidden] : cases) {
    const std::string page = FormatProgramTable(note, rows);
    for (const char* text : shown) EXPECT_NE(page.find(text), std::string::npos) << note << ": " << text;
    for (const char* text : hidden) EXPECT_EQ(page.find(text), std::string::npos) << note << ": " << text;
  }
  EXPECT_EQ(
      FormatProgramJson("names", rows),
      R"({"version":"1","names":"1","attribution":"1","programs":[{"program":"\/usr\/bin\/dig","uid":"0",)"
      R"("pid":"42","unit":"session-1.scope","queries":"5","to_agent":"4","blocked":"1","seconds_ago":"3",)"
      R"("ignored":"0","names":["a.test","b.test"]},{"program":"\/opt\/very\/long\/path\/to\/a\/program)"
      R"(\/that\/does\/not\/fit\/resolver","uid":"1000","pid":"7","unit":"app.service","queries":"2",)"
      R"("to_agent":"0","blocked":"0","seconds_ago":"9","ignored":"1","names":""}]})"
      "\n");
}

#ifndef _WIN32
using Bytes = std::vector<u8>;
using local = boost::asio::local::stream_protocol;

// A filter daemon's control socket that answers each connection from its own script: each reply after reading
// a request (the client sends one, then waits), an empty one raising SIGTERM in this process instead; at the
// script's end it hangs up.
class FakeDaemon {
 public:
  explicit FakeDaemon(std::vector<std::vector<Bytes>> connections)
      : acceptor_(io_, fresh(path_)), thread_([this, connections] {
          for (const auto& replies : connections) {
            local::socket peer(io_);
            boost::system::error_code error;
            acceptor_.accept(peer, error);
            for (const Bytes& reply : replies) {
              u8 request[512];
              if (reply.empty()) {
                ::kill(::getpid(), SIGTERM);
              } else if (peer.read_some(boost::asio::buffer(request), error) > 0) {
                boost::asio::write(peer, boost::asio::buffer(reply), error);
              }
            }
          }
        }) {
    ::setenv("HXT_SOCKFILTER_CONTROL", path_.c_str(), 1);
  }
  ~FakeDaemon() {
    thread_.join();
    std::remove(path_.c_str());
  }

 private:
  static local::endpoint fresh(const std::string& path) {
    std::remove(path.c_str());
    return local::endpoint(path);
  }
  const std::string path_ = ::testing::TempDir() + "hxtarrowctl-" + std::to_string(::getpid()) + ".sock";
  boost::asio::io_service io_;
  local::acceptor acceptor_;
  std::thread thread_;
};

// A reply: status and text, then a row count (`rows` >= 0) but never a row;
// `before`, a frame sent ahead of it.
Bytes Reply(u16 type, u32 sequence, u32 status, const std::string& text, int rows = -1, Bytes before = {}) {
  sockfilter::FrameWriter w(type, sequence);
  w.U32(status);
  w.String(text);
  if (rows >= 0) w.U32(static_cast<u32>(rows));
  const Bytes frame = w.Finish();
  before.insert(before.end(), frame.begin(), frame.end());
  return before;
}

// `top` against a daemon that answers badly (--once: the reason, exit 1), and
// its live page, asked for again until -n pages, a failure or a signal.
TEST(HxtArrowCtl, TopSaysWhyTheDaemonGaveNoTableAndRefreshesUntilPagesFailureOrSignal) {
  using sockfilter::FrameWriter, sockfilter::kMsgHelloReply, sockfilter::kMsgResult;
  const Bytes hello = Reply(kMsgHelloReply, 1, 0, "hxsockfilterd");
  const Bytes notice = Reply(kMsgResult, 7, 0, "");  // another sequence: passed over
  const std::vector<Bytes> page = {hello, Reply(kMsgResult, 2, 0, "names", 0)};
  // The arguments, each connection's replies, the pages shown, the start of the error (none: exit 0).
  const std::tuple<const char*, std::vector<std::vector<Bytes>>, std::size_t, const char*> cases[] = {
      {"top --once", {{}}, 0, "the daemon did not answer HELLO"},
      {"top --once", {{Reply(kMsgHelloReply, 1, sockfilter::kErrRefused, "no")}}, 0, "the daemon refused: "},
      {"top --once", {{hello}}, 0, "the daemon did not answer the request"},
      {"top --once", {{hello, FrameWriter(kMsgResult, 2).Finish()}}, 0, "the daemon's reply is undecodable"},
      {"top --once",
       {{hello, Reply(kMsgResult, 2, 1008, "odd", -1, notice)}},
       0,
       "the daemon answered 1008 (odd)"},
      {"top --once", {{hello, Reply(kMsgResult, 2, 0, "names")}}, 0, "the daemon's reply holds no rows"},
      {"top --once", {{hello, Reply(kMsgResult, 2, 0, "names", 1)}}, 0, "the daemon's reply is undecodable"},
      {"top -d 0 -n 3", {page, page, page}, 3, nullptr},
      {"top -d 0.001", {page, {}}, 1, "the daemon did not answer HELLO"},
      {"top", {{{}, page[0], page[1]}}, 1, nullptr},  // the signal comes before the 2 s refresh
  };
  for (const auto& [args, connections, pages, why] : cases) {
    FakeDaemon daemon(connections);
    const auto [code, out, err] = RunCtl(args);
    std::size_t shown = 0;
    for (std::size_t at = 0; (at = out.find("PROGRAM ", at)) != std::string::npos; ++at) ++shown;
    EXPECT_EQ(shown, pages) << args;
    EXPECT_EQ(code, why != nullptr ? ctl::kExitFailure : ctl::kExitOk) << args << ": " << err;
    const std::string error = why ? std::string("hxtarrowctl: top: ") + why : "";
    EXPECT_EQ(why ? err.substr(0, error.size()) : err, error);
  }
  for (const char* bad : {"top -d", "top -d -1", "top -d 3601", "top -n 0", "top -n x"})
    EXPECT_EQ(std::get<0>(RunCtl(bad)), ctl::kExitUsage) << bad;
}
#endif

}  // namespace
}  // namespace hxt
