// Per-stage summaries of a benchmark run and their text and JSON forms.
#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace morvane::bench {

namespace {

constexpr double ns_per_ms = 1e6;

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// A JSON number: finite values with enough digits to read back the same double, else null.
std::string json_number(double value)
{
    if (!std::isfinite(value)) return "null";
    return format("%.17g", value);
}

const RunReport* run_named(const BenchReport& report, const char* code_path)
{
    for (const RunReport& run : report.runs) {
        if (run.code_path == code_path) return &run;
    }
    return nullptr;
}

double per_second(double ms) { return ms > 0.0 ? 1000.0 / ms : 0.0; }

} // namespace

Summary summarise(std::span<const int64_t> samples_ns)
{
    Summary summary;
    if (samples_ns.empty()) return summary;
    std::vector<int64_t> sorted(samples_ns.begin(), samples_ns.end());
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    summary.count = static_cast<int64_t>(n);
    summary.min_ms = static_cast<double>(sorted.front()) / ns_per_ms;
    summary.max_ms = static_cast<double>(sorted.back()) / ns_per_ms;
    summary.median_ms = (n % 2 == 1 ? static_cast<double>(sorted[n / 2])
                                    : (static_cast<double>(sorted[n / 2 - 1]) + static_cast<double>(sorted[n / 2])) / 2.0) /
                        ns_per_ms;
    // Nearest rank: ceil(0.95 n), counted from 1; in integers, so 20 samples give the 19th.
    const size_t rank = (95 * n + 99) / 100;
    summary.p95_ms = static_cast<double>(sorted[rank - 1]) / ns_per_ms;
    // Summed in long double: a million samples of a few million nanoseconds stay exact.
    const long double total = std::accumulate(sorted.begin(), sorted.end(), 0.0L);
    summary.mean_ms = static_cast<double>(total / static_cast<long double>(n)) / ns_per_ms;
    return summary;
}

double RunReport::clear_to_floor() const
{
    const double floor_ms = row(Row::floor).median_ms;
    return floor_ms > 0.0 ? row(Row::clear).median_ms / floor_ms : 0.0;
}

double speedup(const BenchReport& report, Row row)
{
    const RunReport* fastest = run_named(report, "fastest");
    const RunReport* scalar = run_named(report, "scalar");
    if (fastest == nullptr || scalar == nullptr) return 0.0;
    const double fast_ms = fastest->row(row).median_ms;
    return fast_ms > 0.0 ? scalar->row(row).median_ms / fast_ms : 0.0;
}

std::string format_text(const BenchReport& report)
{
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "morvane-bench: %dx%d frame (screen %dx%d), seed %u, %lld warm-up + %lld measured frames",
                  report.frame_width, report.frame_height, report.screen_width, report.screen_height,
                  static_cast<unsigned>(report.seed), static_cast<long long>(report.warmup_frames),
                  static_cast<long long>(report.measured_frames));
    out += line;
    if (report.block_frames > 0) {
        std::snprintf(line, sizeof line, " per path, interleaved in blocks of %lld", static_cast<long long>(report.block_frames));
        out += line;
    }
    out += "\n";
    out += "processor: " + report.machine.processor + " (" + std::to_string(report.machine.logical_processors) +
           " logical processors)\n";
    if (report.machine.load_start >= 0.0 && report.machine.load_end >= 0.0) {
        std::snprintf(line, sizeof line, "load:      %.2f at the start, %.2f at the end (one-minute load average)\n",
                      report.machine.load_start, report.machine.load_end);
        out += line;
    }
    out += "build:     " + report.machine.compiler + ", " + report.machine.build_type + "\n";
    out += "flags:     " + report.machine.flags + "\n";

    for (const RunReport& run : report.runs) {
        out += "\n" + run.code_path + " paths: clear " + run.clear_path + ", shading " + run.shading_path + ", rays " +
               run.rays_path + "\n";
        out += "  ms                 min     median        p95        max       mean   share   per second\n";
        const double frame_mean = run.row(Row::frame).mean_ms;
        for (int r = 0; r < row_count; ++r) {
            const auto row = static_cast<Row>(r);
            const Summary& s = run.rows[static_cast<size_t>(r)];
            if (is_cpu_row(row) && s.count == 0) continue;  // no processor-time clock here
            if (row == Row::main_cpu) out += "  processor time, not wall time:\n";
            std::snprintf(line, sizeof line, "  %-12s %9.3f  %9.3f  %9.3f  %9.3f  %9.3f", row_names[static_cast<size_t>(r)],
                          s.min_ms, s.median_ms, s.p95_ms, s.max_ms, s.mean_ms);
            out += line;
            if (is_cpu_row(row)) {
                out += "\n";
                continue;
            }
            // The stages' means add up to the frame's; the floor is apart.
            if (row != Row::floor && frame_mean > 0.0) {
                std::snprintf(line, sizeof line, "  %5.1f%%", 100.0 * s.mean_ms / frame_mean);
                out += line;
            } else {
                out += "        ";
            }
            std::snprintf(line, sizeof line, "  %11.1f\n", per_second(s.median_ms));
            out += line;
        }
        const Summary& frame = run.row(Row::frame);
        std::snprintf(line, sizeof line, "  frame rate %.1f fps at the median frame, %.1f at the mean; clear / floor %.2f (medians); %.1f s\n",
                      per_second(frame.median_ms), per_second(frame.mean_ms), run.clear_to_floor(), run.wall_seconds);
        out += line;
    }

    if (run_named(report, "fastest") != nullptr && run_named(report, "scalar") != nullptr) {
        out += "\nspeed-up of the fastest paths over the scalar ones (scalar median / fastest median)\n";
        for (int r = 0; r < row_count; ++r) {
            const auto row = static_cast<Row>(r);
            if (row == Row::floor) continue;  // the same fill in both runs
            if (is_cpu_row(row) && speedup(report, row) == 0.0) continue;
            std::snprintf(line, sizeof line, "  %-12s %8.2fx\n", row_names[static_cast<size_t>(r)], speedup(report, row));
            out += line;
        }
    }
    if (report.paths_agree) {
        out += std::string("\nthe two paths drew ") + (*report.paths_agree ? "the same" : "DIFFERENT") +
               " colour and depth bytes in frame " + std::to_string(report.measured_frames) + "\n";
    }
    return out;
}

std::string json_string(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else if (byte > 0x7F) {
            out += '?';
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string format_json(const BenchReport& report)
{
    const auto integer = [](int64_t v) { return std::to_string(v); };
    std::string out = "{\n";
    out += "  \"tool\": \"morvane-bench\",\n";
    out += "  \"machine\": {\"processor\": " + json_string(report.machine.processor) +
           ", \"logical_processors\": " + integer(report.machine.logical_processors) +
           ", \"load_average_start\": " + (report.machine.load_start >= 0.0 ? json_number(report.machine.load_start) : "null") +
           ", \"load_average_end\": " + (report.machine.load_end >= 0.0 ? json_number(report.machine.load_end) : "null") +
           "},\n";
    out += "  \"build\": {\"compiler\": " + json_string(report.machine.compiler) +
           ", \"build_type\": " + json_string(report.machine.build_type) +
           ", \"flags\": " + json_string(report.machine.flags) + "},\n";
    out += "  \"screen\": {\"width\": " + integer(report.screen_width) + ", \"height\": " + integer(report.screen_height) +
           "},\n";
    out += "  \"frame\": {\"width\": " + integer(report.frame_width) + ", \"height\": " + integer(report.frame_height) +
           "},\n";
    out += "  \"seed\": " + integer(report.seed) + ",\n";
    out += "  \"warmup_frames\": " + integer(report.warmup_frames) + ",\n";
    out += "  \"measured_frames\": " + integer(report.measured_frames) + ",\n";
    out += "  \"block_frames\": " + integer(report.block_frames) + ",\n";
    out += "  \"runs\": [";
    for (size_t i = 0; i < report.runs.size(); ++i) {
        const RunReport& run = report.runs[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\n";
        out += "      \"code_path\": " + json_string(run.code_path) + ",\n";
        out += "      \"paths\": {\"clear\": " + json_string(run.clear_path) + ", \"shading\": " +
               json_string(run.shading_path) + ", \"rays\": " + json_string(run.rays_path) + "},\n";
        out += "      \"stages\": {";
        for (int r = 0; r < row_count; ++r) {
            const Summary& s = run.rows[static_cast<size_t>(r)];
            out += r == 0 ? "\n" : ",\n";
            out += std::string("        \"") + row_names[static_cast<size_t>(r)] + "\": {\"count\": " + integer(s.count) +
                   ", \"min_ms\": " + json_number(s.min_ms) + ", \"median_ms\": " + json_number(s.median_ms) +
                   ", \"p95_ms\": " + json_number(s.p95_ms) + ", \"max_ms\": " + json_number(s.max_ms) +
                   ", \"mean_ms\": " + json_number(s.mean_ms) +
                   ", \"per_second_median\": " + json_number(per_second(s.median_ms)) + "}";
        }
        out += "\n      },\n";
        const Summary& frame = run.row(Row::frame);
        out += "      \"frames_per_second\": {\"median\": " + json_number(per_second(frame.median_ms)) +
               ", \"mean\": " + json_number(per_second(frame.mean_ms)) + "},\n";
        out += "      \"clear_to_floor\": " + json_number(run.clear_to_floor()) + ",\n";
        out += "      \"wall_seconds\": " + json_number(run.wall_seconds) + "\n";
        out += "    }";
    }
    out += report.runs.empty() ? "],\n" : "\n  ],\n";
    out += "  \"paths_agree\": ";
    out += report.paths_agree ? (*report.paths_agree ? "true" : "false") : "null";
    out += ",\n";
    out += "  \"speedup\": ";
    if (run_named(report, "fastest") != nullptr && run_named(report, "scalar") != nullptr) {
        out += "{";
        bool first = true;
        for (int r = 0; r < row_count; ++r) {
            const auto row = static_cast<Row>(r);
            if (row == Row::floor) continue;
            if (is_cpu_row(row) && speedup(report, row) == 0.0) continue;
            out += first ? "" : ", ";
            first = false;
            out += std::string("\"") + row_names[static_cast<size_t>(r)] + "\": " + json_number(speedup(report, row));
        }
        out += "}\n";
    } else {
        out += "null\n";
    }
    out += "}\n";
    return out;
}

} // namespace morvane::bench
