// Pixel shading eight pixels at a time with AVX2; gives exactly the bytes and depths of
// shade_span_scalar. This file is compiled with -mavx2 and only called after a run-time check,
// so it uses nothing inline from the shared headers (an AVX2 copy of a shared inline function
// could be picked by the linker for the plain code too): only intrinsics and local helpers.
#include <immintrin.h>

#include <cstdint>

#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "scene/scene.h"

namespace morvane {

namespace {

// Eight floats, one per pixel of a group. Products and sums round exactly like the scalar ones.
struct F8 {
    __m256 v;
};
inline F8 operator+(F8 a, F8 b) { return {_mm256_add_ps(a.v, b.v)}; }
inline F8 operator-(F8 a, F8 b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline F8 operator*(F8 a, F8 b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline F8 splat(float value) { return {_mm256_set1_ps(value)}; }
// minps/maxps: the first operand only when the comparison holds, else (also for NaN) the second.
inline F8 min_first_if_less(F8 a, F8 b) { return {_mm256_min_ps(a.v, b.v)}; }
inline F8 max_first_if_greater(F8 a, F8 b) { return {_mm256_max_ps(a.v, b.v)}; }
inline F8 rsqrt_estimate(F8 a) { return {_mm256_rsqrt_ps(a.v)}; }

// Eight 32-bit integers or lane masks.
struct I8 {
    __m256i v;
};
inline I8 mask_less(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ))}; }
inline I8 mask_greater(F8 a, F8 b) { return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ))}; }
inline F8 keep_where(I8 mask, F8 a) { return {_mm256_and_ps(_mm256_castsi256_ps(mask.v), a.v)}; }
inline I8 truncate(F8 a) { return {_mm256_cvttps_epi32(a.v)}; }
inline F8 to_float(I8 a) { return {_mm256_cvtepi32_ps(a.v)}; }

// Byte c of each texel, zero-extended to 32 bits, as a float.
inline F8 channel(I8 texels, int c)
{
    const char z = static_cast<char>(0x80);  // pshufb: zero this byte
    const char b0 = static_cast<char>(c), b1 = static_cast<char>(c + 4), b2 = static_cast<char>(c + 8),
               b3 = static_cast<char>(c + 12);
    const __m256i pick = _mm256_setr_epi8(b0, z, z, z, b1, z, z, z, b2, z, z, z, b3, z, z, z,  //
                                          b0, z, z, z, b1, z, z, z, b2, z, z, z, b3, z, z, z);
    return {_mm256_cvtepi32_ps(_mm256_shuffle_epi8(texels.v, pick))};
}

// One colour lane to bytes: nearest (ties to even; NaN and out of range give 0x80000000 like
// the scalar conversion), logical shift by 8, at most 255.
inline __m256i colour_bytes(F8 value)
{
    const __m256i shifted = _mm256_srli_epi32(_mm256_cvtps_epi32(value.v), 8);
    return _mm256_min_epu32(shifted, _mm256_set1_epi32(255));
}

// The shading constants of one span, one splat per lane.
struct GroupConstants {
    F8 direction[3][4];
    F8 diffuse[3][4];
    F8 specular[3][4];
    F8 u_ceiling, v_ceiling, lowest_texel, zero, one;
    F8 colour_ceiling[4];
};

GroupConstants group_constants()
{
    GroupConstants k;
    for (int l = 0; l < 3; ++l) {
        for (int c = 0; c < 4; ++c) {
            k.direction[l][c] = splat(scene.lights[l].direction.lane[c]);
            k.diffuse[l][c] = splat(scene.lights[l].diffuse.lane[c]);
            k.specular[l][c] = splat(scene.lights[l].specular.lane[c]);
        }
    }
    k.u_ceiling = splat(scene.texel_clamp.lane[0]);
    k.v_ceiling = splat(scene.texel_clamp.lane[1]);
    k.lowest_texel = splat(-1.0f);  // as in the scalar path: -1 or less is drawn as 0
    k.zero = splat(0.0f);
    k.one = splat(scene.one_vector.lane[0]);
    for (int c = 0; c < 4; ++c) k.colour_ceiling[c] = splat(scene.colour_clamp.lane[c]);
    return k;
}

// Shades up to eight consecutive pixels. at[j] holds pixel j's normal (lanes 0..3) and u, v, z
// (lanes 4..6), exactly as the scalar loop has them; `lanes` marks the pixels that exist.
// Pixels are distinct, so a group's depth test, depth stores and colour stores can each be done
// for all eight at once and still equal the one-pixel-at-a-time order.
__attribute__((always_inline)) inline void shade_group(const __m256 at[8], const Pixel* texture, Pixel* colour,
                                                       float* depth, __m256i lanes, bool all_lanes,
                                                       const GroupConstants& k)
{
    // Transpose to one vector per attribute; depth first, as a hidden group needs nothing else.
    const __m256 t1 = _mm256_unpackhi_ps(at[0], at[1]);
    const __m256 t3 = _mm256_unpackhi_ps(at[2], at[3]);
    const __m256 t5 = _mm256_unpackhi_ps(at[4], at[5]);
    const __m256 t7 = _mm256_unpackhi_ps(at[6], at[7]);
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
    const F8 z = {_mm256_permute2f128_ps(u2, u6, 0x31)};

    const F8 stored = {all_lanes ? _mm256_loadu_ps(depth) : _mm256_maskload_ps(depth, lanes)};
    const I8 pass = {_mm256_and_si256(mask_less(z, stored).v, lanes)};  // strict; NaN fails
    if (_mm256_testz_si256(pass.v, pass.v)) return;
    _mm256_maskstore_ps(depth, pass.v, z.v);

    const __m256 t0 = _mm256_unpacklo_ps(at[0], at[1]);
    const __m256 t2 = _mm256_unpacklo_ps(at[2], at[3]);
    const __m256 t4 = _mm256_unpacklo_ps(at[4], at[5]);
    const __m256 t6 = _mm256_unpacklo_ps(at[6], at[7]);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    const F8 n[4] = {{_mm256_permute2f128_ps(u0, u4, 0x20)},
                     {_mm256_permute2f128_ps(u1, u5, 0x20)},
                     {_mm256_permute2f128_ps(u2, u6, 0x20)},
                     {_mm256_permute2f128_ps(u3, u7, 0x20)}};
    const F8 u = {_mm256_permute2f128_ps(u0, u4, 0x31)};
    const F8 v = {_mm256_permute2f128_ps(u1, u5, 0x31)};

    // Unit normal by the estimate, no refinement (denormal or zero length: NaN lanes, no light).
    const F8 s = (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
    const F8 r = rsqrt_estimate(s);
    const F8 unit[4] = {n[0] * r, n[1] * r, n[2] * r, n[3] * r};

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
    for (int l = 0; l < 3; ++l) {
        const F8* dir = k.direction[l];
        F8 d = (dir[0] * unit[0] + dir[1] * unit[1]) + (dir[2] * unit[2] + dir[3] * unit[3]);
        d = max_first_if_greater(d, k.zero);
        F8 h = d * d;
        h = h * h;
        h = h * h;
        h = h * h;
        for (int c = 0; c < 4; ++c) {
            light[c] = max_first_if_greater(light[c], d * k.diffuse[l][c] + h * k.specular[l][c]);
        }
    }
    for (int c = 0; c < 4; ++c) light[c] = min_first_if_less(light[c], k.colour_ceiling[c]);

    // Bilinear sample: the four texels of every pixel by gathers (indices are always inside the
    // picture, so unused lanes may be gathered too).
    const __m256i t = _mm256_add_epi32(_mm256_slli_epi32(iv.v, 8), iu.v);
    const int* base = reinterpret_cast<const int*>(texture);
    const I8 t00 = {_mm256_i32gather_epi32(base, t, 4)};
    const I8 t10 = {_mm256_i32gather_epi32(base + 1, t, 4)};
    const I8 t01 = {_mm256_i32gather_epi32(base + texture_width, t, 4)};
    const I8 t11 = {_mm256_i32gather_epi32(base + texture_width + 1, t, 4)};
    const F8 a = k.one - fu;
    const F8 b = k.one - fv;
    const F8 w00 = a * b;
    const F8 w10 = fu * b;
    const F8 w01 = a * fv;
    const F8 w11 = fu * fv;
    F8 sample[3];
    for (int c = 0; c < 3; ++c) {
        sample[c] = (channel(t00, c) * w00 + channel(t10, c) * w10) + (channel(t01, c) * w01 + channel(t11, c) * w11);
    }

    // Colour: lanes to bytes, then four channel vectors to eight B, G, R, X pixels. The packs
    // work within each 128-bit half (pixels 0..3 and 4..7); values are at most 255 already.
    const __m256i b0 = colour_bytes(light[0] * sample[0]);
    const __m256i b1 = colour_bytes(light[1] * sample[1]);
    const __m256i b2 = colour_bytes(light[2] * sample[2]);
    const __m256i b3 = colour_bytes(light[3] * sample[2]);
    const __m256i planar = _mm256_packus_epi16(_mm256_packus_epi32(b0, b1), _mm256_packus_epi32(b2, b3));
    const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                                0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i pixels = _mm256_shuffle_epi8(planar, interleave);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(colour), pass.v, pixels);
}

} // namespace

void shade_span_avx2(const SpanRequest& request)
{
    SpanRun run;
    if (!set_up_span(request, run)) return;
    const GroupConstants k = group_constants();

    // Normal in the low half, u, v, z in the high half: one addition advances both, lane for
    // lane the same sums as the scalar loop.
    __m256 at = _mm256_set_m128(_mm_load_ps(run.uvz.lane), _mm_load_ps(run.normal.lane));
    const __m256 step = _mm256_set_m128(_mm_load_ps(run.uvz_step.lane), _mm_load_ps(run.normal_step.lane));
    const __m256i all = _mm256_set1_epi32(-1);

    Pixel* colour = run.colour;
    float* depth = run.depth;
    int32_t remaining = run.count;
    // Invariant: `at` is the first unshaded pixel's attributes, reached by one addition per pixel
    // from the run's start. This chain is the only serial work; the groups are independent.
    while (remaining >= 8) {
        __m256 group[8];
        for (int j = 0; j < 8; ++j) {
            group[j] = at;
            at = _mm256_add_ps(at, step);
        }
        shade_group(group, request.texture, colour, depth, all, true, k);
        colour += 8;
        depth += 8;
        remaining -= 8;
    }
    if (remaining > 0) {
        // The missing pixels repeat the last one, so every lane still addresses real texels.
        __m256 group[8];
        group[0] = at;
        for (int j = 1; j < 8; ++j) group[j] = j < remaining ? _mm256_add_ps(group[j - 1], step) : group[j - 1];
        const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        shade_group(group, request.texture, colour, depth, lanes, false, k);
    }
}

} // namespace morvane
