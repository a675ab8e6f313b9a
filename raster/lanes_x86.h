// The lanes of raster/shade_lanes.h on x86, one source for both widths: four pixels in 128-bit
// vectors with SSE2 alone (no pshufb, blends or masked moves: they are written out), in plain
// code; eight in 256-bit vectors with AVX2 for the files that define MORVANE_WIDE_AVX512
// (scene/wide_code.h). The wrappers are written once over the prefixes _mm_ and _mm256_; only the
// group shapes (transposes, packing) and the masked moves differ.
#pragma once

#include <cstdint>

#include "scene/scene.h"

#if defined(MORVANE_WIDE_AVX512)
#include <immintrin.h>

#include "scene/wide_code.h"
#define MORVANE_LANES_WIDTH 8
#define MORVANE_LANES_BEGIN MORVANE_WIDE_CODE_BEGIN
#define MORVANE_LANES_END MORVANE_WIDE_CODE_END
#define MORVANE_LANES_NAME(name) MORVANE_WIDE_NAME(name)
#define MORVANE_MM(op) _mm256_##op
#define MORVANE_SI(op) _mm256_##op##_si256
#define MORVANE_MASK(i) _mm256_castsi256_ps(i.v)
#define MORVANE_AS_INTS(f) _mm256_castps_si256(f)
#define MORVANE_COMPARE(sse, predicate, a, b) MORVANE_AS_INTS(_mm256_cmp_ps(a, b, predicate))
#define MORVANE_LANE_NUMBERS 0, 1, 2, 3, 4, 5, 6, 7
#else
#include <emmintrin.h>

#include <cstring>
#define MORVANE_LANES_WIDTH 4
#define MORVANE_LANES_BEGIN
#define MORVANE_LANES_END
#define MORVANE_LANES_NAME(name) name##_sse2
#define MORVANE_MM(op) _mm_##op
#define MORVANE_SI(op) _mm_##op##_si128
#define MORVANE_MASK(i) _mm_castsi128_ps(i.v)
#define MORVANE_AS_INTS(f) _mm_castps_si128(f)
#define MORVANE_COMPARE(sse, predicate, a, b) MORVANE_AS_INTS(_mm_##sse##_ps(a, b))
#define MORVANE_LANE_NUMBERS 0, 1, 2, 3
#endif

// Everything on the per-pixel path is inlined into the loops: left out of line (as the compiler
// may choose for the larger helpers) a helper costs a call and sends its vectors through memory.
#if defined(_MSC_VER) && !defined(__clang__)
#define MORVANE_ALWAYS_INLINE __forceinline
#else
#define MORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline
#endif

MORVANE_LANES_BEGIN

namespace morvane {

// Unnamed in a header on purpose: each instruction-set file needs its own copy.
namespace {  // NOLINT(cert-dcl59-cpp)

using Floats = decltype(MORVANE_MM(setzero_ps)());
using Ints = decltype(MORVANE_SI(setzero)());

// One float per pixel of a group. Products and sums round exactly like the scalar ones.
struct LaneFloats {
    Floats v;
};
MORVANE_ALWAYS_INLINE LaneFloats operator+(LaneFloats a, LaneFloats b) { return {MORVANE_MM(add_ps)(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE LaneFloats operator-(LaneFloats a, LaneFloats b) { return {MORVANE_MM(sub_ps)(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE LaneFloats operator*(LaneFloats a, LaneFloats b) { return {MORVANE_MM(mul_ps)(a.v, b.v)}; }

// One 32-bit integer or lane mask per pixel.
struct LaneInts {
    Ints v;
};

struct Lanes {
    static constexpr int width = MORVANE_LANES_WIDTH;
    using F = LaneFloats;
    using I = LaneInts;

    MORVANE_ALWAYS_INLINE static F splat(float value) { return {MORVANE_MM(set1_ps)(value)}; }
#if MORVANE_LANES_WIDTH == 8
    MORVANE_ALWAYS_INLINE static F splat_from(const float& value) { return {_mm256_broadcast_ss(&value)}; }
#else
    MORVANE_ALWAYS_INLINE static F splat_from(const float& value) { return {_mm_set1_ps(value)}; }
#endif
    MORVANE_ALWAYS_INLINE static F min_first_if_less(F a, F b) { return {MORVANE_MM(min_ps)(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F max_first_if_greater(F a, F b) { return {MORVANE_MM(max_ps)(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F rsqrt_estimate(F a) { return {MORVANE_MM(rsqrt_ps)(a.v)}; }

    MORVANE_ALWAYS_INLINE static I less(F a, F b) { return {MORVANE_COMPARE(cmplt, _CMP_LT_OQ, a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I not_greater(F a, F b) { return {MORVANE_COMPARE(cmple, _CMP_LE_OQ, a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I equal(F a, F b) { return {MORVANE_COMPARE(cmpeq, _CMP_EQ_OQ, a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I greater(F a, F b) { return {MORVANE_COMPARE(cmpgt, _CMP_GT_OQ, a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I both(I a, I b) { return {MORVANE_SI(and)(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F keep_where(I mask, F a) { return {MORVANE_MM(and_ps)(MORVANE_MASK(mask), a.v)}; }
    MORVANE_ALWAYS_INLINE static F nan_where(I mask, F a) { return {MORVANE_MM(or_ps)(MORVANE_MASK(mask), a.v)}; }
    MORVANE_ALWAYS_INLINE static bool all(I mask) { return bits(mask) == (1 << width) - 1; }

    MORVANE_ALWAYS_INLINE static I truncate(F a) { return {MORVANE_MM(cvttps_epi32)(a.v)}; }
    MORVANE_ALWAYS_INLINE static I nearest(F a) { return {MORVANE_MM(cvtps_epi32)(a.v)}; }
    MORVANE_ALWAYS_INLINE static F to_float(I a) { return {MORVANE_MM(cvtepi32_ps)(a.v)}; }
    MORVANE_ALWAYS_INLINE static I shift_right_8(I a) { return {MORVANE_MM(srli_epi32)(a.v, 8)}; }

    MORVANE_ALWAYS_INLINE static I all_lanes() { return {MORVANE_MM(set1_epi32)(-1)}; }
    MORVANE_ALWAYS_INLINE static I first_lanes(int32_t count)
    {
        return {MORVANE_MM(cmpgt_epi32)(MORVANE_MM(set1_epi32)(count), MORVANE_MM(setr_epi32)(MORVANE_LANE_NUMBERS))};
    }

    MORVANE_ALWAYS_INLINE static F load(const float* p) { return {MORVANE_MM(loadu_ps)(p)}; }
    MORVANE_ALWAYS_INLINE static I load(const Pixel* p)
    {
        return {MORVANE_SI(loadu)(reinterpret_cast<const Ints*>(p))};
    }
    MORVANE_ALWAYS_INLINE static void store(float* p, F a) { MORVANE_MM(storeu_ps)(p, a.v); }
    MORVANE_ALWAYS_INLINE static void store(Pixel* p, I a) { MORVANE_SI(storeu)(reinterpret_cast<Ints*>(p), a.v); }

    // The 2 x 2 texels of every pixel, (t, t + 1) from the upper row, (t + 256, t + 257) below.
    struct Texels {
        Ints t00, t10, t01, t11;
    };
    MORVANE_ALWAYS_INLINE static Texels gather(const Pixel* texture, I iu, I iv)
    {
        alignas(4 * width) int32_t t[width];
        MORVANE_SI(store)(reinterpret_cast<Ints*>(t), MORVANE_MM(add_epi32)(MORVANE_MM(slli_epi32)(iv.v, 8), iu.v));
#if MORVANE_LANES_WIDTH == 8
        __asm__("" : "+m"(t));  // read the indices back from memory: cheaper than lane extracts on AMD
#endif
        Texels texels;
        load_pairs(texture, t, texels.t00, texels.t10);
        load_pairs(texture + texture_width, t, texels.t01, texels.t11);
        return texels;
    }

    MORVANE_ALWAYS_INLINE static void prefetch(uintptr_t address)
    {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a hint address, which may lie past every buffer
        _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
    }

#if MORVANE_LANES_WIDTH == 8
    MORVANE_ALWAYS_INLINE static bool none(I mask) { return _mm256_testz_si256(mask.v, mask.v) != 0; }
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

    // Eight B, G, R, X pixels. The signed pack leaves every value above 255 above 255, the
    // unsigned byte pack brings it to 255. The packs work within each 128-bit half.
    MORVANE_ALWAYS_INLINE static I pack_pixels(I blue, I green, I red, I fourth)
    {
        const __m256i planar =
            _mm256_packus_epi16(_mm256_packs_epi32(blue.v, green.v), _mm256_packs_epi32(red.v, fourth.v));
        const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        return {_mm256_shuffle_epi8(planar, interleave)};
    }
#else
    MORVANE_ALWAYS_INLINE static bool none(I mask) { return bits(mask) == 0; }
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

    // Byte c of four texels, zero-extended, as floats.
    template <int c>
    MORVANE_ALWAYS_INLINE static F channel(__m128i texels)
    {
        return {_mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(texels, 8 * c), _mm_set1_epi32(0xFF)))};
    }

    // Four B, G, R, X pixels: bytes B0..B3 R0..R3 G0..G3 X0..X3, then interleaved; saturated as
    // the eight above.
    MORVANE_ALWAYS_INLINE static I pack_pixels(I blue, I green, I red, I fourth)
    {
        const __m128i planar = _mm_packus_epi16(_mm_packs_epi32(blue.v, red.v), _mm_packs_epi32(green.v, fourth.v));
        const __m128i pairs = _mm_unpacklo_epi8(planar, _mm_srli_si128(planar, 8));  // B G pairs, then R X pairs
        return {_mm_unpacklo_epi16(pairs, _mm_srli_si128(pairs, 8))};
    }
#endif

private:
    MORVANE_ALWAYS_INLINE static int bits(I mask) { return MORVANE_MM(movemask_ps)(MORVANE_MASK(mask)); }

    // The pairs (t, t + 1) of one texel row, a 64-bit load per pixel, split into first and second.
    MORVANE_ALWAYS_INLINE static void load_pairs(const Pixel* row, const int32_t t[width], Ints& first, Ints& second)
    {
        const auto pair = [&](int j) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + t[j])); };
        const auto two = [&](int j0, int j1) { return _mm_castsi128_ps(_mm_unpacklo_epi64(pair(j0), pair(j1))); };
#if MORVANE_LANES_WIDTH == 8
        // Pixels 0, 1 | 4, 5 and 2, 3 | 6, 7: each 128-bit half then holds four pixels.
        const __m256 near = _mm256_set_m128(two(4, 5), two(0, 1));
        const __m256 far = _mm256_set_m128(two(6, 7), two(2, 3));
#else
        const __m128 near = two(0, 1);
        const __m128 far = two(2, 3);
#endif
        first = MORVANE_AS_INTS(MORVANE_MM(shuffle_ps)(near, far, _MM_SHUFFLE(2, 0, 2, 0)));
        second = MORVANE_AS_INTS(MORVANE_MM(shuffle_ps)(near, far, _MM_SHUFFLE(3, 1, 3, 1)));
    }
};

} // namespace

} // namespace morvane

MORVANE_LANES_END
