// SHA-256 of a byte stream, fed in pieces. Our own so that the plug-in needs
// no crypto library on any platform for the one digest it checks.
#ifndef HXT_PLUGINS_CLOUDDOWNLOADER_SHA256_H
#define HXT_PLUGINS_CLOUDDOWNLOADER_SHA256_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace hxtplugin {

class Sha256 {
 public:
  void Update(const unsigned char* data, std::size_t size);
  // The digest of everything fed; the object is spent afterwards.
  std::array<unsigned char, 32> Final();

 private:
  void compress(const unsigned char* block);

  std::uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char pending_[64] = {};
  std::size_t pendingSize_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace hxtplugin

#endif  // HXT_PLUGINS_CLOUDDOWNLOADER_SHA256_H
