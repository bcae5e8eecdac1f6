// SHA-1 of a byte string, for the device identity, through libcrypto's EVP
// digest interface (the library the DNS plug-in loads into the process for
// TLS anyway).
#pragma once

#include <array>
#include <cstddef>

namespace hxt {

// False when the digest could not be computed; `digest` is then unchanged.
bool Sha1(const unsigned char* data, std::size_t size, std::array<unsigned char, 20>& digest);

// Tests: every following digest fails inside libcrypto (it is set up without
// an algorithm), until called again with false.
void FailDigestsForTesting(bool fail);

}  // namespace hxt
