// hxsockfilterd as a process under test, and the DNS client side of the
// end-to-end tests (dig, free ports).
#pragma once

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
                const std::string& notifySocket = "");
};

// The daemon's arguments for stubs on both loopbacks at `port`, passing
// through to the resolver on 127.0.0.1 at `resolverPort`.
std::vector<std::string> StubArgs(u16 port, u16 resolverPort);

// dig's short answer for `name` and `type` ("" when it got none).
std::string Dig(const std::string& server, u16 port, const std::string& name, bool tcp = false,
                const std::string& type = "A");

}  // namespace hxt::test
