#include "daemon/statusclient.h"

#include <cstdio>

#include "common/controlproto.h"
#include "common/daemonquery.h"

namespace hxt::sockfilter {

int PrintDaemonStatus(const std::string& controlPath) {
  std::string text, why;
  if (!QueryDaemon(controlPath, kMsgStatus, "hxsockfilterd --status", text, why)) {
    std::fprintf(stderr, "hxsockfilterd: %s\n", why.c_str());
    return 1;
  }
  std::printf("%s\n", text.c_str());
  return 0;
}

}  // namespace hxt::sockfilter
