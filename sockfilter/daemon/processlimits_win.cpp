#include "daemon/processlimits.h"

namespace hxt::sockfilter {

void PrepareDaemonProcess() {}

}  // namespace hxt::sockfilter
