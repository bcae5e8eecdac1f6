// The parameter record the socket-filter manager hands to the filter library.
//
// A value object built on the stack for one IVelmoraApi::SetParameters call;
// the library reads it during that call only, through the getters of
// IVelmoraInfo, on the calling thread. Not thread-safe, and it need not be:
// one call, one reader. The factory functions fill exactly the fields of their
// update kind and leave the rest empty, zero or false.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/hxttypes.h"
#include "hxtarrow/sockfltrapi.h"

namespace hxt {

class CVelmoraInfo : public IVelmoraInfo {
 public:
  struct Ports {
    u16 udp4 = 0;
    u16 udp6 = 0;
    u16 tcp4 = 0;
    u16 tcp6 = 0;
  };

  static CVelmoraInfo All(const std::vector<std::string>& whiteList4,
                          const std::vector<std::string>& whiteList6,
                          const std::vector<IpAddressRecord>& resolvers4,
                          const std::vector<IpAddressRecord>& resolvers6, const Ports& ports, u32 agentPid,
                          const std::vector<u32>& ignoredPids, bool redirect4, bool redirect6);
  static CVelmoraInfo Pids(u32 agentPid, const std::vector<u32>& ignoredPids);
  static CVelmoraInfo WhiteLists(const std::vector<std::string>& whiteList4,
                                 const std::vector<std::string>& whiteList6);
  static CVelmoraInfo Resolvers(const std::vector<IpAddressRecord>& resolvers4,
                                const std::vector<IpAddressRecord>& resolvers6);
  static CVelmoraInfo PortsOnly(const Ports& ports);

  u32 GetWhiteList4Count() override;
  bool GetFirstWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) override;
  bool GetNextWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) override;
  u32 GetWhiteList6Count() override;
  bool GetFirstWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) override;
  bool GetNextWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) override;
  u32 GetResolver4Count() override;
  bool GetFirstResolver4(IpAddressRecord* record) override;
  bool GetNextResolver4(IpAddressRecord* record) override;
  u32 GetResolver6Count() override;
  bool GetFirstResolver6(IpAddressRecord* record) override;
  bool GetNextResolver6(IpAddressRecord* record) override;
  u16 GetListenerPort(u32 family, u32 protocol) override;
  u32 GetAgentPid() override;
  u32 GetIgnoredPidCount() override;
  bool GetFirstIgnoredPid(u32* pid) override;
  bool GetNextIgnoredPid(u32* pid) override;
  bool IsRedirect4Enabled() override;
  bool IsRedirect6Enabled() override;
  u32 GetUpdateKind() override;

 private:
  // A list with its read cursor (an index; size() is the end).
  template <typename T>
  struct Cursored {
    std::vector<T> items;
    std::size_t cursor = 0;
  };

  explicit CVelmoraInfo(FilterUpdateKind kind) : updateKind_(kind) {}

  static bool copyEntry(Cursored<std::string>& list, std::size_t position, char* buffer, u32 size,
                        bool allowTruncation);
  static bool copyResolver(Cursored<IpAddressRecord>& list, std::size_t position, IpAddressRecord* record);
  static bool copyPid(Cursored<u32>& list, std::size_t position, u32* pid);

  Cursored<std::string> whiteList4_;
  Cursored<std::string> whiteList6_;
  Cursored<IpAddressRecord> resolvers4_;
  Cursored<IpAddressRecord> resolvers6_;
  Ports ports_;
  u32 agentPid_ = 0;
  Cursored<u32> ignoredPids_;
  bool redirect4_ = false;
  bool redirect6_ = false;
  u32 updateKind_;
};

}  // namespace hxt
