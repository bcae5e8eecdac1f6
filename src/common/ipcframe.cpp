#include "common/ipcframe.h"

#include <cstdio>
#include <exception>
#include <limits>
#include <sstream>

#include <boost/property_tree/json_parser.hpp>

namespace hxt {

bool BuildIpcFrame(PayloadType type, const std::string& json, std::vector<unsigned char>& frame) {
  frame.clear();
  if (json.empty() || json.size() >= std::numeric_limits<u32>::max()) return false;
  const u32 length = static_cast<u32>(json.size() + 1);
  frame.resize(kIpcFrameHeaderSize + json.size());
  // Little-endian whatever the host's byte order.
  for (std::size_t i = 0; i < kIpcLengthFieldSize; ++i) {
    frame[i] = static_cast<unsigned char>((length >> (8 * i)) & 0xffu);
  }
  frame[kIpcLengthFieldSize] = static_cast<unsigned char>(type);
  json.copy(reinterpret_cast<char*>(frame.data() + kIpcFrameHeaderSize), json.size());
  return true;
}

void CIpcFrameDecoder::Feed(const unsigned char* data, std::size_t size) {
  if (!error_.empty() || size == 0) return;
  // Drop what was taken already before the buffer grows again.
  if (consumed_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

CIpcFrameDecoder::Result CIpcFrameDecoder::fail(const std::string& reason, std::string& error) {
  error_ = reason;
  error = error_;
  buffer_.clear();
  consumed_ = 0;
  return kMalformed;
}

CIpcFrameDecoder::Result CIpcFrameDecoder::Next(IpcFrame& frame, std::string& error) {
  if (!error_.empty()) {
    error = error_;
    return kMalformed;
  }
  const unsigned char* head = buffer_.data() + consumed_;
  const std::size_t available = buffer_.size() - consumed_;
  if (available < kIpcLengthFieldSize) return kNeedMore;
  u32 length = 0;
  for (std::size_t i = 0; i < kIpcLengthFieldSize; ++i) length |= static_cast<u32>(head[i]) << (8 * i);
  // The length is checked before the frame is complete, so that a bad length
  // is reported at once rather than after waiting for bytes that never come.
  if (length < kIpcMinFrameLength || length > maxLength_) {
    return fail("bad frame length " + std::to_string(length) + " (expected " +
                    std::to_string(kIpcMinFrameLength) + " to " + std::to_string(maxLength_) + ")",
                error);
  }
  if (available < kIpcFrameHeaderSize) return kNeedMore;
  const auto type = static_cast<PayloadType>(head[kIpcLengthFieldSize]);
  if (type != PAYLOAD_TYPE_STATUS && type != PAYLOAD_TYPE_STATS && type != PAYLOAD_TYPE_COMMAND) {
    char text[64];
    std::snprintf(text, sizeof text, "unknown payload type 0x%02x", static_cast<unsigned>(head[4]));
    return fail(text, error);
  }
  if (available < kIpcLengthFieldSize + length) return kNeedMore;

  std::string json(reinterpret_cast<const char*>(head + kIpcFrameHeaderSize), length - 1);
  boost::property_tree::ptree document;
  try {
    std::istringstream in(json);
    boost::property_tree::read_json(in, document);
  } catch (const std::exception& e) {
    return fail(std::string("invalid JSON in ") + PayloadTypeName(type) + " payload: " + e.what(), error);
  }
  consumed_ += kIpcLengthFieldSize + length;
  frame.type = type;
  frame.json = std::move(json);
  frame.document = std::move(document);
  return kFrame;
}

}  // namespace hxt
