// `hxsockfilterd --status`: asks a running daemon over its control socket
// and prints its status line.
#pragma once

#include <string>

namespace hxt::sockfilter {

// 0 and the status on standard output; 1 and the reason on standard error
// when no daemon answered.
int PrintDaemonStatus(const std::string& controlPath);

}  // namespace hxt::sockfilter
