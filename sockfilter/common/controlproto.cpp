#include "common/controlproto.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace hxt::sockfilter {

namespace {

// Longer entries are not DNS names; truncating them keeps the record readable.
constexpr u32 kEntryBufferSize = 1024;

template <typename GetCount, typename GetFirst, typename GetNext>
void readStrings(std::vector<std::string>& out, GetCount count, GetFirst first, GetNext next) {
  char buffer[kEntryBufferSize];
  u32 n = count();
  // Bounded by the count: a record that keeps answering must not hold us forever.
  for (u32 i = 0; i < n; ++i) {
    bool ok = i == 0 ? first(buffer, kEntryBufferSize, true) : next(buffer, kEntryBufferSize, true);
    if (!ok) break;
    out.emplace_back(buffer);
  }
}

template <typename T, typename GetCount, typename GetFirst, typename GetNext>
void readItems(std::vector<T>& out, GetCount count, GetFirst first, GetNext next) {
  u32 n = count();
  for (u32 i = 0; i < n; ++i) {
    T item{};
    bool ok = i == 0 ? first(&item) : next(&item);
    if (!ok) break;
    out.push_back(item);
  }
}

}  // namespace

const char* InterfaceName(ApiInterface which) {
  switch (which) {
    case ApiInterface::Velmora:
      return "IVelmoraApi";
    case ApiInterface::VpnDns:
      return "IVpnDnsApi";
    case ApiInterface::Kestrum:
      return "IKestrumApi";
    case ApiInterface::SocketRedirector:
      return "ISocketRedirectorApi";
  }
  return "unknown interface";
}

bool IsKnownInterface(u8 value) {
  return value >= 1 && value <= 4;
}

const char* ErrorText(ngc_error_t code) {
  switch (code) {
    case HXT_NGC_OK:
      return "success";
    case HXT_NGC_AWAITING_APPROVAL:
      return "the filter awaits approval";
    case kErrNoDaemon:
      return "hxsockfilterd is not running (nothing listens on the control socket)";
    case kErrVersionMismatch:
      return "hxsockfilterd speaks another control protocol version";
    case kErrConnectionLost:
      return "the control connection to hxsockfilterd is down";
    case kErrTimeout:
      return "hxsockfilterd did not reply in time";
    case kErrNotOpen:
      return "the filter's plug-in is not open";
    case kErrInvalidArgument:
      return "invalid argument";
    case kErrBusy:
      return "another agent holds the filter";
    case kErrBadRequest:
      return "hxsockfilterd could not decode the request";
    case kErrRefused:
      return "hxsockfilterd does not admit this process's user (see ControlGroup)";
    case kErrTooLarge:
      return "the parameter record is too large for one control frame";
    case kErrForeignPort:
      return "another process holds listener ports the record names; those are not redirected";
    default:
      return "unknown error";
  }
}

bool FilterParameters::Apply(u32 kind, const FilterParameters& update) {
  switch (kind) {
    case FILTER_UPDATE_ALL:
      *this = update;
      return true;
    case FILTER_UPDATE_PIDS:
      agentPid = update.agentPid;
      ignoredPids = update.ignoredPids;
      return true;
    case FILTER_UPDATE_WHITE_LISTS:
      whiteList4 = update.whiteList4;
      whiteList6 = update.whiteList6;
      return true;
    case FILTER_UPDATE_RESOLVERS:
      resolvers4 = update.resolvers4;
      resolvers6 = update.resolvers6;
      return true;
    case FILTER_UPDATE_PORTS:
      udpPort4 = update.udpPort4;
      udpPort6 = update.udpPort6;
      tcpPort4 = update.tcpPort4;
      tcpPort6 = update.tcpPort6;
      return true;
    default:
      return false;
  }
}

bool ReadParameterRecord(IVelmoraInfo* info, u32& kind, FilterParameters& out) {
  if (info == nullptr) return false;
  kind = info->GetUpdateKind();
  if (kind > FILTER_UPDATE_PORTS) return false;
  out = FilterParameters();
  readStrings(
      out.whiteList4, [&] { return info->GetWhiteList4Count(); },
      [&](char* b, u32 s, bool t) { return info->GetFirstWhiteList4Entry(b, s, t); },
      [&](char* b, u32 s, bool t) { return info->GetNextWhiteList4Entry(b, s, t); });
  readStrings(
      out.whiteList6, [&] { return info->GetWhiteList6Count(); },
      [&](char* b, u32 s, bool t) { return info->GetFirstWhiteList6Entry(b, s, t); },
      [&](char* b, u32 s, bool t) { return info->GetNextWhiteList6Entry(b, s, t); });
  readItems<IpAddressRecord>(
      out.resolvers4, [&] { return info->GetResolver4Count(); },
      [&](IpAddressRecord* r) { return info->GetFirstResolver4(r); },
      [&](IpAddressRecord* r) { return info->GetNextResolver4(r); });
  readItems<IpAddressRecord>(
      out.resolvers6, [&] { return info->GetResolver6Count(); },
      [&](IpAddressRecord* r) { return info->GetFirstResolver6(r); },
      [&](IpAddressRecord* r) { return info->GetNextResolver6(r); });
  out.udpPort4 = info->GetListenerPort(HXT_AF_INET, HXT_IPPROTO_UDP);
  out.udpPort6 = info->GetListenerPort(HXT_AF_INET6, HXT_IPPROTO_UDP);
  out.tcpPort4 = info->GetListenerPort(HXT_AF_INET, 6);
  out.tcpPort6 = info->GetListenerPort(HXT_AF_INET6, 6);
  out.agentPid = info->GetAgentPid();
  readItems<u32>(
      out.ignoredPids, [&] { return info->GetIgnoredPidCount(); },
      [&](u32* p) { return info->GetFirstIgnoredPid(p); },
      [&](u32* p) { return info->GetNextIgnoredPid(p); });
  out.redirect4 = info->IsRedirect4Enabled();
  out.redirect6 = info->IsRedirect6Enabled();
  return true;
}

FrameWriter::FrameWriter(u16 type, u32 sequence) {
  bytes_.resize(4);  // the length, filled in by Finish
  U16(type);
  U16(0);
  U32(sequence);
}

void FrameWriter::U16(u16 value) {
  bytes_.push_back(static_cast<u8>(value));
  bytes_.push_back(static_cast<u8>(value >> 8));
}

void FrameWriter::U32(u32 value) {
  for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<u8>(value >> shift));
}

void FrameWriter::String(const std::string& value) {
  std::size_t n = std::min(value.size(), kMaxStringLength);
  U16(static_cast<u16>(n));
  Bytes(value.data(), n);
}

void FrameWriter::Bytes(const void* data, std::size_t size) {
  const u8* p = static_cast<const u8*>(data);
  bytes_.insert(bytes_.end(), p, p + size);
}

std::vector<u8> FrameWriter::Finish() {
  u32 length = static_cast<u32>(bytes_.size() - 4);
  for (int i = 0; i < 4; ++i) bytes_[static_cast<std::size_t>(i)] = static_cast<u8>(length >> (8 * i));
  return std::move(bytes_);
}

bool FrameReader::U8(u8& value) {
  return Bytes(&value, 1);
}

bool FrameReader::U16(u16& value) {
  u8 b[2];
  if (!Bytes(b, 2)) return false;
  value = static_cast<u16>(b[0] | (b[1] << 8));
  return true;
}

bool FrameReader::U32(u32& value) {
  u8 b[4];
  if (!Bytes(b, 4)) return false;
  value = static_cast<u32>(b[0]) | (static_cast<u32>(b[1]) << 8) | (static_cast<u32>(b[2]) << 16) |
          (static_cast<u32>(b[3]) << 24);
  return true;
}

bool FrameReader::String(std::string& value) {
  u16 n = 0;
  if (!U16(n) || n > kMaxStringLength || n > Remaining()) return false;
  value.assign(reinterpret_cast<const char*>(data_ + offset_), n);
  offset_ += n;
  return true;
}

bool FrameReader::Bytes(void* out, std::size_t size) {
  if (size > Remaining()) return false;
  std::memcpy(out, data_ + offset_, size);
  offset_ += size;
  return true;
}

TakeResult TakeFrame(std::vector<u8>& buffer, Frame& frame) {
  if (buffer.size() < 4) return TakeResult::NeedMore;
  FrameReader header(buffer.data(), buffer.size());
  u32 length = 0;
  header.U32(length);
  if (length < kFrameHeaderSize - 4 || length > kMaxFrameLength) return TakeResult::Malformed;
  if (buffer.size() < 4 + static_cast<std::size_t>(length)) return TakeResult::NeedMore;
  u16 flags = 0;
  header.U16(frame.type);
  header.U16(flags);
  header.U32(frame.sequence);
  frame.body.assign(buffer.begin() + kFrameHeaderSize, buffer.begin() + 4 + length);
  buffer.erase(buffer.begin(), buffer.begin() + 4 + length);
  return TakeResult::Frame;
}

namespace {

void encodeStrings(FrameWriter& w, const std::vector<std::string>& list) {
  w.U32(static_cast<u32>(list.size()));
  for (const auto& s : list) w.String(s);
}

void encodeRecords(FrameWriter& w, const std::vector<IpAddressRecord>& list) {
  w.U32(static_cast<u32>(list.size()));
  for (const auto& r : list) {
    w.U32(r.family);
    w.Bytes(r.address, sizeof r.address);
  }
}

// Counts are checked against what is left, so a forged count cannot make us
// reserve or loop beyond the frame.
bool decodeStrings(FrameReader& r, std::vector<std::string>& list) {
  u32 n = 0;
  if (!r.U32(n) || n > r.Remaining() / 2) return false;
  list.resize(n);
  for (auto& s : list) {
    if (!r.String(s)) return false;
  }
  return true;
}

bool decodeRecords(FrameReader& r, std::vector<IpAddressRecord>& list) {
  u32 n = 0;
  if (!r.U32(n) || n > r.Remaining() / sizeof(IpAddressRecord)) return false;
  list.resize(n);
  for (auto& rec : list) {
    if (!r.U32(rec.family) || !r.Bytes(rec.address, sizeof rec.address)) return false;
  }
  return true;
}

}  // namespace

void EncodeParameters(FrameWriter& w, u32 kind, const FilterParameters& p) {
  w.U32(kind);
  encodeStrings(w, p.whiteList4);
  encodeStrings(w, p.whiteList6);
  encodeRecords(w, p.resolvers4);
  encodeRecords(w, p.resolvers6);
  w.U16(p.udpPort4);
  w.U16(p.udpPort6);
  w.U16(p.tcpPort4);
  w.U16(p.tcpPort6);
  w.U32(p.agentPid);
  w.U32(static_cast<u32>(p.ignoredPids.size()));
  for (u32 pid : p.ignoredPids) w.U32(pid);
  w.U8(p.redirect4 ? 1 : 0);
  w.U8(p.redirect6 ? 1 : 0);
}

bool DecodeParameters(FrameReader& r, u32& kind, FilterParameters& p) {
  p = FilterParameters();
  u32 pidCount = 0;
  u8 r4 = 0;
  u8 r6 = 0;
  if (!r.U32(kind) || kind > FILTER_UPDATE_PORTS) return false;
  if (!decodeStrings(r, p.whiteList4) || !decodeStrings(r, p.whiteList6)) return false;
  if (!decodeRecords(r, p.resolvers4) || !decodeRecords(r, p.resolvers6)) return false;
  if (!r.U16(p.udpPort4) || !r.U16(p.udpPort6) || !r.U16(p.tcpPort4) || !r.U16(p.tcpPort6)) return false;
  if (!r.U32(p.agentPid) || !r.U32(pidCount) || pidCount > r.Remaining() / 4) return false;
  p.ignoredPids.resize(pidCount);
  for (auto& pid : p.ignoredPids) {
    if (!r.U32(pid)) return false;
  }
  if (!r.U8(r4) || !r.U8(r6) || r4 > 1 || r6 > 1) return false;
  p.redirect4 = r4 == 1;
  p.redirect6 = r6 == 1;
  return r.Remaining() == 0;
}

}  // namespace hxt::sockfilter
