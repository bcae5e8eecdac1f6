// How the listener hosts report to the orchestrator. Called on a host's I/O
// thread; every operation answers at once.
#pragma once

#include <memory>

#include "common/hxttypes.h"

namespace hxt {

class CVelmoraTcpListenerConnection;

class IVelmoraListenerCB {
 public:
  /* 0 */ virtual bool OnFirstRequestTcpFragmentAvailable(const unsigned char* data, u32 size,
                                                          std::shared_ptr<CVelmoraTcpListenerConnection> connection,
                                                          u32& contextId) = 0;
  /* 1 */ virtual bool OnRequestTcpFragmentAvailable(const unsigned char* data, u32 size, u32 contextId) = 0;
  /* 2 */ virtual bool CloseSession(u32 contextId) = 0;
  /* 3 */ virtual bool OnUdpRequestAvailable(const unsigned char* data, u32 size) = 0;
  /* 4 */ virtual void OnListenerException(u32 family) = 0;
  /* 5 */ virtual ~IVelmoraListenerCB() = default;
};

}  // namespace hxt
