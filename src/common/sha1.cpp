#include "common/sha1.h"

#include <atomic>
#include <memory>

#include <openssl/evp.h>

namespace hxt {

namespace {

std::atomic<bool> gFailDigests{false};

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const {
    EVP_MD_CTX_reset(context);
    EVP_MD_CTX_free(context);
  }
};

}  // namespace

bool Sha1(const unsigned char* data, std::size_t size, std::array<unsigned char, 20>& digest) {
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context) return false;
  const EVP_MD* type = gFailDigests.load(std::memory_order_relaxed) ? nullptr : EVP_sha1();
  std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
  unsigned int length = 0;
  if (EVP_DigestInit_ex(context.get(), type, nullptr) != 1 || EVP_DigestUpdate(context.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(context.get(), out.data(), &length) != 1 || length != digest.size())
    return false;
  std::copy(out.begin(), out.begin() + length, digest.begin());
  return true;
}

void FailDigestsForTesting(bool fail) {
  gFailDigests.store(fail, std::memory_order_relaxed);
}

}  // namespace hxt
