#include "arrowctl.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/property_tree/json_parser.hpp>

#include "common/ipcframe.h"
#include "common/controlproto.h"
#include "common/daemonquery.h"

namespace hxt::ctl {

namespace {

using boost::asio::ip::tcp;
namespace pt = boost::property_tree;

constexpr const char* kProgram = "hxtarrowctl";
constexpr const char* kUsage =
    "usage: hxtarrowctl [--json] [--port N] [status | watch | metrics |\n"
    "                    top [--once] [-d SECONDS] [-n PAGES]]\n"
    "  status    print the agent's status and statistics once (the default)\n"
    "  watch     print every document the agent sends, until Ctrl-C or the agent goes away\n"
    "  metrics   print the status and statistics once in the Prometheus text format, and the filter\n"
    "            daemon's counters where its control socket lets us ask\n"
    "  top       which programs ask: the filter daemon's queries, answers sent by the agent and\n"
    "            blocked answers per program, refreshed every 2 seconds (-d: every SECONDS, 0 to 3600)\n"
    "            until Ctrl-C or PAGES pages (-n; --once: once); the names asked only for root, the\n"
    "            daemon's user and the agent's\n"
    "  --json    print the documents as the agent sends them, one per line\n"
    "            (top: the table once, as one JSON document)\n"
    "  --port N  connect to 127.0.0.1:N instead of the agent's port 62722\n";

enum class Mode { kStatus, kWatch, kMetrics, kTop };

struct Options {
  Mode mode = Mode::kStatus;
  bool json = false;
  u16 port = kIpcPort;
  bool help = false;
  bool once = false;
  // top's live page: how often it is asked for again, and after how many
  // pages it ends (0: only on a signal).
  std::chrono::milliseconds refresh{kTopRefresh};
  unsigned long pages = 0;
};

// A number within [low, high] (whole unless `fraction`); false for anything else.
bool parseNumber(const std::string& text, double low, double high, bool fraction, double& value) {
  try {
    value = fraction ? boost::lexical_cast<double>(text)
                     : static_cast<double>(boost::lexical_cast<unsigned long>(text));
  } catch (const boost::bad_lexical_cast&) {
    return false;
  }
  return value >= low && value <= high;
}

// False with `problem` set for anything it does not understand.
bool parseArguments(const std::vector<std::string>& args, Options& options, std::string& problem) {
  bool modeGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--port") {
      if (i + 1 >= args.size()) {
        problem = "--port needs a port number";
        return false;
      }
      const std::string& value = args[++i];
      unsigned long port = 0;
      try {
        port = boost::lexical_cast<unsigned long>(value);
      } catch (const boost::bad_lexical_cast&) {
        port = 0;
      }
      if (port == 0 || port > 65535) {
        problem = "bad port number '" + value + "'";
        return false;
      }
      options.port = static_cast<u16>(port);
    } else if (arg == "--once") {
      options.once = true;
    } else if (arg == "-d" || arg == "-n") {
      double value = 0;
      const bool delay = arg == "-d";
      if (i + 1 >= args.size() ||
          !parseNumber(args[i + 1], delay ? 0 : 1, delay ? 3600 : 1e9, delay, value)) {
        problem = delay ? "-d needs the seconds between pages (0 to 3600)" : "-n needs a number of pages";
        return false;
      }
      ++i;
      if (delay) {
        options.refresh = std::chrono::milliseconds(static_cast<long long>(value * 1000));
      } else {
        options.pages = static_cast<unsigned long>(value);
      }
    } else if (arg == "top" && !modeGiven) {
      options.mode = Mode::kTop;
      modeGiven = true;
    } else if ((arg == "status" || arg == "watch" || arg == "--watch" || arg == "metrics") && !modeGiven) {
      options.mode = arg == "status" ? Mode::kStatus : arg == "metrics" ? Mode::kMetrics : Mode::kWatch;
      modeGiven = true;
    } else {
      problem = "unexpected argument '" + arg + "'";
      return false;
    }
  }
  return true;
}

std::string field(const pt::ptree& document, const std::string& path) {
  return document.get<std::string>(path, "?");
}

// Empty texts are shown as such rather than as a blank after the label.
std::string textOrNone(const pt::ptree& document, const std::string& path) {
  std::string value = field(document, path);
  return value.empty() ? "(none)" : value;
}

void line(std::ostream& out, const char* label, const std::string& value) {
  char padded[32];
  std::snprintf(padded, sizeof padded, "%-19s", label);
  out << padded << value << '\n';
}

std::string timeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[64];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
  return text;
}

// Indents every line of `text` for the watch view.
std::string indented(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  for (std::string row; std::getline(in, row);) out += "  " + row + "\n";
  return out;
}

std::string withLineFeed(const std::string& json) {
  return !json.empty() && json.back() == '\n' ? json : json + "\n";
}

// One connection to the agent, driven by a private I/O context on the
// caller's thread.
class CCtlSession {
 public:
  CCtlSession(const Options& options, std::ostream& out, std::ostream& err)
      : options_(options), out_(out), err_(err), socket_(io_), deadline_(io_), signals_(io_) {}

  int Run() {
    const tcp::endpoint agent(boost::asio::ip::make_address_v4(kIpcListenAddress), options_.port);
    boost::system::error_code error;
    socket_.connect(agent, error);
    if (error) {
      err_ << kProgram << ": no agent listening on " << kIpcListenAddress << ":" << options_.port << " ("
           << error.message() << ")\n";
      if (options_.mode == Mode::kMetrics) out_ << FormatMetricsDown();
      return kExitFailure;
    }
    if (options_.mode != Mode::kWatch) {
      deadline_.expires_after(kStatusWaitTimeout);
      deadline_.async_wait([this](const boost::system::error_code& e) {
        if (e) return;
        finish(kExitFailure,
               "no status from the agent within " + std::to_string(kStatusWaitTimeout.count()) + " seconds");
      });
    } else {
      signals_.add(SIGINT);
      signals_.add(SIGTERM);
      signals_.async_wait([this](const boost::system::error_code& e, int) {
        if (!e) finish(kExitOk, "");
      });
    }
    read();
    io_.run();
    return exitCode_;
  }

 private:
  void read() {
    socket_.async_read_some(
        boost::asio::buffer(buffer_),
        [this](const boost::system::error_code& error, std::size_t size) { handleRead(error, size); });
  }

  void handleRead(const boost::system::error_code& error, std::size_t size) {
    if (finished_) return;
    if (error) {
      if (options_.mode == Mode::kWatch) {
        finish(kExitOk, "the agent closed the connection");
      } else {
        finish(kExitFailure,
               "the agent closed the connection before sending its status (" + error.message() + ")");
      }
      return;
    }
    decoder_.Feed(buffer_, size);
    IpcFrame frame;
    std::string problem;
    for (;;) {
      switch (decoder_.Next(frame, problem)) {
        case CIpcFrameDecoder::kNeedMore:
          read();
          return;
        case CIpcFrameDecoder::kMalformed:
          finish(kExitFailure, "malformed frame from the agent: " + problem);
          return;
        case CIpcFrameDecoder::kFrame:
          onFrame(frame);
          if (finished_) return;
          break;
      }
    }
  }

  void onFrame(const IpcFrame& frame) {
    if (options_.mode == Mode::kWatch) {
      if (options_.json) {
        out_ << withLineFeed(frame.json);
      } else {
        out_ << timeStamp() << " " << PayloadTypeName(frame.type) << "\n" << indented(describe(frame));
      }
      out_.flush();
      return;
    }
    // `status` shows the first status and statistics documents; a command
    // that happens to arrive in between is not what was asked for.
    if (frame.type == PAYLOAD_TYPE_STATUS && !status_) status_ = frame;
    if (frame.type == PAYLOAD_TYPE_STATS && !stats_) stats_ = frame;
    if (!status_ || !stats_) return;
    if (options_.mode == Mode::kMetrics) {
      out_ << FormatMetrics(status_->document, stats_->document);
    } else if (options_.json) {
      out_ << withLineFeed(status_->json) << withLineFeed(stats_->json);
    } else {
      out_ << describe(*status_) << describe(*stats_);
    }
    finish(kExitOk, "");
  }

  static std::string describe(const IpcFrame& frame) {
    switch (frame.type) {
      case PAYLOAD_TYPE_STATUS:
        return FormatStatus(frame.document);
      case PAYLOAD_TYPE_STATS:
        return FormatStats(frame.document);
      case PAYLOAD_TYPE_COMMAND:
        return FormatCommands(frame.document);
    }
    return std::string();
  }

  void finish(int exitCode, const std::string& message) {
    if (finished_) return;
    finished_ = true;
    exitCode_ = exitCode;
    if (!message.empty()) err_ << kProgram << ": " << message << "\n";
    // A scrape always gets an answer, if only that the agent is not there.
    if (exitCode != kExitOk && options_.mode == Mode::kMetrics) out_ << FormatMetricsDown();
    boost::system::error_code ignored;
    socket_.close(ignored);
    deadline_.cancel();
    signals_.cancel(ignored);
    signals_.clear(ignored);
  }

  const Options& options_;
  std::ostream& out_;
  std::ostream& err_;
  boost::asio::io_context io_;
  tcp::socket socket_;
  boost::asio::steady_timer deadline_;
  boost::asio::signal_set signals_;
  unsigned char buffer_[4096];
  CIpcFrameDecoder decoder_;
  std::optional<IpcFrame> status_;
  std::optional<IpcFrame> stats_;
  bool finished_ = false;
  int exitCode_ = kExitOk;
};

}  // namespace

std::string FormatStatus(const pt::ptree& status) {
  std::ostringstream out;
  line(out, "Agent status:", field(status, "AgentStatus"));
  line(out, "Client:", field(status, "ClientName"));
  line(out, "User:", field(status, "UserName"));
  line(out, "DNS protection:",
       "IPv4 " + field(status, "Dns4.ProtectionState") + ", IPv6 " + field(status, "Dns6.ProtectionState"));
  line(out, "IP protection:",
       "IPv4 " + field(status, "Ip4.ProtectionState") + ", IPv6 " + field(status, "Ip6.ProtectionState"));
  line(out, "Connection error:",
       "IPv4 " + field(status, "Ip4.connectionError") + ", IPv6 " + field(status, "Ip6.connectionError"));
  line(out, "Last connected:", field(status, "LastConnectedTime"));
  line(out, "Log upload:", field(status, "LogUploadEnabled"));
  line(out, "SWG:", field(status, "SWG.State") + ", enabled " + field(status, "SWG.Enabled"));
  return out.str();
}

std::string FormatStats(const pt::ptree& stats) {
  std::ostringstream out;
  for (const char* counter : {"ReqCnt", "RespCnt"}) {
    std::string value;
    for (const char* family : {"4", "6"}) {
      for (const char* transport : {"Udp", "Tcp"}) {
        if (!value.empty()) value += ", ";
        std::string upper = transport;
        for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        value += std::string("IPv") + family + " " + upper + " " +
                 field(stats, std::string("Dns") + family + "." + transport + "." + counter);
      }
    }
    line(out, std::string(counter) == "ReqCnt" ? "DNS requests:" : "DNS responses:", value);
  }
  line(out, "SWG connections:",
       "HTTP " + field(stats, "SWGHTTPConnCnt") + ", HTTPS " + field(stats, "SWGHTTPSConnCnt") +
           ", bypassed " + field(stats, "SWGBypassedConnCnt"));
  line(out, "SWG proxy:", textOrNone(stats, "SWGTarrowProxy"));
  line(out, "SWG user message:", textOrNone(stats, "SWGUserMsg"));
  return out.str();
}

std::string FormatCommands(const pt::ptree& commands) {
  std::ostringstream out;
  const auto list = commands.get_child_optional("Commands");
  if (list) {
    for (const auto& entry : *list) line(out, "Command:", textOrNone(entry.second, "Command"));
  }
  return out.str();
}

namespace {

// Label values may hold anything the agent was told (names of states come from
// the plug-ins); the format escapes three characters.
std::string labelValue(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

void metricHeader(std::ostream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
}

// A counter's value only when the document holds a whole decimal number.
std::optional<std::string> counterValue(const pt::ptree& document, const std::string& path) {
  const auto value = document.get_optional<std::string>(path);
  if (!value || value->empty() || value->size() > 20) return std::nullopt;
  for (char c : *value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return *value;
}

void stateSample(std::ostream& out, const char* name, const std::string& labels, const pt::ptree& document,
                 const std::string& path) {
  const auto value = document.get_optional<std::string>(path);
  if (!value) return;
  out << name << "{" << labels << (labels.empty() ? "" : ",") << "state=\"" << labelValue(*value)
      << "\"} 1\n";
}

}  // namespace

std::string FormatMetricsDown() {
  std::ostringstream out;
  metricHeader(out, "hxtarrow_agent_up", "gauge", "1 when the agent answered with its status, 0 otherwise.");
  out << "hxtarrow_agent_up 0\n";
  return out.str();
}

std::string FormatMetrics(const pt::ptree& status, const pt::ptree& stats) {
  std::ostringstream out;
  metricHeader(out, "hxtarrow_agent_up", "gauge", "1 when the agent answered with its status, 0 otherwise.");
  out << "hxtarrow_agent_up 1\n";
  metricHeader(out, "hxtarrow_agent_status", "gauge", "The agent's state, named by the label.");
  stateSample(out, "hxtarrow_agent_status", "", status, "AgentStatus");
  const struct {
    const char* label;
    const char* dns;
    const char* ip;
  } families[] = {{"ipv4", "Dns4", "Ip4"}, {"ipv6", "Dns6", "Ip6"}};
  metricHeader(out, "hxtarrow_dns_protection_state", "gauge",
               "DNS protection per address family, named by the label.");
  for (const auto& f : families) {
    stateSample(out, "hxtarrow_dns_protection_state", std::string("family=\"") + f.label + "\"", status,
                std::string(f.dns) + ".ProtectionState");
  }
  metricHeader(out, "hxtarrow_ip_protection_state", "gauge",
               "IP protection per address family, named by the label.");
  for (const auto& f : families) {
    stateSample(out, "hxtarrow_ip_protection_state", std::string("family=\"") + f.label + "\"", status,
                std::string(f.ip) + ".ProtectionState");
  }
  metricHeader(out, "hxtarrow_connection_error", "gauge",
               "1 while the family's connection reports an error.");
  for (const auto& f : families) {
    const auto flag = status.get_optional<std::string>(std::string(f.ip) + ".connectionError");
    if (flag)
      out << "hxtarrow_connection_error{family=\"" << f.label << "\"} " << (*flag == "true" ? 1 : 0) << "\n";
  }
  metricHeader(out, "hxtarrow_swg_state", "gauge", "The secure web gateway's state, named by the label.");
  const auto swgEnabled = status.get_optional<std::string>("SWG.Enabled");
  stateSample(out, "hxtarrow_swg_state",
              "enabled=\"" + labelValue(swgEnabled ? *swgEnabled : std::string("unknown")) + "\"", status,
              "SWG.State");

  const struct {
    const char* name;
    const char* key;
    const char* help;
  } dnsCounters[] = {
      {"hxtarrow_dns_requests_total", "ReqCnt", "DNS requests the agent took, since it started."},
      {"hxtarrow_dns_responses_total", "RespCnt", "DNS responses the agent gave, since it started."}};
  for (const auto& counter : dnsCounters) {
    metricHeader(out, counter.name, "counter", counter.help);
    for (const auto& f : families) {
      for (const char* transport : {"Udp", "Tcp"}) {
        const auto value = counterValue(stats, std::string(f.dns) + "." + transport + "." + counter.key);
        if (!value) continue;
        std::string lower = transport;
        for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        out << counter.name << "{family=\"" << f.label << "\",transport=\"" << lower << "\"} " << *value
            << "\n";
      }
    }
  }
  metricHeader(out, "hxtarrow_swg_connections_total", "counter",
               "Connections the secure web gateway reported, by kind, since the agent started.");
  for (const auto& [kind, key] : {std::pair<const char*, const char*>{"http", "SWGHTTPConnCnt"},
                                  {"https", "SWGHTTPSConnCnt"},
                                  {"bypassed", "SWGBypassedConnCnt"}}) {
    const auto value = counterValue(stats, key);
    if (value) out << "hxtarrow_swg_connections_total{kind=\"" << kind << "\"} " << *value << "\n";
  }
  return out.str();
}

std::string FormatFilterMetrics(const std::string& counterLines) {
  std::map<std::string, std::string> values;
  std::istringstream lines(counterLines);
  std::string name, value;
  while (lines >> name >> value) values[name] = value;
  auto whole = [](const std::string& text) {
    return !text.empty() && text.size() <= 20 && std::all_of(text.begin(), text.end(), [](char c) {
      return std::isdigit(static_cast<unsigned char>(c));
    });
  };
  std::ostringstream out;
  const auto mode = values.find("mode");
  if (mode != values.end()) {
    metricHeader(out, "hxtarrow_filter_mode", "gauge",
                 "The filter daemon's mode (stub, transparent, awaiting_capability), named by the label.");
    out << "hxtarrow_filter_mode{mode=\"" << labelValue(mode->second) << "\"} 1\n";
  }
  const struct {
    const char* key;
    const char* name;
    const char* type;
    const char* help;
  } series[] = {
      {"agent_connected", "hxtarrow_filter_agent_connected", "gauge",
       "1 while an agent holds the filter daemon's redirection."},
      {"redirected", "hxtarrow_filter_redirected_total", "counter",
       "Queries and TCP connections the filter daemon sent to the agent."},
      {"passed_through", "hxtarrow_filter_passed_through_total", "counter",
       "Queries the filter daemon sent to a pass-through resolver."},
      {"failed_over", "hxtarrow_filter_failed_over_total", "counter",
       "Queries sent to the agent first, then passed through."},
      {"answered_locally", "hxtarrow_filter_local_answers_total", "counter",
       "Error answers the filter daemon made itself."},
      {"dropped", "hxtarrow_filter_dropped_total", "counter",
       "Input the filter daemon could not answer at all."},
      {"unmatched_answers", "hxtarrow_filter_unmatched_answers_total", "counter",
       "Answers from the agent that matched no query."},
      {"rejected_answers", "hxtarrow_filter_rejected_answers_total", "counter",
       "Resolver answers of a wrong id, question or sender."},
      {"over_budget", "hxtarrow_filter_over_budget_total", "counter",
       "Queries dropped over the in-flight budget."},
      {"disruptions", "hxtarrow_filter_disruptions_total", "counter",
       "Disruption notices raised to the agent."},
      {"breaker_trips", "hxtarrow_filter_breaker_opens_total", "counter",
       "Times a family gave up on a hung agent listener."},
      {"in_flight", "hxtarrow_filter_queries_in_flight", "gauge", "Queries in flight now."},
      {"redirection", "hxtarrow_filter_redirection", "gauge",
       "1 while the family's queries are redirected to the agent."},
      {"breaker_open", "hxtarrow_filter_breaker_open", "gauge",
       "1 while the family's breaker is open (the agent's listener hangs)."},
      {"intercepted", "hxtarrow_filter_intercepted_total", "counter",
       "Transparent mode: queries and TCP connections intercepted."},
      {"intercepted_redirected", "hxtarrow_filter_intercepted_redirected_total", "counter",
       "Transparent mode: intercepted ones sent to the agent."},
      {"intercepted_white_listed", "hxtarrow_filter_intercepted_white_listed_total", "counter",
       "Transparent mode: intercepted ones passed on as white-listed."},
      {"intercepted_passed_through", "hxtarrow_filter_intercepted_passed_through_total", "counter",
       "Transparent mode: intercepted ones sent on to the original resolver."},
  };
  for (const auto& s : series) {
    std::string samples;
    for (const char* family : {"", "ipv4", "ipv6"}) {
      const auto found = values.find(*family ? std::string(s.key) + "." + family : std::string(s.key));
      if (found == values.end() || !whole(found->second)) continue;
      samples += s.name;
      if (*family) samples += std::string("{family=\"") + family + "\"}";
      samples += " " + found->second + "\n";
    }
    if (samples.empty()) continue;
    metricHeader(out, s.name, s.type, s.help);
    out << samples;
  }
  // The pass-through latency histogram: cumulative buckets by bound in ms.
  const auto count = values.find("pass_through_latency_count");
  const auto sum = values.find("pass_through_latency_sum_us");
  if (count == values.end() || !whole(count->second) || sum == values.end() || !whole(sum->second)) {
    return out.str();
  }
  const std::string prefix = "pass_through_latency_le_ms.";
  std::vector<std::pair<unsigned long long, std::string>> buckets;
  for (const auto& [key, value] : values) {
    if (key.compare(0, prefix.size(), prefix) != 0 || !whole(key.substr(prefix.size())) || !whole(value))
      continue;
    buckets.emplace_back(std::stoull(key.substr(prefix.size())), value);
  }
  std::sort(buckets.begin(), buckets.end());
  const char* histogram = "hxtarrow_filter_pass_through_latency_seconds";
  metricHeader(out, histogram, "histogram",
               "Time from a query to a pass-through resolver's answer, retries included.");
  char text[32];
  for (const auto& [bound, value] : buckets) {
    std::snprintf(text, sizeof text, "%g", static_cast<double>(bound) / 1000);
    out << histogram << "_bucket{le=\"" << text << "\"} " << value << "\n";
  }
  std::snprintf(text, sizeof text, "%.6f", static_cast<double>(std::stoull(sum->second)) / 1e6);
  out << histogram << "_bucket{le=\"+Inf\"} " << count->second << "\n"
      << histogram << "_sum " << text << "\n"
      << histogram << "_count " << count->second << "\n";
  return out.str();
}

std::string FilterDaemonMetrics() {
  std::string text, why;
  const std::string path = sockfilter::DefaultControlPath();
  if (!sockfilter::QueryDaemon(path, sockfilter::kMsgCounters, "hxtarrowctl metrics", text, why)) {
    for (char& c : why) {
      if (c == '\n') c = ' ';
    }
    return "# hxtarrow_filter_*: absent: " + why + "\n";
  }
  return FormatFilterMetrics(text);
}

std::vector<ProgramRow> ParseProgramRows(const std::vector<std::string>& rows) {
  std::vector<ProgramRow> parsed;
  for (const std::string& row : rows) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      std::size_t tab = row.find('\t', start);
      fields.push_back(row.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() < 10) continue;  // a newer daemon's rows may add fields, never take any away
    ProgramRow p;
    p.program = fields[0];
    p.uid = fields[1];
    p.pid = fields[2];
    p.unit = fields[3];
    p.queries = fields[4];
    p.toAgent = fields[5];
    p.blocked = fields[6];
    p.secondsAgo = fields[7];
    p.ignored = fields[8] == "1";
    if (fields[9] != "-") {
      std::istringstream names(fields[9]);
      for (std::string name; names >> name;) p.names.push_back(name);
    }
    parsed.push_back(std::move(p));
  }
  return parsed;
}

std::string FormatProgramTable(const std::string& note, const std::vector<ProgramRow>& rows) {
  std::ostringstream out;
  if (note == "attribution is off") return "hxsockfilterd counts no programs: attribution is off\n";
  char line[512];
  std::snprintf(line, sizeof line, "%-36s %6s %7s %9s %9s %8s %5s  %s\n", "PROGRAM", "UID", "PID", "QUERIES",
                "TO AGENT", "BLOCKED", "AGO", note == "names" ? "UNIT / LAST NAMES" : "UNIT");
  out << line;
  for (const ProgramRow& p : rows) {
    std::string program = p.program + (p.ignored ? " (ignored)" : "");
    if (program.size() > 36) program = "..." + program.substr(program.size() - 33);
    std::snprintf(line, sizeof line, "%-36s %6s %7s %9s %9s %8s %4ss  %s\n", program.c_str(), p.uid.c_str(),
                  p.pid.c_str(), p.queries.c_str(), p.toAgent.c_str(), p.blocked.c_str(),
                  p.secondsAgo.c_str(), p.unit.c_str());
    out << line;
    if (!p.names.empty()) {
      out << "    ";
      for (const std::string& name : p.names) out << ' ' << name;
      out << '\n';
    }
  }
  if (note != "names") out << "(names asked are shown only to root, the daemon's user and the agent's)\n";
  return out.str();
}

std::string FormatProgramJson(const std::string& note, const std::vector<ProgramRow>& rows) {
  pt::ptree document;
  document.put("version", "1");
  document.put("names", note == "names" ? "1" : "0");
  document.put("attribution", note == "attribution is off" ? "0" : "1");
  pt::ptree programs;
  for (const ProgramRow& p : rows) {
    pt::ptree row;
    row.put("program", p.program);
    row.put("uid", p.uid);
    row.put("pid", p.pid);
    row.put("unit", p.unit);
    row.put("queries", p.queries);
    row.put("to_agent", p.toAgent);
    row.put("blocked", p.blocked);
    row.put("seconds_ago", p.secondsAgo);
    row.put("ignored", p.ignored ? "1" : "0");
    pt::ptree names;
    for (const std::string& name : p.names) names.push_back({"", pt::ptree(name)});
    row.add_child("names", names);
    programs.push_back({"", row});
  }
  document.add_child("programs", programs);
  std::ostringstream out;
  pt::write_json(out, document, false);
  return withLineFeed(out.str());
}

namespace {

int runTop(const Options& options, std::ostream& out, std::ostream& err) {
  const std::string path = sockfilter::DefaultControlPath();
  auto once = [&](std::string& shown) {
    std::string note, why;
    std::vector<std::string> rows;
    if (!sockfilter::QueryDaemonRows(path, sockfilter::kMsgPrograms, "hxtarrowctl top", note, &rows, why)) {
      err << kProgram << ": top: " << why << "\n";
      return false;
    }
    const std::vector<ProgramRow> parsed = ParseProgramRows(rows);
    shown = options.json ? FormatProgramJson(note, parsed) : FormatProgramTable(note, parsed);
    return true;
  };
  std::string shown;
  if (options.json || options.once) {
    if (!once(shown)) return kExitFailure;
    out << shown;
    return kExitOk;
  }
  boost::asio::io_context io;
  boost::asio::steady_timer timer(io);
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  int exitCode = kExitOk;
  unsigned long shownPages = 0;
  signals.async_wait([&](const boost::system::error_code& e, int) {
    if (!e) timer.cancel();
  });
  std::function<void()> refresh = [&] {
    if (!once(shown)) {
      exitCode = kExitFailure;
      signals.cancel();
      return;
    }
    // As watch(1) does: home, clear, then the page.
    out << "\x1b[H\x1b[2J" << timeStamp() << "  hxtarrowctl top (Ctrl-C ends)\n\n" << shown << std::flush;
    if (++shownPages == options.pages) {
      signals.cancel();
      return;
    }
    timer.expires_after(options.refresh);
    timer.async_wait([&](const boost::system::error_code& e) {
      if (e) {
        signals.cancel();
        return;
      }
      refresh();
    });
  };
  refresh();
  io.run();
  return exitCode;
}

}  // namespace

int RunArrowCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  std::string problem;
  if (!parseArguments(args, options, problem)) {
    err << kProgram << ": " << problem << "\n" << kUsage;
    return kExitUsage;
  }
  if (options.help) {
    out << kUsage;
    return kExitOk;
  }
  if (options.mode == Mode::kTop) return runTop(options, out, err);
  CCtlSession session(options, out, err);
  int exitCode = session.Run();
  // The agent's series first; the daemon's follow whether or not the agent answered.
  if (options.mode == Mode::kMetrics) out << FilterDaemonMetrics();
  return exitCode;
}

}  // namespace hxt::ctl
