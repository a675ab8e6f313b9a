// The lanes of raster/shade_lanes.h on ARM64: four pixels in 128-bit NEON vectors, in plain code.
// Where NEON's own rule differs from the x86 instruction the shading is written against, the x86
// rule is kept: minimum and maximum give the second operand for NaN and for equal values,
// conversions give 0x80000000 for NaN and out of range, and the reciprocal square root is
// computed exactly (NEON's estimate is coarser and differs between processors).
#pragma once

#include <arm_neon.h>

#include <cstdint>
#include <cstring>

#include "scene/scene.h"

#define MORVANE_LANES_BEGIN
#define MORVANE_LANES_END
#define MORVANE_LANES_NAME(name) name##_neon
#define MORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline

namespace morvane {

// Unnamed in a header on purpose: private to the one file that includes it.
namespace {  // NOLINT(cert-dcl59-cpp)

// One float per pixel of a group. Products and sums round exactly like the scalar ones.
struct LaneFloats {
    float32x4_t v;
};
MORVANE_ALWAYS_INLINE LaneFloats operator+(LaneFloats a, LaneFloats b) { return {vaddq_f32(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE LaneFloats operator-(LaneFloats a, LaneFloats b) { return {vsubq_f32(a.v, b.v)}; }
MORVANE_ALWAYS_INLINE LaneFloats operator*(LaneFloats a, LaneFloats b) { return {vmulq_f32(a.v, b.v)}; }

// One 32-bit integer or lane mask per pixel.
struct LaneInts {
    uint32x4_t v;
};

struct Lanes {
    static constexpr int width = 4;
    using F = LaneFloats;
    using I = LaneInts;

    MORVANE_ALWAYS_INLINE static F splat(float value) { return {vdupq_n_f32(value)}; }
    MORVANE_ALWAYS_INLINE static F splat_from(const float& value) { return {vld1q_dup_f32(&value)}; }
    MORVANE_ALWAYS_INLINE static F min_first_if_less(F a, F b) { return select(less(a, b), a, b); }
    MORVANE_ALWAYS_INLINE static F max_first_if_greater(F a, F b) { return select(greater(a, b), a, b); }
    MORVANE_ALWAYS_INLINE static F rsqrt_estimate(F a) { return {vdivq_f32(vdupq_n_f32(1.0f), vsqrtq_f32(a.v))}; }

    MORVANE_ALWAYS_INLINE static I less(F a, F b) { return {vcltq_f32(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I not_greater(F a, F b) { return {vcleq_f32(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I equal(F a, F b) { return {vceqq_f32(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I greater(F a, F b) { return {vcgtq_f32(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static I both(I a, I b) { return {vandq_u32(a.v, b.v)}; }
    MORVANE_ALWAYS_INLINE static F keep_where(I mask, F a) { return {select(mask, a, splat(0.0f)).v}; }
    MORVANE_ALWAYS_INLINE static F nan_where(I mask, F a)
    {
        return {vreinterpretq_f32_u32(vorrq_u32(mask.v, vreinterpretq_u32_f32(a.v)))};
    }
    MORVANE_ALWAYS_INLINE static bool none(I mask) { return vmaxvq_u32(mask.v) == 0; }
    MORVANE_ALWAYS_INLINE static bool all(I mask) { return vminvq_u32(mask.v) == UINT32_MAX; }

    MORVANE_ALWAYS_INLINE static I truncate(F a) { return in_range(a, vcvtq_s32_f32(a.v)); }
    MORVANE_ALWAYS_INLINE static I nearest(F a) { return in_range(a, vcvtnq_s32_f32(a.v)); }
    MORVANE_ALWAYS_INLINE static F to_float(I a) { return {vcvtq_f32_s32(vreinterpretq_s32_u32(a.v))}; }
    MORVANE_ALWAYS_INLINE static I shift_right_8(I a) { return {vshrq_n_u32(a.v, 8)}; }

    MORVANE_ALWAYS_INLINE static I all_lanes() { return {vdupq_n_u32(UINT32_MAX)}; }
    MORVANE_ALWAYS_INLINE static I first_lanes(int32_t count)
    {
        static constexpr uint32_t lane_numbers[4] = {0, 1, 2, 3};
        return {vcgtq_s32(vdupq_n_s32(count), vreinterpretq_s32_u32(vld1q_u32(lane_numbers)))};
    }

    MORVANE_ALWAYS_INLINE static F load(const float* p) { return {vld1q_f32(p)}; }
    MORVANE_ALWAYS_INLINE static I load(const Pixel* p) { return {vld1q_u32(p)}; }
    MORVANE_ALWAYS_INLINE static void store(float* p, F a) { vst1q_f32(p, a.v); }
    MORVANE_ALWAYS_INLINE static void store(Pixel* p, I a) { vst1q_u32(p, a.v); }
    // The masked moves pixel by pixel: a lane outside the mask is neither read nor written.
    MORVANE_ALWAYS_INLINE static F load_masked(const float* p, I lanes)
    {
        float part[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int j = 0; j < 4; ++j) {
            if (lanes.v[j] != 0) part[j] = p[j];
        }
        return {vld1q_f32(part)};
    }
    template <class T, class V>  // float and F, or Pixel and I
    MORVANE_ALWAYS_INLINE static void store_masked(T* p, I mask, V a)
    {
        T value[4];
        std::memcpy(value, &a, sizeof value);
        for (int j = 0; j < 4; ++j) {
            if (mask.v[j] != 0) p[j] = value[j];
        }
    }
    MORVANE_ALWAYS_INLINE static F select(I mask, F when_set, F otherwise)
    {
        return {vbslq_f32(mask.v, when_set.v, otherwise.v)};
    }
    MORVANE_ALWAYS_INLINE static I select(I mask, I when_set, I otherwise)
    {
        return {vbslq_u32(mask.v, when_set.v, otherwise.v)};
    }

    // One pixel's normal and its u, v, z, each advanced by its own add.
    struct Attributes {
        float32x4_t normal, uvz;
    };
    MORVANE_ALWAYS_INLINE static Attributes attributes(const Vec4& normal, const Vec4& uvz)
    {
        return {vld1q_f32(normal.lane), vld1q_f32(uvz.lane)};
    }
    MORVANE_ALWAYS_INLINE static Attributes advance(Attributes a, Attributes step)
    {
        return {vaddq_f32(a.normal, step.normal), vaddq_f32(a.uvz, step.uvz)};
    }

    MORVANE_ALWAYS_INLINE static F depths(const Attributes at[4])
    {
        const float32x4_t z01 = vzip2q_f32(at[0].uvz, at[1].uvz);  // z0 z1 spare
        const float32x4_t z23 = vzip2q_f32(at[2].uvz, at[3].uvz);
        return {vcombine_f32(vget_low_f32(z01), vget_low_f32(z23))};
    }

    MORVANE_ALWAYS_INLINE static void spread(const Attributes at[4], F n[4], F& u, F& v)
    {
        const float32x4x2_t low = halves(at[0].normal, at[1].normal, at[2].normal, at[3].normal, false);
        const float32x4x2_t high = halves(at[0].normal, at[1].normal, at[2].normal, at[3].normal, true);
        const float32x4x2_t uv = halves(at[0].uvz, at[1].uvz, at[2].uvz, at[3].uvz, false);
        n[0] = {low.val[0]};
        n[1] = {low.val[1]};
        n[2] = {high.val[0]};
        n[3] = {high.val[1]};
        u = {uv.val[0]};
        v = {uv.val[1]};
    }

    // The four texels of every pixel of a group, each as four words in pixel order.
    struct Texels {
        uint32x4_t t00, t10, t01, t11;
    };
    MORVANE_ALWAYS_INLINE static Texels gather(const Pixel* texture, I iu, I iv)
    {
        uint32_t t[4];
        vst1q_u32(t, vaddq_u32(vshlq_n_u32(iv.v, 8), iu.v));
        Texels texels;
        load_pairs(texture, t, texels.t00, texels.t10);
        load_pairs(texture + texture_width, t, texels.t01, texels.t11);
        return texels;
    }

    // Byte c of four texels, zero-extended, as floats.
    template <int c>
    MORVANE_ALWAYS_INLINE static F channel(uint32x4_t texels)
    {
        return {vcvtq_f32_u32(vandq_u32(vshrq_n_u32(texels, 8 * c), vdupq_n_u32(0xFF)))};
    }

    // Four B, G, R, X pixels: each channel saturated to signed 16 bits, then to unsigned 8 bits
    // (as the x86 packs do), then interleaved pixel by pixel.
    MORVANE_ALWAYS_INLINE static I pack_pixels(I blue, I green, I red, I fourth)
    {
        const uint8x8_t bg = vqmovun_s16(vcombine_s16(narrow(blue), narrow(green)));  // B0..B3 G0..G3
        const uint8x8_t rx = vqmovun_s16(vcombine_s16(narrow(red), narrow(fourth)));  // R0..R3 X0..X3
        const uint8x8x2_t br_gx = vzip_u8(bg, rx);  // B0 R0 B1 R1 ..., G0 X0 G1 X1 ...
        const uint8x8x2_t pixels = vzip_u8(br_gx.val[0], br_gx.val[1]);
        return {vreinterpretq_u32_u8(vcombine_u8(pixels.val[0], pixels.val[1]))};
    }

    MORVANE_ALWAYS_INLINE static void prefetch(uintptr_t address)
    {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a hint address, which may lie past every buffer
        __builtin_prefetch(reinterpret_cast<const void*>(address));
    }

private:
    MORVANE_ALWAYS_INLINE static int16x4_t narrow(I a) { return vqmovn_s32(vreinterpretq_s32_u32(a.v)); }

    // A conversion's lanes where `a` lies in [-2^31, 2^31) (no other float truncates or rounds
    // into the 32-bit range); 0x80000000 elsewhere and for NaN, where NEON saturates.
    MORVANE_ALWAYS_INLINE static I in_range(F a, int32x4_t converted)
    {
        const I fits = both(not_greater(splat(-2147483648.0f), a), less(a, splat(2147483648.0f)));
        return select(fits, I{vreinterpretq_u32_s32(converted)}, I{vdupq_n_u32(0x80000000u)});
    }

    // Lanes 0, 1 (or 2, 3 with `high`) of four vectors as two: a0 b0 c0 d0 and a1 b1 c1 d1.
    MORVANE_ALWAYS_INLINE static float32x4x2_t halves(float32x4_t a, float32x4_t b, float32x4_t c, float32x4_t d,
                                                      bool high)
    {
        const float32x4_t ab = high ? vzip2q_f32(a, b) : vzip1q_f32(a, b);  // a0 b0 a1 b1
        const float32x4_t cd = high ? vzip2q_f32(c, d) : vzip1q_f32(c, d);
        const auto pairs = [](float32x4_t v) { return vreinterpretq_f64_f32(v); };
        return {vreinterpretq_f32_f64(vzip1q_f64(pairs(ab), pairs(cd))),
                vreinterpretq_f32_f64(vzip2q_f64(pairs(ab), pairs(cd)))};
    }

    // The texels (t, t + 1) of four pixels from one 64-bit load each, split into the four first
    // and the four second texels.
    MORVANE_ALWAYS_INLINE static void load_pairs(const Pixel* row, const uint32_t t[4], uint32x4_t& first,
                                                 uint32x4_t& second)
    {
        const uint32x4_t near = vcombine_u32(vld1_u32(row + t[0]), vld1_u32(row + t[1]));  // f0 s0 f1 s1
        const uint32x4_t far = vcombine_u32(vld1_u32(row + t[2]), vld1_u32(row + t[3]));
        first = vuzp1q_u32(near, far);
        second = vuzp2q_u32(near, far);
    }
};

} // namespace

} // namespace morvane
