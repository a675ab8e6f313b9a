// The command line of morvane-bench: every value checked, every mistake one line.
#include "bench/bench_options.h"

#include <string_view>

#include "morvane_version.h"
#include "tools/options.h"

namespace morvane::bench {

namespace {

BenchParseResult failure(std::string message)
{
    BenchParseResult result;
    result.error = std::move(message);
    return result;
}

} // namespace

BenchParseResult parse_bench_options(int argc, const char* const* argv)
{
    using tools::quoted;
    BenchOptions options;
    bool seen_screen = false, seen_seed = false, seen_frames = false, seen_warmup = false, seen_json = false;
    bool seen_scalar = false, seen_compare = false;

    // --help or --version anywhere answers, whatever else the line holds (no value starts
    // "--"); the first of them wins.
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i] != nullptr ? argv[i] : "";
        if (argument == "--help" || argument == "-h" || argument == "--version") {
            BenchOptions answer;
            (argument == "--version" ? answer.version : answer.help) = true;
            return {answer, {}};
        }
    }

    for (int i = 1; i < argc; ++i) {
        const std::optional<tools::OptionWord> word = tools::option_word(argv[i]);
        if (!word) {
            return failure("unexpected argument " + quoted(argv[i] != nullptr ? argv[i] : "") + " (see --help)");
        }
        const std::string_view name = word->name;
        std::optional<std::string_view> value = word->value;
        const std::string option(name);

        if (name == "--scalar" || name == "--compare") {
            if (value) return failure(option + " takes no value");
            bool& seen = name == "--scalar" ? seen_scalar : seen_compare;
            if (seen) return failure(option + " given twice");
            seen = true;
            if (seen_scalar && seen_compare) return failure("--scalar and --compare exclude each other");
            options.paths = name == "--scalar" ? PathChoice::scalar : PathChoice::compare;
            continue;
        }
        const bool known =
            name == "--screen" || name == "--seed" || name == "--frames" || name == "--warmup" || name == "--json";
        if (!known) return failure("unknown option " + quoted(name) + " (see --help)");
        if (!value) value = tools::next_word_as_value(argc, argv, i);
        if (!value) return failure(option + " needs a value");

        if (name == "--screen") {
            if (seen_screen) return failure("--screen given twice");
            seen_screen = true;
            const std::string reason = tools::parse_screen_size(*value, options.screen_width, options.screen_height);
            if (!reason.empty()) return failure("--screen " + reason);
        } else if (name == "--seed") {
            if (seen_seed) return failure("--seed given twice");
            seen_seed = true;
            const auto seed = tools::parse_integer(*value);
            if (!seed || *seed < 0 || *seed > 65535) {
                return failure("--seed " + quoted(*value) + " is not a whole number from 0 to 65535");
            }
            options.seed = static_cast<uint16_t>(*seed);
        } else if (name == "--frames") {
            if (seen_frames) return failure("--frames given twice");
            seen_frames = true;
            const auto frames = tools::parse_integer(*value);
            if (!frames || *frames < 1 || *frames > largest_frame_count) {
                return failure("--frames " + quoted(*value) + " is not a whole number from 1 to " +
                               std::to_string(largest_frame_count));
            }
            options.frames = *frames;
        } else if (name == "--warmup") {
            if (seen_warmup) return failure("--warmup given twice");
            seen_warmup = true;
            const auto warmup = tools::parse_integer(*value);
            if (!warmup || *warmup < 0 || *warmup > largest_warmup_count) {
                return failure("--warmup " + quoted(*value) + " is not a whole number from 0 to " +
                               std::to_string(largest_warmup_count));
            }
            options.warmup = *warmup;
        } else {
            if (seen_json) return failure("--json given twice");
            seen_json = true;
            if (value->empty()) return failure("--json needs a file name");
            options.json = std::string(*value);
        }
    }
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
           "memory the frame does not touch, timed after every frame; clear/floor says how close the clear comes to it.\n"
           "Progress goes to stderr when it is a terminal. Exit code 0, 1 when the run fails,\n"
           "2 for a bad argument.\n";
}

const char* bench_version() { return "morvane-bench " MORVANE_VERSION "\n"; }

} // namespace morvane::bench
