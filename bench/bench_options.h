// The command line of morvane-bench, parsed without side effects: argv in, options or one
// error message out.
#pragma once

#include <cstdint>
#include <string>

#include "tools/options.h"

namespace morvane::bench {

// Which inner loops a run measures: the fastest ones, the plain scalar ones, or both in one
// run, interleaved block by block.
enum class PathChoice { fastest, scalar, compare };

struct BenchOptions {
    bool help = false;
    bool version = false;  // --version: print the version and measure nothing
    int screen_width = 1920;
    int screen_height = 1080;
    // A fixed ray field by default, so that two runs of the benchmark draw the same rays.
    uint16_t seed = 1;
    // One whole breathing cycle of the zoom: 912 frames shrinking and 912 growing.
    int64_t frames = 2 * 912;
    // Frames drawn before the measured ones: page faults, caches, branch history and the
    // frequency governor settle; the animation then starts again from frame 1.
    int64_t warmup = 100;
    PathChoice paths = PathChoice::fastest;
    std::string json;  // empty: no JSON file
};

// Parses argv[1 .. argc-1] as every tool does (tools/options.h). The frame counts are bounded
// because the per-frame records of a run are kept in memory.
using BenchParseResult = tools::Parsed<BenchOptions>;
BenchParseResult parse_bench_options(int argc, const char* const* argv);

// The usage text printed by --help, and the line printed by --version.
const char* bench_usage();
const char* bench_version();

} // namespace morvane::bench
