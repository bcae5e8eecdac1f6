// hxsockfilterd: the DNS redirector the agent's filter library drives.
//
//   hxsockfilterd [--control PATH] [--stub4 ADDR|off] [--stub6 ADDR|off]
//                 [--resolvers LIST] [--mode stub|transparent] [--verbose]
//                 [--attribution on|off] [--ignored-programs LIST]
//   hxsockfilterd --status [--control PATH]
//
// The registry key (README, "Socket filter") configures it; the options
// override the key. Runs in a terminal or under systemd (Type=notify); on
// Windows under the SCM as the service hxsockfilterd, with --install,
// --uninstall, --recover N and --remove-nrpt besides (daemonhost.h). Exit
// codes: 0 stopped by SIGTERM or SIGINT, 2 bad options or configuration,
// 3 the control socket or the stub addresses could not be set up.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include <boost/asio/ip/udp.hpp>

#include "common/applog.h"
#include "daemon/daemonhost.h"
#include "daemon/daemonlogger.h"
#include "daemon/processlimits.h"
#include "daemon/sockfilterconfig.h"
#include "daemon/statusclient.h"

namespace {

using namespace hxt;
using namespace hxt::sockfilter;

constexpr int kExitUsage = 2;

void usage(FILE* out) {
  std::fputs(
      "usage: hxsockfilterd [--control PATH] [--stub4 ADDR|off] [--stub6 ADDR|off]\n"
      "                     [--resolvers LIST] [--mode stub|transparent] [--verbose]\n"
      "                     [--attribution on|off] [--ignored-programs LIST]\n"
      "       hxsockfilterd --status [--control PATH]\n"
      "  --control PATH    control socket (default $HXT_ROOT/run/hxsockfilterd.sock)\n"
      "  --stub4 ADDR      IPv4 stub address, e.g. 127.0.0.1:5353 (default 127.0.0.1:53)\n"
      "  --stub6 ADDR      IPv6 stub address, e.g. [::1]:5353 (default [::1]:53)\n"
      "  --resolvers LIST  pass-through resolvers, e.g. \"192.0.2.53,[2001:db8::53]:53\"\n"
      "                    (default: the registry, else /etc/resolv.conf)\n"
      "  --mode MODE       stub (default) or transparent (redirects all outgoing DNS; root)\n"
      "  --attribution X   on (default) or off: count queries per program (hxtarrowctl top)\n"
      "  --ignored-programs LIST  executables (full paths, separated by ';') whose queries\n"
      "                    never go to the agent\n"
      "  --status          print the running daemon's mode, rules and counters\n"
      "  --verbose         debug records too\n",
      out);
}

bool applyStub(const char* text, bool v6, std::optional<boost::asio::ip::udp::endpoint>& stub) {
  if (std::strcmp(text, "off") == 0) {
    stub.reset();
    return true;
  }
  boost::asio::ip::udp::endpoint endpoint;
  if (!ParseEndpoint(text, kDnsPort, endpoint) || endpoint.address().is_v6() != v6) return false;
  stub = endpoint;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  PrepareDaemonProcess();
  int hostExit = 0;
  if (HostCommand(argc, argv, hostExit)) return hostExit;
  bool verbose = false;
  bool status = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--verbose") == 0) verbose = true;
    if (std::strcmp(argv[i], "--status") == 0) status = true;
    if (std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
  }
  auto* log = new CAppLog(std::make_unique<CDaemonLogger>(), verbose);
  if (!CAppLog::registerInstance(log)) {
    delete log;
    return 1;
  }
  struct LogRelease {
    ~LogRelease() { CAppLog::releaseInstance(); }
  } logRelease;

  SockFilterConfig config;
  std::string error;
  if (!LoadConfig(config, error)) {
    HXT_LOG(LOG_LEVEL_ERROR, "hxsockfilterd: %s", error.c_str());
    return kExitUsage;
  }
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--verbose" || option == "--status") continue;
    if (i + 1 >= argc) {
      usage(stderr);
      return kExitUsage;
    }
    const char* value = argv[++i];
    bool ok = true;
    std::string bad;
    if (option == "--control") {
      config.controlPath = value;
    } else if (option == "--stub4") {
      ok = applyStub(value, false, config.stub4);
    } else if (option == "--stub6") {
      ok = applyStub(value, true, config.stub6);
    } else if (option == "--mode") {
      config.mode = value;
      ok = config.mode == kModeStub || config.mode == kModeTransparent;
    } else if (option == "--attribution") {
      ok = std::strcmp(value, "on") == 0 || std::strcmp(value, "off") == 0;
      config.attribution = std::strcmp(value, "on") == 0;
    } else if (option == "--ignored-programs") {
      config.ignoredPrograms = ParsePathList(value);
    } else if (option == "--resolvers") {
      ok = ParseEndpointList(value, config.resolvers, bad);
      config.resolvConfPath.clear();  // a fixed list
    } else {
      ok = false;
    }
    if (!ok) {
      HXT_LOG(LOG_LEVEL_ERROR, "hxsockfilterd: bad option %s %s", option.c_str(), value);
      usage(stderr);
      return kExitUsage;
    }
  }
  if (!CheckStubAddresses(config, error)) {
    HXT_LOG(LOG_LEVEL_ERROR, "hxsockfilterd: %s", error.c_str());
    return kExitUsage;
  }

  if (status) return PrintDaemonStatus(config.controlPath);

  return RunDaemon(config);
}
