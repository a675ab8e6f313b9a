// The desktop program: start-up in a fixed order, then the main loop until the quit message.
// Every way out the user takes ends with exit code 0; a machine that cannot show the window
// gets one line on stderr and exit code 1.
#include <cstdint>
#include <cstdio>

#include "host/host.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane::host {

namespace {

// What start-up returns when it cannot go on.
constexpr int start_up_failed = 1;

int fail(const char* what, const char* cause)
{
    std::fprintf(stderr, "morvane: %s: %s\n", what, cause);
    return start_up_failed;
}

} // namespace

int run_main_loop(platform::Window* window)
{
    int exit_code = 0;
    for (;;) {
        render_frame();
        // Counted after rendering, so the first frame is drawn with the initial 30. Wraps
        // instead of overflowing after 2^31 frames.
        scene.frame_counter = static_cast<int32_t>(static_cast<uint32_t>(scene.frame_counter) + 1u);
        platform::present(window, scene.colour_buffer, scene.frame_width, scene.frame_height);
        if (scene.speed_mode != 1) {
            platform::sleep_ms(3);
        }
        // One message per frame at most, so input never starves the rendering.
        if (platform::pump_one_message(window, exit_code)) {
            return exit_code;
        }
    }
}

int program_entry()
{
    // The seed only has to differ from run to run; it is taken before anything else.
    const uint16_t seed = seed_from_tick_counter();

    char error[256] = {};
    int screen_width = 0;
    int screen_height = 0;
    if (!platform::screen_size(screen_width, screen_height, error, sizeof error)) {
        return fail("cannot open a window", error);
    }
    int frame_width = 0;
    int frame_height = 0;
    if (!frame_size_for_screen(screen_width, screen_height, frame_width, frame_height)) {
        std::snprintf(error, sizeof error,
                      "the screen is %d x %d pixels, too small for a frame of at least 2 x 2",
                      screen_width, screen_height);
        return fail("cannot open a window", error);
    }
    if (!set_frame_size(screen_width, screen_height, seed)) {
        std::snprintf(error, sizeof error, "the screen is %d x %d pixels, too large for the frame buffers",
                      screen_width, screen_height);
        return fail("cannot open a window", error);
    }

    platform::Window* window = platform::open_window(scene.frame_width, scene.frame_height,
                                                     scene.window_caption, scene.window_class_name,
                                                     error, sizeof error);
    if (window == nullptr) {
        return fail("cannot open a window", error);
    }

    if (!allocate_frame_buffers()) {
        platform::close_window(window);
        std::snprintf(error, sizeof error, "out of memory for two buffers of %d x %d pixels",
                      static_cast<int>(scene.frame_width), static_cast<int>(scene.frame_height));
        return fail("cannot allocate the frame buffers", error);
    }

    prepare_scene();

    const int exit_code = run_main_loop(window);
    // The frame buffers live until the process ends.
    platform::close_window(window);
    return exit_code;
}

} // namespace morvane::host

// The unit tests link this file with a stand-in window layer and their own main.
#ifndef MORVANE_NO_ENTRY_POINT
int main()
{
    return morvane::host::program_entry();
}
#endif
