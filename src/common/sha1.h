// SHA-1 of a byte string, for the device identity (a fingerprint, not a
// security boundary). Written out here so that the agent does not load and
// initialise the whole crypto library, several MiB of resident pages, for
// one digest at start-up.
#pragma once

#include <array>
#include <cstddef>

namespace hxt {

std::array<unsigned char, 20> Sha1(const unsigned char* data, std::size_t size);

}  // namespace hxt
