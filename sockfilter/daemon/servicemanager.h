// The two datagram protocols hxsockfilterd speaks with systemd, written out
// here instead of linking libsystemd: the library and the compression and
// cryptography libraries it loads would be a third of the daemon's resident
// memory, for two sendmsg calls.
#pragma once

#include <string>

namespace hxt::sockfilter {

// A state for the service manager ("READY=1", "STATUS=...") on the socket
// named by $NOTIFY_SOCKET (a path, or an abstract name after '@'). Outside
// systemd (no such variable) nothing is sent and the call succeeds.
bool NotifyServiceManager(const std::string& state);

// One journal record: the message (any bytes, new lines included), its
// syslog priority and identifier. False when the journal's socket does not
// take it.
bool SendToJournal(const char* message, int priority, const char* identifier,
                   const char* socketPath = "/run/systemd/journal/socket");

}  // namespace hxt::sockfilter
