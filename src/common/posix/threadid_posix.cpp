// The thread id of log lines. Apart from the event log adapter so that the
// filter daemon, which logs through the same functions into a sink of its
// own, does not link the journal's library for it.
#include <sys/syscall.h>
#include <unistd.h>

#include "common/eventlog.h"

namespace hxt::platform {

u32 CurrentThreadId() {
  return static_cast<u32>(::syscall(SYS_gettid));
}

}  // namespace hxt::platform
