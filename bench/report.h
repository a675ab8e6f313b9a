// The figures of a benchmark run: per-stage summaries of the frame timings, and the two forms
// they are written in (a table for people, JSON for scripts). Pure functions of their input.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace morvane::bench {

// The rows of a run, in the order they are printed; the names are also the JSON keys.
// The first five are wall time of the frame's stages. floor is not a stage: it is a plain
// streaming fill of as many bytes as both frame buffers, timed beside the frames. The last
// two are processor time, which a busy machine does not inflate by descheduling: the main
// thread's during the frame (clear, transforms, starting and joining the workers, rays) and
// the two workers' together (about twice the rasteriser's wall time when both run freely).
enum class Row { clear, transforms, rasteriser, rays, frame, floor, main_cpu, workers_cpu };
constexpr int row_count = 8;
constexpr std::array<const char*, row_count> row_names = {"clear", "transforms", "rasteriser", "rays",
                                                          "frame", "floor",      "main_cpu",   "workers_cpu"};
constexpr bool is_cpu_row(Row row) { return row == Row::main_cpu || row == Row::workers_cpu; }

// min, median, p95, max and mean of one row, in milliseconds. The median of an even count is
// the mean of the two middle values; p95 is the nearest-rank percentile (the smallest sample
// that at least 95 % of the samples do not exceed).
struct Summary {
    int64_t count = 0;
    double min_ms = 0.0, median_ms = 0.0, p95_ms = 0.0, max_ms = 0.0, mean_ms = 0.0;
};

// Summarises samples in nanoseconds; an empty list gives a zero summary.
Summary summarise(std::span<const int64_t> samples_ns);

// One run of frames on one code path.
struct RunReport {
    std::string code_path;     // "fastest" or "scalar"
    // The inner loops that ran, as each stage names them, e.g. "SSE2", "AVX2", "scalar".
    std::string clear_path, shading_path, rays_path;
    std::array<Summary, row_count> rows{};
    double wall_seconds = 0.0;  // the measured frames and their floor fills, end to end

    const Summary& row(Row r) const { return rows[static_cast<int>(r)]; }
    // Median clear over median floor: 1.0 means the clear runs at the memory's own pace.
    double clear_to_floor() const;
};

struct MachineReport {
    std::string processor;
    unsigned logical_processors = 0;
    // The one-minute load average when the run started and ended; negative when unknown. A
    // load near or above the processor count means other work shared the cores.
    double load_start = -1.0, load_end = -1.0;
    std::string compiler, build_type, flags;
};

struct BenchReport {
    MachineReport machine;
    int screen_width = 0, screen_height = 0;
    int frame_width = 0, frame_height = 0;
    uint16_t seed = 0;
    int64_t warmup_frames = 0, measured_frames = 0;
    int64_t block_frames = 0;  // frames per block when two paths are interleaved, else 0
    std::vector<RunReport> runs;
    // With both paths: whether they drew the same colour and depth bytes in the last frame.
    std::optional<bool> paths_agree;
};

// Scalar median over fastest median for one row; 0 when either run is missing.
double speedup(const BenchReport& report, Row row);

// The human-readable report: machine, build, paths, one table per run, and the speed-ups
// when both paths ran.
std::string format_text(const BenchReport& report);

// The same figures as one JSON object.
std::string format_json(const BenchReport& report);

// A JSON string literal for text: quotes, backslashes and control bytes escaped, and every
// character beyond ASCII written as \u escapes of its UTF-8 code point (U+FFFD for bytes that
// are not well-formed UTF-8), so the output is always valid and plain ASCII.
std::string json_string(const std::string& text);

} // namespace morvane::bench
