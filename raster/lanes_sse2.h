// The lanes of raster/shade_lanes.h in 128-bit vectors, four pixels to a group, with SSE2 alone,
// which every x86-64 processor has: no pshufb, no blends and no masked moves, which are written
// out with the instructions SSE2 has. Included by shade_span_sse2.cpp, in plain code.
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "scene/scene.h"

#define MORVANE_LANES_BEGIN
#define MORVANE_LANES_END
#if defined(_MSC_VER) && !defined(__clang__)
#define MORVANE_ALWAYS_INLINE __forceinline
#else
#define MORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline
#endif

namespace morvane {

// Unnamed in a header on purpose: private to the one file that includes it.
namespace {  // NOLINT(cert-dcl59-cpp)

// Four floats, one per pixel of a group. Products and sums round exactly like the scalar ones.
struct F4 {
    __m128 v;
};
MORVANE_ALWAYS_INLINE F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F4 operator-(F4 a, F4 b) { return {_mm_sub_ps(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }

// Four 32-bit integers or lane masks.
struct I4 {
    __m128i v;
};

struct Sse2Lanes {
    static constexpr int width = 4;
    using F = F4;
    using I = I4;

    MORVANE_ALWAYS_INLINE static F splat(float value) { return {_mm_set1_ps(value)}; }
    MORVANE_ALWAYS_INLINE static F splat_from(const float& value) { return {_mm_set1_ps(value)}; }
    MORVANE_ALWAYS_INLINE static F min_first_if_less(F a, F b) { return {_mm_min_ps(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F max_first_if_greater(F a, F b) { return {_mm_max_ps(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F rsqrt_estimate(F a) { return {_mm_rsqrt_ps(a.v)}; }

    MORVANE_ALWAYS_INLINE static I less(F a, F b) { return {_mm_castps_si128(_mm_cmplt_ps(a.v, b.v))}; }
    MORVANE_ALWAYS_INLINE static I not_greater(F a, F b) { return {_mm_castps_si128(_mm_cmple_ps(a.v, b.v))}; }
    MORVANE_ALWAYS_INLINE static I equal(F a, F b) { return {_mm_castps_si128(_mm_cmpeq_ps(a.v, b.v))}; }
    MORVANE_ALWAYS_INLINE static I greater(F a, F b) { return {_mm_castps_si128(_mm_cmpgt_ps(a.v, b.v))}; }
    MORVANE_ALWAYS_INLINE static I both(I a, I b) { return {_mm_and_si128(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F keep_where(I mask, F a) { return {_mm_and_ps(_mm_castsi128_ps(mask.v), a.v)}; }
    MORVANE_ALWAYS_INLINE static F nan_where(I mask, F a) { return {_mm_or_ps(_mm_castsi128_ps(mask.v), a.v)}; }
    MORVANE_ALWAYS_INLINE static bool none(I mask) { return bits(mask) == 0; }
    MORVANE_ALWAYS_INLINE static bool all(I mask) { return bits(mask) == 0xF; }

    MORVANE_ALWAYS_INLINE static I truncate(F a) { return {_mm_cvttps_epi32(a.v)}; }
    MORVANE_ALWAYS_INLINE static I nearest(F a) { return {_mm_cvtps_epi32(a.v)}; }
    MORVANE_ALWAYS_INLINE static F to_float(I a) { return {_mm_cvtepi32_ps(a.v)}; }
    MORVANE_ALWAYS_INLINE static I shift_right_8(I a) { return {_mm_srli_epi32(a.v, 8)}; }

    MORVANE_ALWAYS_INLINE static I all_lanes() { return {_mm_set1_epi32(-1)}; }
    MORVANE_ALWAYS_INLINE static I first_lanes(int32_t count)
    {
        return {_mm_cmpgt_epi32(_mm_set1_epi32(count), _mm_setr_epi32(0, 1, 2, 3))};
    }

    MORVANE_ALWAYS_INLINE static F load(const float* p) { return {_mm_loadu_ps(p)}; }
    MORVANE_ALWAYS_INLINE static I load(const Pixel* p)
    {
        return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
    }
    MORVANE_ALWAYS_INLINE static void store(float* p, F a) { _mm_storeu_ps(p, a.v); }
    MORVANE_ALWAYS_INLINE static void store(Pixel* p, I a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a.v); }
    // The masked moves pixel by pixel: a lane outside the mask is neither read nor written.
    MORVANE_ALWAYS_INLINE static F load_masked(const float* p, I lanes)
    {
        alignas(16) float part[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        const int in = bits(lanes);
        for (int j = 0; j < 4; ++j) {
            if (in >> j & 1) part[j] = p[j];
        }
        return {_mm_load_ps(part)};
    }
    template <class T, class V>  // float and F, or Pixel and I
    MORVANE_ALWAYS_INLINE static void store_masked(T* p, I mask, V a)
    {
        alignas(16) T value[4];
        std::memcpy(value, &a, sizeof value);
        const int in = bits(mask);
        for (int j = 0; j < 4; ++j) {
            if (in >> j & 1) p[j] = value[j];
        }
    }
    MORVANE_ALWAYS_INLINE static F select(I mask, F when_set, F otherwise)
    {
        const __m128 m = _mm_castsi128_ps(mask.v);
        return {_mm_or_ps(_mm_and_ps(m, when_set.v), _mm_andnot_ps(m, otherwise.v))};
    }
    MORVANE_ALWAYS_INLINE static I select(I mask, I when_set, I otherwise)
    {
        return {_mm_or_si128(_mm_and_si128(mask.v, when_set.v), _mm_andnot_si128(mask.v, otherwise.v))};
    }

    // One pixel's normal and its u, v, z, each advanced by its own add.
    struct Attributes {
        __m128 normal, uvz;
    };
    MORVANE_ALWAYS_INLINE static Attributes attributes(const Vec4& normal, const Vec4& uvz)
    {
        return {_mm_load_ps(normal.lane), _mm_load_ps(uvz.lane)};
    }
    MORVANE_ALWAYS_INLINE static Attributes advance(Attributes a, Attributes step)
    {
        return {_mm_add_ps(a.normal, step.normal), _mm_add_ps(a.uvz, step.uvz)};
    }

    MORVANE_ALWAYS_INLINE static F depths(const Attributes at[4])
    {
        const __m128 z01 = _mm_unpackhi_ps(at[0].uvz, at[1].uvz);  // z0 z1 spare
        const __m128 z23 = _mm_unpackhi_ps(at[2].uvz, at[3].uvz);
        return {_mm_movelh_ps(z01, z23)};
    }

    MORVANE_ALWAYS_INLINE static void spread(const Attributes at[4], F n[4], F& u, F& v)
    {
        __m128 n0 = at[0].normal, n1 = at[1].normal, n2 = at[2].normal, n3 = at[3].normal;
        _MM_TRANSPOSE4_PS(n0, n1, n2, n3);
        n[0] = {n0};
        n[1] = {n1};
        n[2] = {n2};
        n[3] = {n3};
        const __m128 a01 = _mm_unpacklo_ps(at[0].uvz, at[1].uvz);  // u0 u1 v0 v1
        const __m128 a23 = _mm_unpacklo_ps(at[2].uvz, at[3].uvz);
        u = {_mm_movelh_ps(a01, a23)};
        v = {_mm_movehl_ps(a23, a01)};
    }

    // The four texels of every pixel of a group, each as four words in pixel order.
    struct Texels {
        __m128i t00, t10, t01, t11;
    };
    MORVANE_ALWAYS_INLINE static Texels gather(const Pixel* texture, I iu, I iv)
    {
        alignas(16) int32_t t[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(t), _mm_add_epi32(_mm_slli_epi32(iv.v, 8), iu.v));
        Texels texels;
        load_pairs(texture, t, texels.t00, texels.t10);
        load_pairs(texture + texture_width, t, texels.t01, texels.t11);
        return texels;
    }

    // Byte c of four texels, zero-extended, as floats.
    template <int c>
    MORVANE_ALWAYS_INLINE static F channel(__m128i texels)
    {
        return {_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(texels, 8 * c), _mm_set1_epi32(0xFF)))};
    }

    // Four B, G, R, X pixels: bytes B0..B3 R0..R3 G0..G3 X0..X3, then interleaved. The signed
    // saturation of the first pack leaves every value above 255 above 255, and the unsigned
    // saturation of the byte pack brings it to 255.
    MORVANE_ALWAYS_INLINE static I pack_pixels(I blue, I green, I red, I fourth)
    {
        const __m128i planar = _mm_packus_epi16(_mm_packs_epi32(blue.v, red.v), _mm_packs_epi32(green.v, fourth.v));
        const __m128i pairs = _mm_unpacklo_epi8(planar, _mm_srli_si128(planar, 8));  // B G pairs, then R X pairs
        return {_mm_unpacklo_epi16(pairs, _mm_srli_si128(pairs, 8))};
    }

    MORVANE_ALWAYS_INLINE static void prefetch(uintptr_t address)
    {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a hint address, which may lie past every buffer
        _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
    }

private:
    MORVANE_ALWAYS_INLINE static int bits(I mask) { return _mm_movemask_ps(_mm_castsi128_ps(mask.v)); }

    // The texels (t, t + 1) of four pixels from two 64-bit loads each, split into the four first
    // and the four second texels.
    MORVANE_ALWAYS_INLINE static void load_pairs(const Pixel* row, const int32_t t[4], __m128i& first, __m128i& second)
    {
        const auto pair = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t[j])); };
        // First and second texel of pixel 0, then of pixel 1; then of pixels 2 and 3.
        const __m128 near = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(0), pair(1)));
        const __m128 far = _mm_castsi128_ps(_mm_unpacklo_epi64(pair(2), pair(3)));
        first = _mm_castps_si128(_mm_shuffle_ps(near, far, _MM_SHUFFLE(2, 0, 2, 0)));
        second = _mm_castps_si128(_mm_shuffle_ps(near, far, _MM_SHUFFLE(3, 1, 3, 1)));
    }
};

} // namespace

} // namespace morvane
