#include <cstdlib>

#include "common/controlproto.h"

namespace hxt::sockfilter {

// A pipe's name, not a file: HXT_ROOT has no part in it.
std::string DefaultControlPath() {
  const char* forced = std::getenv("HXT_SOCKFILTER_CONTROL");
  if (forced != nullptr && *forced != '\0') return forced;
  return "\\\\.\\pipe\\hxsockfilterd";
}

}  // namespace hxt::sockfilter
