// The benchmark's own logic: its command line, its statistics, its report forms and its frame
// loop (that the measured frames are the frames asked for, whatever ran before them).
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "bench/frame_loop.h"
#include "bench/report.h"
#include "host/host.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

using namespace morvane;
using namespace morvane::bench;

namespace {

BenchParseResult parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv{"morvane-bench"};
    argv.insert(argv.end(), arguments);
    return parse_bench_options(static_cast<int>(argv.size()), argv.data());
}

std::string error_of(std::initializer_list<const char*> arguments)
{
    const BenchParseResult result = parse(arguments);
    EXPECT_FALSE(result.options.has_value());
    EXPECT_EQ(result.error.find('\n'), std::string::npos) << "one line";
    return result.error;
}

// ---- Command line ----

TEST(BenchOptions, DefaultsAreOneBreathingCycleOfTheFullHdFrameOnTheFastestPaths)
{
    const BenchParseResult plain = parse({});
    ASSERT_TRUE(plain.options.has_value()) << plain.error;
    EXPECT_FALSE(plain.options->help);
    EXPECT_EQ(plain.options->screen_width, 1920);
    EXPECT_EQ(plain.options->screen_height, 1080);
    EXPECT_EQ(plain.options->frames, 1824);
    EXPECT_EQ(plain.options->warmup, default_warmup_frames);
    EXPECT_EQ(plain.options->seed, default_seed);
    EXPECT_EQ(plain.options->paths, PathChoice::fastest);
    EXPECT_TRUE(plain.options->json.empty());
}

TEST(BenchOptions, ReadsEveryOptionInBothSpellings)
{
    const BenchParseResult full = parse({"--screen=3840x2160", "--seed", "0", "--frames=7", "--warmup", "0",
                                         "--json", "out.json", "--compare"});
    ASSERT_TRUE(full.options.has_value()) << full.error;
    EXPECT_EQ(full.options->screen_width, 3840);
    EXPECT_EQ(full.options->screen_height, 2160);
    EXPECT_EQ(full.options->seed, 0);
    EXPECT_EQ(full.options->frames, 7);
    EXPECT_EQ(full.options->warmup, 0);
    EXPECT_EQ(full.options->json, "out.json");
    EXPECT_EQ(full.options->paths, PathChoice::compare);

    const BenchParseResult scalar = parse({"--scalar", "--seed=65535", "--frames", "1000000", "--warmup=100000"});
    ASSERT_TRUE(scalar.options.has_value()) << scalar.error;
    EXPECT_EQ(scalar.options->paths, PathChoice::scalar);
    EXPECT_EQ(scalar.options->seed, 65535);
    EXPECT_EQ(scalar.options->frames, 1000000);
    EXPECT_EQ(scalar.options->warmup, 100000);
}

TEST(BenchOptions, HelpWinsOverEverythingElse)
{
    for (const char* help : {"--help", "-h"}) {
        const BenchParseResult result = parse({"--frames", "0", help, "--bogus"});
        ASSERT_TRUE(result.options.has_value()) << help;
        EXPECT_TRUE(result.options->help);
    }
    EXPECT_NE(std::string(bench_usage()).find("--compare"), std::string::npos);
}

TEST(BenchOptions, RejectsBadValuesWithTheOptionNamed)
{
    EXPECT_NE(error_of({"--frames", "0"}).find("--frames"), std::string::npos);
    EXPECT_NE(error_of({"--frames", "1000001"}).find("--frames"), std::string::npos);
    EXPECT_NE(error_of({"--frames", "12x"}).find("--frames"), std::string::npos);
    EXPECT_NE(error_of({"--warmup", "-1"}).find("--warmup"), std::string::npos);
    EXPECT_NE(error_of({"--warmup", "100001"}).find("--warmup"), std::string::npos);
    EXPECT_NE(error_of({"--seed", "65536"}).find("--seed"), std::string::npos);
    EXPECT_NE(error_of({"--seed", "-1"}).find("--seed"), std::string::npos);
    EXPECT_NE(error_of({"--screen", "1920"}).find("--screen"), std::string::npos);
    EXPECT_NE(error_of({"--screen", "11x600"}).find("under 2x2"), std::string::npos);
    EXPECT_NE(error_of({"--screen", "32768x32768"}).find("exceed"), std::string::npos);
    EXPECT_NE(error_of({"--json="}).find("--json"), std::string::npos);
}

TEST(BenchOptions, RejectsMalformedCommandLines)
{
    EXPECT_NE(error_of({"--fast"}).find("unknown option"), std::string::npos);
    EXPECT_NE(error_of({"frames"}).find("unexpected argument"), std::string::npos);
    EXPECT_NE(error_of({"--frames"}).find("needs a value"), std::string::npos);
    EXPECT_NE(error_of({"--frames", "--scalar"}).find("needs a value"), std::string::npos);
    EXPECT_NE(error_of({"--seed", "1", "--seed", "2"}).find("twice"), std::string::npos);
    EXPECT_NE(error_of({"--scalar", "--scalar"}).find("twice"), std::string::npos);
    EXPECT_NE(error_of({"--scalar", "--compare"}).find("exclude"), std::string::npos);
    EXPECT_NE(error_of({"--compare", "--scalar"}).find("exclude"), std::string::npos);
    EXPECT_NE(error_of({"--scalar=yes"}).find("no value"), std::string::npos);
}

// ---- Statistics ----

std::vector<int64_t> milliseconds(std::initializer_list<int64_t> values)
{
    std::vector<int64_t> ns;
    for (const int64_t v : values) ns.push_back(v * 1'000'000);
    return ns;
}

TEST(Summary, OddCountTakesTheMiddleSampleWhateverTheOrder)
{
    const Summary s = summarise(milliseconds({5, 1, 4, 2, 3}));
    EXPECT_EQ(s.count, 5);
    EXPECT_DOUBLE_EQ(s.min_ms, 1.0);
    EXPECT_DOUBLE_EQ(s.median_ms, 3.0);
    EXPECT_DOUBLE_EQ(s.p95_ms, 5.0);
    EXPECT_DOUBLE_EQ(s.max_ms, 5.0);
    EXPECT_DOUBLE_EQ(s.mean_ms, 3.0);
}

TEST(Summary, EvenCountAveragesTheTwoMiddleSamples)
{
    const Summary s = summarise(milliseconds({4, 1, 3, 10}));
    EXPECT_DOUBLE_EQ(s.median_ms, 3.5);
    EXPECT_DOUBLE_EQ(s.mean_ms, 4.5);
}

TEST(Summary, P95IsTheNearestRank)
{
    std::vector<int64_t> twenty, hundred, twenty_one;
    for (int64_t i = 1; i <= 20; ++i) twenty.push_back(i * 1'000'000);
    for (int64_t i = 1; i <= 100; ++i) hundred.push_back(i * 1'000'000);
    for (int64_t i = 21; i >= 1; --i) twenty_one.push_back(i * 1'000'000);
    EXPECT_DOUBLE_EQ(summarise(twenty).p95_ms, 19.0);
    EXPECT_DOUBLE_EQ(summarise(hundred).p95_ms, 95.0);
    EXPECT_DOUBLE_EQ(summarise(twenty_one).p95_ms, 20.0);  // ceil(19.95) = 20
    EXPECT_DOUBLE_EQ(summarise(milliseconds({7})).p95_ms, 7.0);
}

TEST(Summary, KeepsSubMillisecondResolutionAndHandlesNoSamples)
{
    const std::vector<int64_t> ns = {1'234, 5'678};
    EXPECT_DOUBLE_EQ(summarise(ns).median_ms, 0.003456);
    EXPECT_EQ(summarise({}).count, 0);
    EXPECT_EQ(summarise({}).median_ms, 0.0);
}

// ---- Report forms ----

RunReport run_with_medians(const char* code_path, double clear, double frame, double floor)
{
    RunReport run;
    run.code_path = code_path;
    run.clear_path = run.shading_path = run.rays_path = code_path;
    for (Summary& s : run.rows) s.median_ms = s.mean_ms = 1.0;
    run.rows[static_cast<int>(Row::clear)].median_ms = clear;
    run.rows[static_cast<int>(Row::frame)].median_ms = frame;
    run.rows[static_cast<int>(Row::floor)].median_ms = floor;
    return run;
}

BenchReport report_of(std::initializer_list<RunReport> runs)
{
    BenchReport report;
    report.machine.processor = "Test \"CPU\"";
    report.machine.logical_processors = 2;
    report.machine.compiler = "g++ 12";
    report.machine.build_type = "Release";
    report.machine.flags = "-O2 -DNAME=\"x\"";
    report.frame_width = 1910;
    report.frame_height = 1070;
    report.measured_frames = 3;
    report.runs = runs;
    return report;
}

TEST(Report, ClearToFloorAndSpeedUpAreRatiosOfMedians)
{
    const BenchReport report = report_of({run_with_medians("fastest", 0.6, 2.0, 0.5),
                                          run_with_medians("scalar", 3.0, 20.0, 0.5)});
    EXPECT_DOUBLE_EQ(report.runs[0].clear_to_floor(), 1.2);
    EXPECT_DOUBLE_EQ(speedup(report, Row::frame), 10.0);
    EXPECT_DOUBLE_EQ(speedup(report, Row::clear), 5.0);
    EXPECT_EQ(speedup(report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)}), Row::frame), 0.0);
}

TEST(Report, TextHasEveryRowAndTheSpeedUpsOnlyWithBothPaths)
{
    const std::string one = format_text(report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)}));
    for (const char* name : {"clear", "transforms", "rasteriser", "rays", "frame", "floor"}) {
        EXPECT_NE(one.find(std::string("  ") + name + " "), std::string::npos) << name;
    }
    EXPECT_NE(one.find("Test \"CPU\""), std::string::npos);
    EXPECT_NE(one.find("clear / floor 1.20"), std::string::npos);
    EXPECT_NE(one.find("500.0 fps"), std::string::npos);
    EXPECT_EQ(one.find("speed-up"), std::string::npos);

    BenchReport both = report_of({run_with_medians("fastest", 0.6, 2.0, 0.5), run_with_medians("scalar", 3.0, 20.0, 0.5)});
    both.paths_agree = false;
    const std::string two = format_text(both);
    EXPECT_NE(two.find("speed-up"), std::string::npos);
    EXPECT_NE(two.find("10.00x"), std::string::npos);
    EXPECT_NE(two.find("DIFFERENT"), std::string::npos);
}

TEST(Report, ProcessorTimeAndLoadAppearOnlyWhereTheMachineGaveThem)
{
    BenchReport report = report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)});
    std::string text = format_text(report);
    EXPECT_EQ(text.find("main_cpu"), std::string::npos);
    EXPECT_EQ(text.find("load:"), std::string::npos);
    EXPECT_NE(format_json(report).find("\"load_average_start\": null"), std::string::npos);

    report.runs[0].rows[static_cast<int>(Row::main_cpu)].count = 3;
    report.runs[0].rows[static_cast<int>(Row::workers_cpu)].count = 3;
    report.machine.load_start = 0.5;
    report.machine.load_end = 2.25;
    text = format_text(report);
    EXPECT_NE(text.find("main_cpu"), std::string::npos);
    EXPECT_NE(text.find("workers_cpu"), std::string::npos);
    EXPECT_NE(text.find("0.50 at the start, 2.25 at the end"), std::string::npos) << text;
    EXPECT_NE(format_json(report).find("\"load_average_end\": 2.25"), std::string::npos);
    for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', end + 1)) {
        EXPECT_NE(text[end - 1], ' ') << "no line ends in blanks";
    }
}

TEST(Report, JsonEscapesEveryStringItWrites)
{
    EXPECT_EQ(json_string("plain"), "\"plain\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("tab\there\n"), "\"tab\\u0009here\\u000a\"");
    EXPECT_EQ(json_string("\xC3\xA9"), "\"??\"");

    const std::string json = format_json(report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)}));
    EXPECT_NE(json.find("\"processor\": \"Test \\\"CPU\\\"\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"flags\": \"-O2 -DNAME=\\\"x\\\"\""), std::string::npos) << json;
}

TEST(Report, JsonCarriesSpeedUpsAndAgreementOnlyWhenBothPathsRan)
{
    const std::string one = format_json(report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)}));
    EXPECT_NE(one.find("\"speedup\": null"), std::string::npos) << one;
    EXPECT_NE(one.find("\"paths_agree\": null"), std::string::npos) << one;
    EXPECT_NE(one.find("\"clear_to_floor\": 1.2"), std::string::npos) << one;

    BenchReport both = report_of({run_with_medians("fastest", 0.6, 2.0, 0.5), run_with_medians("scalar", 3.0, 20.0, 0.5)});
    both.paths_agree = true;
    const std::string two = format_json(both);
    EXPECT_NE(two.find("\"frame\": 10,"), std::string::npos) << two;
    EXPECT_EQ(two.find("\"floor\": 1"), std::string::npos) << "the floor is the same fill in both runs";
    EXPECT_NE(two.find("\"paths_agree\": true"), std::string::npos) << two;
}

TEST(Report, JsonWritesNonFiniteFiguresAsNull)
{
    BenchReport report = report_of({run_with_medians("fastest", 0.6, 2.0, 0.5)});
    report.runs[0].wall_seconds = std::nan("");
    EXPECT_NE(format_json(report).find("\"wall_seconds\": null"), std::string::npos);
}

// ---- The frame loop ----

class FrameLoop : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_scene();
        ASSERT_TRUE(host::set_frame_size(74, 58, 7));  // a 64 x 48 frame
        ASSERT_TRUE(host::allocate_frame_buffers());
        host::prepare_scene();
        start_ = save_animation();
        floor_values_.assign(2 * 64 * 48 + 16, 0xDEADBEEFu);
        floor_.values = floor_values_.data();
        floor_.count = 2 * 64 * 48;
        floor_.colour_count = 64 * 48;
    }
    void TearDown() override
    {
        host::release_frame_buffers();
        reset_scene();
    }

    AnimationState start_{};
    std::vector<uint32_t> floor_values_;
    FloorBuffer floor_;
};

TEST_F(FrameLoop, FloorFillsWriteExactlyTheirValues)
{
    alignas(64) uint32_t values[64];
    for (uint32_t& v : values) v = 7;
    streaming_fill(values + 16, 32, 0x476A6000u);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(values[i], i >= 16 && i < 48 ? 0x476A6000u : 7u) << i;

    // The floor gets what the clear writes: zeros for the colours, then the depth clear value.
    fill_floor(floor_);
    for (int64_t i = 0; i < floor_.count; ++i) {
        ASSERT_EQ(floor_values_[static_cast<size_t>(i)], i < floor_.colour_count ? 0u : 0x476A6000u) << i;
    }
    EXPECT_EQ(floor_values_[static_cast<size_t>(floor_.count)], 0xDEADBEEFu) << "nothing past the floor";
}

TEST_F(FrameLoop, MeasuredFramesAreFramesOneToNWhateverTheWarmUpDrew)
{
    std::vector<PathRun> runs;
    runs.emplace_back(SceneBlock::CodePath::fastest, start_, 3);
    run_interleaved(runs, floor_, 5, false, nullptr);
    EXPECT_EQ(runs[0].samples[0].size(), 0u) << "the warm-up is not measured";
    EXPECT_EQ(scene.frame_counter, 35);

    runs[0].state = start_;
    run_interleaved(runs, floor_, 3, true, nullptr);
    const auto measured = frame_buffer_hashes();
    const AnimationState after = save_animation();

    // The same three frames from a fresh start.
    host::release_frame_buffers();
    reset_scene();
    ASSERT_TRUE(host::set_frame_size(74, 58, 7));
    ASSERT_TRUE(host::allocate_frame_buffers());
    host::prepare_scene();
    for (int i = 0; i < 3; ++i) {
        render_frame();
        scene.frame_counter += 1;
    }
    EXPECT_EQ(frame_buffer_hashes(), measured);
    EXPECT_EQ(after.frame_counter, 33);
    EXPECT_EQ(after.frame_counter, scene.frame_counter);
    EXPECT_EQ(after.zoom_counter, scene.zoom_counter);
    EXPECT_EQ(after.zoom_shrinking, scene.zoom_shrinking);
    EXPECT_EQ(after.zoom_scale, scene.zoom_scale);
    EXPECT_EQ(runs[0].samples[static_cast<int>(Row::frame)].size(), 3u);
#if defined(__linux__)
    // Processor time is read on Linux, for every frame; the workers' share is never negative.
    for (const Row row : {Row::main_cpu, Row::workers_cpu}) {
        ASSERT_EQ(runs[0].samples[static_cast<int>(row)].size(), 3u);
        for (const int64_t ns : runs[0].samples[static_cast<int>(row)]) EXPECT_GE(ns, 0);
    }
#endif
}

TEST_F(FrameLoop, InterleavedPathsEachDrawEveryFrameFromTheirOwnStart)
{
    // 19 frames: two whole blocks and a part block on each path.
    std::vector<PathRun> runs;
    runs.emplace_back(SceneBlock::CodePath::fastest, start_, 19);
    runs.emplace_back(SceneBlock::CodePath::scalar, start_, 19);
    run_interleaved(runs, floor_, 19, true, nullptr);

    restore_animation(start_);
    skip_frames(19);
    const AnimationState expected = save_animation();
    for (const PathRun& run : runs) {
        EXPECT_EQ(run.state.frame_counter, expected.frame_counter);
        EXPECT_EQ(run.state.zoom_counter, expected.zoom_counter);
        EXPECT_EQ(run.state.zoom_scale, expected.zoom_scale);
        for (const std::vector<int64_t>& row : run.samples) EXPECT_EQ(row.size(), 19u);
        EXPECT_GT(run.wall_ns, 0);
        // The whole frame spans its stages, so no stage's sample may exceed it.
        const auto& frame = run.samples[static_cast<int>(Row::frame)];
        for (const Row stage : {Row::clear, Row::transforms, Row::rasteriser, Row::rays}) {
            const auto& samples = run.samples[static_cast<int>(stage)];
            for (size_t i = 0; i < frame.size(); ++i) EXPECT_LE(samples[i], frame[i]) << row_names[static_cast<int>(stage)];
        }
    }
    EXPECT_EQ(floor_values_[0], 0u) << "the floor fill ran";
    EXPECT_EQ(floor_values_[2 * 64 * 48], 0xDEADBEEFu) << "and stopped at its count";
}

TEST_F(FrameLoop, BothPathsDrawTheSameBytes)
{
    EXPECT_EQ(hash_of_frame(start_, 4, SceneBlock::CodePath::fastest),
              hash_of_frame(start_, 4, SceneBlock::CodePath::scalar));
    // And the hashes see every byte of both buffers, the last ones included.
    const auto drawn = hash_of_frame(start_, 4, SceneBlock::CodePath::fastest);
    scene.colour_buffer[64 * 48 - 1] ^= 0x100u;
    EXPECT_NE(frame_buffer_hashes().first, drawn.first);
    EXPECT_EQ(frame_buffer_hashes().second, drawn.second);
    scene.depth_buffer[64 * 48 - 1] = -1.0f;
    EXPECT_NE(frame_buffer_hashes().second, drawn.second);
}

} // namespace
