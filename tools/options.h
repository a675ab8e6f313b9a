// The command line of morvane-render, parsed without side effects: argv in, options or one
// error message out. Tests and fuzzers call it directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvane::tools {

// A file name for frame number n: either used as given (one frame) or a pattern with exactly
// one integer conversion such as frame-%04d.png (several frames). "%%" stands for a '%'.
struct OutputName {
    std::string text;   // as given on the command line; empty when the output is not wanted
    bool numbered = false;
    std::string prefix;  // numbered: the text before the conversion, "%%" already undone
    std::string suffix;  // numbered: the text after it
    std::string conversion;  // numbered: the validated conversion, e.g. "%04" (without the letter)
    bool wanted() const { return !text.empty(); }
};

struct RenderOptions {
    bool help = false;
    bool version = false;  // --version: print the version and draw nothing
    int screen_width = 1920;
    int screen_height = 1080;
    std::optional<uint16_t> seed;  // none: seeded from the tick counter
    int64_t first_frame = 1;       // 1-based number of the first presented frame to write
    int64_t count = 1;
    OutputName png;
    OutputName colour_raw;
    OutputName depth_raw;
};

struct ParseResult {
    std::optional<RenderOptions> options;  // set on success
    std::string error;                     // one line, without the program's name
};

// Parses argv[1 .. argc-1]. Accepts "--name value" and "--name=value".
ParseResult parse_render_options(int argc, const char* const* argv);

// The file name for presented frame `frame`: the text itself, or the pattern filled in.
std::string output_file_name(const OutputName& name, int64_t frame);

// User text for a one-line message: quoted, non-printable bytes escaped, long text cut.
std::string quoted(std::string_view text);

// The usage text printed by --help.
const char* render_usage();

// The line printed by --version: the program's name and the project's version.
const char* render_version();

// The largest screen side accepted on the command line.
constexpr int largest_screen_side = 32768;

// ---- Command-line words and values every tool shares ----

// An option word: "--name" or "--name=value".
struct OptionWord {
    std::string_view name;                  // with its leading "--"
    std::optional<std::string_view> value;  // set for "--name=value"
};

// argv[i] as an option word; none when it is not one (it must start "--" and name something).
std::optional<OptionWord> option_word(const char* argument);

// The value of the option at argv[i] that came without "=value": the next word, which i then
// moves past; none at the end of the line or when the next word is an option itself
// ("--png=--odd-name" still gives a value that starts with "--").
std::optional<std::string_view> next_word_as_value(int argc, const char* const* argv, int& i);

// A whole decimal integer: digits with an optional leading '-', nothing else, no overflow.
std::optional<int64_t> parse_integer(std::string_view text);

// A screen size such as 1920x1080 (or 1920X1080): each side 1 to largest_screen_side, leaving
// a frame of at least 2x2 whose buffers stay under 2 GiB each. Returns an empty string and
// sets width and height on success, else the reason as one line that starts with the quoted
// text (the caller puts the option's name in front).
std::string parse_screen_size(std::string_view text, int& width, int& height);

} // namespace morvane::tools
