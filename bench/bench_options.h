// The command line of morvane-bench, parsed without side effects: argv in, options or one
// error message out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace morvane::bench {

// One whole breathing cycle of the zoom: 912 frames shrinking and 912 growing.
constexpr int64_t breathing_cycle_frames = 2 * 912;

// Frames drawn before the measured ones: page faults, caches, branch history and the
// frequency governor settle; the animation then starts again from frame 1.
constexpr int64_t default_warmup_frames = 100;

// A fixed ray field by default, so that two runs of the benchmark draw the same rays.
constexpr uint16_t default_seed = 1;

// Bounds of the frame counts: the per-frame records of a run are kept in memory.
constexpr int64_t largest_frame_count = 1'000'000;
constexpr int64_t largest_warmup_count = 100'000;

// Which inner loops a run measures: the fastest ones, the plain scalar ones, or both in one
// run, interleaved block by block.
enum class PathChoice { fastest, scalar, compare };

struct BenchOptions {
    bool help = false;
    bool version = false;  // --version: print the version and measure nothing
    int screen_width = 1920;
    int screen_height = 1080;
    uint16_t seed = default_seed;
    int64_t frames = breathing_cycle_frames;
    int64_t warmup = default_warmup_frames;
    PathChoice paths = PathChoice::fastest;
    std::string json;  // empty: no JSON file
};

struct BenchParseResult {
    std::optional<BenchOptions> options;  // set on success
    std::string error;                    // one line, without the program's name
};

// Parses argv[1 .. argc-1]. Accepts "--name value" and "--name=value".
BenchParseResult parse_bench_options(int argc, const char* const* argv);

// The usage text printed by --help.
const char* bench_usage();

// The line printed by --version: the program's name and the project's version.
const char* bench_version();

} // namespace morvane::bench
