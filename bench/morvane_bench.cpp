// morvane-bench: times the real frame, two rasteriser workers and all, exactly as the window
// program draws it but without presenting it, and reports each stage. See bench_usage().
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "bench/bench_options.h"
#include "bench/frame_loop.h"
#include "bench/machine.h"
#include "bench/report.h"
#include "host/host.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tools/options.h"

using namespace morvane;
using namespace morvane::bench;

namespace {

constexpr int exit_failed = 1;
constexpr int exit_bad_arguments = 2;

int fail(int code, const std::string& message)
{
    std::fprintf(stderr, "morvane-bench: %s\n", message.c_str());
    return code;
}

const char* path_label(SceneBlock::CodePath path)
{
    return path == SceneBlock::CodePath::scalar ? "scalar" : "fastest";
}

// Checks that the JSON file can be created where asked, before the long run, and leaves
// nothing behind.
bool json_writable(const std::string& name, std::string& error)
{
#if defined(_WIN32)
    std::string probe = name + ".partial";
    std::FILE* file = std::fopen(probe.c_str(), "wbx");
    if (file == nullptr) {
        error = "cannot write " + tools::quoted(name) + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(file);
    std::remove(probe.c_str());
    return true;
#else
    std::string probe = name + ".tmp-XXXXXX";
    const int descriptor = mkstemp(probe.data());
    if (descriptor < 0) {
        error = "cannot write " + tools::quoted(name) + ": " + std::strerror(errno);
        return false;
    }
    close(descriptor);
    std::remove(probe.c_str());
    return true;
#endif
}

// Writes text under a temporary name beside `name` and renames it, so the file appears
// only when complete.
bool write_file_atomically(const std::string& name, const std::string& text, std::string& error)
{
    const auto failed = [&](int code) {
        error = "cannot write " + tools::quoted(name) + ": " + std::strerror(code);
        return false;
    };
#if defined(_WIN32)
    const std::string temporary = name + ".partial";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
#else
    std::string temporary = name + ".tmp-XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) return failed(errno);
    // mkstemp makes the file private; give it the mode a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    std::FILE* file = fdopen(descriptor, "wb");
    if (file == nullptr) close(descriptor);
#endif
    if (file == nullptr) {
        const int code = errno;
        std::remove(temporary.c_str());
        return failed(code);
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
    const int write_code = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::remove(temporary.c_str());
        return failed(written ? errno : write_code);
    }
#if defined(_WIN32)
    std::remove(name.c_str());
#endif
    if (std::rename(temporary.c_str(), name.c_str()) != 0) {
        const int code = errno;
        std::remove(temporary.c_str());
        return failed(code);
    }
    return true;
}

int run_benchmark(const BenchOptions& options)
{
    std::string error;
    if (!options.json.empty() && !json_writable(options.json, error)) return fail(exit_failed, error);

    if (!host::set_frame_size(options.screen_width, options.screen_height, options.seed)) {
        return fail(exit_bad_arguments, "a " + std::to_string(options.screen_width) + "x" +
                                            std::to_string(options.screen_height) + " screen gives no usable frame");
    }
    if (!host::allocate_frame_buffers()) {
        return fail(exit_failed, "cannot allocate two " + std::to_string(scene.frame_width) + "x" +
                                     std::to_string(scene.frame_height) + " frame buffers");
    }
    host::prepare_scene();
    const AnimationState start = save_animation();

    // Both buffers' cells, each rounded up to whole 64-byte blocks.
    const int64_t cells = int64_t{scene.frame_width} * scene.frame_height;
    FloorBuffer floor;
    floor.colour_count = (cells + 15) / 16 * 16;
    floor.count = 2 * floor.colour_count;
    floor.values = static_cast<uint32_t*>(
        platform::allocate_frame_buffer(static_cast<size_t>(floor.count) * sizeof(uint32_t)));
    if (floor.values == nullptr) {
        host::release_frame_buffers();
        return fail(exit_failed, "cannot allocate the floor fill's " + std::to_string(floor.count * 4) + " bytes");
    }
    // Its pages are made present now, so no run pays for them.
    fill_floor(floor);

    std::vector<PathRun> runs;
    if (options.paths != PathChoice::scalar) runs.emplace_back(SceneBlock::CodePath::fastest, start, options.frames);
    if (options.paths != PathChoice::fastest) runs.emplace_back(SceneBlock::CodePath::scalar, start, options.frames);

    const double load_start = load_average();
    Progress progress;
    run_interleaved(runs, floor, options.warmup, false, &progress);
    // The measured frames are frames 1 to N of a run with this seed.
    for (PathRun& run : runs) run.state = start;
    run_interleaved(runs, floor, options.frames, true, &progress);
    progress.finish();

    BenchReport report;
    report.machine = describe_machine();
    report.machine.load_start = load_start;
    report.screen_width = options.screen_width;
    report.screen_height = options.screen_height;
    report.frame_width = scene.frame_width;
    report.frame_height = scene.frame_height;
    report.seed = options.seed;
    report.warmup_frames = options.warmup;
    report.measured_frames = options.frames;
    report.block_frames = runs.size() > 1 ? compare_block_frames : 0;
    for (const PathRun& run : runs) {
        RunReport out;
        out.code_path = path_label(run.path);
        const PathNames names = path_names(run.path);
        out.clear_path = names.clear;
        out.shading_path = names.shading;
        out.rays_path = names.rays;
        for (int r = 0; r < row_count; ++r) out.rows[static_cast<size_t>(r)] = summarise(run.samples[static_cast<size_t>(r)]);
        out.wall_seconds = static_cast<double>(run.wall_ns) / 1e9;
        report.runs.push_back(out);
    }

    if (runs.size() > 1) {
        // Both paths must draw the same bytes, or the comparison compares different work.
        const auto fast = hash_of_frame(start, options.frames, SceneBlock::CodePath::fastest);
        const auto plain = hash_of_frame(start, options.frames, SceneBlock::CodePath::scalar);
        report.paths_agree = fast == plain;
    }
    std::fputs(format_text(report).c_str(), stdout);
    std::fflush(stdout);

    platform::free_frame_buffer(floor.values);
    host::release_frame_buffers();

    if (!options.json.empty() && !write_file_atomically(options.json, format_json(report), error)) {
        return fail(exit_failed, error);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const BenchParseResult parsed = parse_bench_options(argc, argv);
    if (!parsed.options) return fail(exit_bad_arguments, parsed.error);
    if (parsed.options->help) {
        std::fputs(bench_usage(), stdout);
        return 0;
    }
    return run_benchmark(*parsed.options);
}
