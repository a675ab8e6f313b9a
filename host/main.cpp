// The desktop program: start-up in a fixed order, then the main loop until the quit message.
// Every way out the user takes ends with exit code 0; a machine that cannot show the window
// gets one line on stderr and exit code 1.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "host/host.h"
#include "host/platform.h"
#include "morvane_version.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane::host {

namespace {

constexpr int start_up_failed = 1;   // what start-up returns when it cannot go on
constexpr int bad_command_line = 2;  // a command-line word the program does not know

int fail(const char* what, const char* cause)
{
    std::fprintf(stderr, "morvane: %s: %s\n", what, cause);
    return start_up_failed;
}

using Clock = std::chrono::steady_clock;

void count_microseconds(uint32_t (&histogram)[FrameStats::bins], Clock::time_point from, Clock::time_point to)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
    ++histogram[std::clamp<int64_t>(us, 0, FrameStats::bins - 1)];
}

int run_main_loop(platform::Window* window, FrameStats* stats)
{
    // A frame is drawn where the window's last present said it may be: into the window's own
    // pixels when they are laid out as the colour buffer (nothing to copy), else into the
    // program's colour buffer, which the scene points at again when the loop ends.
    Pixel* const own_colour_buffer = scene.colour_buffer;
    const Clock::time_point start = Clock::now();
    for (int exit_code = 0;;) {
        const Clock::time_point rendering = stats != nullptr ? Clock::now() : Clock::time_point{};
        render_frame(platform::renderer_services());
        // Counted after rendering, so the first frame is drawn with the initial 30.
        advance_frame_counter();
        const Clock::time_point presenting = stats != nullptr ? Clock::now() : Clock::time_point{};
        Pixel* const next_target = platform::present(window, scene.colour_buffer, scene.frame_width, scene.frame_height);
        if (stats != nullptr) {
            const Clock::time_point presented = Clock::now();
            count_microseconds(stats->render_us, rendering, presenting);
            count_microseconds(stats->present_us, presenting, presented);
            ++stats->frames;
            stats->seconds = std::chrono::duration<double>(presented - start).count();
        }
        scene.colour_buffer = next_target != nullptr ? next_target : own_colour_buffer;
        if (scene.speed_mode != 1) platform::sleep_ms(3);
        // One message per frame at most, so input never starves the rendering.
        if (platform::handle_pending_event(window, exit_code)) {
            scene.colour_buffer = own_colour_buffer;
            return exit_code;
        }
    }
}

} // namespace

double median_ms(const uint32_t (&histogram)[FrameStats::bins])
{
    uint64_t total = 0;
    for (const uint32_t count : histogram) total += count;
    if (total == 0) return 0.0;
    // The lower median: the sample with (total - 1) / 2 samples below it.
    uint64_t seen = 0;
    int bin = 0;
    while (bin < FrameStats::bins - 1 && (seen += histogram[bin]) <= (total - 1) / 2) ++bin;
    return bin / 1000.0;
}

int program_main(int argc, const char* const* argv)
{
    bool stats = false, help = false, version = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--stats") {
            stats = true;
        } else if (word == "--help" || word == "-h") {
            help = true;
        } else if (word == "--version") {
            version = true;
        } else {
            // The first word not understood decides, whatever follows it.
            platform::use_parent_console();
            std::fprintf(stderr, "morvane: unknown argument '%s' (try morvane --help)\n", argv[i]);
            return bad_command_line;
        }
    }
    // A windows-subsystem program has no standard output of its own: use the console it was
    // started from, if any.
    if (stats || help || version) platform::use_parent_console();
    if (help) {
        std::printf("Usage: morvane [--stats]\n"
                    "Opens a window almost the size of the screen and draws a spinning, lit, textured slab\n"
                    "with a fan of blended rays, until Esc or the window is closed.\n"
                    "\n"
                    "Keys: Space switches between full speed and idle (3 ms per frame); Esc quits.\n"
                    "\n"
                    "  --stats     on exit, print the frames drawn, the seconds, the frames per second and\n"
                    "              the median time of rendering and of presenting a frame\n"
                    "  --help      print this and exit\n"
                    "  --version   print the version and exit\n");
        return 0;
    }
    if (version) {
        std::printf("morvane %s\n", MORVANE_VERSION);
        return 0;
    }
    if (!stats) return program_entry();
    // Large (two histograms), so not on the stack; used once per run.
    static FrameStats frame_stats;
    const int exit_code = program_entry(&frame_stats);
    if (exit_code != 0) return exit_code;
    const double rate = frame_stats.seconds > 0.0 ? static_cast<double>(frame_stats.frames) / frame_stats.seconds : 0.0;
    std::printf("morvane: %lld frames in %.2f s, %.1f frames per second; median per frame: render %.3f ms, "
                "present %.3f ms\n",
                static_cast<long long>(frame_stats.frames), frame_stats.seconds, rate,
                median_ms(frame_stats.render_us), median_ms(frame_stats.present_us));
    std::fflush(stdout);
    return 0;
}

int program_entry(FrameStats* stats)
{
    // The seed only has to differ from run to run; it is taken before anything else.
    const uint16_t seed = platform::seed_from_tick_counter();

    char error[256] = {};
    int screen_width = 0, screen_height = 0, frame_width = 0, frame_height = 0;
    if (!platform::screen_size(screen_width, screen_height, error, sizeof error)) {
        return fail("cannot open a window", error);
    }
    if (!frame_size_for_screen(screen_width, screen_height, frame_width, frame_height)) {
        std::snprintf(error, sizeof error, "the screen is %d x %d pixels, too small for a frame of at least 2 x 2",
                      screen_width, screen_height);
        return fail("cannot open a window", error);
    }
    if (!set_frame_size(screen_width, screen_height, seed)) {
        std::snprintf(error, sizeof error, "the screen is %d x %d pixels, too large for the frame buffers",
                      screen_width, screen_height);
        return fail("cannot open a window", error);
    }
    platform::Window* window = platform::open_window(scene.frame_width, scene.frame_height, scene.window_caption,
                                                     scene.window_class_name, error, sizeof error);
    if (window == nullptr) return fail("cannot open a window", error);
    if (!allocate_frame_buffers(platform::renderer_services())) {
        platform::close_window(window);
        std::snprintf(error, sizeof error, "out of memory for two buffers of %d x %d pixels",
                      static_cast<int>(scene.frame_width), static_cast<int>(scene.frame_height));
        return fail("cannot allocate the frame buffers", error);
    }
    prepare_scene();
    const int exit_code = run_main_loop(window, stats);
    // The frame buffers live until the process ends.
    platform::close_window(window);
    return exit_code;
}

} // namespace morvane::host

// The unit tests link this file with a stand-in window layer and their own main.
#ifndef MORVANE_NO_ENTRY_POINT
int main(int argc, char** argv) { return morvane::host::program_main(argc, argv); }
#endif
