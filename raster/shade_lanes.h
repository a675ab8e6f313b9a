// Pixel shading eight pixels at a time in 256-bit vectors; gives exactly the bytes and depths
// of shade_span_scalar. Private to the rasteriser, and included only by the files for AVX2
// (shade_span_avx2.cpp) and for AVX-512 (shade_span_avx512.cpp), each of which is called only
// after a run-time check; the code below the includes is compiled for the including file's
// instruction set (scene/wide_code.h). Everything here has internal linkage, and nothing inline
// from the shared headers is used: only intrinsics and local helpers.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "scene/scene.h"
#include "scene/wide_code.h"

MORVANE_WIDE_CODE_BEGIN

// Everything on the per-pixel path is inlined into the loops: left out of line (as the compiler
// may choose for the larger helpers) a helper costs a call and sends its vectors through memory.
#define MORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace morvane {

// Unnamed in a header on purpose: each instruction-set file needs its own copy.
namespace {  // NOLINT(cert-dcl59-cpp)

// Eight floats, one per pixel of a group. Products and sums round exactly like the scalar ones.
struct F8 {
    __m256 v;
};
MORVANE_ALWAYS_INLINE F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F8 operator-(F8 a, F8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F8 operator*(F8 a, F8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F8 splat(float value) { return {_mm256_set1_ps(value)}; }
MORVANE_ALWAYS_INLINE F8 splat_from(const float& value) { return {_mm256_broadcast_ss(&value)}; }
// minps/maxps: the first operand only when the comparison holds, else (also for NaN) the second.
MORVANE_ALWAYS_INLINE F8 min_first_if_less(F8 a, F8 b) { return {_mm256_min_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F8 max_first_if_greater(F8 a, F8 b) { return {_mm256_max_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F8 rsqrt_estimate(F8 a) { return {_mm256_rsqrt_ps(a.v)}; }

// Eight 32-bit integers or lane masks.
struct I8 {
    __m256i v;
};
MORVANE_ALWAYS_INLINE I8 mask_less(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ))}; }
MORVANE_ALWAYS_INLINE I8 mask_not_greater(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ))}; }
MORVANE_ALWAYS_INLINE I8 mask_equal(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ))}; }
MORVANE_ALWAYS_INLINE I8 mask_greater(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ))}; }
MORVANE_ALWAYS_INLINE F8 keep_where(I8 mask, F8 a) { return {_mm256_and_ps(_mm256_castsi256_ps(mask.v), a.v)}; }
MORVANE_ALWAYS_INLINE F8 nan_where(I8 mask, F8 a) { return {_mm256_or_ps(_mm256_castsi256_ps(mask.v), a.v)}; }
MORVANE_ALWAYS_INLINE I8 truncate(F8 a) { return {_mm256_cvttps_epi32(a.v)}; }
MORVANE_ALWAYS_INLINE F8 to_float(I8 a) { return {_mm256_cvtepi32_ps(a.v)}; }

// The four texels of every pixel of a group, each as eight words in pixel order: (t, t + 1)
// from the upper row, (t + 256, t + 257) from the lower one.
struct Texels {
    __m256i t00, t10, t01, t11;
};

// The pairs (t, t + 1) of one texel row, two 64-bit loads per pixel, split into the first and
// the second texel of every pair.
MORVANE_ALWAYS_INLINE void load_pairs(const Pixel* row, const int32_t t[8], __m256i& first, __m256i& second)
{
    const auto pair = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t[j])); };
    const auto two = [&](int j0, int j1) { return _mm_castsi128_ps(_mm_unpacklo_epi64(pair(j0), pair(j1))); };
    // Pairs of pixels 0, 1 | 4, 5 and 2, 3 | 6, 7: each 128-bit half then holds four pixels.
    const __m256 near = _mm256_set_m128(two(4, 5), two(0, 1));
    const __m256 far = _mm256_set_m128(two(6, 7), two(2, 3));
    first = _mm256_castps_si256(_mm256_shuffle_ps(near, far, _MM_SHUFFLE(2, 0, 2, 0)));
    second = _mm256_castps_si256(_mm256_shuffle_ps(near, far, _MM_SHUFFLE(3, 1, 3, 1)));
}

MORVANE_ALWAYS_INLINE Texels load_texels(const Pixel* texture, const int32_t t[8])
{
    Texels texels;
    load_pairs(texture, t, texels.t00, texels.t10);
    load_pairs(texture + texture_width, t, texels.t01, texels.t11);
    return texels;
}

// Byte c of eight texels, zero-extended, as floats.
template <int c>
MORVANE_ALWAYS_INLINE F8 channel(__m256i texels)
{
    if constexpr (c == 0) return {_mm256_cvtepi32_ps(_mm256_and_si256(texels, _mm256_set1_epi32(0xFF)))};
    constexpr char z = static_cast<char>(0x80);  // pshufb: zero this byte
    const __m256i pick = _mm256_setr_epi8(c, z, z, z, c + 4, z, z, z, c + 8, z, z, z, c + 12, z, z, z,  //
                                          c, z, z, z, c + 4, z, z, z, c + 8, z, z, z, c + 12, z, z, z);
    return {_mm256_cvtepi32_ps(_mm256_shuffle_epi8(texels, pick))};
}

// Bilinear sample of channel c.
template <int c>
MORVANE_ALWAYS_INLINE F8 sample(const Texels& t, F8 w00, F8 w10, F8 w01, F8 w11)
{
    return (channel<c>(t.t00) * w00 + channel<c>(t.t10) * w10) + (channel<c>(t.t01) * w01 + channel<c>(t.t11) * w11);
}

// One colour lane to an integer: nearest (ties to even; NaN and out of range give 0x80000000
// like the scalar conversion), then a logical shift by 8, which leaves at most 2^24 - 1.
MORVANE_ALWAYS_INLINE __m256i colour_shifted(F8 value) { return _mm256_srli_epi32(_mm256_cvtps_epi32(value.v), 8); }

// Two channels of shifted colour lanes to 16 bits. The values are below 2^24, so the signed
// saturation of the pack leaves every value above 255 above 255 (at most 32767), and the
// unsigned saturation of the byte pack that follows brings it to 255.
MORVANE_ALWAYS_INLINE __m256i colour_words(__m256i first, __m256i second) { return _mm256_packs_epi32(first, second); }

// The shading constants of one span, one splat per lane (the lights are splatted where they are
// used, straight from the scene, which costs a short span less).
struct GroupConstants {
    F8 u_ceiling, v_ceiling, lowest_texel, zero, one, infinity;
    F8 colour_ceiling[4];
    F8 depth_clear;
};

GroupConstants group_constants()
{
    GroupConstants k;
    k.u_ceiling = splat(scene.texel_clamp.lane[0]);
    k.v_ceiling = splat(scene.texel_clamp.lane[1]);
    k.lowest_texel = splat(lowest_texel_coordinate);
    k.zero = splat(0.0f);
    k.one = splat(scene.one_vector.lane[0]);
    k.infinity = splat(__builtin_inff());
    for (int c = 0; c < 4; ++c) k.colour_ceiling[c] = splat(scene.colour_clamp.lane[c]);
    k.depth_clear = splat(depth_clear);
    return k;
}

// Shades up to eight consecutive pixels. at[j] holds pixel j's normal (lanes 0..3) and u, v, z
// (lanes 4..6), exactly as the scalar loop has them; `lanes` marks the pixels that exist. The
// lanes of missing pixels are worked out too (every texel index is clamped inside the picture,
// whatever the value) but never reach the buffers. Pixels are distinct, so a group's depth test,
// depth stores and colour stores can each be done for all eight at once and still equal the
// one-pixel-at-a-time order. `whole`: all eight pixel slots lie in the worker's band, so they may
// be read and rewritten with a plain load and store; this worker alone writes them, and a
// rewritten slot gets back the value just read. AMD's masked stores are slow, so only a group
// that ends past the band's last pixel uses them.
//
// `zero_fourth_lanes`: the normals and the light directions have 0 in their fourth lane and the
// light colours too, as the shipped scene always has. Then that lane adds +0 to s, and to every
// cosine either 0 or, where the estimate is infinite (s zero or denormal), NaN, which the floor
// at 0 turns into 0; the fourth lighting lane is 0, or NaN (held at the ceiling) where d^16 is
// infinite. Worked out so, a quarter of the normal and lighting arithmetic drops away and every
// value stays bit for bit what the full four lanes give.
template <bool zero_fourth_lanes, DepthRule rule>
MORVANE_ALWAYS_INLINE void shade_group(const __m256 at[8], const Pixel* texture, Pixel* colour, float* depth,
                                       __m256i lanes, bool whole, const GroupConstants& k)
{
    constexpr int lanes_in_full = zero_fourth_lanes ? 3 : 4;

    // Transpose to one vector per attribute; depth first, as a hidden group needs nothing else.
    const __m256 t1 = _mm256_unpackhi_ps(at[0], at[1]);
    const __m256 t3 = _mm256_unpackhi_ps(at[2], at[3]);
    const __m256 t5 = _mm256_unpackhi_ps(at[4], at[5]);
    const __m256 t7 = _mm256_unpackhi_ps(at[6], at[7]);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const F8 z = {_mm256_permute2f128_ps(u2, u6, 0x31)};

    const F8 stored = {whole ? _mm256_loadu_ps(depth) : _mm256_maskload_ps(depth, lanes)};
    // NaN fails either rule.
    I8 pass = mask_less(z, stored);
    if constexpr (rule == DepthRule::nearer_or_tied) {
        pass = {_mm256_and_si256(mask_not_greater(z, stored).v, mask_less(z, k.depth_clear).v)};
    }
    pass = {_mm256_and_si256(pass.v, lanes)};
    if (_mm256_testz_si256(pass.v, pass.v)) return;
    if (whole) {
        _mm256_storeu_ps(depth, _mm256_blendv_ps(stored.v, z.v, _mm256_castsi256_ps(pass.v)));
    } else {
        _mm256_maskstore_ps(depth, pass.v, z.v);
    }

    const __m256 t0 = _mm256_unpacklo_ps(at[0], at[1]);
    const __m256 t2 = _mm256_unpacklo_ps(at[2], at[3]);
    const __m256 t4 = _mm256_unpacklo_ps(at[4], at[5]);
    const __m256 t6 = _mm256_unpacklo_ps(at[6], at[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    F8 n[4] = {{_mm256_permute2f128_ps(u0, u4, 0x20)},
               {_mm256_permute2f128_ps(u1, u5, 0x20)},
               {_mm256_permute2f128_ps(u2, u6, 0x20)},
               {}};
    if constexpr (!zero_fourth_lanes) {
        n[3] = {_mm256_permute2f128_ps(_mm256_shuffle_ps(t1, t3, 0xEE), _mm256_shuffle_ps(t5, t7, 0xEE), 0x20)};
    }
    const F8 u = {_mm256_permute2f128_ps(u0, u4, 0x31)};
    const F8 v = {_mm256_permute2f128_ps(u1, u5, 0x31)};

    // Unit normal by the estimate, no refinement (denormal or zero length: NaN lanes, no light).
    const F8 s = zero_fourth_lanes ? (n[0] * n[0] + n[1] * n[1]) + n[2] * n[2]
                                   : (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
    const F8 r = rsqrt_estimate(s);
    F8 unit[4];
    for (int c = 0; c < lanes_in_full; ++c) unit[c] = n[c] * r;
    if constexpr (zero_fourth_lanes) {
        // The missing fourth lane would make every cosine NaN where the estimate is infinite;
        // a NaN first lane does the same.
        unit[0] = nan_where(mask_equal(r, k.infinity), unit[0]);
    }

    // Texel coordinates: ceilings 254 and 423, -1 or less drawn as 0.
    F8 cu = min_first_if_less(u, k.u_ceiling);
    F8 cv = min_first_if_less(v, k.v_ceiling);
    cu = keep_where(mask_greater(cu, k.lowest_texel), cu);
    cv = keep_where(mask_greater(cv, k.lowest_texel), cv);
    const I8 iu = truncate(cu);
    const I8 iv = truncate(cv);
    const F8 fu = cu - to_float(iu);
    const F8 fv = cv - to_float(iv);

    // Per channel the strongest light wins.
    F8 light[4] = {k.zero, k.zero, k.zero, k.zero};
    F8 h;
#pragma GCC unroll 3
    for (int l = 0; l < 3; ++l) {
        const Light& source = scene.lights[l];
        F8 dir[4];
        for (int c = 0; c < lanes_in_full; ++c) dir[c] = splat_from(source.direction.lane[c]);
        F8 d;
        if constexpr (zero_fourth_lanes) {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + dir[2] * unit[2];
        } else {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + (dir[2] * unit[2] + dir[3] * unit[3]);
        }
        d = max_first_if_greater(d, k.zero);  // a NaN cosine counts as 0
        h = d * d;
        h = h * h;
        h = h * h;
        h = h * h;
#pragma GCC unroll 4
        for (int c = 0; c < lanes_in_full; ++c) {
            light[c] = max_first_if_greater(light[c], d * splat_from(source.diffuse.lane[c]) + h * splat_from(source.specular.lane[c]));
        }
    }
#pragma GCC unroll 4
    for (int c = 0; c < lanes_in_full; ++c) light[c] = min_first_if_less(light[c], k.colour_ceiling[c]);
    if constexpr (zero_fourth_lanes) {
        // Every light gives +0 or NaN there and the maximum always takes the later value, so the
        // lane is the last light's: 0, or the ceiling for a NaN.
        light[3] = keep_where(mask_equal(h, k.infinity), k.colour_ceiling[3]);
    }

    // Bilinear sample from two 64-bit loads per pixel.
    alignas(32) int32_t t[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(t), _mm256_add_epi32(_mm256_slli_epi32(iv.v, 8), iu.v));
    __asm__("" : "+m"(t));  // read the indices back from memory: cheaper than lane extracts on AMD
    const Texels texels = load_texels(texture, t);
    const F8 a = k.one - fu;
    const F8 b = k.one - fv;
    const F8 w00 = a * b;
    const F8 w10 = fu * b;
    const F8 w01 = a * fv;
    const F8 w11 = fu * fv;
    const F8 blue = sample<0>(texels, w00, w10, w01, w11);
    const F8 green = sample<1>(texels, w00, w10, w01, w11);
    const F8 red = sample<2>(texels, w00, w10, w01, w11);

    // Colour: lanes to bytes, then four channel vectors to eight B, G, R, X pixels. The packs
    // work within each 128-bit half (pixels 0..3 and 4..7).
    const __m256i blue_green = colour_words(colour_shifted(light[0] * blue), colour_shifted(light[1] * green));
    const __m256i red_fourth = colour_words(colour_shifted(light[2] * red), colour_shifted(light[3] * red));
    const __m256i planar = _mm256_packus_epi16(blue_green, red_fourth);
    const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                                0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i pixels = _mm256_shuffle_epi8(planar, interleave);
    if (whole) {
        __m256i merged = pixels;
        if (_mm256_movemask_ps(_mm256_castsi256_ps(pass.v)) != 0xFF) {
            merged = _mm256_blendv_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(colour)), pixels, pass.v);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(colour), merged);
    } else {
        _mm256_maskstore_epi32(reinterpret_cast<int*>(colour), pass.v, pixels);
    }
}

// One run being shaded: the next pixel's attributes and where that pixel goes.
struct RunCursor {
    __m256 at;  // normal in the low half, u, v, z in the high half
    __m256 step;
    Pixel* colour;
    float* depth;
    int32_t remaining;
    const Pixel* texture;
    // From a pixel to the same column of the next pair of rows the walk hands on, in bytes.
    uintptr_t next_pair_bytes;
    // The address of the depth slot after the band's last pixel. Addresses, not pointers: the
    // bound check and the prefetches look past the buffer, where no pointer may point.
    uintptr_t band_end;
};

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// A hint only: the address may lie outside every buffer, and nothing is read from it.
MORVANE_ALWAYS_INLINE void prefetch(const void* from, uintptr_t bytes_ahead)
{
    _mm_prefetch(reinterpret_cast<const char*>(address(from) + bytes_ahead), _MM_HINT_T0);
}

// The first row below the band, narrowed to 16 bits as set_up_span narrows it (written out here:
// this file uses no inline function of the shared headers).
int32_t band_bottom(const ClipWindow& window)
{
    return window.bottom < -32768 ? -32768 : (window.bottom > 32767 ? 32767 : window.bottom);
}

RunCursor start_run(const SpanRun& run, const SpanRequest& request)
{
    return {_mm256_set_m128(_mm_load_ps(run.uvz.lane), _mm_load_ps(run.normal.lane)),
            _mm256_set_m128(_mm_load_ps(run.uvz_step.lane), _mm_load_ps(run.normal_step.lane)),
            run.colour,
            run.depth,
            run.count,
            request.texture,
            static_cast<uintptr_t>(int64_t{2} * request.row_stride) * sizeof(Pixel),
            address(request.depth_buffer) +
                static_cast<uintptr_t>(int64_t{band_bottom(request.window)} * request.row_stride) * sizeof(float)};
}

// Shades the group whose attributes are `group` (up to eight pixels, as many as remain) and
// moves the cursor's pixel position past it; after a run's last, shorter group the cursor
// stays where it is, so its pointers never pass the run's end.
template <bool zero_fourth_lanes, DepthRule rule>
MORVANE_ALWAYS_INLINE void shade_next(RunCursor& c, const __m256 group[8], const GroupConstants& k)
{
    if (c.remaining >= 8) {
        shade_group<zero_fourth_lanes, rule>(group, c.texture, c.colour, c.depth, _mm256_set1_epi32(-1), true, k);
        c.colour += 8;
        c.depth += 8;
        c.remaining -= 8;
    } else {
        const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(c.remaining), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        const bool whole = c.band_end - address(c.depth) >= 8 * sizeof(float);
        shade_group<zero_fourth_lanes, rule>(group, c.texture, c.colour, c.depth, lanes, whole, k);
        c.remaining = 0;
    }
}

// Invariant of both loops: `at` is the first unshaded pixel's attributes, reached by one
// addition per pixel from the run's start, lane for lane the same sums as the scalar loop.
// These additions are the only serial work; the groups are independent.
template <bool zero_fourth_lanes, DepthRule rule>
void shade_run(RunCursor& c, const GroupConstants& k)
{
    while (c.remaining > 0) {
        __m256 group[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) {
            group[j] = c.at;
            c.at = _mm256_add_ps(c.at, c.step);
        }
        shade_next<zero_fourth_lanes, rule>(c, group, k);
    }
}

// Two runs that share no pixel, group by group side by side: the two chains of additions are
// independent, so the processor overlaps their latencies instead of waiting out each in turn.
template <bool zero_fourth_lanes, DepthRule rule>
void shade_run_pair(RunCursor& a, RunCursor& b, const GroupConstants& k)
{
    while (a.remaining > 0 && b.remaining > 0) {
        // The buffers come fresh from the clear, which streams past the caches. The rows two
        // further down are the next pair's and mostly cover the same columns: fetching their
        // lines now hides most of the memory latency the next pair would otherwise wait out.
        prefetch(a.depth, a.next_pair_bytes);
        prefetch(b.depth, b.next_pair_bytes);
        prefetch(a.colour, a.next_pair_bytes);
        prefetch(b.colour, b.next_pair_bytes);
        __m256 group_a[8], group_b[8];
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) {
            group_a[j] = a.at;
            group_b[j] = b.at;
            a.at = _mm256_add_ps(a.at, a.step);
            b.at = _mm256_add_ps(b.at, b.step);
        }
        shade_next<zero_fourth_lanes, rule>(a, group_a, k);
        shade_next<zero_fourth_lanes, rule>(b, group_b, k);
    }
    shade_run<zero_fourth_lanes, rule>(a, k);
    shade_run<zero_fourth_lanes, rule>(b, k);
}

bool overlap(const void* first_a, const void* end_a, const void* first_b, const void* end_b)
{
    return address(first_a) < address(end_b) && address(first_b) < address(end_a);
}

// Whether two set-up runs touch a common pixel of either buffer (never for two rows of one
// triangle; the pair then has to be shaded one run after the other).
bool runs_overlap(const SpanRun& a, const SpanRun& b)
{
    return overlap(a.colour, a.colour + a.count, b.colour, b.colour + b.count) ||
           overlap(a.depth, a.depth + a.count, b.depth, b.depth + b.count);
}

// One run on its own. The shipped scene has 0 in every fourth lane, which spares a quarter of
// the lighting.
template <DepthRule rule>
void shade_single(const SpanRun& run, const SpanRequest& request, const GroupConstants& k)
{
    RunCursor cursor = start_run(run, request);
    if (fourth_lanes_zero(run)) {
        shade_run<true, rule>(cursor, k);
    } else {
        shade_run<false, rule>(cursor, k);
    }
}

template <DepthRule rule>
void shade_pair(const SpanRequest& first, const SpanRequest& second)
{
    SpanRun runs[2];
    const bool has_first = set_up_span(first, runs[0]);
    const bool has_second = set_up_span(second, runs[1]);
    const GroupConstants k = group_constants();
    if (has_first && has_second && !runs_overlap(runs[0], runs[1]) && fourth_lanes_zero(runs[0]) &&
        fourth_lanes_zero(runs[1])) {
        RunCursor a = start_run(runs[0], first);
        RunCursor b = start_run(runs[1], second);
        shade_run_pair<true, rule>(a, b, k);
        return;
    }
    if (has_first) shade_single<rule>(runs[0], first, k);
    if (has_second) shade_single<rule>(runs[1], second, k);
}

// The entry points of the instruction-set files.
void shade_span_in_lanes(const SpanRequest& request, DepthRule rule)
{
    SpanRun run;
    if (!set_up_span(request, run)) return;
    if (rule == DepthRule::nearer) {
        shade_single<DepthRule::nearer>(run, request, group_constants());
    } else {
        shade_single<DepthRule::nearer_or_tied>(run, request, group_constants());
    }
}

void shade_span_pair_in_lanes(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    if (rule == DepthRule::nearer) {
        shade_pair<DepthRule::nearer>(first, second);
    } else {
        shade_pair<DepthRule::nearer_or_tied>(first, second);
    }
}

} // namespace

} // namespace morvane

MORVANE_WIDE_CODE_END

#undef MORVANE_ALWAYS_INLINE
