// The ray overlay: 1600 faint lines blended over the finished slab. Reads ray_lines,
// screen_ray_points, the ray colours and the depth buffer; adds light into the colour buffer
// and never writes the depth buffer.
#pragma once

#include <cstdint>

#include "scene/scene.h"

namespace morvane {

// One end of a ray as the walks receive it.
struct RayEnd {
    int32_t column;
    int32_t row;
    float depth;
    Vec4 colour;  // B, G, R, weight
};

// Where a ray may draw: the two buffers and their shape.
struct RayTarget {
    Pixel* colour_buffer;
    const float* depth_buffer;
    int32_t frame_width;
    int32_t frame_height;
};

// Draws all rays of scene.ray_lines into the scene's frame buffers on the path scene.code_path
// takes, on the calling thread, after both rasteriser workers have ended.
void draw_rays();

// Draws one ray from its anchor to its far end, the plain way every faster path matches: each
// visited pixel where the ray is nearer than the stored depth gains colour x weight with
// saturation. The walk advances over pixels outside the frame too, so a ray's visible part keeps
// its gradient. A ray with an end 2^14 or more from (0, 0), or a depth not finite, is not drawn.
void draw_ray_line_scalar(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target);

// What the ray path that `code_path` takes in the scene's frame is called ("scalar", "SSE2", ...).
const char* ray_path_name(SceneBlock::CodePath code_path);

} // namespace morvane
