// The benchmark's frame loop and the floor fill it is measured against.
#include "bench/frame_loop.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "host/platform.h"
#include "pipeline/pipeline.h"

namespace morvane::bench {

namespace {

using Clock = std::chrono::steady_clock;

int64_t nanoseconds_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// Processor time of the whole process (every thread, ended ones included) and of the calling
// thread, in nanoseconds; -1 where the platform has no such clock.
int64_t cpu_clock_ns([[maybe_unused]] bool whole_process)
{
#if defined(CLOCK_PROCESS_CPUTIME_ID) && defined(CLOCK_THREAD_CPUTIME_ID)
    timespec now{};
    if (clock_gettime(whole_process ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_THREAD_CPUTIME_ID, &now) != 0) return -1;
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
#else
    return -1;
#endif
}

// Draws one frame on run's path as the main loop does, then times the floor fill.
void run_frame(PathRun& run, const FloorBuffer& floor, bool measured)
{
    scene.code_path = run.path;
    FrameTimings timings;
    const int64_t process_before = cpu_clock_ns(true);
    const int64_t thread_before = cpu_clock_ns(false);
    morvane::render_frame(morvane::platform::renderer_services(), &timings);
    const int64_t thread_after = cpu_clock_ns(false);
    const int64_t process_after = cpu_clock_ns(true);
    advance_frame_counter();

    const Clock::time_point floor_start = Clock::now();
    fill_floor(floor);
    const int64_t floor_ns = nanoseconds_between(floor_start, Clock::now());

    if (!measured) return;
    const int64_t main_cpu = thread_after - thread_before;
    const int64_t values[row_count] = {timings.clear_ns, timings.transform_ns, timings.raster_ns,
                                       timings.rays_ns,  timings.total_ns,     floor_ns,
                                       main_cpu,         (process_after - process_before) - main_cpu};
    const bool have_cpu = std::min({process_before, thread_before, thread_after, process_after}) >= 0;
    for (int r = 0; r < row_count; ++r) {
        if (have_cpu || !is_cpu_row(static_cast<Row>(r))) run.samples[static_cast<size_t>(r)].push_back(values[r]);
    }
}

// 64-bit FNV-1a.
uint64_t hash_bytes(const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

} // namespace

AnimationState save_animation()
{
    return {scene.frame_counter, scene.zoom_counter, scene.zoom_shrinking, scene.zoom_scale};
}

void restore_animation(const AnimationState& state)
{
    scene.frame_counter = state.frame_counter;
    scene.zoom_counter = state.zoom_counter;
    scene.zoom_shrinking = state.zoom_shrinking;
    scene.zoom_scale = state.zoom_scale;
}

void fill_floor(const FloorBuffer& floor)
{
    // The clear's own fill, which streams past the caches at these sizes, on memory the frame
    // did not touch.
    fill_dwords(floor.values, floor.colour_count, 0);
    fill_dwords(floor.values + floor.colour_count, floor.count - floor.colour_count,
                std::bit_cast<uint32_t>(depth_clear));
}

PathRun::PathRun(SceneBlock::CodePath code_path, const AnimationState& start, int64_t frames)
    : path(code_path), state(start)
{
    for (std::vector<int64_t>& row : samples) row.reserve(static_cast<size_t>(frames));
}

void run_interleaved(std::vector<PathRun>& runs, const FloorBuffer& floor, int64_t frames, bool measured,
                     Progress* progress)
{
    const int64_t block = runs.size() > 1 ? compare_block_frames : std::max<int64_t>(frames, 1);
    for (int64_t first = 0; first < frames; first += block) {
        const int64_t count = std::min(block, frames - first);
        for (PathRun& run : runs) {
            restore_animation(run.state);
            const Clock::time_point start = Clock::now();
            for (int64_t i = 0; i < count; ++i) {
                run_frame(run, floor, measured);
                if (progress != nullptr) progress->frame_done(measured, run.path, first + i + 1, frames);
            }
            if (measured) run.wall_ns += nanoseconds_between(start, Clock::now());
            run.state = save_animation();
        }
    }
}

Progress::Progress() : shown(isatty(fileno(stderr)) != 0) {}

void Progress::frame_done(bool measured, SceneBlock::CodePath path, int64_t done, int64_t total)
{
    if (!shown || (done % 16 != 0 && done != total)) return;
    std::fprintf(stderr, "\r%s %s %lld/%lld   ", measured ? "frame" : "warm-up", path_label(path),
                 static_cast<long long>(done), static_cast<long long>(total));
    std::fflush(stderr);
    dirty = true;
}

void Progress::finish()
{
    if (dirty) std::fprintf(stderr, "\r%60s\r", "");
    std::fflush(stderr);
    dirty = false;
}

std::pair<uint64_t, uint64_t> hash_of_frame(const AnimationState& start, int64_t frame, SceneBlock::CodePath path)
{
    restore_animation(start);
    skip_frames(frame - 1);
    scene.code_path = path;
    morvane::render_frame(morvane::platform::renderer_services());
    return frame_buffer_hashes();
}

std::pair<uint64_t, uint64_t> frame_buffer_hashes()
{
    const size_t bytes = static_cast<size_t>(scene.frame_width) * scene.frame_height * sizeof(Pixel);
    return {hash_bytes(scene.colour_buffer, bytes), hash_bytes(scene.depth_buffer, bytes)};
}

} // namespace morvane::bench
