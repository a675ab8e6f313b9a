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

// Draws all rays of scene.ray_lines into scene's frame buffers, on the calling thread, after
// both rasteriser workers have ended, on the path scene.code_path asks for.
void draw_rays();

// Draws one ray from its anchor end to its far end, the plain scalar way every faster path
// matches: white fading to the far colour, each visited pixel gaining colour x weight with
// saturation, where the ray is nearer than the depth already stored. Only pixels inside the
// frame, in their own row, are touched; the walk still advances over the others, so a ray's
// visible part keeps its gradient. A ray with an end 2^14 or more columns or rows from (0, 0),
// or with a depth that is not finite, is not drawn.
void draw_ray_line_scalar(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target);

// What the ray path that `code_path` takes in the scene's frame is called ("scalar", "SSE2",
// "AVX2 steep, SSE2 other", ...): the widest the processor runs and the frame allows.
const char* ray_path_name(SceneBlock::CodePath code_path);

} // namespace morvane
