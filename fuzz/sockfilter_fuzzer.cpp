// libFuzzer targets for the parsers that read bytes from other processes on
// the DNS path: the agent's answers to the filter daemon, the clients' TCP
// streams, the clients' DNS messages, the control socket's frames and the
// registry store. Built once per parser (HXT_FUZZ_PARSER) by `./hxt fuzz`.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/controlproto.h"
#include "common/posix/regfile.h"
#include "daemon/dnsmessage.h"
#include "daemon/dnstcpframer.h"
#include "daemon/redirectheader.h"

namespace {

using namespace hxt;
using namespace hxt::sockfilter;

void check(bool condition) {
  if (!condition) __builtin_trap();
}

// The agent's answer datagram; what is accepted must round-trip through the
// header builder and name exactly one serial.
void fuzzServiceAnswer(const uint8_t* data, size_t size) {
  Nonce nonce{1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<u8> datagram(data, data + size);
  if (size >= 12) std::copy(nonce.begin(), nonce.end(), datagram.begin() + 4);  // reach past the nonce
  u32 serial = 0;
  if (ParseServiceAnswer(datagram.data(), datagram.size(), nonce, serial)) {
    check(datagram.size() >= kRedirectHeaderSize + kDnsHeaderSize);
    check(serial == (datagram[0] | (datagram[1] << 8) | (datagram[2] << 16) | (u32{datagram[3]} << 24)));
    std::string name;
    ReadQueryName(datagram.data() + kRedirectHeaderSize, datagram.size() - kRedirectHeaderSize, name);
  }
  u32 other = 0;
  Nonce stranger{};
  check(!ParseServiceAnswer(datagram.data(), datagram.size(), stranger, other) || nonce == stranger);
}

// A TCP stream cut where the first bytes say: the same messages come out
// whatever the chunking, and nothing is lost.
void fuzzTcpStream(const uint8_t* data, size_t size) {
  if (size < 1) return;
  size_t cuts = data[0];
  ++data;
  --size;
  CDnsTcpFramer whole;
  whole.Feed(data, size);
  CDnsTcpFramer chunked;
  std::vector<std::vector<u8>> a;
  std::vector<std::vector<u8>> b;
  std::vector<u8> message;
  while (whole.Next(message)) a.push_back(message);
  size_t offset = 0;
  size_t step = cuts % 7 + 1;
  while (offset < size) {
    size_t n = std::min(step, size - offset);
    chunked.Feed(data + offset, n);
    while (chunked.Next(message)) b.push_back(message);
    offset += n;
    step = step * 3 % 11 + 1;
  }
  check(a == b);
  size_t total = whole.Buffered();
  for (const auto& m : a) {
    check(m.size() >= 2 && m.size() == 2u + ((m[0] << 8) | m[1]));
    total += m.size();
  }
  check(total == size && whole.Buffered() == chunked.Buffered());
}

// A client's DNS message: the name reader, the question comparison and the
// error answer the daemon builds from it.
void fuzzDnsMessage(const uint8_t* data, size_t size) {
  std::string name;
  if (ReadQueryName(data, size, name)) {
    check(name.size() <= 255);
    for (char c : name) check(static_cast<unsigned char>(c) >= 0x20 && (c < 'A' || c > 'Z'));
    check(SameQuestion(data, size, data, size));
    std::string entry;
    if (NormaliseWhiteListEntry(name, entry)) check(MatchesWhiteList(name, {entry}));
  }
  std::vector<u8> answer = MakeErrorAnswer(data, size, kRcodeServFail);
  check(answer.empty() == (size < kDnsHeaderSize));
  if (!answer.empty()) {
    check(answer.size() <= size && (answer[2] & 0x80) != 0 && (answer[3] & 0x0F) == kRcodeServFail);
    check(answer[5] == (ReadQueryName(data, size, name) ? 1 : 0) && answer[0] == data[0] &&
          answer[1] == data[1]);
  }
}

// The control socket's byte stream: frames taken off the front, every request
// body decoded as each type would be, and a decoded parameter record
// re-encoded to the same record.
void fuzzControl(const uint8_t* data, size_t size) {
  std::vector<u8> stream(data, data + size);
  Frame frame;
  while (TakeFrame(stream, frame) == TakeResult::Frame) {
    FrameReader r(frame.body.data(), frame.body.size());
    u32 kind = 0;
    FilterParameters parameters;
    if (DecodeParameters(r, kind, parameters)) {
      FrameWriter w(kMsgSetParameters, 1);
      EncodeParameters(w, kind, parameters);
      std::vector<u8> encoded = w.Finish();
      FrameReader again(encoded.data() + kFrameHeaderSize, encoded.size() - kFrameHeaderSize);
      u32 kind2 = 0;
      FilterParameters decoded;
      check(DecodeParameters(again, kind2, decoded) && kind2 == kind);
      check(decoded.whiteList4 == parameters.whiteList4 && decoded.whiteList6 == parameters.whiteList6);
      check(decoded.udpPort4 == parameters.udpPort4 && decoded.ignoredPids == parameters.ignoredPids);
    }
    FrameReader h(frame.body.data(), frame.body.size());
    u32 a = 0;
    u32 b = 0;
    u8 c = 0;
    std::string text;
    if (h.U32(a) && h.U32(b)) h.String(text);
    FrameReader o(frame.body.data(), frame.body.size());
    if (o.U8(c)) o.String(text);
    check(text.size() <= kMaxStringLength);
  }
}

void fuzzRegFile(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  platform::RegFileContents contents = platform::ParseRegFile(text);
  for (const auto& key : contents.keys) check(platform::CanonicalKeyPath(key.first) == key.first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if HXT_FUZZ_PARSER == 1
  fuzzServiceAnswer(data, size);
#elif HXT_FUZZ_PARSER == 2
  fuzzTcpStream(data, size);
#elif HXT_FUZZ_PARSER == 3
  fuzzDnsMessage(data, size);
#elif HXT_FUZZ_PARSER == 4
  fuzzControl(data, size);
#else
  fuzzRegFile(data, size);
#endif
  return 0;
}
