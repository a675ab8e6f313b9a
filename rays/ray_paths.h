// The ray paths, private to the overlay: the plain scalar walk, the SSE2 walks, and the wide
// forms that draw steep rays eight side by side, all with the bytes of draw_ray_line_scalar.
#pragma once

#include <cstdint>
#include <span>

#include "rays/rays.h"
#include "scene/fixed_point.h"
#include "scene/processor.h"
#include "scene/scene.h"

namespace morvane {

// A steep ray whose every pixel lies inside the frame: one pixel per row, `rows` rows from the
// row that starts at pixel index row_start. Columns are 16.16 positions already moved by
// min(column step, 0), so that the pixel of each row is the whole part of `column`.
struct SteepRay {
    Vec4 colour;         // B, G, R, weight at the first pixel
    Vec4 colour_step;    // per pixel
    float depth;         // at the first pixel
    float depth_step;    // per pixel
    int32_t row_start;   // first row x frame width
    Fixed16_16 column;
    Fixed16_16 column_step;
    int32_t rows;        // at least 1
};

// The wide forms hold pixel indices in signed 32-bit lanes.
constexpr int64_t lockstep_pixel_limit = INT32_MAX;

// How many steep rays a pass gathers for a wide form before it draws them: a fan of the scene.
constexpr int steep_set_capacity = 800;

// A wide form: draws rays[order[0 .. count - 1]], which start at one pixel and come in order of
// increasing column step, eight side by side, with pixel indices below lockstep_pixel_limit.
using SteepRaysFunction = void (*)(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                                   const float* depth_buffer, int32_t frame_width);

// One way of drawing rays.
struct RayPath {
    const char* name;  // what the benchmark prints: "scalar", "SSE2", "AVX2 steep, SSE2 other", ...
    bool simd;         // the SSE2 or NEON walks, steep rays in pairs; else every ray by draw_ray_line_scalar
    SteepRaysFunction steep_rays;  // with `simd`, or nullptr: for the steep rays in a small enough frame
};

// Every path the processor runs, the plain one first and the fastest last (the tests and the
// benchmarks compare them).
std::span<const RayPath> ray_paths();

// The path each code path takes for a frame: for `fastest` the widest the processor runs and the
// frame allows, for `scalar` the plain one.
const RayPath& ray_path(SceneBlock::CodePath code_path, const RayTarget& target);

// Draws anchors[i] to far_ends[i] for i = 0 .. count - 1 on `path`, with the bytes
// draw_ray_line_scalar gives ray by ray.
void draw_ray_lines(const RayEnd* anchors, const RayEnd* far_ends, int count, const RayTarget& target,
                    const RayPath& path);

#if MORVANE_HAVE_AVX2_PATH
// The wide forms for AVX2 and AVX-512, each only on a processor that runs it.
void draw_steep_rays_avx2(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                          const float* depth_buffer, int32_t frame_width);
void draw_steep_rays_avx512(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                            const float* depth_buffer, int32_t frame_width);
#endif

} // namespace morvane
