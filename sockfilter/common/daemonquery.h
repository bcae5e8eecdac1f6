// One question to a running hxsockfilterd over its control socket: HELLO,
// then a request without a body, answered with a text (STATUS, COUNTERS).
// Used by `hxsockfilterd --status` and `hxtarrowctl metrics`.
#pragma once

#include <string>
#include <vector>

#include "common/controlproto.h"

namespace hxt::sockfilter {

// True and the reply's text, or false and why not (no daemon, no access, a
// refusal or an error status with its text).
bool QueryDaemon(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                 std::string& why);
// The same for a reply whose text is followed by rows (PROGRAMS); `rows`
// null reads only the text.
bool QueryDaemonRows(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                     std::vector<std::string>* rows, std::string& why);

}  // namespace hxt::sockfilter
