// What the daemon's process sets up before anything else, and its own id,
// per platform.
#pragma once

#include "common/hxttypes.h"

namespace hxt::sockfilter {

// Linux: SIGPIPE ignored (a peer that goes away is an error code, not a
// signal) and the descriptor limit raised: every pass-through query has a
// socket of its own (a random port each) and every TCP client two, and the
// usual soft limit of 1024 is less than the bounds allow. Windows: nothing
// to change (no such signal, no such limit).
void PrepareDaemonProcess();

// The daemon's process id, which peers are told in the handshake.
u32 DaemonPid();

}  // namespace hxt::sockfilter
