// The host's start-up helpers and its keys: the frame size from the screen, the seed, the
// frame buffers and the one-time scene preparation. The same on every platform.
#include "host/host.h"

#include "scene/scene.h"

namespace morvane::host {

bool frame_size_for_screen(int screen_width, int screen_height, int& frame_width, int& frame_height)
{
    // The subtraction comes before the lowest bit is cleared, so an odd difference loses one
    // more pixel: 1365 gives 1354.
    const int width = (screen_width - 10) & ~1;
    const int height = (screen_height - 10) & ~1;
    // The frame sizes are 16-bit fields.
    if (screen_width < 12 || screen_height < 12 || width > 0xFFFF || height > 0xFFFF) {
        return false;
    }
    frame_width = width;
    frame_height = height;
    return true;
}

uint16_t seed_from_tick_counter()
{
    return static_cast<uint16_t>(platform::tick_counter() & 0xFFFFu);
}

bool set_frame_size(int screen_width, int screen_height, uint16_t seed)
{
    int width = 0;
    int height = 0;
    if (!frame_size_for_screen(screen_width, screen_height, width, height)) {
        return false;
    }
    scene.random_state = seed;
    scene.frame_width = static_cast<uint16_t>(width);
    scene.frame_height = static_cast<uint16_t>(height);
    scene.screen_centre[0] = static_cast<uint16_t>(width / 2);
    scene.screen_centre[1] = static_cast<uint16_t>(height / 2);
    scene.screen_centre[2] = 0;
    scene.screen_centre[3] = 0;
    scene.colour_buffer_size = static_cast<int32_t>(static_cast<int64_t>(width) * height * 4);
    return true;
}

bool allocate_frame_buffers()
{
    const size_t bytes = static_cast<size_t>(scene.frame_width) * scene.frame_height * 4;
    scene.colour_buffer = static_cast<Pixel*>(platform::allocate_frame_buffer(bytes));
    scene.depth_buffer = static_cast<float*>(platform::allocate_frame_buffer(bytes));
    if (scene.colour_buffer == nullptr || scene.depth_buffer == nullptr) {
        release_frame_buffers();
        return false;
    }
    return true;
}

void release_frame_buffers()
{
    if (scene.colour_buffer != nullptr) {
        platform::free_frame_buffer(scene.colour_buffer);
    }
    if (scene.depth_buffer != nullptr) {
        platform::free_frame_buffer(scene.depth_buffer);
    }
    scene.colour_buffer = nullptr;
    scene.depth_buffer = nullptr;
}

void prepare_scene()
{
    build_ray_field();
    scene.zoom_scale = static_cast<float>(scene.frame_height / 4);
    expand_texture();
    normalize_lights(scene.lights, 3);
    // The corners and the ray points are one run, centred and scaled together.
    normalize_model(scene.model_vertices, scene.vertex_count + scene.ray_end_count + 2);
    compute_face_normals();
    compute_vertex_normals();
}

bool handle_key_down(Key key)
{
    switch (key) {
    case Key::space:
        scene.speed_mode = static_cast<uint8_t>((scene.speed_mode + 1) & 1);
        return false;
    case Key::escape:
        return true;
    case Key::other:
        return false;
    }
    return false;
}

} // namespace morvane::host
