// How the socket-filter manager tells the orchestrator that the filter's
// redirection was disrupted. Called on the filter library's thread.
#pragma once

namespace hxt {

class IVelmoraKdfCB {
 public:
  virtual ~IVelmoraKdfCB() = default;
  virtual void NotifyKdfDisruption() = 0;
};

}  // namespace hxt
