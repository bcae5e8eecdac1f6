#include "e2e/daemonprocess.h"

#include <map>

namespace hxt::test {

namespace {
std::vector<std::string> DaemonArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {HXT_SOCKFILTERD_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}
}  // namespace

DaemonProcess::DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                             const std::string& notifySocket)
    : ChildProcess(DaemonArgv(args), root.path() + "/hxsockfilterd.log",
                   notifySocket.empty()
                       ? std::map<std::string, std::string>{}
                       : std::map<std::string, std::string>{{"NOTIFY_SOCKET", notifySocket}}) {}

std::vector<std::string> StubArgs(u16 port, u16 resolverPort) {
  return {"--stub4",     "127.0.0.1:" + std::to_string(port),
          "--stub6",     "[::1]:" + std::to_string(port),
          "--resolvers", "127.0.0.1:" + std::to_string(resolverPort)};
}

// dig's short answer ("" when it got none).
std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp,
                const std::string& type) {
  return Output("dig @" + server + " -p " + std::to_string(port) + " " + name + " " + type +
                " +short +tries=1 +time=5" + (tcp ? " +tcp" : ""));
}

}  // namespace hxt::test
