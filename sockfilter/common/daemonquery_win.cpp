// The control channel on Windows is not a UNIX socket: asking a running
// daemon is not there yet, and says so.
#include "common/daemonquery.h"

namespace hxt::sockfilter {

bool QueryDaemonRows(const std::string&, u16, const char*, std::string&, std::vector<std::string>*,
                     std::string& why) {
  why = "asking a running daemon is not available on Windows yet";
  return false;
}

bool QueryDaemon(const std::string& controlPath, u16 request, const char* clientName, std::string& text,
                 std::string& why) {
  return QueryDaemonRows(controlPath, request, clientName, text, nullptr, why);
}

}  // namespace hxt::sockfilter
