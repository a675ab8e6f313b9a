// What the tools share: strict parsing of every value, morvane-render's numbered output names
// (validated so that no user text ever reaches a format string), failing and starting.
#include "tools/options.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <string_view>
#include <vector>

#include "morvane_version.h"
#include "pipeline/pipeline.h"

namespace morvane::tools {

namespace {

// The first presented frame is drawn with frame_counter 30, so frame n uses 29 + n, and the
// last frame asked for must keep that signed 32-bit.
constexpr int64_t first_frame_counter = 30;
constexpr int64_t last_frame_number = std::numeric_limits<int32_t>::max() - (first_frame_counter - 1);

constexpr size_t quoted_length_limit = 60;

// Checks a file name that must carry a frame number and splits it around the conversion.
// Returns an empty string on success, else the reason.
std::string parse_numbered_name(OutputName& name)
{
    const std::string& text = name.text;
    std::string* part = &name.prefix;  // the suffix once the conversion is found
    name.prefix.clear();
    name.suffix.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            *part += text[i];
            continue;
        }
        size_t j = i + 1;
        if (j < text.size() && text[j] == '%') {
            *part += '%';
            i = j;
            continue;
        }
        std::string conversion = "%";
        while (j < text.size() && (text[j] == '0' || text[j] == '-')) conversion += text[j++];
        size_t digits = 0;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9' && digits < 3) {
            conversion += text[j++];
            ++digits;
        }
        if (digits > 2) return "has a field width above 99";
        if (j >= text.size() || (text[j] != 'd' && text[j] != 'i' && text[j] != 'u')) {
            return "has a % directive other than a frame number like %d or %04d";
        }
        if (part == &name.suffix) return "has more than one frame number conversion";
        name.conversion = conversion;
        part = &name.suffix;
        i = j;
    }
    if (part == &name.prefix) return "needs a frame number conversion such as %04d when --count is above 1";
    name.numbered = true;
    return {};
}

// A whole decimal integer: digits with an optional leading '-', nothing else, no overflow.
std::optional<int64_t> parse_integer(std::string_view text)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

} // namespace

int fail(const char* program, int code, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return code;
}

int start_for_screen(const char* program, const PlatformServices& platform, int screen_width, int screen_height,
                     uint16_t seed)
{
    if (!set_frame_size(screen_width, screen_height, seed)) {
        return fail(program, exit_bad_arguments,
                    "a " + std::to_string(screen_width) + "x" + std::to_string(screen_height) +
                        " screen gives no usable frame");
    }
    if (!allocate_frame_buffers(platform)) {
        return fail(program, exit_failed,
                    "cannot allocate two " + std::to_string(scene.frame_width) + "x" +
                        std::to_string(scene.frame_height) + " frame buffers");
    }
    prepare_scene();
    return 0;
}

std::optional<Request> parse_command_line(int argc, const char* const* argv, std::span<const OptionRule> rules,
                                          std::string& error)
{
    const auto word_at = [&](int i) { return std::string_view(argv[i] != nullptr ? argv[i] : ""); };
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = word_at(i);
        if (word == "--help" || word == "-h") return Request::help;
        if (word == "--version") return Request::version;
    }
    const auto refuse = [&error](std::string why) {
        error = std::move(why);
        return std::nullopt;
    };
    std::vector<bool> seen(rules.size(), false);
    for (int i = 1; i < argc; ++i) {
        // "--name" or "--name=value".
        const std::string_view word = word_at(i);
        if (word.size() < 3 || !word.starts_with("--")) {
            return refuse("unexpected argument " + quoted(word) + " (see --help)");
        }
        const size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        std::optional<std::string_view> value;
        if (equals != std::string_view::npos) value = word.substr(equals + 1);

        size_t r = 0;
        while (r < rules.size() && rules[r].name != name) ++r;
        if (r == rules.size()) return refuse("unknown option " + quoted(name) + " (see --help)");
        const OptionRule& rule = rules[r];
        const std::string option(name);
        if (seen[r]) return refuse(option + " given twice");
        seen[r] = true;
        if (!rule.takes_value && value) return refuse(option + " takes no value");
        // A value of its own word never starts with "--" ("--png=--odd-name" still may).
        if (rule.takes_value && !value && i + 1 < argc && !word_at(i + 1).starts_with("--")) value = word_at(++i);
        if (rule.takes_value && !value) return refuse(option + " needs a value");
        const std::string reason = rule.take(value.value_or(""));
        if (!reason.empty()) return refuse((option + " ").append(reason));
    }
    return Request::run;
}

std::string take_whole_number(std::string_view text, int64_t low, int64_t high, int64_t& number)
{
    const auto value = parse_integer(text);
    if (!value || *value < low || *value > high) {
        return quoted(text) + " is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
    }
    number = *value;
    return {};
}

std::string take_seed(std::string_view text, uint16_t& seed)
{
    int64_t value = 0;
    std::string reason = take_whole_number(text, 0, 65535, value);
    if (reason.empty()) seed = static_cast<uint16_t>(value);
    return reason;
}

std::string take_file_name(std::string_view text, std::string& name)
{
    if (text.empty()) return "needs a file name";
    name = std::string(text);
    return {};
}

std::string parse_screen_size(std::string_view text, int& width, int& height)
{
    const size_t x = text.find_first_of("xX");
    const auto w = x == std::string_view::npos ? std::nullopt : parse_integer(text.substr(0, x));
    const auto h = x == std::string_view::npos ? std::nullopt : parse_integer(text.substr(x + 1));
    if (!w || !h) return quoted(text) + " is not a size like 1920x1080";
    if (*w < 1 || *h < 1 || *w > largest_screen_side || *h > largest_screen_side) {
        return quoted(text) + ": each side must be 1 to " + std::to_string(largest_screen_side);
    }
    int frame_width = 0, frame_height = 0;
    if (!morvane::frame_size_for_screen(static_cast<int>(*w), static_cast<int>(*h), frame_width, frame_height)) {
        return quoted(text) + " leaves a frame under 2x2 pixels";
    }
    if (int64_t{frame_width} * frame_height * 4 > std::numeric_limits<int32_t>::max()) {
        return quoted(text) + ": the frame buffers of a " + std::to_string(frame_width) + "x" +
               std::to_string(frame_height) + " frame would exceed 2 GiB each";
    }
    width = static_cast<int>(*w);
    height = static_cast<int>(*h);
    return {};
}

std::string quoted(std::string_view text)
{
    std::string out = "'";
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == quoted_length_limit) {
            out += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += {'\\', 'x', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
        }
    }
    return out + "'";
}

ParseResult parse_render_options(int argc, const char* const* argv)
{
    ParseResult result;
    RenderOptions options;
    const auto file = [&options](OutputName RenderOptions::*name) {
        return [&options, name](std::string_view v) { return take_file_name(v, (options.*name).text); };
    };
    const OptionRule rules[] = {
        {"--screen", true,
         [&](std::string_view v) { return parse_screen_size(v, options.screen_width, options.screen_height); }},
        {"--seed", true, [&](std::string_view v) { return take_seed(v, options.seed.emplace()); }},
        {"--frame", true,
         [&](std::string_view v) { return take_whole_number(v, 1, last_frame_number, options.first_frame); }},
        {"--count", true,
         [&](std::string_view v) { return take_whole_number(v, 1, last_frame_number, options.count); }},
        {"--png", true, file(&RenderOptions::png)},
        {"--colour-raw", true, file(&RenderOptions::colour_raw)},
        {"--depth-raw", true, file(&RenderOptions::depth_raw)},
    };
    if (!parse_options(argc, argv, rules, result)) return result;

    if (options.first_frame + options.count - 1 > last_frame_number) {
        return {{}, "--frame and --count reach beyond frame " + std::to_string(last_frame_number)};
    }
    if (!options.png.wanted() && !options.colour_raw.wanted() && !options.depth_raw.wanted()) {
        return {{}, "nothing to write: give --png, --colour-raw or --depth-raw (see --help)"};
    }
    for (const RenderOutput& output : render_outputs) {
        OutputName& name = options.*output.name;
        if (!name.wanted()) continue;
        for (const RenderOutput& other : render_outputs) {
            if (&other == &output) break;
            if ((options.*other.name).text == name.text) {
                return {{}, std::string(other.option) + " and " + output.option + " name the same file " +
                                quoted(name.text)};
            }
        }
        if (options.count > 1) {
            const std::string reason = parse_numbered_name(name);
            if (!reason.empty()) return {{}, std::string(output.option) + " " + quoted(name.text) + " " + reason};
        }
    }
    return {options, {}};
}

std::string output_file_name(const OutputName& name, int64_t frame)
{
    if (!name.numbered) return name.text;
    // The format is built from the validated flags and width alone, never from user text.
    const std::string format = name.conversion + "lld";
    char number[128];
    std::snprintf(number, sizeof number, format.c_str(), static_cast<long long>(frame));
    return name.prefix + number + name.suffix;
}

const char* render_usage()
{
    return "usage: morvane-render [options]\n"
           "Renders frames of the spinning slab offline and writes them to files.\n"
           "\n"
           "  --screen WxH       screen size the frame is derived from, as the window would be\n"
           "                     (the screen less 10 pixels, even sides); default 1920x1080\n"
           "  --seed N           seed of the ray field, 0 to 65535; default from the tick\n"
           "                     counter (printed, so the image can be made again)\n"
           "  --frame N          first presented frame to write, 1-based; default 1\n"
           "  --count K          number of consecutive frames; default 1\n"
           "  --png FILE         the image as an RGB PNG\n"
           "  --colour-raw FILE  the colour buffer as in memory: B, G, R, X bytes, rows top down\n"
           "  --depth-raw FILE   the depth buffer as little-endian 32-bit floats, rows top down\n"
           "  --help             this text\n"
           "  --version          the version of morvane-render\n"
           "\n"
           "With --count above 1 every FILE must hold one frame number conversion such as\n"
           "frame-%04d.png (flags 0 and -, width up to 99; %% for a literal percent sign);\n"
           "with one frame FILE is used as given. Files appear only when complete.\n";
}

const char* render_version() { return "morvane-render " MORVANE_VERSION "\n"; }

} // namespace morvane::tools
