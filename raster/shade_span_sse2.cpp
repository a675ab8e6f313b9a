// Pixel shading four pixels at a time with SSE2 alone, for x86-64 processors without AVX2; gives
// exactly the bytes and depths of shade_span_scalar. The same steps as the AVX2 path, in 128-bit
// vectors and without the later instruction sets (no pshufb, no blends, no masked moves).
#include "raster/shade_paths.h"
#include "scene/numeric.h"

#if MORVANE_X86

#include <emmintrin.h>

#include <cstdint>
#include <limits>

#include "raster/raster.h"
#include "scene/scene.h"

#if defined(__GNUC__)
#define MORVANE_PRAGMA(text) _Pragma(#text)
#define MORVANE_UNROLL(n) MORVANE_PRAGMA(GCC unroll n)
#else
#define MORVANE_UNROLL(n)
#endif

namespace morvane {

namespace {

// Four floats, one per pixel of a group.
struct F4 {
    __m128 v;
};
inline F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
inline F4 operator-(F4 a, F4 b) { return {_mm_sub_ps(a.v, b.v)}; }
inline F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
inline F4 splat(float value) { return {_mm_set1_ps(value)}; }
// minps/maxps: the first operand only when the comparison holds, else (also for NaN) the second.
inline F4 min_first_if_less(F4 a, F4 b) { return {_mm_min_ps(a.v, b.v)}; }
inline F4 max_first_if_greater(F4 a, F4 b) { return {_mm_max_ps(a.v, b.v)}; }
inline F4 rsqrt_estimate(F4 a) { return {_mm_rsqrt_ps(a.v)}; }
inline __m128 mask_less(F4 a, F4 b) { return _mm_cmplt_ps(a.v, b.v); }
inline __m128 mask_equal(F4 a, F4 b) { return _mm_cmpeq_ps(a.v, b.v); }
inline __m128 mask_greater(F4 a, F4 b) { return _mm_cmpgt_ps(a.v, b.v); }
inline F4 keep_where(__m128 mask, F4 a) { return {_mm_and_ps(mask, a.v)}; }
inline F4 zero_where(__m128 mask, F4 a) { return {_mm_andnot_ps(mask, a.v)}; }
inline __m128i select(__m128i mask, __m128i when_set, __m128i otherwise)
{
    return _mm_or_si128(_mm_and_si128(mask, when_set), _mm_andnot_si128(mask, otherwise));
}

// Byte c of four texels, zero-extended, as floats.
template <int c>
inline F4 channel(__m128i texels)
{
    return {_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(texels, 8 * c), _mm_set1_epi32(0xFF)))};
}

template <int c>
inline F4 sample(__m128i t00, __m128i t10, __m128i t01, __m128i t11, F4 w00, F4 w10, F4 w01, F4 w11)
{
    return (channel<c>(t00) * w00 + channel<c>(t10) * w10) + (channel<c>(t01) * w01 + channel<c>(t11) * w11);
}

// The texels (t, t + 1) of four pixels from two 64-bit loads each, split into the four first
// and the four second texels.
inline void load_texels(const Pixel* row, const int32_t t[4], __m128i& first, __m128i& second)
{
    const auto pair = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t[j])); };
    const __m128 near = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(0), pair(1)));  // first 0, second 0, first 1, second 1
    const __m128 far = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(2), pair(3)));
    first = _mm_castps_si128(_mm_shuffle_ps(near, far, _MM_SHUFFLE(2, 0, 2, 0)));
    second = _mm_castps_si128(_mm_shuffle_ps(near, far, _MM_SHUFFLE(3, 1, 3, 1)));
}

// One colour lane to an integer shifted right by 8 (logically), as the scalar path has it.
inline __m128i colour_shifted(F4 value) { return _mm_srli_epi32(_mm_cvtps_epi32(value.v), 8); }

// Two channels to 16 bits, each at most 255. The values are below 2^24, so the signed
// saturation of the pack leaves every value above 255 above 255.
inline __m128i colour_words(__m128i first, __m128i second)
{
    return _mm_min_epi16(_mm_packs_epi32(first, second), _mm_set1_epi16(255));
}

struct GroupConstants {
    F4 u_ceiling, v_ceiling, lowest_texel, zero, one, infinity;
    F4 colour_ceiling[4];
};

GroupConstants group_constants()
{
    GroupConstants k;
    k.u_ceiling = splat(scene.texel_clamp.lane[0]);
    k.v_ceiling = splat(scene.texel_clamp.lane[1]);
    k.lowest_texel = splat(lowest_texel_coordinate);
    k.zero = splat(0.0f);
    k.one = splat(scene.one_vector.lane[0]);
    k.infinity = splat(std::numeric_limits<float>::infinity());
    for (int c = 0; c < 4; ++c) k.colour_ceiling[c] = splat(scene.colour_clamp.lane[c]);
    return k;
}

// Shades `present` (1 to 4) consecutive pixels whose normals are normal[j] and whose u, v, z are
// uvz[j]. The lanes of missing pixels are worked out too (every texel index is clamped inside the
// picture, whatever the value) but neither read nor written in the buffers.
// `zero_fourth_lanes` as in the AVX2 path: every fourth lane is 0 and the lighting skips it.
template <bool zero_fourth_lanes>
inline void shade_group(const __m128 normal[4], const __m128 uvz[4], const Pixel* texture, Pixel* colour,
                        float* depth, int present, const GroupConstants& k)
{
    constexpr int lanes_in_full = zero_fourth_lanes ? 3 : 4;

    // Depth first: a hidden group needs nothing else.
    const __m128 a01 = _mm_unpacklo_ps(uvz[0], uvz[1]);  // u0 u1 v0 v1
    const __m128 a23 = _mm_unpacklo_ps(uvz[2], uvz[3]);
    const __m128 z01 = _mm_unpackhi_ps(uvz[0], uvz[1]);  // z0 z1 spare
    const __m128 z23 = _mm_unpackhi_ps(uvz[2], uvz[3]);
    const F4 z = {_mm_movelh_ps(z01, z23)};
    F4 stored;
    if (present == 4) {
        stored = {_mm_loadu_ps(depth)};
    } else {
        alignas(16) float part[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // the missing pixels' lanes are masked off
        for (int j = 0; j < present; ++j) part[j] = depth[j];
        stored = {_mm_load_ps(part)};
    }
    const __m128i pass = _mm_castps_si128(mask_less(z, stored));  // strict; NaN fails
    const int pass_bits = _mm_movemask_ps(_mm_castsi128_ps(pass)) & ((1 << present) - 1);
    if (pass_bits == 0) return;
    // A full group stores through a select: its pixels all belong to this span's row, so
    // rewriting the unchanged ones races with nobody. A short one stores pixel by pixel.
    if (present == 4) {
        _mm_storeu_ps(depth, _mm_castsi128_ps(select(pass, _mm_castps_si128(z.v), _mm_castps_si128(stored.v))));
    } else {
        alignas(16) float value[4];
        _mm_store_ps(value, z.v);
        for (int j = 0; j < present; ++j) {
            if (pass_bits >> j & 1) depth[j] = value[j];
        }
    }

    __m128 n0 = normal[0], n1 = normal[1], n2 = normal[2], n3 = normal[3];
    _MM_TRANSPOSE4_PS(n0, n1, n2, n3);
    const F4 n[4] = {{n0}, {n1}, {n2}, {n3}};
    const F4 u = {_mm_movelh_ps(a01, a23)};
    const F4 v = {_mm_movehl_ps(a23, a01)};

    const F4 s = zero_fourth_lanes ? (n[0] * n[0] + n[1] * n[1]) + n[2] * n[2]
                                   : (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
    const F4 r = rsqrt_estimate(s);
    F4 unit[4];
    for (int c = 0; c < lanes_in_full; ++c) unit[c] = n[c] * r;
    const __m128 infinite_estimate = mask_equal(r, k.infinity);

    F4 cu = min_first_if_less(u, k.u_ceiling);
    F4 cv = min_first_if_less(v, k.v_ceiling);
    cu = keep_where(mask_greater(cu, k.lowest_texel), cu);
    cv = keep_where(mask_greater(cv, k.lowest_texel), cv);
    const __m128i iu = _mm_cvttps_epi32(cu.v);
    const __m128i iv = _mm_cvttps_epi32(cv.v);
    const F4 fu = cu - F4{_mm_cvtepi32_ps(iu)};
    const F4 fv = cv - F4{_mm_cvtepi32_ps(iv)};

    F4 light[4] = {k.zero, k.zero, k.zero, k.zero};
    F4 h;
    MORVANE_UNROLL(3)
    for (int l = 0; l < 3; ++l) {
        const Light& source = scene.lights[l];
        F4 dir[4];
        for (int c = 0; c < lanes_in_full; ++c) dir[c] = splat(source.direction.lane[c]);
        F4 d;
        if constexpr (zero_fourth_lanes) {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + dir[2] * unit[2];
            d = zero_where(infinite_estimate, max_first_if_greater(d, k.zero));
        } else {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + (dir[2] * unit[2] + dir[3] * unit[3]);
            d = max_first_if_greater(d, k.zero);
        }
        h = d * d;
        h = h * h;
        h = h * h;
        h = h * h;
        MORVANE_UNROLL(4)
        for (int c = 0; c < lanes_in_full; ++c) {
            light[c] = max_first_if_greater(light[c], d * splat(source.diffuse.lane[c]) + h * splat(source.specular.lane[c]));
        }
    }
    MORVANE_UNROLL(4)
    for (int c = 0; c < lanes_in_full; ++c) light[c] = min_first_if_less(light[c], k.colour_ceiling[c]);
    if constexpr (zero_fourth_lanes) light[3] = keep_where(mask_equal(h, k.infinity), k.colour_ceiling[3]);

    alignas(16) int32_t t[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(t), _mm_add_epi32(_mm_slli_epi32(iv, 8), iu));
    __m128i t00, t10, t01, t11;
    load_texels(texture, t, t00, t10);
    load_texels(texture + texture_width, t, t01, t11);
    const F4 a = k.one - fu;
    const F4 b = k.one - fv;
    const F4 w00 = a * b;
    const F4 w10 = fu * b;
    const F4 w01 = a * fv;
    const F4 w11 = fu * fv;
    const F4 blue = sample<0>(t00, t10, t01, t11, w00, w10, w01, w11);
    const F4 green = sample<1>(t00, t10, t01, t11, w00, w10, w01, w11);
    const F4 red = sample<2>(t00, t10, t01, t11, w00, w10, w01, w11);

    // Bytes B0..B3 R0..R3 G0..G3 X0..X3, then interleaved to four B, G, R, X pixels.
    const __m128i blue_red = colour_words(colour_shifted(light[0] * blue), colour_shifted(light[2] * red));
    const __m128i green_fourth = colour_words(colour_shifted(light[1] * green), colour_shifted(light[3] * red));
    const __m128i planar = _mm_packus_epi16(blue_red, green_fourth);
    const __m128i pairs = _mm_unpacklo_epi8(planar, _mm_srli_si128(planar, 8));  // B G pairs, then R X pairs
    const __m128i pixels = _mm_unpacklo_epi16(pairs, _mm_srli_si128(pairs, 8));
    if (present == 4) {
        __m128i merged = pixels;
        if (pass_bits != 0xF) merged = select(pass, pixels, _mm_loadu_si128(reinterpret_cast<const __m128i*>(colour)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(colour), merged);
    } else {
        alignas(16) Pixel value[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(value), pixels);
        for (int j = 0; j < present; ++j) {
            if (pass_bits >> j & 1) colour[j] = value[j];
        }
    }
}

template <bool zero_fourth_lanes>
void shade_run(const SpanRun& run, const Pixel* texture, const GroupConstants& k)
{
    __m128 normal = _mm_load_ps(run.normal.lane);
    __m128 uvz = _mm_load_ps(run.uvz.lane);
    const __m128 normal_step = _mm_load_ps(run.normal_step.lane);
    const __m128 uvz_step = _mm_load_ps(run.uvz_step.lane);

    Pixel* colour = run.colour;
    float* depth = run.depth;
    int32_t remaining = run.count;
    // Invariant: normal and uvz are the first unshaded pixel's, reached by one addition per pixel.
    while (remaining > 0) {
        const int present = remaining < 4 ? static_cast<int>(remaining) : 4;
        __m128 normals[4], uvzs[4];
        MORVANE_UNROLL(4)
        for (int j = 0; j < 4; ++j) {
            normals[j] = normal;
            uvzs[j] = uvz;
            normal = _mm_add_ps(normal, normal_step);
            uvz = _mm_add_ps(uvz, uvz_step);
        }
        shade_group<zero_fourth_lanes>(normals, uvzs, texture, colour, depth, present, k);
        colour += present;
        depth += present;
        remaining -= present;
    }
}

} // namespace

void shade_span_sse2(const SpanRequest& request)
{
    SpanRun run;
    if (!set_up_span(request, run)) return;
    const GroupConstants k = group_constants();
    if (fourth_lanes_zero(run)) {
        shade_run<true>(run, request.texture, k);
    } else {
        shade_run<false>(run, request.texture, k);
    }
}

} // namespace morvane

#endif // MORVANE_X86
