// Process entry of the service on Linux.
#include <cstdio>

#include "common/applog.h"
#include "common/eventlog.h"

int main() {
  if (!hxt::CAppLog::createSingletonInstance()) {
    hxt::platform::OutputDebugString("Failed to instance logger");
    return 1;
  }
  HXT_LOG(hxt::LOG_LEVEL_INFO, "hxtarrowagent started");
  hxt::CAppLog::releaseInstance();
  return 0;
}
