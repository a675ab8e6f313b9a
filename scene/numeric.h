// The float conversions and estimates every stage shares, each with its rounding stated, so that
// the scalar code and the SIMD code agree to the bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "scene/processor.h"

namespace morvane {

// Float to signed 32-bit, to nearest with ties to even (the processor's default mode). NaN and
// values outside the range give INT32_MIN, the x86 "integer indefinite", on every processor.
inline int32_t round_to_int32(float value)
{
#if MORVANE_X86
    return _mm_cvtss_si32(_mm_set_ss(value));
#else
    if (!(value >= -2147483648.0f && value < 2147483648.0f)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(std::nearbyint(value));
#endif
}

// Float to signed 32-bit, truncating toward zero; out of range and NaN give INT32_MIN.
inline int32_t truncate_to_int32(float value)
{
#if MORVANE_X86
    return _mm_cvttss_si32(_mm_set_ss(value));
#else
    if (!(value > -2147483904.0f && value < 2147483648.0f)) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
#endif
}

// Signed 32-bit narrowed to 16 bits with signed saturation.
constexpr int16_t saturate_to_int16(int32_t value)
{
    return static_cast<int16_t>(value < -32768 ? -32768 : (value > 32767 ? 32767 : value));
}

// The processor's reciprocal and reciprocal-square-root estimates (relative error at most
// 1.5 x 2^-12), used unrefined wherever the renderer normalises or divides cheaply. Only the SSE
// forms (rcpss, rsqrtss, packed twins): the AVX-512 14-bit forms give other bits. Elsewhere, and in
// a build with MORVANE_EXACT_ESTIMATES (which the golden-image tests run to show that their
// tolerance admits another processor's estimates), the exact values serve.
#if MORVANE_X86 && !defined(MORVANE_EXACT_ESTIMATES)
#define MORVANE_ESTIMATES 1
#else
#define MORVANE_ESTIMATES 0
#endif

inline float rcp_estimate(float value)
{
#if MORVANE_ESTIMATES
    return _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(value)));
#else
    return 1.0f / value;
#endif
}

inline float rsqrt_estimate(float value)
{
#if MORVANE_ESTIMATES
    return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(value)));
#else
    return 1.0f / std::sqrt(value);
#endif
}

// Relative error bound of both estimates.
constexpr float estimate_relative_error = 1.5f / 4096.0f;

} // namespace morvane
