// What runs the daemon once its configuration is known, per platform.
//
// Linux: the process itself, in a terminal or under systemd (Type=notify):
// SIGTERM and SIGINT stop it, states go to the notify socket.
// Windows: a service of its own under the SCM, whose DNS client is steered
// to the stub through one Name Resolution Policy Table rule while the stub
// listens; run from a console (no SCM to connect to), the same without the
// rule, Ctrl-C stopping it.
#pragma once

#include "daemon/sockfilterconfig.h"

namespace hxt::sockfilter {

constexpr int kExitSetup = 3;

// A command of the platform's own that is no daemon run (Windows: --install,
// --uninstall, --recover, --remove-nrpt): true and its exit code in `code`.
bool HostCommand(int argc, char** argv, int& code);

// Runs the daemon until it is told to stop: 0, or kExitSetup when the stub
// addresses or the control channel could not be set up.
int RunDaemon(const SockFilterConfig& config);

}  // namespace hxt::sockfilter
