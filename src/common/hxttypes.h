// Fixed-width names used across the service. The plug-in SDK and filter API
// headers declare the same typedefs; identical typedefs may be repeated.
#pragma once

#include <cstdint>

typedef std::uint8_t u8;
typedef std::uint16_t u16;
typedef std::uint32_t u32;
typedef std::uint64_t u64;
typedef std::int32_t i32;
