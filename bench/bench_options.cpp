// The command line of morvane-bench: every value checked, every mistake one line.
#include "bench/bench_options.h"

#include <string_view>

#include "morvane_version.h"

namespace morvane::bench {

BenchParseResult parse_bench_options(int argc, const char* const* argv)
{
    BenchParseResult result;
    BenchOptions options;
    bool scalar = false, compare = false;
    const auto flag = [](bool& set) {
        return [&set](std::string_view) {
            set = true;
            return std::string();
        };
    };
    const tools::OptionRule rules[] = {
        {"--screen", true,
         [&](std::string_view v) { return tools::parse_screen_size(v, options.screen_width, options.screen_height); }},
        {"--seed", true, [&](std::string_view v) { return tools::take_seed(v, options.seed); }},
        {"--frames", true,
         [&](std::string_view v) { return tools::take_whole_number(v, 1, 1'000'000, options.frames); }},
        {"--warmup", true,
         [&](std::string_view v) { return tools::take_whole_number(v, 0, 100'000, options.warmup); }},
        {"--json", true, [&](std::string_view v) { return tools::take_file_name(v, options.json); }},
        {"--scalar", false, flag(scalar)},
        {"--compare", false, flag(compare)},
    };
    if (!tools::parse_options(argc, argv, rules, result)) return result;
    if (scalar && compare) return {{}, "--scalar and --compare exclude each other"};
    options.paths = scalar ? PathChoice::scalar : compare ? PathChoice::compare : PathChoice::fastest;
    return {options, {}};
}

const char* bench_usage()
{
    return "usage: morvane-bench [options]\n"
           "Times the real frame (clear, transforms, the two rasteriser workers, rays) without\n"
           "presenting it, and prints min / median / p95 / max / mean per stage in milliseconds.\n"
           "\n"
           "  --screen WxH   screen size the frame is derived from, as the window would be\n"
           "                 (the screen less 10 pixels, even sides); default 1920x1080\n"
           "  --seed N       seed of the ray field, 0 to 65535; default 1\n"
           "  --frames N     measured frames, 1 to 1000000; default 1824, one whole breathing\n"
           "                 cycle of the zoom\n"
           "  --warmup N     frames drawn first and not measured, 0 to 100000; default 100\n"
           "                 (the animation then starts again, so the measured frames are\n"
           "                 frames 1 to N of a run with that seed)\n"
           "  --scalar       run the plain scalar clear, shading and rays\n"
           "  --compare      run the fastest and the scalar paths in one run, interleaved in\n"
           "                 blocks of frames, and print the speed-up per stage\n"
           "  --json FILE    also write the figures as JSON (the file appears when complete)\n"
           "  --help         this text\n"
           "  --version      the version of morvane-bench\n"
           "\n"
           "The floor row is the clear's own fill of as many bytes as both frame buffers, in\n"
           "memory the frame does not touch, timed after every frame; clear/floor says how\n"
           "close the clear comes to it.\n"
           "Progress goes to stderr when it is a terminal. Exit code 0, 1 when the run fails,\n"
           "2 for a bad argument.\n";
}

const char* bench_version() { return "morvane-bench " MORVANE_VERSION "\n"; }

} // namespace morvane::bench
