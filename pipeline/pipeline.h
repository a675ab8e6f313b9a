// The frame driver: one call of render_frame turns the prepared scene into a finished image
// in the colour buffer. Reads the scene record and its animation state; writes both frame
// buffers, rotation_table, the zoom fields and the screen-space point arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scene/scene.h"

namespace morvane {

// What the renderer needs from the operating system, handed to it by the program that runs it:
// memory for the two frame buffers and the two worker threads of every frame. The platform
// layers under host/ provide it (platform::renderer_services()); the renderer itself calls no
// operating-system function.
struct PlatformServices {
    // Zero-filled memory of `bytes` bytes, 64-byte aligned, or nullptr when there is none.
    void* (*allocate_frame_buffer)(size_t bytes);
    void (*free_frame_buffer)(void* buffer);
    // Runs entry(0) and entry(1) at the same time, one on each worker, and returns when both
    // have ended.
    void (*run_worker_pair)(void (*entry)(int index));
};

// ---- Start-up, once, before the first frame ----

// The frame is the screen less 10 pixels on each axis, lowest bit cleared, so both sides
// are even. Returns false when the frame would be smaller than 2 x 2.
bool frame_size_for_screen(int screen_width, int screen_height, int& frame_width, int& frame_height);
// Seeds the ray field and sizes the frame: frame_width, frame_height, screen_centre and
// colour_buffer_size. false, changing nothing, when the screen gives no frame of at least
// 2 x 2 or one too large for the frame fields.
bool set_frame_size(int screen_width, int screen_height, uint16_t seed);
// Allocates both frame buffers for the frame size set; false, with nothing kept, when memory is short.
bool allocate_frame_buffers(const PlatformServices& platform);
// Builds the ray field, sets the starting zoom and prepares the geometry.
void prepare_scene();
// The three above in order, for programs that open no window in between (the window program
// opens its window after sizing the frame and before allocating the buffers).
bool start_renderer(const PlatformServices& platform, int screen_width, int screen_height, uint16_t seed);
// Frees the frame buffers (tools and tests; the window program keeps them to the end).
void release_frame_buffers(const PlatformServices& platform);

// ---- The frame ----

// Nanoseconds spent in each stage of one frame (the benchmark reads them).
struct FrameTimings {
    int64_t clear_ns = 0;      // both buffers filled
    int64_t transform_ns = 0;  // spin table, point transforms, zoom step
    int64_t raster_ns = 0;     // from the first worker's start to the join of both
    int64_t rays_ns = 0;       // the ray overlay
    int64_t total_ns = 0;
};

// Draws one frame for scene.frame_counter: clear, spin, transform, zoom, two rasteriser
// workers, rays. Does not advance frame_counter (the caller does, after presenting).
void render_frame(const PlatformServices& platform, FrameTimings* timings = nullptr);

// The stages of render_frame, in the order it runs them.
void clear_frame();       // colour 0, depth 60000.0
void transform_frame();   // rotation_table, the three turns, the zoom step, the two scalings
void rasterise_frame(const PlatformServices& platform);  // the two workers, joined
// (then draw_rays, from rays/rays.h)

// Writes count copies of value from destination on. destination is 16-byte aligned.
void fill_dwords(uint32_t* destination, int64_t count, uint32_t value);
// The plain one-value-at-a-time twin of fill_dwords.
void fill_dwords_scalar(uint32_t* destination, int64_t count, uint32_t value);

// Which fill the clear runs on each code path, and what that fill is called.
struct FillPath {
    const char* name;  // what the benchmark prints: "scalar" or "SSE2"
    void (*fill)(uint32_t* destination, int64_t count, uint32_t value);
};

// fill_dwords for `fastest`, fill_dwords_scalar for `scalar` (pipeline/pipeline.h).
const FillPath& fill_path(SceneBlock::CodePath code_path);

// rotation_table = cos a, sin a, -cos a, -sin a with a = frame_counter x angle_step
// (evaluated in double precision, stored as floats).
void build_rotation_table(int32_t frame_counter);

// One step of the zoom breathing: turn at counter 912 and 0 (test before step), then scale
// zoom_scale by the grow or shrink factor and move the counter.
void advance_zoom();

// Counts one presented frame: frame_counter + 1, wrapping after 2^31 frames instead of
// overflowing. Every caller that draws frames in sequence counts them with this.
void advance_frame_counter();

// Moves the animation state on by `frames` frames exactly as rendering them would (zoom
// steps and frame_counter), without drawing; the offline renderer uses it to start later.
void skip_frames(int64_t frames);

// destination[i] = source[i] turned about the y axis with the frame's rotation_table:
// x' = S x + C z, y' = y, z' = C x - S z. Products are rounded before the sums.
void rotate_points(const Vec3* source, Vec3* destination, int count);

// points[i] = (x s + cx, y s + cy, z s + 0) in place, with (cx, cy) = centre[0], centre[1].
void scale_and_offset_points(Vec3* points, int count, const uint16_t centre[4], float scale);

} // namespace morvane
