// The lanes of raster/shade_lanes.h in 256-bit vectors, eight pixels to a group, with AVX2
// instructions. Included by the files for AVX2 (shade_span_avx2.cpp) and for AVX-512
// (shade_span_avx512.cpp), which say which before their first #include (scene/wide_code.h); the
// code is compiled for that file's instruction set, and only called after a run-time check.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "scene/scene.h"
#include "scene/wide_code.h"

#define MORVANE_LANES_BEGIN MORVANE_WIDE_CODE_BEGIN
#define MORVANE_LANES_END MORVANE_WIDE_CODE_END
// Everything on the per-pixel path is inlined into the loops: left out of line (as the compiler
// may choose for the larger helpers) a helper costs a call and sends its vectors through memory.
#define MORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

MORVANE_LANES_BEGIN

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

// Eight 32-bit integers or lane masks.
struct I8 {
    __m256i v;
};

struct Avx2Lanes {
    static constexpr int width = 8;
    using F = F8;
    using I = I8;

    MORVANE_ALWAYS_INLINE static F splat(float value) { return {_mm256_set1_ps(value)}; }
    MORVANE_ALWAYS_INLINE static F splat_from(const float& value) { return {_mm256_broadcast_ss(&value)}; }
    MORVANE_ALWAYS_INLINE static F min_first_if_less(F a, F b) { return {_mm256_min_ps(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F max_first_if_greater(F a, F b) { return {_mm256_max_ps(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F rsqrt_estimate(F a) { return {_mm256_rsqrt_ps(a.v)}; }

    MORVANE_ALWAYS_INLINE static I less(F a, F b) { return compare<_CMP_LT_OQ>(a, b); }
    MORVANE_ALWAYS_INLINE static I not_greater(F a, F b) { return compare<_CMP_LE_OQ>(a, b); }
    MORVANE_ALWAYS_INLINE static I equal(F a, F b) { return compare<_CMP_EQ_OQ>(a, b); }
    MORVANE_ALWAYS_INLINE static I greater(F a, F b) { return compare<_CMP_GT_OQ>(a, b); }
    MORVANE_ALWAYS_INLINE static I both(I a, I b) { return {_mm256_and_si256(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F keep_where(I mask, F a) { return {_mm256_and_ps(_mm256_castsi256_ps(mask.v), a.v)}; }
    MORVANE_ALWAYS_INLINE static F nan_where(I mask, F a) { return {_mm256_or_ps(_mm256_castsi256_ps(mask.v), a.v)}; }
    MORVANE_ALWAYS_INLINE static bool none(I mask) { return _mm256_testz_si256(mask.v, mask.v) != 0; }
    MORVANE_ALWAYS_INLINE static bool all(I mask) { return _mm256_movemask_ps(_mm256_castsi256_ps(mask.v)) == 0xFF; }

    MORVANE_ALWAYS_INLINE static I truncate(F a) { return {_mm256_cvttps_epi32(a.v)}; }
    MORVANE_ALWAYS_INLINE static I nearest(F a) { return {_mm256_cvtps_epi32(a.v)}; }
    MORVANE_ALWAYS_INLINE static F to_float(I a) { return {_mm256_cvtepi32_ps(a.v)}; }
    MORVANE_ALWAYS_INLINE static I shift_right_8(I a) { return {_mm256_srli_epi32(a.v, 8)}; }

    MORVANE_ALWAYS_INLINE static I all_lanes() { return {_mm256_set1_epi32(-1)}; }
    MORVANE_ALWAYS_INLINE static I first_lanes(int32_t count)
    {
        return {_mm256_cmpgt_epi32(_mm256_set1_epi32(count), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))};
    }

    MORVANE_ALWAYS_INLINE static F load(const float* p) { return {_mm256_loadu_ps(p)}; }
    MORVANE_ALWAYS_INLINE static I load(const Pixel* p)
    {
        return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))};
    }
    MORVANE_ALWAYS_INLINE static void store(float* p, F a) { _mm256_storeu_ps(p, a.v); }
    MORVANE_ALWAYS_INLINE static void store(Pixel* p, I a) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a.v); }
    MORVANE_ALWAYS_INLINE static F load_masked(const float* p, I lanes) { return {_mm256_maskload_ps(p, lanes.v)}; }
    MORVANE_ALWAYS_INLINE static void store_masked(float* p, I mask, F a) { _mm256_maskstore_ps(p, mask.v, a.v); }
    MORVANE_ALWAYS_INLINE static void store_masked(Pixel* p, I mask, I a)
    {
        _mm256_maskstore_epi32(reinterpret_cast<int*>(p), mask.v, a.v);
    }
    MORVANE_ALWAYS_INLINE static F select(I mask, F when_set, F otherwise)
    {
        return {_mm256_blendv_ps(otherwise.v, when_set.v, _mm256_castsi256_ps(mask.v))};
    }
    MORVANE_ALWAYS_INLINE static I select(I mask, I when_set, I otherwise)
    {
        return {_mm256_blendv_epi8(otherwise.v, when_set.v, mask.v)};
    }

    // One pixel's normal in the low half, u, v, z in the high half: one add advances both.
    struct Attributes {
        __m256 v;
    };
    MORVANE_ALWAYS_INLINE static Attributes attributes(const Vec4& normal, const Vec4& uvz)
    {
        return {_mm256_set_m128(_mm_load_ps(uvz.lane), _mm_load_ps(normal.lane))};
    }
    MORVANE_ALWAYS_INLINE static Attributes advance(Attributes a, Attributes step)
    {
        return {_mm256_add_ps(a.v, step.v)};
    }

    // The depths of a group, one per lane: the part of the transpose the depth test needs.
    MORVANE_ALWAYS_INLINE static F depths(const Attributes at[8])
    {
        const __m256 t1 = _mm256_unpackhi_ps(at[0].v, at[1].v);
        const __m256 t3 = _mm256_unpackhi_ps(at[2].v, at[3].v);
        const __m256 t5 = _mm256_unpackhi_ps(at[4].v, at[5].v);
        const __m256 t7 = _mm256_unpackhi_ps(at[6].v, at[7].v);
        return {_mm256_permute2f128_ps(_mm256_shuffle_ps(t1, t3, 0x44), _mm256_shuffle_ps(t5, t7, 0x44), 0x31)};
    }

    // The rest: the four lanes of the normals, and u and v.
    MORVANE_ALWAYS_INLINE static void spread(const Attributes at[8], F n[4], F& u, F& v)
    {
        const __m256 t0 = _mm256_unpacklo_ps(at[0].v, at[1].v);
        const __m256 t1 = _mm256_unpackhi_ps(at[0].v, at[1].v);
        const __m256 t2 = _mm256_unpacklo_ps(at[2].v, at[3].v);
        const __m256 t3 = _mm256_unpackhi_ps(at[2].v, at[3].v);
        const __m256 t4 = _mm256_unpacklo_ps(at[4].v, at[5].v);
        const __m256 t5 = _mm256_unpackhi_ps(at[4].v, at[5].v);
        const __m256 t6 = _mm256_unpacklo_ps(at[6].v, at[7].v);
        const __m256 t7 = _mm256_unpackhi_ps(at[6].v, at[7].v);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
        const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
        const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
        const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
        const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
        n[0] = {_mm256_permute2f128_ps(u0, u4, 0x20)};
        n[1] = {_mm256_permute2f128_ps(u1, u5, 0x20)};
        n[2] = {_mm256_permute2f128_ps(u2, u6, 0x20)};
        n[3] = {_mm256_permute2f128_ps(u3, u7, 0x20)};
        u = {_mm256_permute2f128_ps(u0, u4, 0x31)};
        v = {_mm256_permute2f128_ps(u1, u5, 0x31)};
    }

    // The four texels of every pixel of a group, each as eight words in pixel order: (t, t + 1)
    // from the upper row, (t + 256, t + 257) from the lower one.
    struct Texels {
        __m256i t00, t10, t01, t11;
    };
    MORVANE_ALWAYS_INLINE static Texels gather(const Pixel* texture, I iu, I iv)
    {
        alignas(32) int32_t t[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(t), _mm256_add_epi32(_mm256_slli_epi32(iv.v, 8), iu.v));
        __asm__("" : "+m"(t));  // read the indices back from memory: cheaper than lane extracts on AMD
        Texels texels;
        load_pairs(texture, t, texels.t00, texels.t10);
        load_pairs(texture + texture_width, t, texels.t01, texels.t11);
        return texels;
    }

    // Byte c of eight texels, zero-extended, as floats.
    template <int c>
    MORVANE_ALWAYS_INLINE static F channel(__m256i texels)
    {
        if constexpr (c == 0) return {_mm256_cvtepi32_ps(_mm256_and_si256(texels, _mm256_set1_epi32(0xFF)))};
        constexpr char z = static_cast<char>(0x80);  // pshufb: zero this byte
        const __m256i pick = _mm256_setr_epi8(c, z, z, z, c + 4, z, z, z, c + 8, z, z, z, c + 12, z, z, z,  //
                                              c, z, z, z, c + 4, z, z, z, c + 8, z, z, z, c + 12, z, z, z);
        return {_mm256_cvtepi32_ps(_mm256_shuffle_epi8(texels, pick))};
    }

    // Eight B, G, R, X pixels. The signed saturation of the first pack leaves every value above
    // 255 above 255 (at most 32767), and the unsigned saturation of the byte pack brings it to
    // 255. The packs work within each 128-bit half (pixels 0..3 and 4..7).
    MORVANE_ALWAYS_INLINE static I pack_pixels(I blue, I green, I red, I fourth)
    {
        const __m256i planar =
            _mm256_packus_epi16(_mm256_packs_epi32(blue.v, green.v), _mm256_packs_epi32(red.v, fourth.v));
        const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        return {_mm256_shuffle_epi8(planar, interleave)};
    }

    MORVANE_ALWAYS_INLINE static void prefetch(uintptr_t address)
    {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a hint address, which may lie past every buffer
        _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
    }

private:
    template <int predicate>
    MORVANE_ALWAYS_INLINE static I compare(F a, F b)
    {
        return {_mm256_castps_si256(_mm256_cmp_ps(a.v, b.v, predicate))};
    }

    // The pairs (t, t + 1) of one texel row, two 64-bit loads per pixel, split into the first and
    // the second texel of every pair.
    MORVANE_ALWAYS_INLINE static void load_pairs(const Pixel* row, const int32_t t[8], __m256i& first, __m256i& second)
    {
        const auto pair = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t[j])); };
        const auto two = [&](int j0, int j1) { return _mm_castsi128_ps(_mm_unpacklo_epi64(pair(j0), pair(j1))); };
        // Pairs of pixels 0, 1 | 4, 5 and 2, 3 | 6, 7: each 128-bit half then holds four pixels.
        const __m256 near = _mm256_set_m128(two(4, 5), two(0, 1));
        const __m256 far = _mm256_set_m128(two(6, 7), two(2, 3));
        first = _mm256_castps_si256(_mm256_shuffle_ps(near, far, _MM_SHUFFLE(2, 0, 2, 0)));
        second = _mm256_castps_si256(_mm256_shuffle_ps(near, far, _MM_SHUFFLE(3, 1, 3, 1)));
    }
};

} // namespace

} // namespace morvane

MORVANE_LANES_END
