// The control protocol between hxsockfilterd and libhx_sock_fltr_api.
//
// A UNIX stream socket carries frames in both directions. Every frame starts
// with a 12-byte header: u32 length (the bytes after this field, header rest
// included), u16 message type, u16 flags (0), u32 sequence number; the body
// follows. Integers are little-endian; a string is a u16 byte count and UTF-8
// bytes. The frame header and the first fields of HELLO and HELLO_REPLY never
// change between protocol versions, so that two programs of different versions
// can always tell each other so. docs/sockfilter.md is the full description.
//
// Shared by the daemon and the library; no dependency beyond the standard
// library, because the library is loaded into the agent's process. Nothing
// here is thread-safe; each user owns its objects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hxtarrow/sockfltrapi.h"

namespace hxt::sockfilter {

constexpr u32 kProtocolVersion = 1;
constexpr std::size_t kFrameHeaderSize = 12;
// Larger frames are a broken or hostile peer: a full parameter record of a
// realistic policy is a few kilobytes.
constexpr u32 kMaxFrameLength = 1u << 20;
constexpr std::size_t kMaxStringLength = 4096;

enum MessageType : u16 {
  kMsgHello = 1,           // library → daemon: version, pid, client name
  kMsgHelloReply = 2,      // daemon → library: status, version, pid, text
  kMsgResult = 3,          // daemon → library: status, text (reply to every request below)
  kMsgDisruption = 4,      // daemon → library, unsolicited (sequence 0): reason, text
  kMsgOpen = 16,           // interface, plug-in id
  kMsgClose = 17,          // interface
  kMsgClear = 18,          //
  kMsgSetParameters = 19,  // a parameter record
  kMsgStartEncryptedDns = 20,
  kMsgRefreshPids = 21,  // interface
  kMsgStatus = 22,       // any peer: RESULT 0 with the daemon's status text
  kMsgCounters = 23,     // any peer: RESULT 0 with the daemon's counters, "name value" lines
  // any peer: RESULT 0 with a text, then u32 n and n strings, one row per
  // program (docs/sockfilter.md, "Which program asked"); the names asked
  // only to root, the daemon's user and the agent's.
  kMsgPrograms = 24,
};

enum class ApiInterface : u8 { Velmora = 1, VpnDns = 2, Kestrum = 3, SocketRedirector = 4 };
const char* InterfaceName(ApiInterface which);
bool IsKnownInterface(u8 value);

// The library's result codes besides 0 and HXT_NGC_AWAITING_APPROVAL.
constexpr ngc_error_t kErrNoDaemon = 1001;         // nothing listens on the control socket
constexpr ngc_error_t kErrVersionMismatch = 1002;  // the peer speaks another protocol version
constexpr ngc_error_t kErrConnectionLost = 1003;   // the control connection broke (or is down)
constexpr ngc_error_t kErrTimeout = 1004;          // no reply within the library's deadline
constexpr ngc_error_t kErrNotOpen = 1005;          // the operation needs OpenPlugin first
constexpr ngc_error_t kErrInvalidArgument = 1006;  // null record, unknown update kind, null instance
constexpr ngc_error_t kErrBusy = 1007;             // another agent holds the filter's DNS plug-in
constexpr ngc_error_t kErrBadRequest = 1008;       // the daemon could not decode the request
constexpr ngc_error_t kErrRefused = 1009;          // the daemon does not admit this process's user
constexpr ngc_error_t kErrTooLarge = 1010;         // the parameter record does not fit one frame
// The record was taken, but another process holds some of the listener ports
// it names: those get no query.
constexpr ngc_error_t kErrForeignPort = 1011;
const char* ErrorText(ngc_error_t code);

enum DisruptionReason : u32 {
  kDisruptionServiceUnreachable = 1,  // the agent's listener did not answer in time or refused
  kDisruptionControlLost = 2,         // the agent's control connection dropped while it redirected
  kDisruptionDaemonLost = 3,          // raised by the library: its connection to the daemon broke
};

// The filter's parameters as the daemon holds them: the merge of every
// record it was sent since the last Clear.
struct FilterParameters {
  std::vector<std::string> whiteList4;
  std::vector<std::string> whiteList6;
  std::vector<IpAddressRecord> resolvers4;
  std::vector<IpAddressRecord> resolvers6;
  u16 udpPort4 = 0;
  u16 udpPort6 = 0;
  u16 tcpPort4 = 0;
  u16 tcpPort6 = 0;
  u32 agentPid = 0;
  std::vector<u32> ignoredPids;
  bool redirect4 = false;
  bool redirect6 = false;

  // Takes over the fields `kind` carries (FilterUpdateKind) from `update`.
  // False, changing nothing, for an unknown kind.
  bool Apply(u32 kind, const FilterParameters& update);
};

// Reads every field an IVelmoraInfo offers, whatever its kind, during the
// call. False when the record is null or its kind is unknown.
bool ReadParameterRecord(IVelmoraInfo* info, u32& kind, FilterParameters& out);

class FrameWriter {
 public:
  FrameWriter(u16 type, u32 sequence);
  void U8(u8 value) { bytes_.push_back(value); }
  void U16(u16 value);
  void U32(u32 value);
  void String(const std::string& value);  // cut at kMaxStringLength
  void Bytes(const void* data, std::size_t size);
  // The complete frame with its length filled in.
  std::vector<u8> Finish();

 private:
  std::vector<u8> bytes_;
};

class FrameReader {
 public:
  FrameReader(const u8* data, std::size_t size) : data_(data), size_(size) {}
  bool U8(u8& value);
  bool U16(u16& value);
  bool U32(u32& value);
  bool String(std::string& value);
  bool Bytes(void* out, std::size_t size);
  std::size_t Remaining() const { return size_ - offset_; }

 private:
  const u8* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

struct Frame {
  u16 type = 0;
  u32 sequence = 0;
  std::vector<u8> body;
};

enum class TakeResult { Frame, NeedMore, Malformed };
// Takes the first complete frame off the front of `buffer`. Malformed: the
// length field is below the header's or above kMaxFrameLength; the stream
// cannot be resynchronised after that.
TakeResult TakeFrame(std::vector<u8>& buffer, Frame& frame);

void EncodeParameters(FrameWriter& writer, u32 kind, const FilterParameters& parameters);
bool DecodeParameters(FrameReader& reader, u32& kind, FilterParameters& parameters);

// Where the control channel lives: $HXT_SOCKFILTER_CONTROL when set, else
// on Linux $HXT_ROOT/run/hxsockfilterd.sock (/run/hxsockfilterd.sock on an
// installed system), on Windows the pipe \\.\pipe\hxsockfilterd.
std::string DefaultControlPath();

}  // namespace hxt::sockfilter
