// The renderer's start-up: the frame's size from the screen's, the two frame buffers, and the
// one-time scene preparation, in the order every program runs them.
#include <cstdint>
#include <limits>

#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane {

namespace {

// The frame leaves a 10-pixel margin for the window's frame; the lowest bit is cleared after
// the subtraction, so both sides are even (the two workers split the rows in equal halves,
// and the clears write whole blocks of four pixels).
constexpr int screen_margin = 10;
constexpr int smallest_frame_side = 2;
constexpr int bytes_per_cell = 4;  // a B, G, R, X pixel or a float depth

} // namespace

bool frame_size_for_screen(int screen_width, int screen_height, int& frame_width, int& frame_height)
{
    // Checked before subtracting, so that no screen size can overflow.
    if (screen_width < screen_margin + smallest_frame_side || screen_height < screen_margin + smallest_frame_side) {
        return false;
    }
    frame_width = (screen_width - screen_margin) & ~1;
    frame_height = (screen_height - screen_margin) & ~1;
    return true;
}

bool set_frame_size(int screen_width, int screen_height, uint16_t seed)
{
    int width = 0, height = 0;
    if (!frame_size_for_screen(screen_width, screen_height, width, height)) return false;
    // The sides are 16-bit fields and the colour buffer's byte size a signed 32-bit one.
    if (width > std::numeric_limits<uint16_t>::max() || height > std::numeric_limits<uint16_t>::max()) return false;
    const int64_t bytes = int64_t{width} * height * bytes_per_cell;
    if (bytes > std::numeric_limits<int32_t>::max()) return false;

    scene.random_state = seed;
    scene.frame_width = static_cast<uint16_t>(width);
    scene.frame_height = static_cast<uint16_t>(height);
    scene.screen_centre[0] = static_cast<uint16_t>(width / 2);
    scene.screen_centre[1] = static_cast<uint16_t>(height / 2);
    scene.screen_centre[2] = 0;
    scene.screen_centre[3] = 0;
    scene.colour_buffer_size = static_cast<int32_t>(bytes);
    return true;
}

bool allocate_frame_buffers(const PlatformServices& platform)
{
    // Both buffers have the colour buffer's byte size: one 32-bit cell per pixel.
    const auto bytes = static_cast<size_t>(scene.colour_buffer_size);
    if (bytes == 0) return false;
    auto* colour = static_cast<Pixel*>(platform.allocate_frame_buffer(bytes));
    if (colour == nullptr) return false;
    auto* depth = static_cast<float*>(platform.allocate_frame_buffer(bytes));
    if (depth == nullptr) {
        platform.free_frame_buffer(colour);
        return false;
    }
    scene.colour_buffer = colour;
    scene.depth_buffer = depth;
    return true;
}

void prepare_scene()
{
    build_ray_field();
    // The slab starts a quarter of the frame's height per model unit (integer quarter).
    scene.zoom_scale = static_cast<float>(scene.frame_height / 4);  // NOLINT(bugprone-integer-division): as said
    expand_texture();
    normalize_lights(scene.lights, 3);
    // The corners and the ray points are one run, so they share one centre and one scale.
    normalize_model(scene.model_vertices, scene.vertex_count + scene.ray_end_count + 2);
    compute_face_normals();
    compute_vertex_normals();
}

bool start_renderer(const PlatformServices& platform, int screen_width, int screen_height, uint16_t seed)
{
    if (!set_frame_size(screen_width, screen_height, seed) || !allocate_frame_buffers(platform)) return false;
    prepare_scene();
    return true;
}

void release_frame_buffers(const PlatformServices& platform)
{
    if (scene.colour_buffer != nullptr) platform.free_frame_buffer(scene.colour_buffer);
    if (scene.depth_buffer != nullptr) platform.free_frame_buffer(scene.depth_buffer);
    scene.colour_buffer = nullptr;
    scene.depth_buffer = nullptr;
}

} // namespace morvane
