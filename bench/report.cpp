// Per-stage summaries of a benchmark run and their text and JSON forms.
#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <numeric>
#include <utility>

namespace morvane::bench {

namespace {

constexpr double ns_per_ms = 1e6;

// printf into a string, for the report's columns.
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...)
{
    va_list arguments;
    va_start(arguments, pattern);
    char text[512];
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
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

bool both_paths(const BenchReport& report)
{
    return run_named(report, "fastest") != nullptr && run_named(report, "scalar") != nullptr;
}

// The rows the speed-ups are given for: not the floor, the same fill in both runs, nor a
// processor-time row this platform has no clock for.
bool has_speedup(const BenchReport& report, Row row)
{
    return row != Row::floor && !(is_cpu_row(row) && speedup(report, row) == 0.0);
}

// A JSON document written member by member: it places the commas, the line breaks and the
// indentation, so no caller does. Objects opened with a key must be inside an object.
class JsonWriter {
public:
    void open(const char* key, char bracket)
    {
        start_member(key);
        text_ += bracket;
        depth_.push_back(true);
    }
    void close(char bracket)
    {
        const bool empty = depth_.back();
        depth_.pop_back();
        if (!empty) text_ += "\n" + std::string(2 * depth_.size(), ' ');
        text_ += bracket;
    }
    // A member whose value is JSON text already (a number, a literal or a quoted string).
    void member(const char* key, const std::string& value)
    {
        start_member(key);
        text_ += value;
    }
    // An object of such members.
    void object(const char* key, std::initializer_list<std::pair<const char*, std::string>> members)
    {
        open(key, '{');
        for (const auto& [name, value] : members) member(name, value);
        close('}');
    }
    std::string finish() { return text_ + "\n"; }

private:
    void start_member(const char* key)
    {
        if (!depth_.empty()) {
            text_ += depth_.back() ? "\n" : ",\n";
            depth_.back() = false;
            text_ += std::string(2 * depth_.size(), ' ');
        }
        if (key != nullptr) text_ += json_string(key) + ": ";
    }

    std::string text_;
    std::vector<bool> depth_;  // per open bracket: nothing written inside it yet
};

std::string json_integer(int64_t value) { return std::to_string(value); }
// The load averages: negative when unknown.
std::string json_optional(double value) { return value >= 0.0 ? json_number(value) : "null"; }

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
    std::string out = format("morvane-bench: %dx%d frame (screen %dx%d), seed %u, %lld warm-up + %lld measured frames",
                             report.frame_width, report.frame_height, report.screen_width, report.screen_height,
                             static_cast<unsigned>(report.seed), static_cast<long long>(report.warmup_frames),
                             static_cast<long long>(report.measured_frames));
    if (report.block_frames > 0) {
        out += format(" per path, interleaved in blocks of %lld", static_cast<long long>(report.block_frames));
    }
    out += "\n";
    out += "processor: " + report.machine.processor + " (" + std::to_string(report.machine.logical_processors) +
           " logical processors)\n";
    if (report.machine.load_start >= 0.0 && report.machine.load_end >= 0.0) {
        out += format("load:      %.2f at the start, %.2f at the end (one-minute load average)\n",
                      report.machine.load_start, report.machine.load_end);
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
            out += format("  %-12s %9.3f  %9.3f  %9.3f  %9.3f  %9.3f", row_names[static_cast<size_t>(r)], s.min_ms,
                          s.median_ms, s.p95_ms, s.max_ms, s.mean_ms);
            if (!is_cpu_row(row)) {
                // The stages' means add up to the frame's; the floor is apart.
                const bool share = row != Row::floor && frame_mean > 0.0;
                out += share ? format("  %5.1f%%", 100.0 * s.mean_ms / frame_mean) : std::string(8, ' ');
                out += format("  %11.1f", per_second(s.median_ms));
            }
            out += "\n";
        }
        const Summary& frame = run.row(Row::frame);
        out += format("  frame rate %.1f fps at the median frame, %.1f at the mean; clear / floor %.2f (medians); %.1f s\n",
                      per_second(frame.median_ms), per_second(frame.mean_ms), run.clear_to_floor(), run.wall_seconds);
    }

    if (both_paths(report)) {
        out += "\nspeed-up of the fastest paths over the scalar ones (scalar median / fastest median)\n";
        for (int r = 0; r < row_count; ++r) {
            const auto row = static_cast<Row>(r);
            if (!has_speedup(report, row)) continue;
            out += format("  %-12s %8.2fx\n", row_names[static_cast<size_t>(r)], speedup(report, row));
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
    const auto escape = [&out](uint32_t unit) { out += format("\\u%04x", static_cast<unsigned>(unit)); };
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            if (byte == '"' || byte == '\\') out += '\\';
            if (byte < 0x20) {
                escape(byte);
            } else {
                out += static_cast<char>(byte);
            }
            ++i;
            continue;
        }
        // UTF-8: the code point as \u escapes (a surrogate pair above U+FFFF). Anything that is
        // not well-formed UTF-8 (a stray byte, an overlong or cut sequence) becomes U+FFFD.
        const int length = byte >= 0xF0 && byte < 0xF5 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
        uint32_t code = length == 4 ? byte & 0x07u : length == 3 ? byte & 0x0Fu : byte & 0x1Fu;
        bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            valid = (next & 0xC0u) == 0x80u;
            code = code << 6 | (next & 0x3Fu);
        }
        const uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= smallest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            escape(0xFFFD);
        } else if (code >= 0x10000) {
            escape(0xD800 + ((code - 0x10000) >> 10));
            escape(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            escape(code);
        }
        i += valid ? static_cast<size_t>(length) : 1;
    }
    return out + "\"";
}

std::string format_json(const BenchReport& report)
{
    JsonWriter json;
    json.open(nullptr, '{');
    json.member("tool", json_string("morvane-bench"));
    json.object("machine", {{"processor", json_string(report.machine.processor)},
                            {"logical_processors", json_integer(report.machine.logical_processors)},
                            {"load_average_start", json_optional(report.machine.load_start)},
                            {"load_average_end", json_optional(report.machine.load_end)}});
    json.object("build", {{"compiler", json_string(report.machine.compiler)},
                          {"build_type", json_string(report.machine.build_type)},
                          {"flags", json_string(report.machine.flags)}});
    json.object("screen",
                {{"width", json_integer(report.screen_width)}, {"height", json_integer(report.screen_height)}});
    json.object("frame", {{"width", json_integer(report.frame_width)}, {"height", json_integer(report.frame_height)}});
    json.member("seed", json_integer(report.seed));
    json.member("warmup_frames", json_integer(report.warmup_frames));
    json.member("measured_frames", json_integer(report.measured_frames));
    json.member("block_frames", json_integer(report.block_frames));
    json.open("runs", '[');
    for (const RunReport& run : report.runs) {
        json.open(nullptr, '{');
        json.member("code_path", json_string(run.code_path));
        json.object("paths", {{"clear", json_string(run.clear_path)},
                              {"shading", json_string(run.shading_path)},
                              {"rays", json_string(run.rays_path)}});
        json.open("stages", '{');
        for (int r = 0; r < row_count; ++r) {
            const Summary& s = run.rows[static_cast<size_t>(r)];
            json.object(row_names[static_cast<size_t>(r)],
                        {{"count", json_integer(s.count)}, {"min_ms", json_number(s.min_ms)},
                         {"median_ms", json_number(s.median_ms)}, {"p95_ms", json_number(s.p95_ms)},
                         {"max_ms", json_number(s.max_ms)}, {"mean_ms", json_number(s.mean_ms)},
                         {"per_second_median", json_number(per_second(s.median_ms))}});
        }
        json.close('}');
        const Summary& frame = run.row(Row::frame);
        json.object("frames_per_second", {{"median", json_number(per_second(frame.median_ms))},
                                          {"mean", json_number(per_second(frame.mean_ms))}});
        json.member("clear_to_floor", json_number(run.clear_to_floor()));
        json.member("wall_seconds", json_number(run.wall_seconds));
        json.close('}');
    }
    json.close(']');
    json.member("paths_agree", report.paths_agree ? (*report.paths_agree ? "true" : "false") : "null");
    if (both_paths(report)) {
        json.open("speedup", '{');
        for (int r = 0; r < row_count; ++r) {
            const auto row = static_cast<Row>(r);
            if (has_speedup(report, row)) json.member(row_names[static_cast<size_t>(r)], json_number(speedup(report, row)));
        }
        json.close('}');
    } else {
        json.member("speedup", "null");
    }
    json.close('}');
    return json.finish();
}

} // namespace morvane::bench
