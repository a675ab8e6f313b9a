// The fixed-point positions of the two walks: triangle edges in 22.10, ray columns in 16.16.
#pragma once

#include <cstdint>

namespace morvane {

// Edge positions of the triangle walk: 22 integer bits, 10 fraction bits.
using Fixed22_10 = int32_t;
constexpr int fixed22_10_shift = 10;
constexpr int32_t fixed22_10_one = 1 << fixed22_10_shift;

// Column positions of the ray walk: 16 integer bits, 16 fraction bits.
using Fixed16_16 = int32_t;
constexpr int fixed16_16_shift = 16;
constexpr int32_t fixed16_16_one = 1 << fixed16_16_shift;

// Whole column of a 22.10 position: arithmetic shift, so it rounds toward minus infinity.
constexpr int32_t fixed22_10_floor(Fixed22_10 position) { return position >> fixed22_10_shift; }

// Whole integer to 22.10, exact for every 16-bit value.
constexpr Fixed22_10 fixed22_10_from_int(int32_t value)
{
    return static_cast<Fixed22_10>(static_cast<uint32_t>(value) << fixed22_10_shift);
}

} // namespace morvane
