#include "vpn/agent/intermodulestate.h"

#include <cstring>

#include "common/applog.h"

namespace hxt {

RawVpnState DefaultRawVpnState() {
  RawVpnState state;
  std::memset(&state, 0, sizeof state);
  state.header = 1;
  state.tndState = kTndUndefined;
  state.tunnelState = kTunnelDisconnected;
  state.tunnelModeIpv4 = kTunnelModeUndefined;
  state.tunnelModeIpv6 = kTunnelModeUndefined;
  return state;
}

CInterModuleVPNStateReaderWriter::CInterModuleVPNStateReaderWriter(bool& ok,
                                                                   const VpnSharedObjectNames& names)
    : buffer(std::make_unique<RawVpnState>(DefaultRawVpnState())) {
  sharedMemory =
      std::make_unique<CSharedMemory>(ok, buffer.get(), kRawVpnStateSize, kSharedMemoryRoleReader, names);
  if (!ok) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterModuleVPNStateReaderWriter::CInterModuleVPNStateReaderWriter",
             "CSharedMemory failed");
  }
}

CInterModuleVPNStateReaderWriter::~CInterModuleVPNStateReaderWriter() = default;

bool CInterModuleVPNStateReaderWriter::GetCurrentState(RawVpnState& destination) {
  u32 size = kRawVpnStateSize;
  if (!sharedMemory->ReadSharedMemory(size, buffer.get())) {
    HXT_LOGF(LOG_LEVEL_ERROR, "CInterModuleVPNStateReaderWriter::GetCurrentState",
             "Unable to read from the memory location, buff size required = %u", size);
    return false;
  }
  std::memcpy(&destination, buffer.get(), sizeof destination);
  return true;
}

}  // namespace hxt
