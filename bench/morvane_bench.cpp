// morvane-bench: times the real frame, two rasteriser workers and all, exactly as the window
// program draws it but without presenting it, and reports each stage. See bench_usage().
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include "bench/bench_options.h"
#include "bench/frame_loop.h"
#include "bench/report.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "raster/raster.h"
#include "rays/rays.h"
#include "scene/scene.h"
#include "tools/options.h"
#include "tools/pending_file.h"

using namespace morvane;
using namespace morvane::bench;

namespace {

using tools::exit_failed;

constexpr const char* program = "morvane-bench";

int fail(int code, const std::string& message) { return tools::fail(program, code, message); }

// ---- What the benchmark ran on ----

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string brand_from_cpuid()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0x80000000u, &a, &b, &c, &d) == 0 || a < 0x80000004u) return {};
    // Three leaves of 16 bytes each: the brand string, NUL-padded.
    char brand[49] = {};
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
        unsigned r[4] = {};
        __get_cpuid(0x80000002u + leaf, &r[0], &r[1], &r[2], &r[3]);
        std::memcpy(brand + size_t{16} * leaf, r, sizeof r);
    }
    return trimmed(brand);
#else
    return {};
#endif
}

std::string model_from_proc_cpuinfo()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        // "model name" on x86, "Model" or "Processor" on some ARM kernels.
        for (const char* key : {"model name", "Model", "Processor", "cpu model"}) {
            if (line.rfind(key, 0) != 0) continue;
            const size_t colon = line.find(':');
            if (colon != std::string::npos) return trimmed(line.substr(colon + 1));
        }
    }
    return {};
}

std::string compiler_name()
{
#if defined(__clang__)
    return trimmed(std::string("clang ") + __clang_version__);
#elif defined(__GNUC__)
    return std::string("g++ ") + __VERSION__;
#elif defined(_MSC_VER)
    return "MSVC " + std::to_string(_MSC_FULL_VER);
#else
    return "unknown compiler";
#endif
}

// The one-minute load average, or -1 where there is none.
double load_average()
{
    std::ifstream file("/proc/loadavg");
    double load = -1.0;
    return file >> load ? load : -1.0;
}

// The build system passes in the build type and the flags every file is compiled with.
MachineReport describe_machine()
{
    MachineReport machine;
    machine.processor = brand_from_cpuid();
    if (machine.processor.empty()) machine.processor = model_from_proc_cpuinfo();
    if (machine.processor.empty()) machine.processor = "unknown processor";
    machine.logical_processors = std::thread::hardware_concurrency();
    machine.load_start = machine.load_end = load_average();
    machine.compiler = compiler_name();
    machine.build_type = MORVANE_BENCH_BUILD_TYPE;
    machine.flags = trimmed(std::string(MORVANE_BENCH_CXX_FLAGS) + " " + MORVANE_BENCH_TARGET_FLAGS);
#if defined(MORVANE_EXACT_ESTIMATES)
    machine.flags += " (exact reciprocals in place of the estimates)";
#endif
    return machine;
}

// ---- The run ----

int run_benchmark(const BenchOptions& options)
{
    std::string error;
    if (!options.json.empty() && !tools::can_write_file(options.json, error)) return fail(exit_failed, error);

    const int started = tools::start_for_screen(program, platform::renderer_services(), options.screen_width,
                                                options.screen_height, options.seed);
    if (started != 0) return started;
    const AnimationState start = save_animation();

    // Both buffers' cells, each rounded up to whole 64-byte blocks.
    const int64_t cells = int64_t{scene.frame_width} * scene.frame_height;
    FloorBuffer floor;
    floor.colour_count = (cells + 15) / 16 * 16;
    floor.count = 2 * floor.colour_count;
    floor.values = static_cast<uint32_t*>(
        platform::allocate_frame_buffer(static_cast<size_t>(floor.count) * sizeof(uint32_t)));
    if (floor.values == nullptr) {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
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

    BenchReport report{.machine = describe_machine(),
                       .screen_width = options.screen_width, .screen_height = options.screen_height,
                       .frame_width = scene.frame_width, .frame_height = scene.frame_height,
                       .seed = options.seed, .warmup_frames = options.warmup, .measured_frames = options.frames,
                       .block_frames = runs.size() > 1 ? compare_block_frames : 0, .runs = {}, .paths_agree = {}};
    report.machine.load_start = load_start;
    for (const PathRun& run : runs) {
        // Each stage names the path it took.
        RunReport& out = report.runs.emplace_back(RunReport{path_label(run.path), fill_path(run.path).name,
                                                            shade_path(run.path).name, ray_path_name(run.path)});
        for (size_t r = 0; r < row_count; ++r) out.rows[r] = summarise(run.samples[r]);
        out.wall_seconds = static_cast<double>(run.wall_ns) / 1e9;
    }

    if (runs.size() > 1) {
        // Both paths must draw the same bytes, or the comparison compares different work.
        const auto fast = hash_of_frame(start, options.frames, SceneBlock::CodePath::fastest);
        report.paths_agree = fast == hash_of_frame(start, options.frames, SceneBlock::CodePath::scalar);
    }
    std::fputs(format_text(report).c_str(), stdout);
    std::fflush(stdout);

    platform::free_frame_buffer(floor.values);
    morvane::release_frame_buffers(morvane::platform::renderer_services());

    const std::string json = options.json.empty() ? std::string() : format_json(report);
    if (!options.json.empty() && !tools::write_whole_file(options.json, json.data(), json.size(), error)) {
        return fail(exit_failed, error);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    return tools::run_tool(program, parse_bench_options(argc, argv), bench_usage(), bench_version(), run_benchmark);
}
