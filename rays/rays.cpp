// The ray overlay: every ray of ray_lines walked from its upper end down the rows, each visited
// pixel gaining a fraction of the ray's colour where the ray is nearer than the slab.
#include "rays/rays.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>

#include "rays/ray_paths.h"
#include "rays/ray_walk.h"
#include "scene/fixed_point.h"
#include "scene/numeric.h"
#include "scene/scene.h"

#if MORVANE_NEON
#include <arm_neon.h>
#endif

namespace morvane {

using namespace ray_walk;

namespace {

// The far-end colour of ray k: red where (k > a[i]) differs from (k > b[i]) in lane 0 (rays 401
// to 800) or lane 1 (801 to 1200) of the two split vectors, else blue.
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

// Hands row_span(row, span) every row of the walk with the columns it covers. Rows only grow, so
// the walk ends at the frame's last row.
template <class RowSpan>
void walk_rows(const Walk& walk, const RayTarget& target, RowSpan&& row_span)
{
    const int32_t last_row = std::min(walk.last_row, target.frame_height - 1);
    Fixed16_16 position = walk.position;
    for (int32_t row = walk.first_row; row <= last_row; ++row) {
        const Fixed16_16 next = position + walk.column_step;
        row_span(row, span_between(column_of(position), column_of(next)));
        position = next;
    }
}

} // namespace

void draw_ray_line_scalar(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    Walk walk;
    if (!set_up(anchor, far_end, walk) || target.frame_width <= 0 || target.frame_height <= 0) return;
    const int32_t width = target.frame_width;
    float depth = walk.depth;
    Vec4 colour = walk.colour;
    walk_rows(walk, target, [&](int32_t row, Span span) {
        // Every covered pixel advances depth and colour; only those inside the frame, in their
        // own row, are tested and blended.
        for (int32_t column = span.left; column < span.left + span.count; ++column) {
            if (row >= 0 && column >= 0 && column < width) {
                const ptrdiff_t index = pixel_index(row, column, width);
                if (depth < target.depth_buffer[index]) {
                    target.colour_buffer[index] = add_saturated(target.colour_buffer[index], blend_amount(colour));
                }
            }
            depth += walk.depth_step;
            for (int l = 0; l < 4; ++l) colour[l] += walk.colour_step[l];
        }
    });
}

#if MORVANE_X86 || MORVANE_NEON

namespace {

// The vector steps of the SIMD walks, in SSE2 or in NEON: the four float lanes of a colour (B,
// G, R, weight), the running depths of one ray (lane 0) or two (lanes 0 and 1), and the blend
// amounts of one pixel (bytes 0-3) or two (bytes 4-7 the second's).
#if MORVANE_X86

struct F4 {
    __m128 v;
    friend F4 operator+(F4 a, F4 b) { return {_mm_add_ps(a.v, b.v)}; }
    friend F4 operator*(F4 a, F4 b) { return {_mm_mul_ps(a.v, b.v)}; }
};
using Depths = __m128;
using Amounts = __m128i;

F4 load(const Vec4& v) { return {_mm_load_ps(v.lane)}; }
// The weight in every lane (an integer shuffle, which needs no copy of its source).
F4 weight_lane(F4 c) { return {_mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(c.v), _MM_SHUFFLE(3, 3, 3, 3)))}; }
// Every lane times the weight, rounded to nearest even (cvtps2dq).
__m128i weighted_whole(F4 c) { return _mm_cvtps_epi32((c * weight_lane(c)).v); }

// The four bytes of a blend amount in the low 32 bits: signed 16-bit then unsigned 8-bit saturation.
Amounts blend_amount(F4 colour)
{
    const __m128i whole = weighted_whole(colour);
    const __m128i words = _mm_packs_epi32(whole, whole);
    return _mm_packus_epi16(words, words);
}

// All ones in the low lane where depth < stored (strictly; a NaN on either side fails).
Amounts nearer_mask(Depths depth, const float* stored)
{
    return _mm_castps_si128(_mm_cmplt_ss(depth, _mm_load_ss(stored)));
}
Amounts masked(Amounts amounts, Amounts mask) { return _mm_and_si128(amounts, mask); }

// The amounts of two rays at once (lanes 0 and 1 of `depth`), each masked by its depth test.
Amounts pair_amounts(F4 colour_a, F4 colour_b, Depths depth, const float* stored_a, const float* stored_b)
{
    const __m128 stored = _mm_unpacklo_ps(_mm_load_ss(stored_a), _mm_load_ss(stored_b));
    const __m128i nearer = _mm_castps_si128(_mm_cmplt_ps(depth, stored));
    const __m128i words = _mm_packs_epi32(weighted_whole(colour_a), weighted_whole(colour_b));
    return _mm_and_si128(_mm_packus_epi16(words, words), nearer);
}
Amounts second_amount(Amounts amounts) { return _mm_srli_epi64(amounts, 32); }

Depths depth_lanes(float depth) { return _mm_set_ss(depth); }
Depths add_first(Depths a, Depths b) { return _mm_add_ss(a, b); }
Depths add_both(Depths a, Depths b) { return _mm_add_ps(a, b); }
Depths pair_of(Depths first, Depths second) { return _mm_unpacklo_ps(first, second); }
Depths second_of(Depths pair) { return _mm_shuffle_ps(pair, pair, _MM_SHUFFLE(3, 2, 3, 1)); }

// pixel = pixel + amount, byte by byte with saturation (the amount in the low 32 bits).
void add_to_pixel(Pixel* pixel, Amounts amount)
{
    const __m128i old = _mm_cvtsi32_si128(static_cast<int>(*pixel));
    *pixel = static_cast<Pixel>(_mm_cvtsi128_si32(_mm_adds_epu8(old, amount)));
}

#else

struct F4 {
    float32x4_t v;
    friend F4 operator+(F4 a, F4 b) { return {vaddq_f32(a.v, b.v)}; }
};
using Depths = float32x2_t;
using Amounts = uint8x8_t;

F4 load(const Vec4& v) { return {vld1q_f32(v.lane)}; }
// Every lane times the weight, rounded to nearest even, saturated to signed 16 bits; NaN and out
// of range count as -2^31, as on x86 (NEON would saturate them apart).
int16x4_t weighted_words(F4 c)
{
    const float32x4_t product = vmulq_laneq_f32(c.v, c.v, 3);
    const uint32x4_t fits = vandq_u32(vcgeq_f32(product, vdupq_n_f32(-2147483648.0f)),
                                      vcltq_f32(product, vdupq_n_f32(2147483648.0f)));
    return vqmovn_s32(vbslq_s32(fits, vcvtnq_s32_f32(product), vdupq_n_s32(INT32_MIN)));
}
Amounts blend_amount(F4 colour)
{
    const int16x4_t words = weighted_words(colour);
    return vqmovun_s16(vcombine_s16(words, words));
}
Amounts nearer_mask(Depths depth, const float* stored)
{
    return vreinterpret_u8_u32(vclt_f32(depth, vld1_dup_f32(stored)));
}
Amounts masked(Amounts amounts, Amounts mask) { return vand_u8(amounts, mask); }
Amounts pair_amounts(F4 colour_a, F4 colour_b, Depths depth, const float* stored_a, const float* stored_b)
{
    const Amounts both = vqmovun_s16(vcombine_s16(weighted_words(colour_a), weighted_words(colour_b)));
    return masked(both, vreinterpret_u8_u32(vclt_f32(depth, vld1_lane_f32(stored_b, vld1_dup_f32(stored_a), 1))));
}
Amounts second_amount(Amounts amounts) { return vreinterpret_u8_u64(vshr_n_u64(vreinterpret_u64_u8(amounts), 32)); }

Depths depth_lanes(float depth) { return vset_lane_f32(depth, vdup_n_f32(0.0f), 0); }
Depths add_first(Depths a, Depths b) { return vadd_f32(a, b); }
Depths add_both(Depths a, Depths b) { return vadd_f32(a, b); }
Depths pair_of(Depths first, Depths second) { return vzip1_f32(first, second); }
Depths second_of(Depths pair) { return vdup_lane_f32(pair, 1); }

void add_to_pixel(Pixel* pixel, Amounts amount)
{
    *pixel = vget_lane_u32(vreinterpret_u32_u8(vqadd_u8(vreinterpret_u8_u32(vdup_n_u32(*pixel)), amount)), 0);
}

#endif

// The running depth and colour of one ray's walk, held in registers.
struct WalkState {
    Depths depth;  // lane 0
    Depths depth_step;
    F4 colour;
    F4 colour_step;

    void advance()
    {
        depth = add_first(depth, depth_step);
        colour = colour + colour_step;
    }
    void skip(int32_t count)
    {
        for (int32_t i = 0; i < count; ++i) advance();
    }
    // Blends the colour into one pixel where the ray is nearer, then advances. The depth test
    // masks the amount rather than branching: a hidden pixel is written back unchanged.
    void blend(const RayTarget& target, ptrdiff_t index)
    {
        add_to_pixel(target.colour_buffer + index,
                     masked(blend_amount(colour), nearer_mask(depth, target.depth_buffer + index)));
        advance();
    }
    void blend_run(const RayTarget& target, ptrdiff_t index, int32_t count)
    {
        for (int32_t i = 0; i < count; ++i) blend(target, index + i);
    }
};

WalkState start_state(const Walk& walk)
{
    return {depth_lanes(walk.depth), depth_lanes(walk.depth_step), load(walk.colour), load(walk.colour_step)};
}

// A steep ray moves at most one column per row, so every row covers one pixel, at the column of
// position + min(step, 0). Held as one 16.16 position over the whole buffer (row start x 65536
// plus that), one add moves it down a row and along the ray, one shift gives the pixel index.
struct SteepWalk {
    int64_t at;        // 16.16 position of the next pixel in the buffer
    int64_t row_step;  // frame width x 65536 + column step
    int32_t rows;      // pixels (= rows) still to draw
    WalkState state;

    ptrdiff_t index() const { return static_cast<ptrdiff_t>(at >> fixed16_16_shift); }
};

bool is_steep(const Walk& walk) { return walk.column_step >= -fixed16_16_one && walk.column_step <= fixed16_16_one; }

SteepWalk steep_walk(const Walk& walk, int32_t last_row, int32_t width)
{
    const int64_t row_start = pixel_index(walk.first_row, 0, width);
    return {row_start * fixed16_16_one + walk.position + std::min(walk.column_step, 0),
            static_cast<int64_t>(width) * fixed16_16_one + walk.column_step, last_row - walk.first_row + 1,
            start_state(walk)};
}

void draw_steep(SteepWalk& ray, const RayTarget& target)
{
    for (; ray.rows > 0; --ray.rows) {
        ray.state.blend(target, ray.index());
        ray.at += ray.row_step;
    }
}

// Two steep rays side by side: the processor overlaps their independent chains, and the two
// amounts share one pack. Each pixel is written before the other ray's is read, so two rays on
// one pixel (as at a shared anchor) both count. Then the longer ray finishes alone.
void draw_steep_pair(SteepWalk& a, SteepWalk& b, const RayTarget& target)
{
    Depths depth = pair_of(a.state.depth, b.state.depth);  // lanes a, b
    const Depths depth_step = pair_of(a.state.depth_step, b.state.depth_step);
    F4 colour_a = a.state.colour;
    F4 colour_b = b.state.colour;
    const int32_t together = std::min(a.rows, b.rows);
    for (int32_t i = 0; i < together; ++i) {
        const ptrdiff_t index_a = a.index();
        const ptrdiff_t index_b = b.index();
        const Amounts amounts = pair_amounts(colour_a, colour_b, depth, target.depth_buffer + index_a,
                                             target.depth_buffer + index_b);  // a in bytes 0-3, b in 4-7
        add_to_pixel(target.colour_buffer + index_a, amounts);
        add_to_pixel(target.colour_buffer + index_b, second_amount(amounts));
        depth = add_both(depth, depth_step);
        colour_a = colour_a + a.state.colour_step;
        colour_b = colour_b + b.state.colour_step;
        a.at += a.row_step;
        b.at += b.row_step;
    }
    a.rows -= together;
    b.rows -= together;
    SteepWalk& rest = a.rows > 0 ? a : b;
    rest.state.depth = a.rows > 0 ? depth : second_of(depth);
    rest.state.colour = a.rows > 0 ? colour_a : colour_b;
    draw_steep(rest, target);
}

// Walks a ray down the rows. `clip`: rows above the frame and columns outside it only advance the
// walk; without, the ray starts in the frame and its columns stay in it.
template <bool clip>
void draw_walk(const Walk& walk, const RayTarget& target)
{
    WalkState state = start_state(walk);
    const int32_t width = target.frame_width;
    walk_rows(walk, target, [&](int32_t row, Span span) {
        if constexpr (!clip) {
            state.blend_run(target, pixel_index(row, span.left, width), span.count);
        } else {
            const int32_t left = std::max(span.left, 0);
            const int32_t right = std::min(span.left + span.count, width);
            if (row < 0 || left >= right) return state.skip(span.count);
            state.skip(left - span.left);
            state.blend_run(target, pixel_index(row, left, width), right - left);
            state.skip(span.left + span.count - right);
        }
    });
}

// Steep rays inside the frame, gathered over a pass for a wide form, with their start classes
// (rays of one class start at one pixel: the scene's fans) and sort keys.
struct SteepSet {
    static constexpr int start_capacity = 16;  // classes fit in the 4 top bits of a key
    struct Start {
        int32_t row;
        Fixed16_16 position;
    };
    SteepRay rays[steep_set_capacity];
    uint32_t keys[steep_set_capacity];
    Start starts[start_capacity];
    int count = 0;
    int start_count = 0;
};

// The sort key of a steep ray: its start class above its column step, offset to be positive
// (steep steps lie in -65536 .. 65536).
constexpr int key_step_bits = 18;
constexpr int32_t key_step_offset = fixed16_16_one;

uint32_t steep_key(int start_class, Fixed16_16 column_step)
{
    return static_cast<uint32_t>(start_class) << key_step_bits | static_cast<uint32_t>(column_step + key_step_offset);
}

// Adds a steep ray inside the frame to the set; false when no start class is left for it.
bool add_steep(SteepSet& set, const Walk& walk, int32_t last_row, int32_t width)
{
    int start_class = 0;
    while (start_class < set.start_count && (set.starts[start_class].row != walk.first_row ||
                                             set.starts[start_class].position != walk.position)) {
        ++start_class;
    }
    if (start_class == set.start_count) {
        if (set.start_count == SteepSet::start_capacity) return false;
        set.starts[set.start_count++] = {walk.first_row, walk.position};
    }
    set.rays[set.count] = {walk.colour, walk.colour_step, walk.depth, walk.depth_step, walk.first_row * width,
                           walk.position + std::min(walk.column_step, 0), walk.column_step, last_row - walk.first_row + 1};
    set.keys[set.count++] = steep_key(start_class, walk.column_step);
    return true;
}

// Orders the set by key, a stable byte at a time from the lowest, hands each start class to the
// wide form `draw` and empties the set.
void draw_steep_set(SteepSet& set, const RayTarget& target, SteepRaysFunction draw)
{
    constexpr int key_bits = key_step_bits + 4;
    uint16_t order[steep_set_capacity];
    uint16_t sorted[steep_set_capacity];
    for (int i = 0; i < set.count; ++i) order[i] = static_cast<uint16_t>(i);
    for (int shift = 0; shift < key_bits; shift += 8) {
        int32_t first_of[257] = {};
        for (int i = 0; i < set.count; ++i) ++first_of[(set.keys[i] >> shift & 0xFFu) + 1];
        for (int d = 1; d < 257; ++d) first_of[d] += first_of[d - 1];
        for (int i = 0; i < set.count; ++i) sorted[first_of[set.keys[order[i]] >> shift & 0xFFu]++] = order[i];
        std::copy(sorted, sorted + set.count, order);
    }
    for (int first = 0; first < set.count;) {
        const uint32_t start_class = set.keys[order[first]] >> key_step_bits;
        int end = first + 1;
        while (end < set.count && set.keys[order[end]] >> key_step_bits == start_class) ++end;
        draw(set.rays, order + first, end - first, target.colour_buffer, target.depth_buffer, target.frame_width);
        first = end;
    }
    set.count = 0;
    set.start_count = 0;
}

// A pass of the SIMD walks: rays that leave the frame are clipped, the others drawn whole, the
// steep ones (most of the scene's) side by side: eight at a time by the wide form `wide` where
// there is one, else in pairs. Order does not matter: every blend is a saturating add of a
// non-negative amount.
class SimdPass {
public:
    SimdPass(SteepRaysFunction wide, const RayTarget& target) : target_(target), wide_(wide) {}

    // Draws anchors[i] to far_ends[i] for i = 0 .. count - 1, or lets steep ones wait.
    void draw(const RayEnd* anchors, const RayEnd* far_ends, int count);
    void finish()
    {
        draw_steep(waiting_, target_);
        if (steep_.count > 0) draw_steep_set(steep_, target_, wide_);
    }

private:
    RayTarget target_;
    SteepRaysFunction wide_;
    SteepSet steep_;
    SteepWalk waiting_{};  // a steep ray waiting for a second one, when it has rows
};

void SimdPass::draw(const RayEnd* anchors, const RayEnd* far_ends, int count)
{
    for (int i = 0; i < count; ++i) {
        Walk walk;
        // Rows only grow: a walk that starts below the frame draws nothing.
        if (!set_up(anchors[i], far_ends[i], walk) || walk.first_row >= target_.frame_height) continue;
        // The walk's columns stay between its ends' columns: when those lie in the frame and the
        // walk starts in it, only rows below the frame need cutting off.
        const int32_t rows = walk.last_row - walk.first_row + 1;
        const int32_t s_column = column_of(walk.position);
        const int32_t t_column = column_of(walk.position + rows * walk.column_step);
        const bool inside = walk.first_row >= 0 && std::min(s_column, t_column) >= 0 &&
                            std::max(s_column, t_column) < target_.frame_width;
        if (!inside) {
            draw_walk<true>(walk, target_);
            continue;
        }
        if (!is_steep(walk)) {
            draw_walk<false>(walk, target_);
            continue;
        }
        const int32_t last_row = std::min(walk.last_row, target_.frame_height - 1);
        if (wide_ != nullptr) {
            if (steep_.count == steep_set_capacity) draw_steep_set(steep_, target_, wide_);
            if (add_steep(steep_, walk, last_row, target_.frame_width)) continue;
        }
        SteepWalk ray = steep_walk(walk, last_row, target_.frame_width);
        if (waiting_.rows == 0) {
            waiting_ = ray;
            continue;
        }
        // Walked from a local copy, which stays in registers: the pass itself is in memory,
        // and every pixel stored could alias it.
        SteepWalk first = waiting_;
        waiting_.rows = 0;
        draw_steep_pair(first, ray, target_);
    }
}

} // namespace

#endif // MORVANE_X86 || MORVANE_NEON

namespace {

// Narrowest first.
constexpr RayPath built_paths[] = {
    {"scalar", false, nullptr},
#if MORVANE_X86
    {"SSE2", true, nullptr},
#endif
#if MORVANE_NEON
    {"NEON", true, nullptr},
#endif
#if MORVANE_HAVE_AVX2_PATH
    {"AVX2 steep, SSE2 other", true, draw_steep_rays_avx2},
    {"AVX-512 steep, SSE2 other", true, draw_steep_rays_avx512},
#endif
};

// Whether a wide form can draw in this frame: it holds pixel indices in signed 32-bit lanes.
bool wide_form_fits(const RayTarget& target)
{
    return target.frame_width > 0 && target.frame_height > 0 &&
           int64_t{target.frame_width} * target.frame_height <= lockstep_pixel_limit;
}

// Draws on `path` the rays whose ends `ends_of(k, anchor, far_end)` gives, for k = 0 .. count - 1.
template <class EndsOf>
void draw_pass([[maybe_unused]] const RayPath& path, const RayTarget& target, int count, EndsOf&& ends_of)
{
    // Nothing to draw in an empty frame; the SIMD walks take a frame with pixels.
    if (target.frame_width <= 0 || target.frame_height <= 0) return;
    RayEnd anchor;
    RayEnd far_end;
#if MORVANE_X86 || MORVANE_NEON
    if (path.simd) {
        // In batches, so that the pass works through many rays in one call.
        constexpr int batch = 64;
        RayEnd anchors[batch];
        RayEnd far_ends[batch];
        SimdPass pass(wide_form_fits(target) ? path.steep_rays : nullptr, target);
        for (int first = 0; first < count; first += batch) {
            int ready = 0;
            for (int k = first; k < count && k < first + batch; ++k) {
                if (ends_of(k, anchors[ready], far_ends[ready])) ++ready;
            }
            pass.draw(anchors, far_ends, ready);
        }
        pass.finish();
        return;
    }
#endif
    for (int k = 0; k < count; ++k) {
        if (ends_of(k, anchor, far_end)) draw_ray_line_scalar(anchor, far_end, target);
    }
}

} // namespace

std::span<const RayPath> ray_paths()
{
    // Asked of the processor once, on the first call.
    static const size_t runs = std::size(built_paths) - (built_wide_sets - processor_wide_sets());
    return {built_paths, runs};
}

const RayPath& ray_path(SceneBlock::CodePath code_path, const RayTarget& target)
{
    const std::span<const RayPath> paths = ray_paths();
    if (code_path == SceneBlock::CodePath::scalar) return paths.front();
    // Frames too large for the wide forms take the SSE2 walks alone.
    if (paths.back().steep_rays != nullptr && !wide_form_fits(target)) return paths[1];
    return paths.back();
}

void draw_rays()
{
    const RayTarget target{scene.colour_buffer, scene.depth_buffer, scene.frame_width, scene.frame_height};
    draw_pass(ray_path(scene.code_path, target), target, ray_count, [](int k, RayEnd& anchor, RayEnd& far_end) {
        const RayLine& line = scene.ray_lines[k];
        const Vec3& a = scene.screen_ray_points[line.anchor_index];
        const Vec3& e = scene.screen_ray_points[line.end_index];
        if (!finite_point(a) || !finite_point(e)) return false;
        anchor = ray_end_at(a, scene.ray_colour_white);
        far_end = ray_end_at(e, far_colour_of_ray(k));
        return true;
    });
}

void draw_ray_lines(const RayEnd* anchors, const RayEnd* far_ends, int count, const RayTarget& target,
                    const RayPath& path)
{
    draw_pass(path, target, count, [&](int k, RayEnd& anchor, RayEnd& far_end) {
        anchor = anchors[k];
        far_end = far_ends[k];
        return true;
    });
}

const char* ray_path_name(SceneBlock::CodePath code_path)
{
    const RayTarget target{scene.colour_buffer, scene.depth_buffer, scene.frame_width, scene.frame_height};
    return ray_path(code_path, target).name;
}

} // namespace morvane
