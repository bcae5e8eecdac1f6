// hxtarrowctl: the command-line view of the agent's loopback IPC.
//
// It connects where the UI connects, decodes the frames the agent pushes and
// prints them, readably or as the raw JSON documents. It never sends a byte:
// the agent would warn about every one. The whole program is `RunArrowCtl`, so
// that tests run it in-process against a live IPC manager or a fake server.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

namespace hxt::ctl {

// How long `status` waits for the two documents a new client is sent at once.
constexpr std::chrono::seconds kStatusWaitTimeout{5};
// How often `top` asks the filter daemon again (-d changes it).
constexpr std::chrono::seconds kTopRefresh{2};

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // no agent, malformed frame, agent gone too early
constexpr int kExitUsage = 2;

// `args` without the program name. Normal output goes to `out`, diagnostics
// to `err`; the result is the process exit code. `watch` stops on SIGINT or
// SIGTERM (caught only while it runs) or when the agent closes the connection.
int RunArrowCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Readable forms of the documents, one "Label: value" line each.
std::string FormatStatus(const boost::property_tree::ptree& status);
std::string FormatStats(const boost::property_tree::ptree& stats);
std::string FormatCommands(const boost::property_tree::ptree& commands);

// The status and statistics documents in the Prometheus text exposition
// format: states as gauges labelled with the state's name (value 1), the
// agent's counters as counters. Fields missing from a document are left out.
std::string FormatMetrics(const boost::property_tree::ptree& status,
                          const boost::property_tree::ptree& stats);

// What `metrics` prints when no status came: the agent is down.
std::string FormatMetricsDown();

// The filter daemon's COUNTERS reply ("name value" lines; a family's names end
// in ".ipv4" or ".ipv6") in the same format; names it does not know and
// values that are not whole numbers are left out.
std::string FormatFilterMetrics(const std::string& counterLines);
// One row of the filter daemon's PROGRAMS reply, as the daemon sent it.
struct ProgramRow {
  std::string program, uid, pid, unit, queries, toAgent, blocked, secondsAgo;
  bool ignored = false;
  std::vector<std::string> names;
};
// The rows ("program\tuid\tpid\tunit\tqueries\tto agent\tblocked\tseconds
// ago\tignored\tnames" lines); rows of fewer fields are left out.
std::vector<ProgramRow> ParseProgramRows(const std::vector<std::string>& rows);
// `top`'s page and `top --json`'s document; `note` is the reply's text
// ("names", "counters only" or "attribution is off").
std::string FormatProgramTable(const std::string& note, const std::vector<ProgramRow>& rows);
std::string FormatProgramJson(const std::string& note, const std::vector<ProgramRow>& rows);

// What `metrics` appends about the filter daemon: its series, or a comment
// saying why there are none (no daemon, no access to its control socket).
std::string FilterDaemonMetrics();

}  // namespace hxt::ctl
