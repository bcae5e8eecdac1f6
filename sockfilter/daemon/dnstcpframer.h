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

}  // namespace hxt::sockfilter
