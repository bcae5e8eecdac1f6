// What the plug-in's tests share (the headers they all need included here): client queries of every shape,
// what an answer's OPT record says, upstreams whose replies the test writes, the plug-in's log, and the
// plug-in driven as the service drives it.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dnsmessage.h"
#include "dnsprotectplugin.h"
#include "fakes/dnstestkit.h"
#include "fakes/dnswire.h"
#include "fakes/testroot.h"
#include "pluginlog.h"
#include "support/recordingservice.h"

namespace hxt::dnsprotect::kit {

// A client's query, shaped at will.
struct Ask {
  std::vector<std::string> labels{"www", "example"};
  std::uint16_t type = kTypeA;
  bool edns = false;
  std::uint16_t size = 1232;
  std::uint8_t version = 0;
  bool dnssecOk = false;
  bool checkingDisabled = false;
  bool cookie = false;
  std::uint8_t opcode = 0;
  bool response = false;  // QR set
};

inline Ask Shaped(void (*change)(Ask&)) {
  Ask a;
  change(a);
  return a;
}

inline std::string Make(const Ask& a, std::uint16_t id = 0x1234) {
  std::string m = std::string{static_cast<char>(id >> 8), static_cast<char>(id & 0xff)} +
                  static_cast<char>((a.response ? 0x80 : 0) | a.opcode << 3 | 0x01) +
                  static_cast<char>(a.checkingDisabled ? 0x10 : 0) + std::string("\0\x01\0\0\0\0\0", 7) +
                  static_cast<char>(a.edns ? 1 : 0);
  for (const auto& label : a.labels) m += static_cast<char>(label.size()) + label;
  m += std::string("\0\0", 2) + static_cast<char>(a.type) + std::string("\0\x01", 2);
  if (a.edns) {
    m += std::string("\0\0\x29", 3) + static_cast<char>(a.size >> 8) + static_cast<char>(a.size & 0xff);
    m +=
        std::string("\0", 1) + static_cast<char>(a.version) + static_cast<char>(a.dnssecOk ? 0x80 : 0) + '\0';
    m += a.cookie ? std::string("\0\x0c\0\x0a\0\x08", 6) + "cookie!!" : std::string("\0\0", 2);
  }
  return m;
}

// The question of `m`, whether or not it has one whole.
inline Question QuestionOf(const std::string& m) {
  Question q;
  ParseQuestion(m, q);
  return q;
}

// What an answer's OPT record says; `present` false without one.
struct OptView {
  bool present = false;
  std::uint16_t rcode = 0;  // the whole RCODE: the OPT's upper bits and the header's
  bool dnssecOk = false;
  std::string options;
  int ede = -1;  // the Extended DNS Error code when it is the first option
};

inline OptView OptOf(const std::string& m) {
  OptView view;
  view.rcode = static_cast<std::uint16_t>(m.size() > 3 ? m[3] & 0x0f : 0);
  Question q;
  if (!ParseQuestion(m, q)) return view;
  auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(m[at]) << 8 |
                                    static_cast<unsigned char>(m[at + 1]));
  };
  const std::size_t records = u16(6) + u16(8) + u16(10);
  std::size_t at = q.end;
  for (std::size_t i = 0; i < records && at < m.size(); ++i) {
    while (at < m.size() && m[at] != 0 && (m[at] & 0xc0) != 0xc0) at += 1 + static_cast<unsigned char>(m[at]);
    at += at < m.size() && m[at] == 0 ? 1 : 2;
    if (at + 10 > m.size()) break;
    const std::size_t length = u16(at + 8);
    if (u16(at) == kTypeOpt) {
      view.present = true;
      view.rcode = static_cast<std::uint16_t>(static_cast<unsigned char>(m[at + 4]) << 4 | (m[3] & 0x0f));
      view.dnssecOk = (m[at + 6] & 0x80) != 0;
      view.options = m.substr(at + 10, length);
      if (length >= 6 && u16(at + 10) == 15) view.ede = static_cast<int>(u16(at + 14));
    }
    at += 10 + length;
  }
  return view;
}

// The reply to `query` with `count` encoded `answers` and, when `opt`, an
// OPT record carrying a COOKIE option (8 bytes the client's, 8 the server's).
inline std::string Reply(const std::string& query, std::uint8_t rcode, const std::string& answers = "",
                         int count = 0, bool opt = false) {
  std::string out = test::dnswire::Reply(query, rcode, answers, static_cast<unsigned>(count));
  if (opt)
    out[11] = 1, out += std::string("\0\0\x29\x04\xd0\0\0\0\0\0\x14\0\x0a\0\x10", 15) + std::string(16, 'c');
  return out;
}

// An A record 192.0.2.`last` for the question's name.
inline std::string ARecord(unsigned char last) {
  return test::dnswire::Record(kTypeA, std::string("\xc0\0\x02", 3) + static_cast<char>(last));
}

using Script = std::function<std::string(const std::string& query)>;

// An upstream that answers the health probe ("localhost") itself and every other query with `script`;
// `elsewhere` picks the queries whose replies leave from another port, as from someone on the path.
inline test::ResolverOptions Scripted(Script script, std::function<bool(const std::string&)> elsewhere = {}) {
  test::ResolverOptions options;
  options.reply = [script = std::move(script)](const std::string& query) {
    return QuestionOf(query).name == "localhost" ? Reply(query, kRcodeNoError, ARecord(1), 1) : script(query);
  };
  options.elsewhere = std::move(elsewhere);
  return options;
}

// Log lines the plug-in wrote while a test ran.
struct CapturedLog {
  CapturedLog() {
    SetPluginLogSink([this](LogLevel, const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex);
      lines += text + "\n";
    });
  }
  ~CapturedLog() { SetPluginLogSink(nullptr); }
  bool Has(const std::string& text) {
    return test::WaitFor([&] {
      std::lock_guard<std::mutex> lock(mutex);
      return lines.find(text) != std::string::npos;
    });
  }
  std::mutex mutex;
  std::string lines;
};

// The plug-in on a profile of the test's, its block list naming ads.example,
// answering through sessions as the service opens them.
class PluginTest : public ::testing::Test {
 protected:
  // Starts the plug-in; `dnsMembers` go into the profile's "dns" object, `more` after it.
  void StartWith(const std::string& dnsMembers, const std::string& more = "") {
    std::ofstream(dir + "/blocked.txt") << "0.0.0.0 ads.example\n";
    std::ofstream(dir + "/OrgInfo.json") << R"({"organization":"Test Org","dns":{"upstreams":)"
                                         << (upstreams.empty() ? On({upstream->port()}) : upstreams)
                                         << R"(,"blockLists":["blocked.txt"],"healthCheckIntervalMs":)"
                                         << healthCheckMs << timeout << dnsMembers << "}" << more << "}";
    service.messageResult = 7;  // the SWG plug-in's answer comes later
    ASSERT_EQ(plugin.Init("", "", dir.c_str(), "1.0.0", "udid", &service, &service, nullptr), 0u);
    ASSERT_EQ(plugin.Start(), 0u);
  }
  // Plain upstreams on loopback at `ports`, as the profile lists them.
  static std::string On(std::initializer_list<u16> ports) {
    std::string list;
    for (u16 port : ports) list += R"(,{"address":"127.0.0.1:)" + std::to_string(port) + "\"}";
    return "[" + list.substr(1) + "]";
  }
  // Sends `bytes` (for TCP, framed by the caller) in a new session under `contextId`.
  void Send(u32 contextId, const std::string& bytes, bool tcp = false) {
    u32 handle = 0;
    const auto transport = tcp ? HXT_TRANSPORT_TCP : HXT_TRANSPORT_UDP;
    ASSERT_EQ(plugin.OpenSession(contextId, "127.0.0.53:53", transport, &handle), 0u);
    ASSERT_EQ(plugin.Send(handle, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()), 0u);
  }
  // Asks `name` in a new UDP session under `contextId`.
  void Ask(u32 contextId, const std::string& name, std::uint16_t type = kTypeA) {
    Send(contextId, BuildQuery(name, type, static_cast<std::uint16_t>(contextId)));
  }
  // The answer to `name` asked under a context of its own, once it came.
  std::string Answer(const std::string& name, std::uint16_t type = kTypeA) {
    const u32 context = 1000 + ++answered_;
    Ask(context, name, type);
    return AnswerTo(context);
  }
  // Whether an answer to `contextId` came already (no waiting).
  bool Answered(u32 contextId) {
    for (const auto& event : service.Events("Response"))
      if (event.contextId == contextId) return true;
    return false;
  }
  // The answer to or the error for `contextId`, once one came.
  std::optional<test::RecordingService::Event> Outcome(u32 contextId) {
    std::optional<test::RecordingService::Event> found;
    test::WaitFor([&] {
      for (const auto& event : service.Events())
        if ((event.name == "Response" || event.name == "ErrorOccurred") && event.contextId == contextId)
          found = event;
      return found.has_value();
    });
    return found;
  }
  std::string AnswerTo(u32 contextId) {
    auto outcome = Outcome(contextId);
    return outcome && outcome->name == "Response" ? outcome->text : "";
  }
  // Whether, within `within`, the states reported number more than `after` and the last is `state`.
  bool StateWithin(const std::string& state, std::size_t after = 0,
                   std::chrono::milliseconds within = std::chrono::seconds(10)) {
    return test::WaitFor(
        [&] {
          auto states = service.Texts("ProtectionStateChanged");
          return states.size() > after &&
                 states.back().find("\"protection_state\":\"" + state + "\"") != std::string::npos;
        },
        within);
  }
  void TearDown() override { plugin.Uninit(); }

  test::TestRoot root;
  const std::string dir = root.path();
  std::string timeout = R"(,"queryTimeoutMs":1000)";
  std::string upstreams;  // JSON; "" for `upstream`
  int healthCheckMs = 50;
  // Answers 192.0.2.1, and for cname.example a CNAME to a listed name.
  std::unique_ptr<test::TestResolver> upstream =
      std::make_unique<test::TestResolver>(Scripted([](const auto& q) {
        return QuestionOf(q).name != "cname.example"
                   ? Reply(q, kRcodeNoError, ARecord(1), 1)
                   : Reply(q, kRcodeNoError,
                           test::dnswire::Record(5, std::string("\1x\3ads\7example", 15)) + ARecord(1), 2);
      }));
  test::RecordingService service;
  // The plug-in's own deadline, shortened: queries nobody answers end sooner.
  CDnsProtectPlugin plugin{std::chrono::milliseconds(400)};

 private:
  u32 answered_ = 0;
};

}  // namespace hxt::dnsprotect::kit
