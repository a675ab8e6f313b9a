// The rasteriser workers: each walks every triangle of the scene and shades the rows of its own
// band, so the two workers never write the same pixel.
#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "raster/walk.h"
#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

RasterVertex raster_vertex(int index)
{
    const Vec3& position = scene.screen_vertices[index];
    const Vec3& normal = scene.view_normals[index];
    const TexCoord& uv = scene.model_uvs[index];
    return {screen_to_pixel(position.x), screen_to_pixel(position.y), position.z,
            {{normal.x, normal.y, normal.z, 0.0f}}, uv.u, uv.v};
}

void raster_worker(int index) { raster_triangles(index); }

ClipWindow worker_window(int index, int width, int height)
{
    const int half = height / 2;
    return {index * half, index * half + half, 0, width};
}

namespace {

// draw_triangle with the depth rule of the triangle's place in the drawing order.
void draw_in_order(const RasterVertex (&corners)[3], const SpanRequest& request, DepthRule rule, const ShadePath& path)
{
    // The rows of one triangle share no pixel, so they are shaded two at a time, in any order;
    // the last odd row goes alone before the next triangle starts.
    SpanRequest pending;
    bool has_pending = false;
    walk_triangle(corners[0], corners[1], corners[2], request, [&](const SpanRequest& span) {
        if (has_pending) {
            path.pair(pending, span, rule);
        } else {
            pending = span;
        }
        has_pending = !has_pending;
    });
    if (has_pending) path.span(pending, rule);
}

} // namespace

void raster_triangles(int index) { raster_triangles(index, shade_path(scene.code_path)); }

void raster_triangles(int index, const ShadePath& path)
{
    const SpanRequest request{0, {}, {}, worker_window(index, scene.frame_width, scene.frame_height),
                              scene.frame_width, scene.texture, scene.colour_buffer, scene.depth_buffer};
    // The table has room for model_triangle_count triangles.
    const int count = scene.triangle_count < model_triangle_count ? scene.triangle_count : model_triangle_count;
    RasterVertex corners[model_triangle_count][3];
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < 3; ++k) corners[i][k] = raster_vertex(scene.model_triangles[i].index[k]);
    }
    // The band starts cleared, as DepthRule::nearer_or_tied needs.
    const DrawOrder order = plan_draw_order(corners, count, path.out_of_order);
    for (int k = 0; k < order.count; ++k) draw_in_order(corners[order.triangle[k]], request, order.rule[k], path);
}

void draw_triangle(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2,
                   const ClipWindow& window, int32_t row_stride, const Pixel* texture,
                   Pixel* colour_buffer, float* depth_buffer)
{
    const SpanRequest request{0, {}, {}, window, row_stride, texture, colour_buffer, depth_buffer};
    draw_in_order({c0, c1, c2}, request, DepthRule::nearer, shade_path(scene.code_path));
}

} // namespace morvane
