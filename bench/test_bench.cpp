// The benchmark's own logic: its command line, its statistics, its report forms and its frame
// loop (that the measured frames are the frames asked for, whatever ran before them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/bench_options.h"
#include "bench/frame_loop.h"
#include "bench/report.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tests/support.h"

using namespace morvane;
using namespace morvane::bench;

namespace {

BenchParseResult parse(const std::string& line)
{
    std::vector<std::string> words = test::words(line);
    std::string program = "morvane-bench";
    const std::vector<char*> argv = test::argv_of(words, program);
    return parse_bench_options(static_cast<int>(argv.size() - 1), argv.data());
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- Command line ----

// The options as one line, so that a case can state all of them.
std::string described(const BenchParseResult& result)
{
    if (!result.options) return "refused: " + result.error;
    const BenchOptions& o = *result.options;
    const char* paths[] = {"fastest", "scalar", "compare"};
    return std::to_string(o.screen_width) + "x" + std::to_string(o.screen_height) + " seed " + std::to_string(o.seed) +
           " frames " + std::to_string(o.frames) + " warmup " + std::to_string(o.warmup) + " " +
           paths[static_cast<int>(o.paths)] + " json '" + o.json + "'" + (o.help ? " help" : "") +
           (o.version ? " version" : "");
}

TEST(BenchOptions, LinesGiveEveryValueInBothSpellingsOrOneLineNamingTheFault)
{
    // The parser's own rules (unknown words, values, repeats) are morvane-render's too.
    const std::pair<const char*, const char*> cases[] = {
        // The defaults are one breathing cycle of the full-HD frame on the fastest paths.
        {"", "1920x1080 seed 1 frames 1824 warmup 100 fastest json ''"},
        {"--screen=3840x2160 --seed 0 --frames=1 --warmup 0 --json out.json --compare",
         "3840x2160 seed 0 frames 1 warmup 0 compare json 'out.json'"},
        {"--scalar --seed=65535 --frames 1000000 --warmup=100000",
         "1920x1080 seed 65535 frames 1000000 warmup 100000 scalar json ''"},
        {"--frames 0 --help --bogus", " help"}, {"--frames 0 --version --help", " version"},
        {"--frames 0", "--frames"}, {"--frames 1000001", "--frames"}, {"--warmup -1", "--warmup"},
        {"--warmup 100001", "--warmup"}, {"--seed 65536", "--seed"}, {"--screen 11x600", "under 2x2"},
        {"--json=", "--json"}, {"--scalar --compare", "exclude"}, {"--scalar=yes", "no value"},
    };
    for (const auto& [line, part] : cases) {
        const std::string outcome = described(parse(line));
        EXPECT_TRUE(contains(outcome, part)) << line << ": " << outcome;
        const bool accepted = part[0] == ' ' || (part[0] >= '0' && part[0] <= '9');
        EXPECT_EQ(outcome.rfind("refused: ", 0) == 0, !accepted) << line;
    }
}

// ---- Statistics ----

TEST(Summary, MedianNearestRankP95AndMean)
{
    struct Case {
        const char* what;
        std::vector<int64_t> ms;
        double min, median, p95, max, mean;
    };
    const Case cases[] = {
        {"odd count, unsorted: the middle sample", {5, 1, 4, 2, 3}, 1.0, 3.0, 5.0, 5.0, 3.0},
        {"even count: the two middle samples averaged", {4, 1, 3, 10}, 1.0, 3.5, 10.0, 10.0, 4.5},
        {"20 samples: rank 19", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, 1, 10.5, 19, 20, 10.5},
        {"21 samples, descending: rank ceil(19.95) = 20",
         {21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, 1, 11, 20, 21, 11},
        {"one sample", {7}, 7.0, 7.0, 7.0, 7.0, 7.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<int64_t> ns = c.ms;
        for (int64_t& v : ns) v *= 1'000'000;
        const Summary s = summarise(ns);
        EXPECT_EQ(s.count, static_cast<int64_t>(ns.size()));
        for (const auto& [got, want] : {std::pair{s.min_ms, c.min}, {s.median_ms, c.median}, {s.p95_ms, c.p95},
                                       {s.max_ms, c.max}, {s.mean_ms, c.mean}}) {
            EXPECT_DOUBLE_EQ(got, want);
        }
    }
    EXPECT_DOUBLE_EQ(summarise(std::vector<int64_t>{1'234, 5'678}).median_ms, 0.003456) << "sub-millisecond resolution";
    EXPECT_EQ(summarise({}).count + summarise({}).median_ms, 0.0);
}

// ---- Report forms ----

RunReport run_with_medians(const char* code_path, double clear, double frame, double floor)
{
    RunReport run;
    run.code_path = run.clear_path = run.shading_path = run.rays_path = code_path;
    for (Summary& s : run.rows) s.min_ms = 0.25, s.median_ms = s.mean_ms = 1.0, s.p95_ms = 7.5, s.max_ms = 8.5;
    run.rows[static_cast<int>(Row::clear)].median_ms = clear;
    run.rows[static_cast<int>(Row::frame)].median_ms = frame;
    run.rows[static_cast<int>(Row::floor)].median_ms = floor;
    return run;
}

// A fastest run alone, or with a scalar run ten times slower per frame and five per clear.
BenchReport report_of(bool with_scalar)
{
    BenchReport report;
    report.machine = {.processor = "Test \"CPU\"", .logical_processors = 2, .compiler = "g++ 12",
                      .build_type = "Release", .flags = "-O2 -DNAME=\"x\""};
    report.frame_width = 1910;
    report.frame_height = 1070;
    report.measured_frames = 3;
    report.runs.push_back(run_with_medians("fastest", 0.6, 2.0, 0.5));
    if (with_scalar) report.runs.push_back(run_with_medians("scalar", 3.0, 20.0, 0.5));
    return report;
}

void expect_parts(const std::string& text, std::initializer_list<const char*> present,
                  std::initializer_list<const char*> absent = {})
{
    for (const char* part : present) EXPECT_TRUE(contains(text, part)) << part << " is missing from\n" << text;
    for (const char* part : absent) EXPECT_FALSE(contains(text, part)) << part << " is in\n" << text;
}

TEST(Report, BothFormsSayWhatTheRunsAndTheMachineGave)
{
    BenchReport one = report_of(false);
    one.runs[0].wall_seconds = std::nan("");
    expect_parts(format_text(one),
                 {"  clear ", "  transforms ", "  rasteriser ", "  rays ", "  frame ", "  floor ", "Test \"CPU\"",
                  "clear / floor 1.20", "500.0 fps"},
                 {"speed-up", "main_cpu", "load:"});
    // Each row's figures in their columns: min, median, p95, max, mean.
    const std::string text = format_text(one);
    std::istringstream frame_row(text.substr(text.find("\n  frame ") + 9));
    std::vector<double> figures(5);
    for (double& f : figures) frame_row >> f;
    EXPECT_EQ(figures, (std::vector<double>{0.25, 2.0, 7.5, 8.5, 1.0}));
    expect_parts(format_json(one), {"\"min_ms\": 0.25", "\"p95_ms\": 7.5", "\"speedup\": null", "\"paths_agree\": null", "\"clear_to_floor\": 1.2",
                                    "\"wall_seconds\": null", "\"load_average_start\": null",
                                    "\"processor\": \"Test \\\"CPU\\\"\"", "\"flags\": \"-O2 -DNAME=\\\"x\\\"\""});

    BenchReport both = report_of(true);
    both.paths_agree = false;
    expect_parts(format_text(both), {"speed-up", "10.00x", "5.00x", "DIFFERENT"});
    // The floor is the same fill in both runs: no speed-up of it.
    expect_parts(format_json(both), {"\"frame\": 10,", "\"paths_agree\": false"}, {"\"floor\": 1"});

    // Processor time and the load average appear only where the machine gave them.
    BenchReport full = report_of(false);
    full.runs[0].rows[static_cast<int>(Row::main_cpu)].count = 3;
    full.runs[0].rows[static_cast<int>(Row::workers_cpu)].count = 3;
    full.machine.load_start = 0.5;
    full.machine.load_end = 2.25;
    const std::string full_text = format_text(full);
    expect_parts(full_text, {"main_cpu", "workers_cpu", "0.50 at the start, 2.25 at the end"});
    expect_parts(format_json(full), {"\"load_average_end\": 2.25"});
    for (size_t end = full_text.find('\n'); end != std::string::npos; end = full_text.find('\n', end + 1)) {
        EXPECT_NE(full_text[end - 1], ' ') << "no line ends in blanks";
    }
}

TEST(Report, JsonStringsAreAlwaysValid)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("tab\there\n"), "\"tab\\u0009here\\u000a\"");
    // UTF-8 as code points, a surrogate pair beyond U+FFFF; malformed bytes as U+FFFD.
    EXPECT_EQ(json_string("\xC3\xA9 \xE2\x84\xA2 \xF0\x9F\x98\x80"), "\"\\u00e9 \\u2122 \\ud83d\\ude00\"");
    EXPECT_EQ(json_string("\xC3 \xC0\xAF \xED\xA0\x80 \xE2\x84"), "\"\\ufffd \\ufffd\\ufffd \\ufffd\\ufffd\\ufffd \\ufffd\\ufffd\"");
}

// ---- The frame loop ----

class FrameLoop : public test::PreparedScene {
protected:
    FrameLoop() : PreparedScene(platform::renderer_services()) {}
    AnimationState fresh_start()  // a 64 x 48 frame before its first frame
    {
        start(74, 58, 7);
        return save_animation();
    }
    static auto fields(const AnimationState& s)
    {
        return std::tuple(s.frame_counter, s.zoom_counter, s.zoom_shrinking, s.zoom_scale);
    }
};

TEST_F(FrameLoop, MeasuredFramesAreFramesOneToNOnEveryPathWhateverTheWarmUpDrew)
{
    // A guard value past the floor shows a fill that runs over.
    std::vector<uint32_t> floor_values(2 * 64 * 48 + 16, 0xDEADBEEFu);
    const FloorBuffer floor = {floor_values.data(), 2 * 64 * 48, 64 * 48};
    using enum SceneBlock::CodePath;
    for (const auto& paths : {std::vector{fastest}, std::vector{fastest, scalar}}) {
        SCOPED_TRACE(paths.size());
        const AnimationState start = fresh_start();
        std::vector<PathRun> runs;
        for (const SceneBlock::CodePath path : paths) runs.emplace_back(path, start, 19);
        run_interleaved(runs, floor, 5, false, nullptr);
        for (PathRun& run : runs) {
            EXPECT_EQ(run.state.frame_counter, 35) << "five frames of warm-up, not measured";
            EXPECT_EQ(run.samples[0].size(), 0u);
            run.state = start;
        }
        // 19 frames: with two paths, two whole blocks and a part block on each.
        run_interleaved(runs, floor, 19, true, nullptr);
        const auto measured = frame_buffer_hashes();
        fresh_start();
        for (int i = 0; i < 19; ++i) {  // as the main loop draws them
            render_frame(platform::renderer_services());
            advance_frame_counter();
        }
        EXPECT_EQ(frame_buffer_hashes(), measured);
        for (const PathRun& run : runs) {
            EXPECT_EQ(fields(run.state), fields(save_animation()));
            EXPECT_GT(run.wall_ns, 0);
            for (const std::vector<int64_t>& row : run.samples) EXPECT_EQ(row.size(), 19u);
            // The stages are laps of the whole frame, so they add up to it; the workers' share of
            // processor time is never negative.
            for (size_t i = 0; i < 19; ++i) {
                int64_t stages = 0;
                for (const Row row : {Row::clear, Row::transforms, Row::rasteriser, Row::rays}) {
                    stages += run.samples[static_cast<int>(row)][i];
                }
                EXPECT_EQ(stages, run.samples[static_cast<int>(Row::frame)][i]) << i;
                EXPECT_GE(run.samples[static_cast<int>(Row::workers_cpu)][i], 0) << i;
            }
        }
    }
    // The floor got what the clear writes: zeros for the colours, then the depth clear value.
    for (int64_t i = 0; i < floor.count; ++i) {
        ASSERT_EQ(floor_values[static_cast<size_t>(i)], i < floor.colour_count ? 0u : 0x476A6000u) << i;
    }
    EXPECT_EQ(floor_values[static_cast<size_t>(floor.count)], 0xDEADBEEFu) << "nothing past the floor";
    // And the hashes see every byte of both buffers, the last ones included.
    const auto drawn = frame_buffer_hashes();
    scene.colour_buffer[64 * 48 - 1] ^= 0x100u;
    EXPECT_NE(frame_buffer_hashes().first, drawn.first);
    EXPECT_EQ(frame_buffer_hashes().second, drawn.second);
    scene.depth_buffer[64 * 48 - 1] = -1.0f;
    EXPECT_NE(frame_buffer_hashes().second, drawn.second);
}

} // namespace
