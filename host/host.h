// The host's own logic, the same on every platform: frame size from the screen, the start-up
// sequence, the keys and the main loop. Reads the screen size and the keys; writes the
// scene's host fields and the frame buffers' addresses.
#pragma once

#include <cstdint>

#include "host/platform.h"

namespace morvane::host {

// The frame is the screen less 10 pixels on each axis, lowest bit cleared, so both sides
// are even. Returns false when the frame would be smaller than 2 x 2.
bool frame_size_for_screen(int screen_width, int screen_height, int& frame_width, int& frame_height);

// The seed of the ray field: the low 16 bits of the tick counter.
uint16_t seed_from_tick_counter();

// Start-up, split where the window is created in between:
// 1. seed and size the frame (frame fields, screen_centre, colour_buffer_size);
bool set_frame_size(int screen_width, int screen_height, uint16_t seed);
// 2. (the window) 3. allocate both frame buffers; false when memory is short;
bool allocate_frame_buffers();
// 4. build the ray field, set the starting zoom and prepare the geometry.
void prepare_scene();
// Frees the frame buffers (tools and tests; the program keeps them to the end).
void release_frame_buffers();

// A key-down as the window procedure handles it: Space toggles speed_mode (auto-repeats
// included), Esc returns true, meaning "post the quit message with code 0", any other key is
// ignored. Closing the window posts the quit message with code 0 too; the platform does that.
enum class Key { space, escape, other };
bool handle_key_down(Key key);

// How long the frames of a run took: the frames drawn, the wall time from the first frame to
// the quit message, and histograms of the time spent rendering and presenting each frame, in
// whole microseconds (the last bin collects everything longer). Fixed size, so a run of any
// length allocates nothing for it.
struct FrameStats {
    static constexpr int bins = 100000;
    int64_t frames = 0;
    double seconds = 0.0;
    uint32_t render_us[bins] = {};
    uint32_t present_us[bins] = {};
};

// The median of a histogram of microseconds, in milliseconds (0 when it is empty).
double median_ms(const uint32_t (&histogram)[FrameStats::bins]);

// The main loop: render, count the frame, present, pause 3 ms when idle, handle at most one
// message; returns the quit code. With `stats`, it also times each frame into it.
int run_main_loop(platform::Window* window, FrameStats* stats = nullptr);

// The command line: no words runs the program; --stats runs it and prints how fast it drew on
// exit; --help and --version print and exit 0. Anything else is one line on stderr.
struct CommandLine {
    enum class Action { run, help, version, fail } action = Action::run;
    bool stats = false;
    const char* bad_word = nullptr;  // Action::fail: the word that was not understood
};
CommandLine parse_command_line(int argc, const char* const* argv);

// The whole program: start-up, main loop, exit code. Messages for bad conditions go to
// stderr, prefixed "morvane: ". With `stats`, one line of frame rates goes to stdout on exit.
int program_entry(FrameStats* stats = nullptr);

// main() itself: the command line, then the program; returns the exit code (2 for words
// the program does not know).
int program_main(int argc, const char* const* argv);

} // namespace morvane::host
