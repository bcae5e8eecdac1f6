// SHA-1 through the system's own cryptography provider. The algorithm
// provider is opened explicitly: mingw's headers lack the pseudo-handles of
// newer SDKs.
#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include "common/sha1.h"

namespace hxt::platform {

bool Sha1(const unsigned char* data, std::size_t size, Sha1Digest& digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
  // BCryptHashData takes a ULONG count: feed big inputs in pieces.
  while (ok && size > 0) {
    ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    ok = BCRYPT_SUCCESS(::BCryptHashData(hash, const_cast<PUCHAR>(data), piece, 0));
    data += piece;
    size -= piece;
  }
  ok = ok && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  if (hash != nullptr) ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

}  // namespace hxt::platform
