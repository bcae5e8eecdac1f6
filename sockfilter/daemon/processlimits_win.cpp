#include <windows.h>

#include "daemon/processlimits.h"

namespace hxt::sockfilter {

void PrepareDaemonProcess() {}

u32 DaemonPid() {
  return static_cast<u32>(::GetCurrentProcessId());
}

}  // namespace hxt::sockfilter
