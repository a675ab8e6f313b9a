// The benchmark's frame loop: frames drawn exactly as the main loop draws them (render, then
// count the frame), each path with its own animation state so that two paths can take turns
// and still draw the same frames, and the floor fill timed after every frame.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "bench/report.h"
#include "scene/scene.h"

namespace morvane::bench {

// The animation state a frame changes; everything else a frame writes is rebuilt from it by
// the next frame. Saved right after start-up, it makes the next frame frame 1 again.
struct AnimationState {
    int32_t frame_counter;
    uint16_t zoom_counter;
    uint8_t zoom_shrinking;
    float zoom_scale;
};
AnimationState save_animation();
void restore_animation(const AnimationState& state);

// The memory the floor fill writes: as many bytes as both frame buffers, apart from them so
// that the fill leaves the frame buffers' cache state as the frame left it. It gets the values
// the clear writes, colour_count zeros and then the depth clear value: some machines write
// zeros markedly faster than other values (one measured here took half the time), so a floor
// of zeros alone would not be the clear's floor.
struct FloorBuffer {
    uint32_t* values = nullptr;
    int64_t count = 0;         // a multiple of 16
    int64_t colour_count = 0;  // a multiple of 16, at most count
};

// Fills the floor buffer as the clear fills the two frame buffers.
void fill_floor(const FloorBuffer& floor);

// "fastest" or "scalar", as the report and the progress line name a code path.
inline const char* path_label(SceneBlock::CodePath path)
{
    return path == SceneBlock::CodePath::scalar ? "scalar" : "fastest";
}

// One code path's run: where its animation stands, and one sample per measured frame and
// row (nanoseconds), in vectors reserved before the run so the loop allocates nothing.
struct PathRun {
    SceneBlock::CodePath path = SceneBlock::CodePath::fastest;
    AnimationState state{};
    std::array<std::vector<int64_t>, row_count> samples;
    int64_t wall_ns = 0;  // measured frames and their floor fills, end to end

    PathRun(SceneBlock::CodePath code_path, const AnimationState& start, int64_t frames);
};

// A progress line on stderr, only when stderr is a terminal: a file or a pipe that collects
// the report stays clean. Rewritten every 16th frame, so that writing it costs next to nothing.
struct Progress {
    bool shown = false;  // stderr is a terminal
    bool dirty = false;  // a line stands to be erased
    Progress();
    void frame_done(bool measured, SceneBlock::CodePath path, int64_t done, int64_t total);
    void finish();  // erases the line
};

// Two paths interleave in blocks this long: short enough that a burst of load from another
// process lands on both, long enough that each block runs in a settled cache and predictor.
constexpr int64_t compare_block_frames = 8;

// Draws `frames` frames on every path of `runs`, the paths taking turns block by block (one
// block of all frames when there is one path); each path continues its own animation where
// its previous block ended. Records the samples when `measured`. progress may be null.
void run_interleaved(std::vector<PathRun>& runs, const FloorBuffer& floor, int64_t frames, bool measured,
                     Progress* progress);

// Hashes of the colour and the depth buffer as they stand.
std::pair<uint64_t, uint64_t> frame_buffer_hashes();

// Hashes of the colour and the depth buffer after drawing frame `frame` (1-based) from the
// start state on `path`; two paths that draw the same bytes give the same pair.
std::pair<uint64_t, uint64_t> hash_of_frame(const AnimationState& start, int64_t frame, SceneBlock::CodePath path);

} // namespace morvane::bench
