// The span set-up shared by every shading path, and the paths themselves, private to the
// rasteriser. Every path gives the bytes and depths of shade_span_scalar.
#pragma once

#include <cstdint>
#include <span>

#include "raster/raster.h"
#include "scene/processor.h"
#include "scene/scene.h"

namespace morvane {

// One span after ordering and clipping: the attributes at its first pixel, their per-pixel
// increments (from the unclipped run) and the pixels to shade.
struct SpanRun {
    Vec4 normal;
    Vec4 uvz;
    Vec4 normal_step;
    Vec4 uvz_step;
    Pixel* colour;  // first pixel of the run
    float* depth;
    int32_t count;  // at least 1
};

// A texel coordinate of -1 or less would address texels before the picture; it never comes from
// the model, and every path draws it as 0. Values in (-1, 0) truncate to 0 and keep their fraction.
constexpr float lowest_texel_coordinate = -1.0f;

// Orders the ends, rejects and clips the span against its window; false when nothing is to be
// drawn. Plain code, so that every path starts from the very same values.
bool set_up_span(const SpanRequest& request, SpanRun& run);

// Whether the run's normals and every light have 0 in their fourth lane (as the shipped scene
// always has) and that lane's colour ceiling is positive: the SIMD paths then skip the lane.
bool fourth_lanes_zero(const SpanRun& run);

#if MORVANE_HAVE_AVX2_PATH
// Eight pixels at a time; only for processors with AVX2. The pair shades both spans side by
// side, so that the latencies of their running sums overlap (spans sharing pixels one by one).
void shade_span_avx2(const SpanRequest& request, DepthRule rule = DepthRule::nearer);
void shade_span_pair_avx2(const SpanRequest& first, const SpanRequest& second, DepthRule rule = DepthRule::nearer);
// The same two compiled for AVX-512, whose 32 vector registers spare the spills; only for
// processors with AVX-512 (F, VL, BW, DQ).
void shade_span_avx512(const SpanRequest& request, DepthRule rule = DepthRule::nearer);
void shade_span_pair_avx512(const SpanRequest& first, const SpanRequest& second,
                            DepthRule rule = DepthRule::nearer);
#endif

#if MORVANE_NEON
// Four pixels at a time with NEON, which every ARM64 processor has; the same two.
void shade_span_neon(const SpanRequest& request, DepthRule rule = DepthRule::nearer);
void shade_span_pair_neon(const SpanRequest& first, const SpanRequest& second, DepthRule rule = DepthRule::nearer);
#endif

#if MORVANE_X86
// Four pixels at a time with SSE2, which every x86-64 processor has; the same two.
void shade_span_sse2(const SpanRequest& request, DepthRule rule = DepthRule::nearer);
void shade_span_pair_sse2(const SpanRequest& first, const SpanRequest& second, DepthRule rule = DepthRule::nearer);
#endif

} // namespace morvane
