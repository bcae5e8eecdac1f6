#include "daemon/processlimits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

namespace hxt::sockfilter {

void PrepareDaemonProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  rlim_t wanted = std::min<rlim_t>(limit.rlim_max, 65536);
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = wanted;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

u32 DaemonPid() {
  return static_cast<u32>(::getpid());
}

}  // namespace hxt::sockfilter
