#include <cstdlib>

#include "common/controlproto.h"

namespace hxt::sockfilter {

std::string DefaultControlPath() {
  const char* forced = std::getenv("HXT_SOCKFILTER_CONTROL");
  if (forced != nullptr && *forced != '\0') return forced;
  const char* root = std::getenv("HXT_ROOT");
  std::string base = root != nullptr ? root : "";
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base + "/run/hxsockfilterd.sock";
}

}  // namespace hxt::sockfilter
