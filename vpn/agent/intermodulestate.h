// The VPN agent's state record in shared memory, and its reader.
//
// `RawVpnState` is what the VPN agent and this service agree on, byte for byte: integers
// little-endian, texts NUL-terminated 8-bit in fixed fields (a text that
// fills its field has no NUL), lists comma-separated inside one text.
// `CInterModuleVPNStateReaderWriter` reads whole records out of the section;
// the section lives on for as long as any process holds it.
#pragma once

#include <cstddef>
#include <memory>

#include "common/hxttypes.h"
#include "vpn/agent/sharedmemory.h"

namespace hxt {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record's integers are little-endian");

// Values of the record's words.
constexpr u32 kUserSessionNone = 0;
constexpr u32 kUserSessionLogon = 1;
constexpr u32 kUserSessionLogoff = 2;
constexpr u32 kTndTrusted = 0;
constexpr u32 kTndUntrusted = 1;
constexpr u32 kTndUndefined = 2;
constexpr u32 kTunnelDisconnected = 4;
constexpr u32 kTunnelModeUndefined = 5;

#pragma pack(push, 1)
struct RawVpnState {
  u32 header;                             // 0
  u32 reserved0;                          // 4
  u32 userSessionEvent;                   // 8
  u32 tndState;                           // 12
  u32 tunnelState;                        // 16
  u32 tunnelModeIpv4;                     // 20
  char dnsServersIpv4[48];                // 24
  char splitIncludeNetworksIpv4[47500];   // 72
  u8 splitDnsIpv4;                        // 47572
  u8 padding0[3];                         // 47573
  u32 reserved1;                          // 47576
  u32 tunnelModeIpv6;                     // 47580
  char dnsServersIpv6[120];               // 47584
  char splitIncludeNetworksIpv6[110000];  // 47704
  u8 splitDnsIpv6;                        // 157704
  u8 padding1;                            // 157705
  u8 reserved2[16];                       // 157706
  u8 padding2[2];                         // 157722
  char splitDnsDomains[1281];             // 157724
  u8 tunnelAllDns;                        // 159005
  u8 padding3[2];                         // 159006
};
#pragma pack(pop)

constexpr u32 kRawVpnStateSize = 159008;
static_assert(sizeof(RawVpnState) == kRawVpnStateSize, "RawVpnState layout");
static_assert(offsetof(RawVpnState, userSessionEvent) == 8 && offsetof(RawVpnState, tndState) == 12 &&
                  offsetof(RawVpnState, tunnelState) == 16 && offsetof(RawVpnState, tunnelModeIpv4) == 20 &&
                  offsetof(RawVpnState, dnsServersIpv4) == 24 &&
                  offsetof(RawVpnState, splitIncludeNetworksIpv4) == 72 &&
                  offsetof(RawVpnState, splitDnsIpv4) == 47572 && offsetof(RawVpnState, reserved1) == 47576 &&
                  offsetof(RawVpnState, tunnelModeIpv6) == 47580 &&
                  offsetof(RawVpnState, dnsServersIpv6) == 47584 &&
                  offsetof(RawVpnState, splitIncludeNetworksIpv6) == 47704 &&
                  offsetof(RawVpnState, splitDnsIpv6) == 157704 &&
                  offsetof(RawVpnState, reserved2) == 157706 &&
                  offsetof(RawVpnState, splitDnsDomains) == 157724 &&
                  offsetof(RawVpnState, tunnelAllDns) == 159005,
              "RawVpnState offsets");

// The record this service writes when it creates the section: no session
// event, trusted network undefined, tunnel disconnected, both modes undefined.
RawVpnState DefaultRawVpnState();

class CInterModuleVPNStateReaderWriter {
 public:
  // Maps the section as a reader (creating it with the defaults when no
  // publisher did so before). `ok` false after logging when that failed.
  CInterModuleVPNStateReaderWriter(
      bool& ok, const VpnSharedObjectNames& names = VpnSharedObjectNames::FromEnvironment());
  virtual ~CInterModuleVPNStateReaderWriter();
  CInterModuleVPNStateReaderWriter(const CInterModuleVPNStateReaderWriter&) = delete;
  CInterModuleVPNStateReaderWriter& operator=(const CInterModuleVPNStateReaderWriter&) = delete;

  // Copies the current record into `destination`; false (destination
  // untouched) when the read failed.
  bool GetCurrentState(RawVpnState& destination);

 protected:
  std::unique_ptr<ISharedMemory> sharedMemory;
  std::unique_ptr<RawVpnState> buffer;  // 155 KiB: kept off the stack
};

}  // namespace hxt
