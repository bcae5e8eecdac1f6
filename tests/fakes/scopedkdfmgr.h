// Registers the socket-filter manager (over the filter library's test double)
// for a test's scope, as the orchestrator's construction does in the service.
#pragma once

#include <gtest/gtest.h>

#include "agent/velmorakdfcb.h"
#include "agent/velmorakdfpluginmgr.h"

namespace hxt::test {

class ScopedKdfPluginMgr : private IVelmoraKdfCB {
 public:
  ScopedKdfPluginMgr() {
    EXPECT_EQ(CVelmoraKdfPluginMgr::createSingletonInstance(this, &manager_), kKdfMgrOk);
  }
  ~ScopedKdfPluginMgr() override { CVelmoraKdfPluginMgr::releaseInstance(manager_); }
  ScopedKdfPluginMgr(const ScopedKdfPluginMgr&) = delete;
  ScopedKdfPluginMgr& operator=(const ScopedKdfPluginMgr&) = delete;

 private:
  void NotifyKdfDisruption() override {}
  CVelmoraKdfPluginMgr* manager_ = nullptr;
};

}  // namespace hxt::test
