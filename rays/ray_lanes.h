// The lockstep walk of steep rays, eight rays in the lanes of 256-bit vectors, with exactly the
// bytes of draw_ray_line_scalar: the whole of rays_avx2.cpp and rays_avx512.cpp, compiled for
// their instruction set (scene/wide_code.h; with AVX-512 the lane sets live in mask registers).
// Everything but the entry point has internal linkage; nothing inline from shared headers is used.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <utility>

#include "rays/ray_paths.h"
#include "scene/wide_code.h"

MORVANE_WIDE_CODE_BEGIN

namespace morvane {

// Unnamed in a header on purpose: each instruction-set file needs its own copy.
namespace {  // NOLINT(cert-dcl59-cpp)

constexpr int lanes = 8;
static_assert(sizeof(Pixel) == sizeof(float), "one pixel index addresses both buffers");
constexpr uint32_t all_lanes = (1u << lanes) - 1;
constexpr std::make_integer_sequence<int, lanes> every_lane{};

// The rays of a group start at one pixel and are ordered by column step, so their columns never
// fall from lane to lane, and mostly lie within a few columns: one row of the group then touches
// a window of 8 pixels, read and written whole.
constexpr int window_width = 8;

constexpr int prefetch_rows = 8;  // how far ahead the window path fetches

// Weights within +-max_small_weight square to less than one half, which rounds to 0.
constexpr float max_small_weight = 0.7f;

// The running values of up to eight rays' walks, lane l for ray l of the group, or their steps
// per row. Depth and colour advance by one single-precision add per row, exactly the chain the
// scalar walk forms for each ray. Named vectors, no arrays, so that a copy stays in registers.
struct Chains {
    __m256 depth, b, g, r, weight;  // colour: B, G, R, weight
    __m256i column;                 // 16.16
};

__attribute__((always_inline)) inline void advance(Chains& c, const Chains& step)
{
    c = {_mm256_add_ps(c.depth, step.depth), _mm256_add_ps(c.b, step.b),           _mm256_add_ps(c.g, step.g),
         _mm256_add_ps(c.r, step.r),         _mm256_add_ps(c.weight, step.weight), _mm256_add_epi32(c.column, step.column)};
}

struct Walk8 {
    Chains at, step;
    Pixel* colour_row;  // the rows the group is on
    const float* depth_row;
};

// The blend amounts of eight colours, one pixel's four bytes per lane, as the one-ray blend forms
// them. The packs leave each 128-bit half as B0..B3 G0..G3 R0..R3 W0..W3, the byte shuffle turns
// that into B0 G0 R0 W0 B1 ... With small_weights, weight x weight rounds to 0 and is not worked out.
template <bool small_weights>
__attribute__((always_inline)) inline __m256i blend_amounts(__m256 b, __m256 g, __m256 r, __m256 w)
{
    const __m256i ib = _mm256_cvtps_epi32(_mm256_mul_ps(b, w));
    const __m256i ig = _mm256_cvtps_epi32(_mm256_mul_ps(g, w));
    const __m256i ir = _mm256_cvtps_epi32(_mm256_mul_ps(r, w));
    const __m256i iw = small_weights ? _mm256_setzero_si256() : _mm256_cvtps_epi32(_mm256_mul_ps(w, w));
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(ib, ig), _mm256_packs_epi32(ir, iw));
    const __m256i transpose = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                               0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    return _mm256_shuffle_epi8(bytes, transpose);
}

// A set of lanes: a mask register with AVX-512, else a vector with all ones in each lane of the set.
#if MORVANE_WIDE_AVX512
using LaneSet = __mmask8;
inline LaneSet lanes_of(uint32_t bits) { return static_cast<LaneSet>(bits); }
inline LaneSet lanes_less(__m256 a, __m256 b) { return _mm256_cmp_ps_mask(a, b, _CMP_LT_OQ); }
inline LaneSet lanes_equal(__m256i a, __m256i b) { return _mm256_cmpeq_epi32_mask(a, b); }
inline LaneSet lanes_zero(__m256i a, __m256i bits) { return _mm256_testn_epi32_mask(a, bits); }
inline LaneSet all_but_lane_0() { return 0xFE; }
inline LaneSet both(LaneSet a, LaneSet b) { return a & b; }
inline bool any(LaneSet a) { return a != 0; }
inline __m256i keep(LaneSet set, __m256i v) { return _mm256_maskz_mov_epi32(set, v); }
#else
using LaneSet = __m256i;
inline LaneSet lanes_of(uint32_t bits)
{
    const __m256i lane_bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    return _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int32_t>(bits)), lane_bits), lane_bits);
}
inline LaneSet lanes_less(__m256 a, __m256 b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_LT_OQ)); }
inline LaneSet lanes_equal(__m256i a, __m256i b) { return _mm256_cmpeq_epi32(a, b); }
inline LaneSet lanes_zero(__m256i a, __m256i bits)
{
    return _mm256_cmpeq_epi32(_mm256_and_si256(a, bits), _mm256_setzero_si256());
}
inline LaneSet all_but_lane_0() { return _mm256_setr_epi32(0, -1, -1, -1, -1, -1, -1, -1); }
inline LaneSet both(LaneSet a, LaneSet b) { return _mm256_and_si256(a, b); }
inline bool any(LaneSet a) { return !_mm256_testz_si256(a, a); }
inline __m256i keep(LaneSet set, __m256i v) { return _mm256_and_si256(set, v); }
#endif

// The permutation that brings lane l - d to lane l (lanes below d get lane 0).
template <int d>
__m256i from_lane_before()
{
    constexpr auto source = [](int l) { return l < d ? 0 : l - d; };
    return _mm256_setr_epi32(source(0), source(1), source(2), source(3), source(4), source(5), source(6), source(7));
}

// Lane l - d of v in lane l where lane l is in `set`, else 0.
template <int d>
__attribute__((always_inline)) inline __m256i from_lane_before(LaneSet set, __m256i v)
{
#if MORVANE_WIDE_AVX512
    return _mm256_maskz_permutexvar_epi32(set, from_lane_before<d>(), v);
#else
    return keep(set, _mm256_permutevar8x32_epi32(v, from_lane_before<d>()));
#endif
}

// The set `set` moved d lanes up: lane l is in it when lane l - d is in `set`.
template <int d>
__attribute__((always_inline)) inline LaneSet moved_up(LaneSet set)
{
#if MORVANE_WIDE_AVX512
    return static_cast<LaneSet>(set << d);
#else
    return _mm256_permutevar8x32_epi32(set, from_lane_before<d>());
#endif
}

// The amounts summed over runs of lanes on one pixel, so that the last lane of each run holds the
// run's total. Offsets never fall from lane to lane, so lanes l - d and l share a pixel exactly
// when every lane between does: same_1, same_2 (same_1 here and one lane left), same_4. Sums of
// amounts that are never negative saturate to the same bytes in any grouping.
__attribute__((always_inline)) inline __m256i sum_runs(__m256i amounts, __m256i offsets)
{
    const LaneSet same_1 =
        both(lanes_equal(offsets, _mm256_permutevar8x32_epi32(offsets, from_lane_before<1>())), all_but_lane_0());
    const LaneSet same_2 = both(same_1, moved_up<1>(same_1));
    const LaneSet same_4 = both(same_2, moved_up<2>(same_2));
    amounts = _mm256_adds_epu8(amounts, from_lane_before<1>(same_1, amounts));
    amounts = _mm256_adds_epu8(amounts, from_lane_before<2>(same_2, amounts));
    return _mm256_adds_epu8(amounts, from_lane_before<4>(same_4, amounts));
}

// What each pixel of the window gains: the total of the last lane on it, lane (lanes on pixels
// 0 .. j) - 1 for pixel j, or nothing. Each lane sets a 1 in nibble `offset` of a word; summed
// over the lanes, nibble j counts the lanes on pixel j (at most 8: no carries), and a multiply by
// 0x11111111 sums the nibbles from pixel 0 up. The permute reads only the low three bits of each
// lane, so the counts of the pixels above need no masking.
__attribute__((always_inline)) inline __m256i gains_of_window(__m256i totals, __m256i offsets)
{
    const __m256i nibble_shift = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
    const __m256i nibble_one = _mm256_setr_epi32(1, 1 << 4, 1 << 8, 1 << 12, 1 << 16, 1 << 20, 1 << 24, 1 << 28);
    const __m256i own = _mm256_permutevar8x32_epi32(nibble_one, offsets);
    __m256i counts = _mm256_add_epi32(own, _mm256_permute2x128_si256(own, own, 1));
    counts = _mm256_add_epi32(counts, _mm256_shuffle_epi32(counts, _MM_SHUFFLE(1, 0, 3, 2)));
    counts = _mm256_add_epi32(counts, _mm256_shuffle_epi32(counts, _MM_SHUFFLE(2, 3, 0, 1)));
    const __m256i up_to = _mm256_mullo_epi32(counts, _mm256_set1_epi32(0x11111111));
    const __m256i all_ones = _mm256_cmpeq_epi32(counts, counts);
    const __m256i last_lane = _mm256_add_epi32(_mm256_srlv_epi32(up_to, nibble_shift), all_ones);
    const LaneSet empty = lanes_zero(_mm256_srlv_epi32(counts, nibble_shift), _mm256_set1_epi32(15));
#if MORVANE_WIDE_AVX512
    return _mm256_maskz_permutexvar_epi32(static_cast<LaneSet>(~empty), last_lane, totals);
#else
    return _mm256_andnot_si256(empty, _mm256_permutevar8x32_epi32(totals, last_lane));
#endif
}

// `steps` rows with every drawing lane within window_width columns of the leftmost drawing
// lane `low`: one load of depths, one load and one store of colours per row.
template <bool all_drawing, bool small_weights>
void run_window(Walk8& w, int32_t steps, uint32_t drawing, int low, int32_t frame_width)
{
    const Chains step = w.step;
    Chains c = w.at;
    // The window starts at the leftmost drawing lane's column, held back so that it stays in
    // the row; that column is walked both as a number (for the addresses) and in every lane
    // (for the offsets).
    const __m256i low_lane = _mm256_set1_epi32(low);
    __m256i low_column = _mm256_permutevar8x32_epi32(c.column, low_lane);
    const __m256i low_step = _mm256_permutevar8x32_epi32(step.column, low_lane);
    Fixed16_16 low_position = _mm256_cvtsi256_si32(low_column);
    const Fixed16_16 low_position_step = _mm256_cvtsi256_si32(low_step);
    const int32_t last_left = frame_width - window_width;
    const __m256i last_lefts = _mm256_set1_epi32(last_left);
    const LaneSet draws = lanes_of(drawing);
    Pixel* colour = w.colour_row;
    const float* depths = w.depth_row;
    for (int32_t k = 0; k < steps; ++k) {
        int32_t left = low_position >> fixed16_16_shift;
        if (left > last_left) left = last_left;
        const __m256i lefts = _mm256_min_epi32(_mm256_srai_epi32(low_column, fixed16_16_shift), last_lefts);
        __m256i offsets = _mm256_sub_epi32(_mm256_srai_epi32(c.column, fixed16_16_shift), lefts);
        if (!all_drawing) {
            // Lanes whose ray has ended may have left the window: they count at its edges, with
            // nothing to add. At the left edge they come before every drawing lane, at the
            // right edge after them, so the offsets still never fall from lane to lane.
            offsets = _mm256_min_epi32(_mm256_max_epi32(offsets, _mm256_setzero_si256()),
                                       _mm256_set1_epi32(window_width - 1));
        }
        // Each row of the walk is a new cache line: fetch a few rows ahead, colours only where the
        // group is seen, as it tends to stay so. Hints, harmless past the buffers' ends.
        const uintptr_t ahead = static_cast<uintptr_t>(prefetch_rows * frame_width + left) * sizeof(float);
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a hint address, deliberately no pointer arithmetic
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(depths) + ahead), _MM_HINT_T0);
        const __m256 stored = _mm256_permutevar8x32_ps(_mm256_loadu_ps(depths + left), offsets);
        LaneSet nearer = lanes_less(c.depth, stored);
        if (!all_drawing) nearer = both(nearer, draws);
        if (any(nearer)) {  // the slab often hides the whole group for long stretches
            // NOLINTNEXTLINE(performance-no-int-to-ptr): as above
            _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(colour) + ahead), _MM_HINT_T0);
            const __m256i amounts = keep(nearer, blend_amounts<small_weights>(c.b, c.g, c.r, c.weight));
            __m256i* window = reinterpret_cast<__m256i*>(colour + left);
            _mm256_storeu_si256(window, _mm256_adds_epu8(_mm256_loadu_si256(window),
                                                         gains_of_window(sum_runs(amounts, offsets), offsets)));
        }
        advance(c, step);
        low_column = _mm256_add_epi32(low_column, low_step);
        low_position += low_position_step;
        colour += frame_width;
        depths += frame_width;
    }
    w = {c, w.step, colour, depths};
}

// Adds lane l's amount to its pixel, column[l] of `row`, when lane l draws: read, summed and
// written before the next lane's pixel is read, so rays meeting on one pixel all count.
template <int l>
__attribute__((always_inline)) inline void blend_lane(Pixel* row, const int32_t column[lanes], __m128i amount_half,
                                                      uint32_t drawing)
{
    if ((drawing >> l & 1u) == 0) return;
    Pixel* pixel = row + column[l];
    const __m128i old = _mm_cvtsi32_si128(static_cast<int>(*pixel));
    *pixel = static_cast<Pixel>(_mm_cvtsi128_si32(_mm_adds_epu8(old, _mm_shuffle_epi32(amount_half, l & 3))));
}

template <int l>
__attribute__((always_inline)) inline float depth_at(const float* row, const int32_t column[lanes], uint32_t drawing)
{
    return (drawing >> l & 1u) != 0 ? row[column[l]] : 0.0f;
}

// `steps` rows pixel by pixel, for the rows where the group has spread wider than the window.
void run_lanes(Walk8& w, int32_t steps, uint32_t drawing, int32_t frame_width)
{
    const LaneSet draws = lanes_of(drawing);
    Chains c = w.at;
    Pixel* colour = w.colour_row;
    const float* depths = w.depth_row;
    for (int32_t k = 0; k < steps; ++k) {
        int32_t at[lanes];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_srai_epi32(c.column, fixed16_16_shift));
        const __m256 stored = [&]<int... l>(std::integer_sequence<int, l...>) {
            return _mm256_setr_ps(depth_at<l>(depths, at, drawing)...);
        }(every_lane);
        const LaneSet nearer = both(lanes_less(c.depth, stored), draws);
        if (any(nearer)) {
            const __m256i amounts = keep(nearer, blend_amounts<false>(c.b, c.g, c.r, c.weight));
            const __m128i low = _mm256_castsi256_si128(amounts);
            const __m128i high = _mm256_extracti128_si256(amounts, 1);
            [&]<int... l>(std::integer_sequence<int, l...>) {
                (blend_lane<l>(colour, at, l < 4 ? low : high, drawing), ...);
            }(every_lane);
        }
        advance(c, w.step);
        colour += frame_width;
        depths += frame_width;
    }
    w = {c, w.step, colour, depths};
}

// How many rows from `step` on the columns of rays lo and hi (lo's column step the lesser, both
// from one start) stay less than window_width apart: while their 16.16 distance, growing by the
// difference of the steps every row, is below (window_width - 1) x 65536.
int64_t rows_within_window(const SteepRay& lo, const SteepRay& hi, int32_t step)
{
    constexpr int64_t limit = int64_t{window_width - 1} * fixed16_16_one;
    const int64_t slope = int64_t{hi.column_step} - lo.column_step;
    const int64_t distance = int64_t{hi.column} - lo.column + slope * step;
    if (distance >= limit) return 0;
    if (slope <= 0) return INT32_MAX;
    return (limit - distance + slope - 1) / slope;
}

void draw_group(const SteepRay* const rays[lanes], int count, Pixel* colour_buffer, const float* depth_buffer,
                int32_t frame_width)
{
    float values[2 * 5][lanes] = {};  // depth, B, G, R, weight, then their steps
    int32_t columns[lanes] = {}, column_steps[lanes] = {};
    int32_t rows[lanes] = {};
    for (int l = 0; l < count; ++l) {
        // The caller sets the first `count` entries, the only ones read.
        // cppcheck-suppress uninitvar
        const SteepRay& ray = *rays[l];
        values[0][l] = ray.depth;
        values[5][l] = ray.depth_step;
        for (int c = 0; c < 4; ++c) {
            values[1 + c][l] = ray.colour.lane[c];
            values[6 + c][l] = ray.colour_step.lane[c];
        }
        columns[l] = ray.column;
        column_steps[l] = ray.column_step;
        rows[l] = ray.rows;
    }
    // Missing lanes walk along with the last ray and draw nothing.
    for (int l = count; l < lanes; ++l) {
        columns[l] = rays[count - 1]->column;
        column_steps[l] = rays[count - 1]->column_step;
    }
    const auto chains = [](const float (*v)[lanes], const int32_t* column) -> Chains {
        return {_mm256_loadu_ps(v[0]), _mm256_loadu_ps(v[1]), _mm256_loadu_ps(v[2]), _mm256_loadu_ps(v[3]),
                _mm256_loadu_ps(v[4]), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(column))};
    };
    Walk8 w = {chains(values, columns), chains(values + 5, column_steps), colour_buffer + rays[0]->row_start,
               depth_buffer + rays[0]->row_start};

    // Weights move in a straight line (give or take a few units in the last place): within +-0.7
    // at both ends, weight x weight stays below one half on every pixel.
    bool small_weights = true;
    for (int l = 0; l < count; ++l) {
        const float first = rays[l]->colour.lane[3];
        const float last = first + rays[l]->colour_step.lane[3] * static_cast<float>(rays[l]->rows - 1);
        small_weights = small_weights && first > -max_small_weight && first < max_small_weight &&
                        last > -max_small_weight && last < max_small_weight;
    }

    // Phases: from one lane's end to the next, the drawing lanes stay the same.
    int32_t step = 0;
    for (;;) {
        uint32_t drawing = 0;
        int32_t end = INT32_MAX;
        int low = -1, high = -1;
        for (int l = 0; l < count; ++l) {
            if (rows[l] <= step) continue;
            drawing |= 1u << l;
            if (rows[l] < end) end = rows[l];
            if (low < 0) low = l;
            high = l;
        }
        if (drawing == 0) break;
        // The rows where the window holds every drawing lane come first: lanes only spread apart.
        const int64_t within = frame_width >= window_width ? rows_within_window(*rays[low], *rays[high], step) : 0;
        const int32_t window_end = within < end - step ? step + static_cast<int32_t>(within) : end;
        if (window_end > step) {
            const int32_t rows_here = window_end - step;
            if (drawing == all_lanes) {
                if (small_weights) {
                    run_window<true, true>(w, rows_here, drawing, low, frame_width);
                } else {
                    run_window<true, false>(w, rows_here, drawing, low, frame_width);
                }
            } else if (small_weights) {
                run_window<false, true>(w, rows_here, drawing, low, frame_width);
            } else {
                run_window<false, false>(w, rows_here, drawing, low, frame_width);
            }
        }
        if (end > window_end) run_lanes(w, end - window_end, drawing, frame_width);
        step = end;
    }
}

} // namespace

// Draws rays[order[0 .. count - 1]] eight at a time (see draw_steep_rays_avx2).
void MORVANE_WIDE_NAME(draw_steep_rays)(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                                        const float* depth_buffer, int32_t frame_width)
{
    for (int first = 0; first < count; first += lanes) {
        const int n = count - first < lanes ? count - first : lanes;
        const SteepRay* group[lanes];
        for (int l = 0; l < n; ++l) group[l] = rays + order[first + l];
        draw_group(group, n, colour_buffer, depth_buffer, frame_width);
    }
}

} // namespace morvane

MORVANE_WIDE_CODE_END
