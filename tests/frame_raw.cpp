// Draws frames with a cross-built renderer (Windows under Wine, ARM64 under the emulator) and
// writes both buffers as they are in memory, for compare_frames.sh to set beside this machine's
// morvane-render. All in one run: under an emulator starting a program costs more than a frame.
//   frame_raw DIR WIDTHxHEIGHT:SEED:FRAME...   (screen sizes; DIR/N.colour, DIR/N.depth)
#include <cstdio>
#include <string>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

int main(int argc, char** argv)
{
    using namespace morvane;
    for (int i = 2; i < argc; ++i) {
        int width = 0, height = 0, seed = 0, frame = 0;
        reset_scene();
        if (std::sscanf(argv[i], "%dx%d:%d:%d", &width, &height, &seed, &frame) != 4 || frame < 1 ||
            !start_renderer(platform::renderer_services(), width, height, static_cast<uint16_t>(seed))) {
            std::fprintf(stderr, "frame_raw: cannot start the scene for %s\n", argv[i]);
            return 1;
        }
        skip_frames(frame - 1);  // frame 1 is drawn with frame_counter 30
        render_frame(platform::renderer_services());
        const size_t bytes = size_t(scene.frame_width) * scene.frame_height * 4;
        for (const auto& [buffer, name] : {std::pair<const void*, const char*>{scene.colour_buffer, "colour"},
                                           {scene.depth_buffer, "depth"}}) {
            const std::string path = std::string(argv[1]) + "/" + std::to_string(i - 2) + "." + name;
            std::FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr || std::fwrite(buffer, 1, bytes, file) != bytes || std::fclose(file) != 0) {
                std::fprintf(stderr, "frame_raw: cannot write %s\n", path.c_str());
                return 1;
            }
        }
        release_frame_buffers(platform::renderer_services());
    }
    return 0;
}
