// Draws one frame with the Windows build of the renderer and writes both buffers as they are
// in memory, so the test flow can compare them with morvane-render's on Linux.
//   frame_raw SCREEN_WIDTH SCREEN_HEIGHT SEED FRAME COLOUR.raw DEPTH.raw
#include <cstdio>
#include <cstdlib>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

bool write_file(const char* path, const void* data, size_t bytes)
{
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    const bool written = std::fwrite(data, 1, bytes, file) == bytes;
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::fprintf(stderr, "usage: frame_raw SCREEN_WIDTH SCREEN_HEIGHT SEED FRAME COLOUR.raw DEPTH.raw\n");
        return 2;
    }
    const int width = std::atoi(argv[1]), height = std::atoi(argv[2]), frame = std::atoi(argv[4]);
    const auto seed = static_cast<uint16_t>(std::atoi(argv[3]));
    if (frame < 1 || !morvane::set_frame_size(width, height, seed) || !morvane::allocate_frame_buffers(morvane::platform::renderer_services())) {
        std::fprintf(stderr, "frame_raw: cannot start the scene\n");
        return 1;
    }
    morvane::prepare_scene();
    skip_frames(frame - 1);  // frame 1 is drawn with frame_counter 30
    morvane::render_frame(morvane::platform::renderer_services());
    const size_t bytes = size_t(scene.frame_width) * scene.frame_height * 4;
    if (!write_file(argv[5], scene.colour_buffer, bytes) || !write_file(argv[6], scene.depth_buffer, bytes)) {
        std::fprintf(stderr, "frame_raw: cannot write the buffers\n");
        return 1;
    }
    return 0;
}
