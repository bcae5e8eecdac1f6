// Reassembles DNS-over-TCP messages (a u16 big-endian length, then that many
// bytes) from whatever chunks a client's writes arrive in, so that each
// message is routed and wrapped whole: a client that writes the two length
// bytes on their own is still matched against the white list, and two
// messages in one read are two messages. Pure, any thread, one per stream.
#pragma once

#include <cstddef>
#include <vector>

#include "common/hxttypes.h"

namespace hxt::sockfilter {

class CDnsTcpFramer {
 public:
  // The stream's bytes so far are kept until they form whole messages; a
  // full 65535-byte message and its prefix fit.
  void Feed(const u8* data, std::size_t size);
  // The next whole message, its length prefix included. False when none is
  // complete yet.
  bool Next(std::vector<u8>& message);
  // Bytes received but not yet part of a whole message.
  std::size_t Buffered() const { return buffer_.size() - start_; }

 private:
  std::vector<u8> buffer_;
  std::size_t start_ = 0;
};

// Finds the whole DNS messages of a stream that is passed on unchanged and
// only looked at (the agent's answers): each is handed to `onMessage`
// (without its length prefix) where it lies in the read, and only a message
// split between reads is copied, into the scanner's own buffer.
class CDnsTcpScanner {
 public:
  template <typename OnMessage>
  void Feed(const u8* data, std::size_t size, OnMessage&& onMessage) {
    while (size > 0) {
      if (partial_.empty() && size >= 2) {
        const std::size_t length = (static_cast<std::size_t>(data[0]) << 8) | data[1];
        if (size < 2 + length) {
          partial_.assign(data, data + size);
          return;
        }
        onMessage(data + 2, length);
        data += 2 + length;
        size -= 2 + length;
        continue;
      }
      // The rest of a split message, its prefix first.
      if (partial_.size() < 2) {
        partial_.push_back(*data++);
        --size;
        continue;
      }
      const std::size_t want = 2 + ((static_cast<std::size_t>(partial_[0]) << 8) | partial_[1]);
      const std::size_t take = want - partial_.size() < size ? want - partial_.size() : size;
      partial_.insert(partial_.end(), data, data + take);
      data += take;
      size -= take;
      if (partial_.size() == want) {
        onMessage(partial_.data() + 2, want - 2);
        partial_.clear();
      }
    }
  }

 private:
  std::vector<u8> partial_;
};

}  // namespace hxt::sockfilter
