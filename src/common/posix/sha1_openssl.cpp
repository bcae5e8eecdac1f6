#include <openssl/evp.h>

#include <memory>

#include "common/sha1.h"

namespace hxt::platform {

namespace {

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* ctx) const {
    EVP_MD_CTX_reset(ctx);
    EVP_MD_CTX_free(ctx);
  }
};

}  // namespace

bool Sha1(const unsigned char* data, std::size_t size, Sha1Digest& digest) {
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  unsigned int length = 0;
  return EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), data, size) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) == 1 && length == digest.size();
}

}  // namespace hxt::platform
