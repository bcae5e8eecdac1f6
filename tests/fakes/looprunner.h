// Runs an orchestrator's loop on a thread of its own for one test. A test that ends early (a failed ASSERT)
// still ends the loop: the destructor requests the shutdown, so no test hangs on a loop nobody stops.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

#include "agent/velmoramainthread.h"

namespace hxt::test {

class LoopRunner {
 public:
  explicit LoopRunner(CVelmoraMainThread* orchestrator)
      : orchestrator_(orchestrator),
        result_(std::async(std::launch::async, [orchestrator] { return orchestrator->Run(); })) {}

  ~LoopRunner() {
    if (!result_.valid()) return;
    if (result_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) orchestrator_->RequestShutdown();
    Wait();
  }

  // Run's result; a loop that does not end in time fails the test and ends
  // the process, since it would outlive its orchestrator.
  bool Wait(std::chrono::seconds timeout = std::chrono::seconds(30)) {
    if (result_.wait_for(timeout) != std::future_status::ready) {
      ADD_FAILURE() << "the loop did not end";
      std::abort();
    }
    return result_.get();
  }

 private:
  CVelmoraMainThread* orchestrator_;
  std::future<bool> result_;
};

}  // namespace hxt::test
