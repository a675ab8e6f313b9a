// morvane-micro: the inner loops timed in isolation, each fast path registered right beside
// its plain scalar twin so one run measures both under the same machine load.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench/frame_loop.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "raster/raster.h"
#include "rays/rays.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

// The window program's frame on a 1920x1080 screen.
constexpr int screen_width = 1920;
constexpr int screen_height = 1080;
constexpr uint16_t seed = 1;

// Start-up once for the whole run: the frame size, both buffers and the prepared scene.
void prepare_scene_once()
{
    static const bool prepared = (reset_scene(), start_renderer(platform::renderer_services(), screen_width,
                                                                 screen_height, seed));
    if (!prepared) std::abort();
}

int64_t frame_cells() { return int64_t{scene.frame_width} * scene.frame_height; }

// ---- shade_span ----

// A row of the front face seen at an angle: the normal turns across the span and the texel
// coordinates cross the picture diagonally, so every pixel does the full lighting and
// filtering work. Depth passes everywhere (each iteration draws a little nearer than the
// last) or fails everywhere (the row holds a depth nearer than any the span brings).
constexpr int span_row = 500;
constexpr int span_left = 700;
constexpr float far_enough = 50000.0f;   // first depth of the passing spans
constexpr float near_limit = 1000.0f;    // where they start again from far_enough
constexpr float nearest_stored = -1e30f; // a stored depth no span can beat

void shade_span_benchmark(benchmark::State& state, const ShadePath* path, int length, bool depth_passes)
{
    prepare_scene_once();
    scene.code_path = SceneBlock::CodePath::fastest;
    const int width = scene.frame_width;
    float* depth_row = scene.depth_buffer + int64_t{span_row} * width;
    const auto reset_row = [&] {
        fill_dwords_scalar(reinterpret_cast<uint32_t*>(depth_row), width,
                           std::bit_cast<uint32_t>(depth_passes ? depth_clear : nearest_stored));
    };
    reset_row();

    SpanRequest request{};
    request.row = span_row;
    request.end_a = {span_left, {{0.30f, -0.20f, -0.93f, 0.0f}}, {{10.0f, 50.0f, far_enough, 0.0f}}};
    request.end_b = {span_left + length, {{-0.10f, 0.25f, -0.96f, 0.0f}}, {{200.0f, 300.0f, far_enough + 8.0f, 0.0f}}};
    request.window = {0, scene.frame_height, 0, width};
    request.row_stride = width;
    request.texture = scene.texture;
    request.colour_buffer = scene.colour_buffer;
    request.depth_buffer = scene.depth_buffer;

    for (auto _ : state) {
        path->span(request, DepthRule::nearer);
        benchmark::ClobberMemory();
        if (depth_passes) {
            // Each pass stores its depths, so the next one must come nearer to pass again.
            request.end_a.uvz[2] -= 1.0f;
            request.end_b.uvz[2] -= 1.0f;
            if (request.end_a.uvz[2] < near_limit) {
                request.end_a.uvz[2] = far_enough;
                request.end_b.uvz[2] = far_enough + 8.0f;
                reset_row();
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * length);
}

// ---- draw_rays ----

// The rays over a real frame: the frame is drawn up to its rasteriser, and before every timed
// pass the colour buffer is put back as the workers left it, so the blend never piles up.
void draw_rays_benchmark(benchmark::State& state, bool fast, int64_t frame)
{
    prepare_scene_once();
    const bench::AnimationState start = bench::save_animation();
    scene.code_path = SceneBlock::CodePath::fastest;
    skip_frames(frame - 1);
    clear_frame();
    transform_frame();
    morvane::rasterise_frame(morvane::platform::renderer_services());
    const size_t cells = static_cast<size_t>(frame_cells());
    std::vector<Pixel> slab(scene.colour_buffer, scene.colour_buffer + cells);

    scene.code_path = fast ? SceneBlock::CodePath::fastest : SceneBlock::CodePath::scalar;
    for (auto _ : state) {
        state.PauseTiming();
        std::memcpy(scene.colour_buffer, slab.data(), cells * sizeof(Pixel));
        state.ResumeTiming();
        draw_rays();
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * ray_count);
    scene.code_path = SceneBlock::CodePath::fastest;
    bench::restore_animation(start);
}

// ---- One worker's triangles, and the worker pair itself ----

// One worker's whole pass over a real frame, on the calling thread: the two bands side by side
// show how evenly the rows split the work, and without the threads the speed-up of the
// shading alone. The depth buffer is cleared before every pass, untimed, so every pass draws.
void raster_band_benchmark(benchmark::State& state, const ShadePath* path, int64_t frame, int index)
{
    prepare_scene_once();
    const bench::AnimationState start = bench::save_animation();
    skip_frames(frame - 1);
    transform_frame();
    for (auto _ : state) {
        state.PauseTiming();
        clear_frame();
        state.ResumeTiming();
        raster_triangles(index, *path);
        benchmark::ClobberMemory();
    }
    bench::restore_animation(start);
}

void do_nothing(int) {}

// Starting two pinned threads and joining them, which every frame pays on top of the work.
void worker_pair_benchmark(benchmark::State& state)
{
    for (auto _ : state) morvane::platform::run_pinned_worker_pair(do_nothing);
}

// ---- fill_dwords ----

// One 1910x1070 buffer, as the clear fills each of the two every frame.
void fill_benchmark(benchmark::State& state, void (*fill)(uint32_t*, int64_t, uint32_t))
{
    prepare_scene_once();
    const int64_t count = frame_cells();
    for (auto _ : state) {
        fill(reinterpret_cast<uint32_t*>(scene.depth_buffer), count, std::bit_cast<uint32_t>(depth_clear));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * count * int64_t{sizeof(uint32_t)});
}

// The shading paths timed: the fastest, the plain one and, where it is not the fastest, SSE2.
struct TimedShading {
    std::string label;
    const ShadePath* path;
};

std::vector<TimedShading> timed_shadings()
{
    std::vector<TimedShading> timed = {{"fastest", &shade_path(SceneBlock::CodePath::fastest)},
                                       {"scalar", &shade_path(SceneBlock::CodePath::scalar)}};
    for (const ShadePath& path : shade_paths()) {
        if (std::string_view(path.name) == "SSE2" && &path != timed[0].path) timed.push_back({"sse2", &path});
    }
    return timed;
}

void register_benchmarks()
{
    using benchmark::RegisterBenchmark;
    const std::vector<TimedShading> shadings = timed_shadings();
    for (const int length : {8, 64, 512}) {
        for (const bool passes : {true, false}) {
            for (const TimedShading& shading : shadings) {
                const std::string name = "shade_span/" + std::to_string(length) + "px/depth_" +
                                         (passes ? "passes/" : "fails/") + shading.label;
                RegisterBenchmark(name.c_str(), shade_span_benchmark, shading.path, length, passes);
            }
        }
    }
    // Frame 1 starts the breathing; frame 562 is the largest zoom, the longest rays.
    for (const int64_t frame : {int64_t{1}, int64_t{562}}) {
        for (const bool fast : {true, false}) {
            const std::string name = "draw_rays/frame_" + std::to_string(frame) + "/" + (fast ? "fastest" : "scalar");
            RegisterBenchmark(name.c_str(), draw_rays_benchmark, fast, frame)->Unit(benchmark::kMicrosecond);
        }
    }
    for (const int64_t frame : {int64_t{1}, int64_t{562}}) {
        const std::string at = "/frame_" + std::to_string(frame) + "/";
        for (const int index : {0, 1}) {
            for (const TimedShading& shading : shadings) {
                const std::string name = "raster_triangles" + at + "worker_" + std::to_string(index) + "/" + shading.label;
                RegisterBenchmark(name.c_str(), raster_band_benchmark, shading.path, frame, index)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
    RegisterBenchmark("run_pinned_worker_pair/empty", worker_pair_benchmark)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("fill_dwords/1910x1070/fastest", fill_benchmark, fill_dwords)->Unit(benchmark::kMicrosecond);
    RegisterBenchmark("fill_dwords/1910x1070/scalar", fill_benchmark, fill_dwords_scalar)->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char** argv)
{
    // On a shared machine one pass of each benchmark says little: unless told otherwise, run
    // each five times and report the aggregates (the median among them). The fast and the
    // scalar twin stay next to each other, so their figures are read side by side;
    // --benchmark_enable_random_interleaving=true shuffles the passes instead.
    std::vector<char*> arguments(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    const auto told = [](const char* word) { return std::strncmp(word, "--benchmark_repetitions", 23) == 0; };
    if (std::none_of(argv + 1, argv + argc, told)) arguments.insert(arguments.begin() + 1, {repetitions.data(), aggregates.data()});
    int count = static_cast<int>(arguments.size());

    register_benchmarks();
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    return 0;
}
