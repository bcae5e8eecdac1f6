// Platform seam for SHA-1 (the device identifier): OpenSSL's EVP digest
// interface on Linux, BCrypt on Windows.
#pragma once

#include <array>
#include <cstddef>

namespace hxt::platform {

using Sha1Digest = std::array<unsigned char, 20>;

// False when the system's digest provider fails.
bool Sha1(const unsigned char* data, std::size_t size, Sha1Digest& digest);

}  // namespace hxt::platform
