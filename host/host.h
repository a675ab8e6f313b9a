// The window program's own logic, the same on every platform: its command line, the keys and
// the main loop around the renderer's start-up and frames. Reads the screen size and the keys;
// writes speed_mode and frame_counter, and points the scene at the window's pixels where the
// window offers them.
#pragma once

#include <cstdint>

#include "host/platform.h"

namespace morvane::host {

// A key press as the window layer reports it: Space toggles speed_mode (auto-repeats
// included), Esc returns true, meaning "quit with exit code 0", any other key is ignored.
// Closing the window quits with exit code 0 too; the window layer sees to that.
enum class Key { space, escape, other };
bool handle_key_down(Key key);

// How long the frames of a run took: the frames drawn, the wall time from the first frame to
// the request to quit, and histograms of the time spent rendering and presenting each frame, in
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

// The whole program: start-up, main loop (render, count the frame, present, pause 3 ms when
// idle, handle at most one pending window event), exit code. Messages for bad conditions go to
// stderr, prefixed "morvane: ". With `stats`, it times each frame into it.
int program_entry(FrameStats* stats = nullptr);

// main() itself: the command line (no words runs the program; --stats runs it and prints one
// line of frame rates on exit; --help and --version print and exit 0), then the program;
// returns the exit code (2 for words the program does not know).
int program_main(int argc, const char* const* argv);

} // namespace morvane::host
