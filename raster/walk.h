// Triangle set-up and the row walk, private to the rasteriser. walk_triangle hands every span
// it produces to a sink, so draw_triangle can shade them and the tests can record them.
#pragma once

#include <cstdint>
#include <utility>

#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "scene/fixed_point.h"
#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

// The change per row down one edge: x in 22.10 fixed point, u, v, z and the normal in float.
struct EdgeStep {
    Fixed22_10 x_step = 0;
    Vec4 uvz_step = {};
    Vec4 normal_step = {};
};

// Where one edge crosses the current row.
struct EdgeCursor {
    Fixed22_10 x;
    Vec4 uvz;  // texel u, texel v, depth z, 0
    Vec4 normal;
};

// A screen coordinate to a whole pixel: nearest, ties to even; NaN and anything beyond 32 bits
// come back as INT32_MIN and so end up at -32768 like every other value below the 16-bit range.
inline int16_t screen_to_pixel(float coordinate) { return saturate_to_int16(round_to_int32(coordinate)); }

// Corner `index` of the frame: screen_vertices to whole pixels, view_normals, model_uvs.
RasterVertex raster_vertex(int index);

inline void add_lanes(Vec4& sum, const Vec4& step)
{
    for (int i = 0; i < 4; ++i) sum.lane[i] = sum.lane[i] + step.lane[i];
}

// Steps from corner s to corner e. Differences are taken at full width, so that corners 32768 or
// more pixels apart (the slab at its largest zoom on a screen some 30,000 rows tall) still give
// the edge they span, not one wrapped around the 16-bit range. A flat edge (dy 0) is never
// walked: its step stays zero and nothing is divided.
inline EdgeStep edge_step(const RasterVertex& s, const RasterVertex& e)
{
    EdgeStep step;
    const int32_t dy = int32_t{e.y} - s.y;
    if (dy == 0) return step;
    const int32_t dx = int32_t{e.x} - s.x;
    // |dx| < 2^16, so |dx| x 1024 < 2^26: no overflow.
    step.x_step = dx * fixed22_10_one / dy;
    const float fdy = static_cast<float>(dy);
    // Texel differences of the unsigned 16-bit values are exact as 32-bit integers.
    step.uvz_step = {{static_cast<float>(int32_t{e.u} - int32_t{s.u}) / fdy,
                      static_cast<float>(int32_t{e.v} - int32_t{s.v}) / fdy, (e.z - s.z) / fdy, 0.0f}};
    for (int i = 0; i < 4; ++i) step.normal_step.lane[i] = (e.normal.lane[i] - s.normal.lane[i]) / fdy;
    return step;
}

// A cursor standing exactly on a corner: no half-pixel offset.
inline EdgeCursor cursor_at(const RasterVertex& corner)
{
    return {fixed22_10_from_int(corner.x),
            {{static_cast<float>(corner.u), static_cast<float>(corner.v), corner.z, 0.0f}},
            corner.normal};
}

// One row down an edge. The truncated steps keep the cursor between its edge's corners; the
// addition wraps rather than overflowing all the same.
inline void advance(EdgeCursor& cursor, const EdgeStep& step)
{
    cursor.x = static_cast<Fixed22_10>(static_cast<uint32_t>(cursor.x) + static_cast<uint32_t>(step.x_step));
    add_lanes(cursor.uvz, step.uvz_step);
    add_lanes(cursor.normal, step.normal_step);
}

inline SpanEnd span_end(const EdgeCursor& cursor)
{
    return {fixed22_10_floor(cursor.x), cursor.normal, cursor.uvz};
}

// Whether a triangle with corners ordered by row (top, middle, bottom) can put a pixel into
// `window`: its rows top.y .. bottom.y-1 must meet the band and its columns reach inside it. Every
// span end lies between the corners' least and greatest x; a triangle that covers the band with
// every corner outside it is still drawn.
inline bool triangle_meets_window(const RasterVertex& t, const RasterVertex& m, const RasterVertex& b,
                                  const ClipWindow& window)
{
    if (b.y <= window.top || t.y >= window.bottom) return false;
    if (t.x <= window.left && m.x <= window.left && b.x <= window.left) return false;
    if (t.x >= window.right && m.x >= window.right && b.x >= window.right) return false;
    return true;
}

// Scan-converts one triangle: orders the corners by row, sets up the three edges and hands
// `sink` one SpanRequest per row, in increasing row order, with the row and the two ends filled
// in. Rows above the band are stepped through (the cursors accumulate by addition) but not
// handed on; the walk stops at the band's bottom.
template <class SpanSink>
void walk_triangle(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2,
                   SpanRequest request, SpanSink&& sink)
{
    // Stable: corners on one row keep their table order.
    const RasterVertex* corner[3] = {&c0, &c1, &c2};
    for (;;) {
        if (corner[0]->y > corner[1]->y) std::swap(corner[0], corner[1]);
        if (corner[1]->y <= corner[2]->y) break;
        std::swap(corner[1], corner[2]);
    }
    const RasterVertex& t = *corner[0];
    const RasterVertex& m = *corner[1];
    const RasterVertex& b = *corner[2];
    const ClipWindow& window = request.window;
    if (!triangle_meets_window(t, m, b, window)) return;

    const EdgeStep top_to_middle = edge_step(t, m);
    const EdgeStep top_to_bottom = edge_step(t, b);
    const EdgeStep middle_to_bottom = edge_step(m, b);

    EdgeCursor long_edge = cursor_at(t);
    EdgeCursor short_edge = long_edge;

    // Returns false once the walk has passed the band.
    auto hand_row = [&](int32_t row) {
        if (row >= window.bottom) return false;
        if (row >= window.top) {
            request.row = row;
            request.end_a = span_end(long_edge);
            request.end_b = span_end(short_edge);
            sink(std::as_const(request));
        }
        return true;
    };

    // Upper part: rows t.y .. m.y-1 (on row t.y both cursors stand at t's column: an empty span).
    for (int32_t row = t.y; row < m.y; ++row) {
        if (!hand_row(row)) return;
        advance(long_edge, top_to_bottom);
        advance(short_edge, top_to_middle);
    }
    // Lower part: the short cursor restarts exactly at m; the long one runs on. Row b.y is never
    // walked.
    if (m.y < b.y) {
        short_edge = cursor_at(m);
        for (int32_t row = m.y; row < b.y; ++row) {
            if (!hand_row(row)) return;
            advance(long_edge, top_to_bottom);
            advance(short_edge, middle_to_bottom);
        }
    }
}

// The order in which a worker draws the triangles. Any order gives the same pixels as long as a
// tie still goes to the triangle first in the table. So the triangles drawn so far form a run of
// the table, grown by the triangle just below it, which must win ties (DepthRule::nearer_or_tied),
// or the one just above, which must lose them (DepthRule::nearer). Within that freedom the large
// triangles facing the viewer go first and those facing away last, so that hidden triangles fail
// the depth test rather than being shaded and then covered.
struct DrawOrder {
    int count = 0;
    int triangle[model_triangle_count] = {};
    DepthRule rule[model_triangle_count] = {};
};

// Twice the triangle's signed area on the screen: positive when it faces the viewer (clockwise
// on a screen whose rows grow downward).
inline int64_t doubled_area(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2)
{
    return int64_t{c1.x - c0.x} * (c2.y - c1.y) - int64_t{c1.y - c0.y} * (c2.x - c1.x);
}

// The order for `count` (at most model_triangle_count) triangles; the table's unless `reorder`.
inline DrawOrder plan_draw_order(const RasterVertex (*corners)[3], int count, bool reorder)
{
    DrawOrder order;
    order.count = count;
    if (!reorder || count <= 1) {
        for (int i = 0; i < count; ++i) order.triangle[i] = i;
        return order;
    }
    int64_t priority[model_triangle_count];
    int first = 0;
    for (int i = 0; i < count; ++i) {
        priority[i] = doubled_area(corners[i][0], corners[i][1], corners[i][2]);
        if (priority[i] > priority[first]) first = i;
    }
    int low = first, high = first;
    order.triangle[0] = first;
    for (int k = 1; k < count; ++k) {
        const bool down = low > 0 && (high == count - 1 || priority[low - 1] > priority[high + 1]);
        order.triangle[k] = down ? --low : ++high;
        order.rule[k] = down ? DepthRule::nearer_or_tied : DepthRule::nearer;
    }
    return order;
}

} // namespace morvane
