// What every offline tool (morvane-render, morvane-bench) does alike: its command line, parsed
// without side effects by one table of options (argv in, options or one error message out;
// tests and fuzzers call the parsers directly), its exit codes and one-line failures, and the
// renderer's start-up for the screen it was given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace morvane {
struct PlatformServices;
}

namespace morvane::tools {

// ---- Every tool ----

// 1: the run failed; 2: the command line was refused.
constexpr int exit_failed = 1;
constexpr int exit_bad_arguments = 2;

// Writes "program: message" on stderr and returns `code`.
int fail(const char* program, int code, const std::string& message);

// Sizes the frame for the screen, allocates both buffers and prepares the scene. Returns 0, or
// the exit code after saying why on stderr.
int start_for_screen(const char* program, const PlatformServices& platform, int screen_width, int screen_height,
                     uint16_t seed);

// One option a tool knows: its name with the leading "--", whether a value follows it, and what
// taking that value does. `take` returns an empty string when the value is good, else the reason
// as one line that starts with the quoted value (the parser puts the option's name in front).
// An option without a value gets an empty one.
struct OptionRule {
    std::string_view name;
    bool takes_value;
    std::function<std::string(std::string_view value)> take;
};

// What a good command line asks for.
enum class Request { run, help, version };

// Parses argv[1 .. argc-1] by `rules`, the same way for every tool: options are "--name value"
// or "--name=value" (a separate value never starts with "--"), each given at most once. --help,
// -h or --version anywhere on the line is answered at once, whatever else the line holds, the
// first of them winning. Anything else wrong gives no request and one line in `error`, without
// the program's name.
std::optional<Request> parse_command_line(int argc, const char* const* argv, std::span<const OptionRule> rules,
                                          std::string& error);

// A tool's parsed command line: its options, set on success (with only help or version set
// when the line asks for one), or one line of error without the program's name.
template <class Options>
struct Parsed {
    std::optional<Options> options;
    std::string error;
};

// parse_command_line into `result`; true when the line asks to run and the tool's own checks
// of its options come next, false when `result` is final (an error, help or the version).
template <class Options>
bool parse_options(int argc, const char* const* argv, std::span<const OptionRule> rules, Parsed<Options>& result)
{
    const std::optional<Request> request = parse_command_line(argc, argv, rules, result.error);
    if (request == Request::run) return true;
    if (request) (*request == Request::help ? result.options.emplace().help : result.options.emplace().version) = true;
    return false;
}

// A tool's main(): refuses a bad command line (exit code 2), prints the usage or the version
// line when asked (0), and runs the tool otherwise.
template <class Options, class Run>
int run_tool(const char* program, const Parsed<Options>& parsed, const char* usage, const char* version, Run run)
{
    if (!parsed.options) return fail(program, exit_bad_arguments, parsed.error);
    if (!parsed.options->help && !parsed.options->version) return run(*parsed.options);
    std::fputs(parsed.options->help ? usage : version, stdout);
    return 0;
}

// A whole decimal number from `low` to `high` into `number`; else the reason, as `take` returns it.
std::string take_whole_number(std::string_view text, int64_t low, int64_t high, int64_t& number);
// A seed of the ray field, 0 to 65535.
std::string take_seed(std::string_view text, uint16_t& seed);
// A file name: anything but empty.
std::string take_file_name(std::string_view text, std::string& name);

// The largest screen side accepted on the command line.
constexpr int largest_screen_side = 32768;

// A screen size such as 1920x1080 (or 1920X1080): each side 1 to largest_screen_side, leaving
// a frame of at least 2x2 whose buffers stay under 2 GiB each; else the reason, as `take`
// returns it.
std::string parse_screen_size(std::string_view text, int& width, int& height);

// User text for a one-line message: quoted, non-printable bytes escaped, long text cut.
std::string quoted(std::string_view text);

// ---- morvane-render ----

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

// The outputs and the options that name them, in the order of the usage text.
struct RenderOutput {
    const char* option;
    OutputName RenderOptions::*name;
};
constexpr RenderOutput render_outputs[] = {
    {"--png", &RenderOptions::png},
    {"--colour-raw", &RenderOptions::colour_raw},
    {"--depth-raw", &RenderOptions::depth_raw}};

using ParseResult = Parsed<RenderOptions>;
ParseResult parse_render_options(int argc, const char* const* argv);

// The file name for presented frame `frame`: the text itself, or the pattern filled in.
std::string output_file_name(const OutputName& name, int64_t frame);

// The usage text printed by --help, and the line printed by --version.
const char* render_usage();
const char* render_version();

} // namespace morvane::tools
