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

void raster_triangles(int index)
{
    const ClipWindow window = worker_window(index, scene.frame_width, scene.frame_height);
    for (int i = 0; i < scene.triangle_count; ++i) {
        const Triangle& triangle = scene.model_triangles[i];
        const RasterVertex c0 = raster_vertex(triangle.index[0]);
        const RasterVertex c1 = raster_vertex(triangle.index[1]);
        const RasterVertex c2 = raster_vertex(triangle.index[2]);
        draw_triangle(c0, c1, c2, window, scene.frame_width, scene.texture, scene.colour_buffer,
                      scene.depth_buffer);
    }
}

void draw_triangle(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2,
                   const ClipWindow& window, int32_t row_stride, const Pixel* texture,
                   Pixel* colour_buffer, float* depth_buffer)
{
    SpanRequest request{};
    request.window = window;
    request.row_stride = row_stride;
    request.texture = texture;
    request.colour_buffer = colour_buffer;
    request.depth_buffer = depth_buffer;
    // The rows of one triangle share no pixel, so they are shaded two at a time, in any order;
    // the last odd row goes alone before the next triangle starts.
    SpanRequest pending;
    bool has_pending = false;
    walk_triangle(c0, c1, c2, request, [&](const SpanRequest& span) {
        if (has_pending) {
            shade_span_pair(pending, span);
        } else {
            pending = span;
        }
        has_pending = !has_pending;
    });
    if (has_pending) shade_span(pending);
}

} // namespace morvane
