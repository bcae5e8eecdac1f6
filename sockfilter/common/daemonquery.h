// One question to a running hxsockfilterd over its control socket: HELLO,
// then a request without a body, answered with a text (STATUS, COUNTERS).
// Used by `hxsockfilterd --status` and `hxtarrowctl metrics`. Linux only.
#pragma once

#include <string>

#include "common/controlproto.h"

namespace hxt::sockfilter {

// True and the reply's text, or false and why not (no daemon, no access, a
// refusal or an error status with its text).
bool QueryDaemon(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                 std::string& why);

}  // namespace hxt::sockfilter
