// The rasteriser: triangle set-up, scan conversion and per-pixel shading. Reads the scene's
// triangles, texel coordinates, screen_vertices, view_normals, lights and texture; writes the
// colour buffer and the depth buffer, each worker only in its own band of rows.
#pragma once

#include <cstdint>
#include <span>

#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

// The part of the frame one worker may write: rows top..bottom-1, columns left..right-1.
struct ClipWindow {
    int32_t top;
    int32_t bottom;  // exclusive
    int32_t left;    // always 0
    int32_t right;   // exclusive: the frame width
};

// One triangle corner as draw_triangle receives it.
struct RasterVertex {
    int16_t x, y;   // pixel column and row
    float z;        // depth, smaller is nearer
    Vec4 normal;    // view-space normal, fourth lane exactly 0
    uint16_t u, v;  // texel column and row
};

// One end of a span: whole column, interpolated normal (not renormalised), u, v, z.
struct SpanEnd {
    int32_t x;
    Vec4 normal;
    Vec4 uvz;  // texel u, texel v, depth z, 0
};

// One row of one triangle, as triangle set-up hands it to pixel shading. The ends come in no
// left-to-right order and unclipped; shade_span drops rows outside the window's band.
struct SpanRequest {
    int32_t row;
    SpanEnd end_a;  // on the long edge, top corner to bottom corner
    SpanEnd end_b;  // on the short edge
    ClipWindow window;
    int32_t row_stride;  // pixels per row of both buffers
    const Pixel* texture;
    Pixel* colour_buffer;
    float* depth_buffer;
};

// Thread entry of worker `index` (0: upper half of the rows, 1: lower half).
void raster_worker(int index);

// One worker's pass: every triangle of the scene, clipped to its band, with the pixels drawing
// them in table order gives. The band must start cleared, as render_frame leaves it: the fastest
// path may draw the triangles in another order, which relies on that.
void raster_triangles(int index);

// The band of rows worker `index` owns in a frame of the given size (height is even).
ClipWindow worker_window(int index, int width, int height);

// Scan-converts one triangle into spans, in increasing row order, and shades them.
void draw_triangle(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2,
                   const ClipWindow& window, int32_t row_stride, const Pixel* texture,
                   Pixel* colour_buffer, float* depth_buffer);

// Shades one span (depth test, three lights, bilinear texture) on the path scene.code_path takes.
void shade_span(const SpanRequest& request);

// The plain scalar shading of one span; every faster path gives its bytes and depths.
void shade_span_scalar(const SpanRequest& request);

// ---- The shading paths: how each code path shades, and what the path is called ----

// How a pixel's depth meets the one stored. `nearer`: strictly nearer passes, so of two fragments
// at equal depth the first drawn stays. `nearer_or_tied` also passes at equal depth, but never at
// the clear depth itself, so that a triangle drawn after later ones of the table wins their ties
// as if drawn first. It needs every pixel to start at depth_clear; only the SIMD paths have it.
enum class DepthRule { nearer, nearer_or_tied };

// One way of shading spans. Every one gives the bytes and depths of shade_span_scalar.
struct ShadePath {
    const char* name;  // what the benchmark prints: "scalar", "SSE2", "AVX2", ...
    // One span under `rule`.
    void (*span)(const SpanRequest& request, DepthRule rule);
    // Two spans that share no pixel, as `span` on each in turn; the SIMD paths work on both at once.
    void (*pair)(const SpanRequest& first, const SpanRequest& second, DepthRule rule);
    // Whether it has DepthRule::nearer_or_tied, so that a worker may draw out of table order.
    bool out_of_order;
};

// The path each code path takes: for `fastest` the widest the processor runs, for `scalar` the
// plain one. A build with exact reciprocals shades with the plain one, as the SIMD paths use the
// packed estimates.
const ShadePath& shade_path(SceneBlock::CodePath code_path);

// Every path the processor runs, the plain one first and the fastest last (the tests and the
// benchmarks compare them).
std::span<const ShadePath> shade_paths();

// raster_triangles on a given path.
void raster_triangles(int index, const ShadePath& path);

} // namespace morvane
