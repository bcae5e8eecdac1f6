#include "agent/velmorainfo.h"

#include <algorithm>
#include <cstring>

namespace hxt {

CVelmoraInfo CVelmoraInfo::All(const std::vector<std::string>& whiteList4,
                               const std::vector<std::string>& whiteList6,
                               const std::vector<IpAddressRecord>& resolvers4,
                               const std::vector<IpAddressRecord>& resolvers6, const Ports& ports,
                               u32 agentPid, const std::vector<u32>& ignoredPids, bool redirect4,
                               bool redirect6) {
  CVelmoraInfo info(FILTER_UPDATE_ALL);
  info.whiteList4_.items = whiteList4;
  info.whiteList6_.items = whiteList6;
  info.resolvers4_.items = resolvers4;
  info.resolvers6_.items = resolvers6;
  info.ports_ = ports;
  info.agentPid_ = agentPid;
  info.ignoredPids_.items = ignoredPids;
  info.redirect4_ = redirect4;
  info.redirect6_ = redirect6;
  return info;
}

CVelmoraInfo CVelmoraInfo::Pids(u32 agentPid, const std::vector<u32>& ignoredPids) {
  CVelmoraInfo info(FILTER_UPDATE_PIDS);
  info.agentPid_ = agentPid;
  info.ignoredPids_.items = ignoredPids;
  return info;
}

CVelmoraInfo CVelmoraInfo::WhiteLists(const std::vector<std::string>& whiteList4,
                                      const std::vector<std::string>& whiteList6) {
  CVelmoraInfo info(FILTER_UPDATE_WHITE_LISTS);
  info.whiteList4_.items = whiteList4;
  info.whiteList6_.items = whiteList6;
  return info;
}

CVelmoraInfo CVelmoraInfo::Resolvers(const std::vector<IpAddressRecord>& resolvers4,
                                     const std::vector<IpAddressRecord>& resolvers6) {
  CVelmoraInfo info(FILTER_UPDATE_RESOLVERS);
  info.resolvers4_.items = resolvers4;
  info.resolvers6_.items = resolvers6;
  return info;
}

CVelmoraInfo CVelmoraInfo::PortsOnly(const Ports& ports) {
  CVelmoraInfo info(FILTER_UPDATE_PORTS);
  info.ports_ = ports;
  return info;
}

// The cursor moves only when something was copied, so a reader that retries
// with a bigger buffer gets the same entry again.
bool CVelmoraInfo::copyEntry(Cursored<std::string>& list, std::size_t position, char* buffer, u32 size,
                             bool allowTruncation) {
  if (position >= list.items.size() || buffer == nullptr) return false;
  const std::string& entry = list.items[position];
  // A zero-sized buffer has no room even for the terminator, truncated or not.
  if (size == 0 || (entry.size() >= size && !allowTruncation)) return false;
  std::size_t length = std::min<std::size_t>(entry.size(), size - 1);
  std::memcpy(buffer, entry.data(), length);
  buffer[length] = '\0';
  list.cursor = position + 1;
  return true;
}

bool CVelmoraInfo::copyResolver(Cursored<IpAddressRecord>& list, std::size_t position,
                                IpAddressRecord* record) {
  if (position >= list.items.size() || record == nullptr) return false;
  const IpAddressRecord& source = list.items[position];
  record->family = source.family;
  // Only the 4 bytes of an IPv4 address are meaningful; whatever the caller
  // stored behind them never reaches the filter.
  std::size_t meaningful = source.family == HXT_AF_INET ? 4 : sizeof source.address;
  std::memset(record->address, 0, sizeof record->address);
  std::memcpy(record->address, source.address, meaningful);
  list.cursor = position + 1;
  return true;
}

bool CVelmoraInfo::copyPid(Cursored<u32>& list, std::size_t position, u32* pid) {
  if (position >= list.items.size() || pid == nullptr) return false;
  *pid = list.items[position];
  list.cursor = position + 1;
  return true;
}

u32 CVelmoraInfo::GetWhiteList4Count() {
  return static_cast<u32>(whiteList4_.items.size());
}

bool CVelmoraInfo::GetFirstWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) {
  return copyEntry(whiteList4_, 0, buffer, size, allowTruncation);
}

bool CVelmoraInfo::GetNextWhiteList4Entry(char* buffer, u32 size, bool allowTruncation) {
  return copyEntry(whiteList4_, whiteList4_.cursor, buffer, size, allowTruncation);
}

u32 CVelmoraInfo::GetWhiteList6Count() {
  return static_cast<u32>(whiteList6_.items.size());
}

bool CVelmoraInfo::GetFirstWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) {
  return copyEntry(whiteList6_, 0, buffer, size, allowTruncation);
}

bool CVelmoraInfo::GetNextWhiteList6Entry(char* buffer, u32 size, bool allowTruncation) {
  return copyEntry(whiteList6_, whiteList6_.cursor, buffer, size, allowTruncation);
}

u32 CVelmoraInfo::GetResolver4Count() {
  return static_cast<u32>(resolvers4_.items.size());
}

bool CVelmoraInfo::GetFirstResolver4(IpAddressRecord* record) {
  return copyResolver(resolvers4_, 0, record);
}

bool CVelmoraInfo::GetNextResolver4(IpAddressRecord* record) {
  return copyResolver(resolvers4_, resolvers4_.cursor, record);
}

u32 CVelmoraInfo::GetResolver6Count() {
  return static_cast<u32>(resolvers6_.items.size());
}

bool CVelmoraInfo::GetFirstResolver6(IpAddressRecord* record) {
  return copyResolver(resolvers6_, 0, record);
}

bool CVelmoraInfo::GetNextResolver6(IpAddressRecord* record) {
  return copyResolver(resolvers6_, resolvers6_.cursor, record);
}

u16 CVelmoraInfo::GetListenerPort(u32 family, u32 protocol) {
  bool udp = protocol == HXT_IPPROTO_UDP;
  if (family == HXT_AF_INET6) return udp ? ports_.udp6 : ports_.tcp6;
  return udp ? ports_.udp4 : ports_.tcp4;
}

u32 CVelmoraInfo::GetAgentPid() {
  return agentPid_;
}

u32 CVelmoraInfo::GetIgnoredPidCount() {
  return static_cast<u32>(ignoredPids_.items.size());
}

bool CVelmoraInfo::GetFirstIgnoredPid(u32* pid) {
  return copyPid(ignoredPids_, 0, pid);
}

bool CVelmoraInfo::GetNextIgnoredPid(u32* pid) {
  return copyPid(ignoredPids_, ignoredPids_.cursor, pid);
}

bool CVelmoraInfo::IsRedirect4Enabled() {
  return redirect4_;
}

bool CVelmoraInfo::IsRedirect6Enabled() {
  return redirect6_;
}

u32 CVelmoraInfo::GetUpdateKind() {
  return updateKind_;
}

}  // namespace hxt
