// How the VPN consumer reports to the orchestrator, on its polling thread.
#pragma once

#include "common/hxttypes.h"

namespace hxt {

struct RawVpnState;  // the shared-memory record; valid only during the call

class IVelmoraVpnConsumerCB {
 public:
  /* 0 */ virtual void VpnStateChanged(const RawVpnState& state) = 0;
  /* 1 */ virtual void UserSessionChanged(u32 event) = 0;
  /* 2 */ virtual ~IVelmoraVpnConsumerCB() = default;
};

}  // namespace hxt
