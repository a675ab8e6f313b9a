// Pixel shading of one span: the shared set-up, the plain scalar shading every faster path
// matches bit for bit, and the choice of path, made once.
#include <cstdint>
#include <iterator>
#include <span>

#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

namespace {

// min and max as minps and maxps, which the SIMD paths use: a NaN in either operand gives the second.
inline float min_first_if_less(float a, float b) { return a < b ? a : b; }
inline float max_first_if_greater(float a, float b) { return a > b ? a : b; }

inline float channel(Pixel texel, int c) { return static_cast<float>((texel >> (8 * c)) & 0xFFu); }

// One colour lane to a byte: nearest, ties to even, logical shift by 8 (a negative or out-of-range
// product becomes a large pattern), at most 255.
inline Pixel colour_byte(float value)
{
    const uint32_t shifted = static_cast<uint32_t>(round_to_int32(value)) >> 8;
    return shifted < 255u ? shifted : 255u;
}

// Lights, ceilings and the weight 1.0, read once per span.
struct ShadeConstants {
    Light lights[3];
    float u_ceiling, v_ceiling;
    Vec4 colour_ceiling;
    float one;
};

ShadeConstants shade_constants()
{
    return {{scene.lights[0], scene.lights[1], scene.lights[2]}, scene.texel_clamp.lane[0], scene.texel_clamp.lane[1],
            scene.colour_clamp, scene.one_vector.lane[0]};
}

// Lighting, texture and colour of one pixel that passed the depth test.
Pixel shade_pixel(const Vec4& normal, const Vec4& uvz, const Pixel* texture, const ShadeConstants& k)
{
    // Unit normal by the estimate, no refinement (denormal or zero length: NaN lanes, no light).
    const float s = (normal[0] * normal[0] + normal[1] * normal[1]) + (normal[2] * normal[2] + normal[3] * normal[3]);
    const float r = rsqrt_estimate(s);
    const float unit[4] = {normal[0] * r, normal[1] * r, normal[2] * r, normal[3] * r};

    // Texel coordinates held at 254 and 423 so the 2 x 2 fetch stays inside the 256 x 425 picture.
    float cu = min_first_if_less(uvz[0], k.u_ceiling);
    float cv = min_first_if_less(uvz[1], k.v_ceiling);
    cu = cu > lowest_texel_coordinate ? cu : 0.0f;
    cv = cv > lowest_texel_coordinate ? cv : 0.0f;
    const int32_t iu = truncate_to_int32(cu);
    const int32_t iv = truncate_to_int32(cv);
    const float fu = cu - static_cast<float>(iu);
    const float fv = cv - static_cast<float>(iv);

    // Per channel the strongest light wins: diffuse plus a sixteenth-power highlight.
    float light[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (const Light& l : k.lights) {
        const Vec4& dir = l.direction;
        float d = (dir[0] * unit[0] + dir[1] * unit[1]) + (dir[2] * unit[2] + dir[3] * unit[3]);
        d = max_first_if_greater(d, 0.0f);  // a NaN cosine counts as 0
        float h = d * d;
        h = h * h;
        h = h * h;
        h = h * h;
        for (int c = 0; c < 4; ++c) light[c] = max_first_if_greater(light[c], d * l.diffuse[c] + h * l.specular[c]);
    }
    for (int c = 0; c < 4; ++c) light[c] = min_first_if_less(light[c], k.colour_ceiling[c]);

    // Bilinear sample from rows t and t + 256.
    const Pixel* row0 = texture + (iv * texture_width + iu);
    const Pixel* row1 = row0 + texture_width;
    const float a = k.one - fu;
    const float b = k.one - fv;
    const float w00 = a * b;
    const float w10 = fu * b;
    const float w01 = a * fv;
    const float w11 = fu * fv;
    float sample[3];
    for (int c = 0; c < 3; ++c) {
        sample[c] = (channel(row0[0], c) * w00 + channel(row0[1], c) * w10) +
                    (channel(row1[0], c) * w01 + channel(row1[1], c) * w11);
    }

    // The fourth byte pairs the fourth lighting lane with the red sample.
    return colour_byte(light[0] * sample[0]) | colour_byte(light[1] * sample[1]) << 8 |
           colour_byte(light[2] * sample[2]) << 16 | colour_byte(light[3] * sample[2]) << 24;
}

} // namespace

bool set_up_span(const SpanRequest& request, SpanRun& run)
{
    const ClipWindow& w = request.window;
    const int32_t top = saturate_to_int16(w.top);
    const int32_t bottom = saturate_to_int16(w.bottom);
    const int32_t left = saturate_to_int16(w.left);
    const int32_t right = saturate_to_int16(w.right);
    // Rows and columns are compared at full width: for the 16-bit values the walk produces this
    // is the 16-bit comparison, and wilder values are still clipped, never wrapped.
    if (request.row < top || request.row >= bottom) return false;
    if (request.end_a.x == request.end_b.x) return false;

    // A run handed right to left is drawn like the same run handed left to right.
    const bool a_is_left = request.end_a.x < request.end_b.x;
    const SpanEnd& l = a_is_left ? request.end_a : request.end_b;
    const SpanEnd& r = a_is_left ? request.end_b : request.end_a;
    int32_t xl = l.x;
    int32_t xr = r.x;  // exclusive
    if (xl >= right || xr <= left) return false;

    // Increments from the whole, unclipped run, by true division.
    const float n = static_cast<float>(int64_t{xr} - xl);
    for (int i = 0; i < 4; ++i) {
        run.normal_step.lane[i] = (r.normal[i] - l.normal[i]) / n;
        run.uvz_step.lane[i] = (r.uvz[i] - l.uvz[i]) / n;
    }
    run.normal = l.normal;
    run.uvz = l.uvz;
    if (xl < left) {
        // The clipped run starts where the unclipped one would be after k pixels.
        const float k = static_cast<float>(int64_t{left} - xl);
        for (int i = 0; i < 4; ++i) {
            run.normal.lane[i] = run.normal_step[i] * k + l.normal[i];
            run.uvz.lane[i] = run.uvz_step[i] * k + l.uvz[i];
        }
        xl = left;
    }
    if (xr > right) xr = right;
    if (xr <= xl) return false;  // only for a window narrower than one column

    const int64_t offset = int64_t{request.row} * request.row_stride + xl;
    run.colour = request.colour_buffer + offset;
    run.depth = request.depth_buffer + offset;
    run.count = xr - xl;
    return true;
}

bool fourth_lanes_zero(const SpanRun& run)
{
    bool zero = run.normal.lane[3] == 0.0f && run.normal_step.lane[3] == 0.0f && scene.colour_clamp.lane[3] > 0.0f;
    for (const Light& l : scene.lights) {
        zero &= l.direction.lane[3] == 0.0f && l.diffuse.lane[3] == 0.0f && l.specular.lane[3] == 0.0f;
    }
    return zero;
}

void shade_span_scalar(const SpanRequest& request)
{
    SpanRun run;
    if (!set_up_span(request, run)) return;
    const ShadeConstants k = shade_constants();

    Vec4 normal = run.normal;
    Vec4 uvz = run.uvz;
    // Invariant: normal and uvz are the run's start values advanced once per pixel by addition,
    // never recomputed from the column. The depth test is strict (NaN fails) and comes first,
    // so a hidden pixel costs one comparison and the advance; its depth is stored before shading.
    for (int32_t i = 0; i < run.count; ++i) {
        const float z = uvz[2];
        if (z < run.depth[i]) {
            run.depth[i] = z;
            run.colour[i] = shade_pixel(normal, uvz, request.texture, k);
        }
        for (int c = 0; c < 4; ++c) {
            normal.lane[c] = normal.lane[c] + run.normal_step.lane[c];
            uvz.lane[c] = uvz.lane[c] + run.uvz_step.lane[c];
        }
    }
}

namespace {

void shade_span_plain(const SpanRequest& request, DepthRule) { shade_span_scalar(request); }

void shade_span_pair_plain(const SpanRequest& first, const SpanRequest& second, DepthRule)
{
    shade_span_scalar(first);
    shade_span_scalar(second);
}

constexpr ShadePath exact_path = {"scalar (exact reciprocals)", shade_span_plain, shade_span_pair_plain, false};

// Narrowest first.
constexpr ShadePath built_paths[] = {
    {"scalar", shade_span_plain, shade_span_pair_plain, false},
#if MORVANE_X86
    {"SSE2", shade_span_sse2, shade_span_pair_sse2, true},
#endif
#if MORVANE_NEON
    {"NEON", shade_span_neon, shade_span_pair_neon, true},
#endif
#if MORVANE_HAVE_AVX2_PATH
    {"AVX2", shade_span_avx2, shade_span_pair_avx2, true},
    {"AVX2 with AVX-512 registers", shade_span_avx512, shade_span_pair_avx512, true},
#endif
};

} // namespace

std::span<const ShadePath> shade_paths()
{
    // Asked of the processor once, on the first call.
    static const size_t runs = std::size(built_paths) - (built_wide_sets - processor_wide_sets());
    return {built_paths, runs};
}

const ShadePath& shade_path(SceneBlock::CodePath code_path)
{
    if (code_path == SceneBlock::CodePath::scalar) return built_paths[0];
    // The x86 SIMD paths use the packed estimate instructions; the NEON path computes exactly.
    if (!MORVANE_ESTIMATES && !MORVANE_NEON) return exact_path;
    return shade_paths().back();
}

void shade_span(const SpanRequest& request) { shade_path(scene.code_path).span(request, DepthRule::nearer); }

} // namespace morvane
