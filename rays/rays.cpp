// The ray overlay: every ray of ray_lines walked from its upper end down the rows, each visited
// pixel gaining a fraction of the ray's colour where the ray is nearer than the slab.
#include "rays/rays.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "rays/ray_walk.h"
#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

using namespace ray_walk;

namespace {

// The far-end colour of ray k: k is compared in every lane, as signed 32-bit, with both split
// vectors; lane i is set when (k > a[i]) differs from (k > b[i]). Lane 0 holds for
// 401 <= k <= 800, lane 1 for 801 <= k <= 1200: those rays end red, all others blue.
const Vec4& far_colour_of_ray(int32_t k)
{
    const Int4& a = scene.ray_colour_split_a;
    const Int4& b = scene.ray_colour_split_b;
    const bool lane0 = (k > a.lane[0]) != (k > b.lane[0]);
    const bool lane1 = (k > a.lane[1]) != (k > b.lane[1]);
    return lane0 || lane1 ? scene.ray_colour_red : scene.ray_colour_blue;
}

// A screen point as a ray end: column and row rounded to nearest even, depth as it is.
RayEnd ray_end_at(const Vec3& point, const Vec4& colour)
{
    return {round_to_int32(point.x), round_to_int32(point.y), point.z, colour};
}

bool finite_point(const Vec3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

} // namespace

void draw_rays()
{
    const RayTarget target{scene.colour_buffer, scene.depth_buffer, scene.frame_width, scene.frame_height};
    const bool scalar = scene.code_path == SceneBlock::CodePath::scalar;
    for (int32_t k = 0; k < ray_count; ++k) {
        const RayLine& line = scene.ray_lines[k];
        const Vec3& a = scene.screen_ray_points[line.anchor_index];
        const Vec3& e = scene.screen_ray_points[line.end_index];
        if (!finite_point(a) || !finite_point(e)) continue;
        const RayEnd anchor = ray_end_at(a, scene.ray_colour_white);
        const RayEnd far_end = ray_end_at(e, far_colour_of_ray(k));
        if (scalar) {
            draw_ray_line_scalar(anchor, far_end, target);
        } else {
            draw_ray_line(anchor, far_end, target);
        }
    }
}

void draw_ray_line_scalar(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    Walk walk;
    if (!set_up(anchor, far_end, walk) || target.frame_width <= 0 || target.frame_height <= 0) return;
    const int32_t width = target.frame_width;
    // Rows only grow, so the walk ends at the last row of the frame.
    const int32_t last_row = std::min(walk.last_row, target.frame_height - 1);

    float depth = walk.depth;
    Vec4 colour = walk.colour;
    Fixed16_16 position = walk.position;
    for (int32_t row = walk.first_row; row <= last_row; ++row) {
        const Fixed16_16 next = position + walk.column_step;
        const Span span = span_between(column_of(position), column_of(next));
        position = next;
        // Every covered pixel advances depth and colour; only those inside the frame, in their
        // own row, are tested and blended.
        for (int32_t i = 0; i < span.count; ++i) {
            const int32_t column = span.left + i;
            if (row >= 0 && column >= 0 && column < width) {
                const ptrdiff_t index = pixel_index(row, column, width);
                if (depth < target.depth_buffer[index]) {
                    target.colour_buffer[index] = add_saturated(target.colour_buffer[index], blend_amount(colour));
                }
            }
            depth += walk.depth_step;
            for (int l = 0; l < 4; ++l) colour[l] += walk.colour_step[l];
        }
    }
}

#if MORVANE_X86

namespace {

// Four float lanes: B, G, R, weight.
struct F4 {
    __m128 v;
    friend F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
    friend F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
};

F4 load(const Vec4& v) { return {_mm_load_ps(v.lane)}; }
F4 weight_lane(F4 c) { return {_mm_shuffle_ps(c.v, c.v, _MM_SHUFFLE(3, 3, 3, 3))}; }

// Lanes rounded to nearest even (cvtps2dq), then signed 16-bit and unsigned 8-bit saturation:
// the four bytes of a blend amount, in the low 32 bits.
__m128i blend_amount(F4 colour)
{
    const __m128i whole = _mm_cvtps_epi32((colour * weight_lane(colour)).v);
    const __m128i words = _mm_packs_epi32(whole, whole);
    return _mm_packus_epi16(words, words);
}

// All ones in the low lane where depth < stored (strictly; a NaN on either side fails).
__m128i nearer_mask(__m128 depth, const float* stored)
{
    return _mm_castps_si128(_mm_cmplt_ss(depth, _mm_load_ss(stored)));
}

// The running depth and colour of one ray's walk, held in registers.
struct WalkState {
    __m128 depth;  // low lane
    __m128 depth_step;
    F4 colour;
    F4 colour_step;

    void advance()
    {
        depth = _mm_add_ss(depth, depth_step);
        colour = colour + colour_step;
    }
    void skip(int32_t count)
    {
        for (int32_t i = 0; i < count; ++i) advance();
    }
    // Blends count pixels from index on, left to right. The depth test masks the amount rather
    // than branching, so a pixel that fails gains zero; the buffer is ours alone meanwhile.
    void blend_run(Pixel* colour_buffer, const float* depth_buffer, ptrdiff_t index, int32_t count)
    {
        Pixel* pixel = colour_buffer + index;
        const float* stored = depth_buffer + index;
        for (int32_t i = 0; i < count; ++i) {
            const __m128i amount = _mm_and_si128(blend_amount(colour), nearer_mask(depth, stored + i));
            const __m128i old = _mm_cvtsi32_si128(static_cast<int>(pixel[i]));
            pixel[i] = static_cast<Pixel>(_mm_cvtsi128_si32(_mm_adds_epu8(old, amount)));
            advance();
        }
    }
};

} // namespace

void draw_ray_line(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    Walk walk;
    if (!set_up(anchor, far_end, walk) || target.frame_width <= 0 || target.frame_height <= 0) return;
    const int32_t width = target.frame_width;
    const int32_t height = target.frame_height;
    WalkState state{_mm_set_ss(walk.depth), _mm_set_ss(walk.depth_step), load(walk.colour), load(walk.colour_step)};
    Fixed16_16 position = walk.position;

    // The walk's columns never leave the range between its two ends' columns, so a ray whose
    // ends both lie in the frame needs no clipping at all.
    const int32_t s_column = column_of(walk.position);
    const int32_t t_column = column_of(walk.position + (walk.last_row - walk.first_row + 1) * walk.column_step);
    const bool inside = walk.first_row >= 0 && walk.last_row < height && std::min(s_column, t_column) >= 0 &&
                        std::max(s_column, t_column) < width;
    if (inside) {
        ptrdiff_t row_start = pixel_index(walk.first_row, 0, width);
        for (int32_t row = walk.first_row; row <= walk.last_row; ++row) {
            const Fixed16_16 next = position + walk.column_step;
            const Span span = span_between(column_of(position), column_of(next));
            position = next;
            state.blend_run(target.colour_buffer, target.depth_buffer, row_start + span.left, span.count);
            row_start += width;
        }
        return;
    }

    // Clipped walk: rows above the frame and columns outside it only advance the walk, so the
    // visible part keeps its gradient; rows only grow, so it ends at the frame's last row.
    const int32_t last_row = std::min(walk.last_row, height - 1);
    for (int32_t row = walk.first_row; row <= last_row; ++row) {
        const Fixed16_16 next = position + walk.column_step;
        const Span span = span_between(column_of(position), column_of(next));
        position = next;
        const int32_t left = std::max(span.left, 0);
        const int32_t right = std::min(span.left + span.count, width);
        if (row < 0 || left >= right) {
            state.skip(span.count);
            continue;
        }
        state.skip(left - span.left);
        state.blend_run(target.colour_buffer, target.depth_buffer, pixel_index(row, left, width), right - left);
        state.skip(span.left + span.count - right);
    }
}

#else

void draw_ray_line(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    draw_ray_line_scalar(anchor, far_end, target);
}

#endif

} // namespace morvane
