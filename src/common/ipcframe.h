// The frame that carries one IPC payload from the service to the UI:
//
//   offset 0, 4 bytes  length N, unsigned 32-bit little-endian: the bytes after this field
//   offset 4, 1 byte   payload type letter ('A' status, 'B' statistics, 'C' command)
//   offset 5, N - 1    the JSON text, ending in one line feed, no terminating zero
//
// The service builds frames with `BuildIpcFrame`; a client reassembles them
// from a byte stream with `CIpcFrameDecoder`. Both are plain functions of
// their input, usable from any thread on separate objects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "common/apidata.h"
#include "common/hxttypes.h"

namespace hxt {

// Where the agent listens for the UI.
constexpr const char* kIpcListenAddress = "127.0.0.1";
constexpr u16 kIpcPort = 62722;

constexpr std::size_t kIpcLengthFieldSize = 4;
constexpr std::size_t kIpcFrameHeaderSize = kIpcLengthFieldSize + 1;
// A frame whose length field is below this carries no JSON at all.
constexpr u32 kIpcMinFrameLength = 2;
// Real documents are a few hundred bytes; a client refuses lengths beyond this
// instead of buffering whatever a broken peer announces.
constexpr u32 kIpcMaxFrameLength = 16u * 1024u * 1024u;

// Fills `frame` with the frame of `json`. False, with `frame` empty, for an
// empty text or one too long for the length field.
bool BuildIpcFrame(PayloadType type, const std::string& json, std::vector<unsigned char>& frame);

struct IpcFrame {
  PayloadType type = PAYLOAD_TYPE_STATUS;
  std::string json;                      // the text as received, line feed included
  boost::property_tree::ptree document;  // the parsed text
};

class CIpcFrameDecoder {
 public:
  enum Result {
    kNeedMore,   // no complete frame buffered yet
    kFrame,      // `frame` holds the next frame
    kMalformed,  // `error` says why; the stream cannot be resynchronised
  };

  explicit CIpcFrameDecoder(u32 maxLength = kIpcMaxFrameLength) : maxLength_(maxLength) {}

  // Appends bytes received from the stream.
  void Feed(const unsigned char* data, std::size_t size);
  // Takes the next complete frame off the buffered bytes. After kMalformed
  // every call answers kMalformed with the same error.
  Result Next(IpcFrame& frame, std::string& error);

 private:
  Result fail(const std::string& reason, std::string& error);

  u32 maxLength_;
  std::vector<unsigned char> buffer_;
  std::size_t consumed_ = 0;
  std::string error_;
};

}  // namespace hxt
