// Pixel shading a group of pixels at a time with exactly the bytes and depths of shade_span_scalar,
// written once for every instruction set over a traits type `Lanes` (raster/lanes_x86.h, and
// raster/lanes_neon.h on ARM64), whose header names the including file's two entry points
// (MORVANE_LANES_NAME) and brackets the code for its set (MORVANE_LANES_BEGIN, MORVANE_LANES_END).
// Everything else has internal linkage, and nothing inline from the shared headers is used.
//
// A traits type supplies what lanes_x86.h defines, with these meanings: F + F, F - F, F * F round
// like the scalar operations; min_first_if_less and max_first_if_greater give the second operand
// for NaN (minps, maxps); the comparisons are ordered (false for NaN); truncate and nearest convert
// like cvttps2dq and cvtps2dq, shift_right_8 is logical; rsqrt_estimate is rsqrtps where the build
// uses the estimates, else the exact value; the masked moves neither read nor write a lane outside
// the mask; pack_pixels takes channels below 2^24 to bytes of at most 255; prefetch takes any address.
#pragma once

#include <cstdint>
#include <limits>

#include "scene/processor.h"
#if MORVANE_NEON
#include "raster/lanes_neon.h"
#else
#include "raster/lanes_x86.h"
#endif
#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "scene/scene.h"

#if defined(__GNUC__)
#define MORVANE_LANES_PRAGMA(text) _Pragma(#text)
#define MORVANE_UNROLL(n) MORVANE_LANES_PRAGMA(GCC unroll n)
#else
#define MORVANE_UNROLL(n)
#endif

MORVANE_LANES_BEGIN

namespace morvane {

// Unnamed in a header on purpose: each instruction-set file needs its own copy.
namespace {  // NOLINT(cert-dcl59-cpp)

constexpr float infinite = std::numeric_limits<float>::infinity();
using L = Lanes;  // the traits type of the including file
using F = L::F;
using I = L::I;
using Attributes = L::Attributes;

// The shading constants of one span, one splat per lane (the lights are splatted where they are
// used, straight from the scene, which costs a short span less).
struct GroupConstants {
    F u_ceiling, v_ceiling, lowest_texel, zero, one, infinity;
    F colour_ceiling[4];
    F depth_clear;
};

GroupConstants group_constants()
{
    GroupConstants k;
    k.u_ceiling = L::splat(scene.texel_clamp.lane[0]);
    k.v_ceiling = L::splat(scene.texel_clamp.lane[1]);
    k.lowest_texel = L::splat(lowest_texel_coordinate);
    k.zero = L::splat(0.0f);
    k.one = L::splat(scene.one_vector.lane[0]);
    k.infinity = L::splat(infinite);
    for (int c = 0; c < 4; ++c) k.colour_ceiling[c] = L::splat(scene.colour_clamp.lane[c]);
    k.depth_clear = L::splat(depth_clear);
    return k;
}

template <int c>
MORVANE_ALWAYS_INLINE F sample(const L::Texels& t, F w00, F w10, F w01, F w11)
{
    return (L::channel<c>(t.t00) * w00 + L::channel<c>(t.t10) * w10) +
           (L::channel<c>(t.t01) * w01 + L::channel<c>(t.t11) * w11);
}

// One colour lane to an integer: nearest (ties to even; NaN and out of range give 0x80000000
// like the scalar conversion), then a logical shift by 8, which leaves at most 2^24 - 1.
MORVANE_ALWAYS_INLINE I colour_shifted(F value) { return L::shift_right_8(L::nearest(value)); }

// Shades up to L::width consecutive pixels. at[j] holds pixel j's normal and u, v, z, exactly as
// the scalar loop has them; `lanes` marks the pixels that exist. Missing pixels are worked out too
// (every texel index is clamped inside the picture) but never reach the buffers. Pixels are
// distinct, so the depth test and the stores can each be done for the whole group and still equal
// the one-pixel-at-a-time order. `whole`: every slot of the group lies in the worker's band, which
// this worker alone writes, so a plain load and store may rewrite a slot with the value just read
// (AMD's masked stores are slow: only a group that ends past the band's last pixel uses them).
//
// `zero_fourth_lanes`: the normals and the light directions have 0 in their fourth lane and the
// light colours too, as the shipped scene always has. Then that lane adds +0 to s, and to every
// cosine either 0 or, where the estimate is infinite (s zero or denormal), NaN, which the floor
// at 0 turns into 0; the fourth lighting lane is 0, or NaN (held at the ceiling) where d^16 is
// infinite. Worked out so, a quarter of the normal and lighting arithmetic drops away and every
// value stays bit for bit what the full four lanes give.
template <bool zero_fourth_lanes, DepthRule rule>
MORVANE_ALWAYS_INLINE void shade_group(const Attributes at[L::width], const Pixel* texture, Pixel* colour,
                                       float* depth, I lanes, bool whole, const GroupConstants& k)
{
    constexpr int lanes_in_full = zero_fourth_lanes ? 3 : 4;

    // Depth first, as a hidden group needs nothing else.
    const F z = L::depths(at);
    const F stored = whole ? L::load(depth) : L::load_masked(depth, lanes);
    // NaN fails either rule.
    I pass = L::less(z, stored);
    if constexpr (rule == DepthRule::nearer_or_tied) {
        pass = L::both(L::not_greater(z, stored), L::less(z, k.depth_clear));
    }
    pass = L::both(pass, lanes);
    if (L::none(pass)) return;
    if (whole) {
        L::store(depth, L::select(pass, z, stored));
    } else {
        L::store_masked(depth, pass, z);
    }

    F n[4];
    F u, v;
    L::spread(at, n, u, v);

    // Unit normal by the estimate, no refinement (denormal or zero length: NaN lanes, no light).
    const F s = zero_fourth_lanes ? (n[0] * n[0] + n[1] * n[1]) + n[2] * n[2]
                                  : (n[0] * n[0] + n[1] * n[1]) + (n[2] * n[2] + n[3] * n[3]);
    const F r = L::rsqrt_estimate(s);
    F unit[4];
    for (int c = 0; c < lanes_in_full; ++c) unit[c] = n[c] * r;
    if constexpr (zero_fourth_lanes) {
        // The missing fourth lane would make every cosine NaN where the estimate is infinite;
        // a NaN first lane does the same.
        unit[0] = L::nan_where(L::equal(r, k.infinity), unit[0]);
    }

    // Texel coordinates: ceilings 254 and 423, -1 or less drawn as 0.
    F cu = L::min_first_if_less(u, k.u_ceiling);
    F cv = L::min_first_if_less(v, k.v_ceiling);
    cu = L::keep_where(L::greater(cu, k.lowest_texel), cu);
    cv = L::keep_where(L::greater(cv, k.lowest_texel), cv);
    const I iu = L::truncate(cu);
    const I iv = L::truncate(cv);
    const F fu = cu - L::to_float(iu);
    const F fv = cv - L::to_float(iv);

    // Per channel the strongest light wins.
    F light[4] = {k.zero, k.zero, k.zero, k.zero};
    F h;
    MORVANE_UNROLL(3)
    for (int l = 0; l < 3; ++l) {
        const Light& source = scene.lights[l];
        F dir[4];
        for (int c = 0; c < lanes_in_full; ++c) dir[c] = L::splat_from(source.direction.lane[c]);
        F d;
        if constexpr (zero_fourth_lanes) {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + dir[2] * unit[2];
        } else {
            d = (dir[0] * unit[0] + dir[1] * unit[1]) + (dir[2] * unit[2] + dir[3] * unit[3]);
        }
        d = L::max_first_if_greater(d, k.zero);  // a NaN cosine counts as 0
        h = d * d;
        h = h * h;
        h = h * h;
        h = h * h;
        MORVANE_UNROLL(4)
        for (int c = 0; c < lanes_in_full; ++c) {
            light[c] = L::max_first_if_greater(
                light[c], d * L::splat_from(source.diffuse.lane[c]) + h * L::splat_from(source.specular.lane[c]));
        }
    }
    MORVANE_UNROLL(4)
    for (int c = 0; c < lanes_in_full; ++c) light[c] = L::min_first_if_less(light[c], k.colour_ceiling[c]);
    if constexpr (zero_fourth_lanes) {
        // Every light gives +0 or NaN there and the maximum always takes the later value, so the
        // lane is the last light's: 0, or the ceiling for a NaN.
        light[3] = L::keep_where(L::equal(h, k.infinity), k.colour_ceiling[3]);
    }

    // Bilinear sample from rows t and t + 256.
    const L::Texels texels = L::gather(texture, iu, iv);
    const F a = k.one - fu;
    const F b = k.one - fv;
    const F w00 = a * b;
    const F w10 = fu * b;
    const F w01 = a * fv;
    const F w11 = fu * fv;
    const F blue = sample<0>(texels, w00, w10, w01, w11);
    const F green = sample<1>(texels, w00, w10, w01, w11);
    const F red = sample<2>(texels, w00, w10, w01, w11);

    // The fourth byte pairs the fourth lighting lane with the red sample.
    const I pixels = L::pack_pixels(colour_shifted(light[0] * blue), colour_shifted(light[1] * green),
                                    colour_shifted(light[2] * red), colour_shifted(light[3] * red));
    if (whole) {
        I merged = pixels;
        if (!L::all(pass)) merged = L::select(pass, pixels, L::load(colour));
        L::store(colour, merged);
    } else {
        L::store_masked(colour, pass, pixels);
    }
}

// One run being shaded: the next pixel's attributes and where that pixel goes.
struct RunCursor {
    Attributes at;
    Attributes step;
    Pixel* colour;
    float* depth;
    int32_t remaining;
    const Pixel* texture;
    uintptr_t next_pair_bytes;  // from a pixel to its column in the next pair of rows
    // The address of the depth slot after the band's last pixel. Addresses, not pointers: the
    // bound check and the prefetches look past the buffer, where no pointer may point.
    uintptr_t band_end;
};

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// The first row below the band, narrowed to 16 bits as set_up_span narrows it (written out here:
// this file uses no inline function of the shared headers).
int32_t band_bottom(const ClipWindow& window)
{
    return window.bottom < -32768 ? -32768 : (window.bottom > 32767 ? 32767 : window.bottom);
}

RunCursor start_run(const SpanRun& run, const SpanRequest& request)
{
    return {L::attributes(run.normal, run.uvz), L::attributes(run.normal_step, run.uvz_step), run.colour, run.depth,
            run.count, request.texture, static_cast<uintptr_t>(int64_t{2} * request.row_stride) * sizeof(Pixel),
            address(request.depth_buffer) +
                static_cast<uintptr_t>(int64_t{band_bottom(request.window)} * request.row_stride) * sizeof(float)};
}

// Shades the group `group` (as many of its pixels as remain) and moves the cursor past it; after
// a run's last, shorter group the cursor stays, so its pointers never pass the run's end.
template <bool zero_fourth_lanes, DepthRule rule>
MORVANE_ALWAYS_INLINE void shade_next(RunCursor& c, const Attributes group[L::width], const GroupConstants& k)
{
    if (c.remaining >= L::width) {
        shade_group<zero_fourth_lanes, rule>(group, c.texture, c.colour, c.depth, L::all_lanes(), true, k);
        c.colour += L::width;
        c.depth += L::width;
        c.remaining -= L::width;
    } else {
        const bool whole = c.band_end - address(c.depth) >= L::width * sizeof(float);
        shade_group<zero_fourth_lanes, rule>(group, c.texture, c.colour, c.depth, L::first_lanes(c.remaining), whole, k);
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
        Attributes group[L::width];
        MORVANE_UNROLL(8)
        for (int j = 0; j < L::width; ++j) {
            group[j] = c.at;
            c.at = L::advance(c.at, c.step);
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
        L::prefetch(address(a.depth) + a.next_pair_bytes);
        L::prefetch(address(b.depth) + b.next_pair_bytes);
        L::prefetch(address(a.colour) + a.next_pair_bytes);
        L::prefetch(address(b.colour) + b.next_pair_bytes);
        Attributes group_a[L::width], group_b[L::width];
        MORVANE_UNROLL(8)
        for (int j = 0; j < L::width; ++j) {
            group_a[j] = a.at;
            group_b[j] = b.at;
            a.at = L::advance(a.at, a.step);
            b.at = L::advance(b.at, b.step);
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

// Whether two set-up runs touch a common pixel (never two rows of one triangle), so that they
// have to be shaded one after the other.
bool runs_overlap(const SpanRun& a, const SpanRun& b)
{
    return overlap(a.colour, a.colour + a.count, b.colour, b.colour + b.count) ||
           overlap(a.depth, a.depth + a.count, b.depth, b.depth + b.count);
}

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

} // namespace

void MORVANE_LANES_NAME(shade_span)(const SpanRequest& request, DepthRule rule)
{
    SpanRun run;
    if (!set_up_span(request, run)) return;
    if (rule == DepthRule::nearer) {
        shade_single<DepthRule::nearer>(run, request, group_constants());
    } else {
        shade_single<DepthRule::nearer_or_tied>(run, request, group_constants());
    }
}

void MORVANE_LANES_NAME(shade_span_pair)(const SpanRequest& first, const SpanRequest& second, DepthRule rule)
{
    if (rule == DepthRule::nearer) {
        shade_pair<DepthRule::nearer>(first, second);
    } else {
        shade_pair<DepthRule::nearer_or_tied>(first, second);
    }
}

} // namespace morvane

MORVANE_LANES_END

#undef MORVANE_UNROLL
#undef MORVANE_LANES_PRAGMA
