#include "daemon/dnstcpframer.h"

namespace hxt::sockfilter {

void CDnsTcpFramer::Feed(const u8* data, std::size_t size) {
  if (size == 0) return;
  // Compact before growing, so a long stream of small messages does not
  // keep every byte it ever carried.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= 65536) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

bool CDnsTcpFramer::Next(std::vector<u8>& message) {
  std::size_t available = buffer_.size() - start_;
  if (available < 2) return false;
  std::size_t length = (static_cast<std::size_t>(buffer_[start_]) << 8) | buffer_[start_ + 1];
  if (available < 2 + length) return false;
  auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
  message.assign(first, first + static_cast<std::ptrdiff_t>(2 + length));
  start_ += 2 + length;
  return true;
}

}  // namespace hxt::sockfilter
