// The two datagram protocols the agent and hxsockfilterd speak with systemd,
// written out here instead of linking libsystemd: the library and the
// compression and cryptography libraries it loads would be 0.7 MiB of the
// agent's and a third of the daemon's resident memory, for two sendmsg calls.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace hxt::platform {

// A state for the service manager ("READY=1", "STATUS=...") on the socket
// named by $NOTIFY_SOCKET (a path, or an abstract name after '@'). Outside
// systemd (no such variable) nothing is sent and the call succeeds.
bool NotifyServiceManager(const std::string& state);

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

// One journal record: the message (any bytes, new lines included), its
// syslog priority and identifier, and fields of the caller's own (upper-case
// names). False when the journal's socket does not take it.
using JournalFields = std::vector<std::pair<const char*, std::string>>;
bool SendToJournal(const char* message, int priority, const char* identifier, const JournalFields& extra = {},
                   const char* socketPath = kJournalSocket);

}  // namespace hxt::platform
