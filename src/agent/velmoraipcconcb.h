// How an IPC connection reaches its manager. Called on the I/O service thread
// that runs the connection's completions.
#pragma once

#include <string>

#include "common/apidata.h"
#include "common/hxttypes.h"

namespace hxt {

class IVelmoraIpcConCB {
 public:
  // The connection's socket was closed; the manager forgets the number.
  /* 0 */ virtual void OnConnectionClose(u32 connectionNumber) = 0;
  // The current document of `type`; false when it cannot be built.
  /* 1 */ virtual bool GetJsonPayload(PayloadType type, std::string& json) = 0;
  /* 2 */ virtual ~IVelmoraIpcConCB() = default;
};

}  // namespace hxt
