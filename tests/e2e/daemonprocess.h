// hxsockfilterd as a process under test, and the DNS client side of the end-to-end tests (dig, free ports).
// Only executables that name the daemon's binary (HXT_SOCKFILTERD_BINARY) include it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "common/hxttypes.h"
#include "e2e/serviceprocess.h"
#include "fakes/testroot.h"

namespace hxt::test {

// The daemon's process, its output in a file in the root.
class DaemonProcess : public ChildProcess {
 public:
  DaemonProcess(const TestRoot& root, const std::vector<std::string>& args,
                const std::string& notifySocket = "")
      : ChildProcess(Argv(args), root.path() + "/hxsockfilterd.log",
                     notifySocket.empty()
                         ? std::map<std::string, std::string>{}
                         : std::map<std::string, std::string>{{"NOTIFY_SOCKET", notifySocket}}) {}

 private:
  static std::vector<std::string> Argv(std::vector<std::string> args) {
    args.insert(args.begin(), HXT_SOCKFILTERD_BINARY);
    return args;
  }
};

// The daemon's arguments for stubs on both loopbacks at `port`, passing
// through to the resolver on 127.0.0.1 at `resolverPort`.
inline std::vector<std::string> StubArgs(u16 port, u16 resolverPort) {
  return {"--stub4",     "127.0.0.1:" + std::to_string(port),
          "--stub6",     "[::1]:" + std::to_string(port),
          "--resolvers", "127.0.0.1:" + std::to_string(resolverPort)};
}

// dig's short answer for `name` and `type` ("" when it got none).
inline std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp = false,
                       const std::string& type = "A") {
  return Output("dig @" + server + " -p " + std::to_string(port) + " " + name + " " + type +
                " +short +tries=1 +time=5" + (tcp ? " +tcp" : ""));
}

}  // namespace hxt::test
