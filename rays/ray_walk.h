// The walk of one ray, shared by the scalar and the SIMD loops: which end starts, the per-pixel
// depth and colour steps, the 16.16 column walk down the rows, and the pixel blend.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rays/rays.h"
#include "scene/fixed_point.h"
#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane::ray_walk {

// Ray ends at or beyond this distance from column 0 or row 0 are not drawn: with |column| < 2^14
// every 16.16 position and step of the walk stays inside signed 32 bits, and a walk within
// 32,767 rows. Ends that are not numbers arrive as INT32_MIN and fall outside too.
constexpr int32_t coordinate_limit = 1 << 14;

// Just under half a pixel into the first column, so that a position exactly halfway between two
// columns counts as the left one.
constexpr Fixed16_16 start_bias = 0x7FFF;

// The whole column of a 16.16 position, rounding toward minus infinity.
constexpr int32_t column_of(Fixed16_16 position) { return position >> fixed16_16_shift; }

// Everything a ray's walk needs, set up once per ray.
struct Walk {
    int32_t first_row;      // the row of the upper end
    int32_t last_row;       // the row of the lower end, >= first_row
    Fixed16_16 position;    // the column on entering first_row
    Fixed16_16 column_step; // per row
    float depth;            // at the first visited pixel
    float depth_step;       // per visited pixel
    Vec4 colour;            // B, G, R, weight at the first visited pixel
    Vec4 colour_step;       // per visited pixel, all four lanes
};

inline bool within_limit(int32_t value) { return value > -coordinate_limit && value < coordinate_limit; }

// Sets up the walk from the anchor end to the far end; false when the ray is not drawn.
inline bool set_up(const RayEnd& anchor, const RayEnd& far_end, Walk& walk)
{
    if (!within_limit(anchor.column) || !within_limit(anchor.row) || !within_limit(far_end.column) ||
        !within_limit(far_end.row) || !std::isfinite(anchor.depth) || !std::isfinite(far_end.depth)) {
        return false;
    }
    // Down the rows, from the upper end `s` to the lower end `t`; a level ray starts at its anchor.
    const bool anchor_below = anchor.row > far_end.row;
    const RayEnd& s = anchor_below ? far_end : anchor;
    const RayEnd& t = anchor_below ? anchor : far_end;

    // The reciprocal estimate of max(|dcolumn|, |drow|) (exact as floats, both below 2^15); 0 gives
    // infinity, which never reaches a pixel: such a ray visits one pixel before the first step.
    const int32_t dcolumn = t.column - s.column;
    const int32_t drow = t.row - s.row;
    const float d = std::max(std::fabs(static_cast<float>(dcolumn)), std::fabs(static_cast<float>(drow)));
    const float r = rcp_estimate(d);

    walk.first_row = s.row;
    walk.last_row = t.row;
    walk.depth = s.depth;
    walk.depth_step = (t.depth - s.depth) * r;
    for (int i = 0; i < 4; ++i) {
        walk.colour[i] = s.colour[i];
        walk.colour_step[i] = (t.colour[i] - s.colour[i]) * r;
    }
    // The column distance is spread over n = drow + 1 rows, truncating toward zero, so the walk
    // leaves the last row at the lower end's column.
    const int32_t n = drow + 1;
    walk.position = s.column * fixed16_16_one + start_bias;
    walk.column_step = (dcolumn * fixed16_16_one) / n;
    return true;
}

// The columns one row of the walk covers: from the lesser of the entering and leaving column,
// |a - b| of them, or one when they are equal.
struct Span {
    int32_t left;
    int32_t count;
};

inline Span span_between(int32_t a, int32_t b)
{
    // Written without branches: how many columns a row covers changes from row to row.
    const int32_t difference = b - a;
    const int32_t magnitude = difference < 0 ? -difference : difference;
    return {std::min(a, b), magnitude + (difference == 0)};
}

// The amount one pixel gains from colour (B, G, R, w): every lane times w, rounded to nearest
// even, through signed 16-bit then unsigned 8-bit saturation, as the four bytes of a pixel.
// Lane 3 gives w x w, which rounds to 0 for every ray weight.
inline Pixel blend_amount(const Vec4& colour)
{
    const float w = colour[3];
    Pixel amount = 0;
    for (int i = 0; i < 4; ++i) {
        const int16_t narrow = saturate_to_int16(round_to_int32(colour[i] * w));
        const Pixel byte = narrow < 0 ? 0u : (narrow > 255 ? 255u : static_cast<Pixel>(narrow));
        amount |= byte << (8 * i);
    }
    return amount;
}

// Byte by byte sum with saturation at 255: the order of additions never matters.
inline Pixel add_saturated(Pixel pixel, Pixel amount)
{
    Pixel sum = 0;
    for (int i = 0; i < 4; ++i) {
        const Pixel total = ((pixel >> (8 * i)) & 0xFFu) + ((amount >> (8 * i)) & 0xFFu);
        sum |= std::min(total, Pixel{255}) << (8 * i);
    }
    return sum;
}

// Offset of pixel (column, row), in the address width so that no frame size overflows it.
inline ptrdiff_t pixel_index(int32_t row, int32_t column, int32_t width)
{
    return static_cast<ptrdiff_t>(row) * width + column;
}

} // namespace morvane::ray_walk
