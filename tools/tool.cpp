#include "tools/tool.h"

#include <cstdio>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane::tools {

int fail(const char* program, int code, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return code;
}

int start_for_screen(const char* program, int screen_width, int screen_height, uint16_t seed)
{
    if (!set_frame_size(screen_width, screen_height, seed)) {
        return fail(program, exit_bad_arguments,
                    "a " + std::to_string(screen_width) + "x" + std::to_string(screen_height) +
                        " screen gives no usable frame");
    }
    if (!allocate_frame_buffers(platform::renderer_services())) {
        return fail(program, exit_failed,
                    "cannot allocate two " + std::to_string(scene.frame_width) + "x" +
                        std::to_string(scene.frame_height) + " frame buffers");
    }
    prepare_scene();
    return 0;
}

int answer(const char* text)
{
    std::fputs(text, stdout);
    return 0;
}

} // namespace morvane::tools
