// The wide ray path, private to the overlay: steep rays that stay inside the frame, set up by
// the plain code and drawn eight side by side. It gives the bytes of draw_ray_line_scalar.
#pragma once

#include <cstdint>

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

// The wide path holds pixel indices in signed 32-bit lanes.
constexpr int64_t lockstep_pixel_limit = INT32_MAX;

// The instruction sets the wide path is compiled for.
enum class WideIsa : uint8_t { avx2, avx512 };

// Steep rays inside the frame, gathered over a pass for the wide path, with their start
// classes (rays of one class start at one pixel: the scene's fans) and sort keys.
struct SteepSet {
    static constexpr int capacity = 800;       // a fan of the scene; a full set is drawn and emptied
    static constexpr int start_capacity = 16;  // classes fit in the 4 top bits of a key
    struct Start {
        int32_t row;
        Fixed16_16 position;
    };
    SteepRay rays[capacity];
    uint32_t keys[capacity];
    Start starts[start_capacity];
    int count = 0;
    int start_count = 0;
    WideIsa isa = WideIsa::avx2;  // the form draw_steep_set uses
};

// Whether steep rays in this frame can take the wide path on this processor.
bool wide_path_runs(const RayTarget& target);

// Draws count rays like draw_ray_lines. With a set (only where the wide path runs), steep rays
// inside the frame are gathered in it, and draw_steep_set draws them eight side by side and
// empties it; without, they are drawn in pairs.
void draw_ray_batch(const RayEnd* anchors, const RayEnd* far_ends, int count, const RayTarget& target,
                    SteepSet* steep);
void draw_steep_set(SteepSet& steep, const RayTarget& target);

// The widest form of the wide path the processor runs (only where wide_path_runs).
WideIsa widest_wide_isa();

#if MORVANE_HAVE_AVX2_PATH
// Draws rays[order[0 .. count - 1]], which all start at one pixel and come in order of
// increasing column step, eight side by side at a time. Pixel indices stay below
// lockstep_pixel_limit. Each form only on a processor that runs it.
void draw_steep_rays_avx2(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                          const float* depth_buffer, int32_t frame_width);
void draw_steep_rays_avx512(const SteepRay* rays, const uint16_t* order, int count, Pixel* colour_buffer,
                            const float* depth_buffer, int32_t frame_width);

// Whether the processor runs each form.
bool avx2_rays_available();
bool avx512_rays_available();
#endif

} // namespace morvane
