// morvane-render's command line under abuse: thousands of generated argument lists through the
// parser and a sample of them through the real program. Whatever comes in, the parser gives
// either options that keep every limit or one printable error line, and the program either
// writes complete files or says why on one line, exits non-zero, and leaves no file
// half-written under its final name. (Fixed hostile runs are in test_render_tool.)
#include <gtest/gtest.h>

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "host/platform.h"
#include "tests/render_tool_run.h"
#include "tools/options.h"

using namespace morvane;
using namespace morvane::tools;
namespace fs = std::filesystem;

namespace {

// The first presented frame is drawn with frame_counter 30; the last must stay a signed 32-bit
// count, so frame numbers run to 2^31 - 1 - 29.
constexpr int64_t last_frame_number = 2147483647 - 29;

// mt19937_64's sequence is fixed by the standard, so a seed gives the same argument lists with
// every standard library (its distributions are not, hence the plain modulo).
struct Generator {
    std::mt19937_64 engine;
    size_t below(size_t n) { return static_cast<size_t>(engine() % n); }
    bool percent(int p) { return below(100) < static_cast<size_t>(p); }
    template <class T, size_t N>
    const T& pick(const T (&items)[N])
    {
        return items[below(N)];
    }
};

constexpr const char* option_names[] = {"--screen", "--seed",      "--frame",     "--count",
                                        "--png",    "--colour-raw", "--depth-raw", "--help",
                                        "--version"};
constexpr const char* near_names[] = {"-h", "--", "-", "---png", "--PNG", "--png-", "--screens", "--seed ",
                                      "--=", "--frame=", "-png", "--colour_raw", "--depth-raw=--png"};
constexpr const char* numbers[] = {
    "0", "1", "2", "-1", "-0", "+1", "01", "12", "65535", "65536", "1824", "2147483618", "2147483619",
    "2147483647", "2147483648", "-2147483648", "4294967296", "9223372036854775807", "9223372036854775808",
    "99999999999999999999999", "0x10", "1e3", "1.5", " 1", "1 ", "", "\xd9\xa1", "NaN", "inf", "--1"};
constexpr const char* screens[] = {
    "12x12", "11x11", "12x11", "13x13", "1920x1080", "1365x768", "600x3840", "32768x600", "32768x32768",
    "32769x12", "23180x23180", "23181x23181", "23182x23180", "0x0", "-12x12", "12x-12", "12X12", "12xx12", "x12", "12x",
    "12", "x", "1920x1080x1", "99999999999x12", "12x99999999999", "+12x12", " 12x12", "12 x12", "1e3x12"};
constexpr const char* file_names[] = {
    "a.png", "b.raw", "f%04d.png", "%d", "%i-%%.raw", "%%", "%n", "%s", "%99d", "%100d", "%-0d", "%0-5u",
    "%*d", "%ld", "%lld", "%.3d", "%+d", "% d", "%#d", "%", "f%d%d", "--odd", "-", ".", "..", "/",
    "missing-dir/x.png", "/proc/version", "/proc/nope/x.raw", "a\nb", "\x1b[2J", "\xff\xfe", "=", "a=b"};

// One random byte string without NUL (argv cannot hold one).
std::string random_bytes(Generator& g)
{
    std::string text(g.below(24), ' ');
    for (char& c : text) c = static_cast<char>(1 + g.below(255));
    return text;
}

std::string random_value(Generator& g)
{
    switch (g.below(5)) {
    case 0: return g.pick(numbers);
    case 1: return g.pick(screens);
    case 2: return g.pick(file_names);
    case 3: return random_bytes(g);
    default: return std::string(g.pick(file_names)) + std::string(g.below(300), 'x');
    }
}

// The value an option usually takes, so that many lists get past the first check.
std::string likely_value(Generator& g, std::string_view name)
{
    if (g.percent(20)) return random_value(g);
    if (name == "--screen") return g.pick(screens);
    if (name == "--seed" || name == "--frame" || name == "--count") return g.pick(numbers);
    return g.pick(file_names);
}

std::vector<std::string> random_arguments(Generator& g)
{
    std::vector<std::string> arguments;
    for (size_t tokens = g.below(9); tokens > 0; --tokens) {
        const size_t kind = g.below(100);
        if (kind < 70) {
            const std::string name = g.pick(option_names);
            const std::string value = likely_value(g, name);
            if (g.percent(50)) {
                arguments.push_back(name + "=" + value);
            } else {
                arguments.push_back(name);
                if (g.percent(92)) arguments.push_back(value);  // else: a missing value
            }
        } else {
            arguments.push_back(kind < 82 ? std::string(g.pick(near_names)) : random_value(g));
        }
    }
    return arguments;
}

ParseResult parse(const std::vector<std::string>& arguments)
{
    std::vector<const char*> argv = {"morvane-render"};
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    return parse_render_options(static_cast<int>(argv.size()), argv.data());
}

std::string shown(const std::vector<std::string>& arguments)
{
    std::string text;
    for (const std::string& a : arguments) text += tools::quoted(a) + " ";
    return text;
}

bool printable_line(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// The options written back as a command line ("--name=value" throughout).
std::vector<std::string> canonical(const RenderOptions& o)
{
    std::vector<std::string> out = {
        "--screen=" + std::to_string(o.screen_width) + "x" + std::to_string(o.screen_height),
        "--frame=" + std::to_string(o.first_frame), "--count=" + std::to_string(o.count)};
    if (o.seed) out.push_back("--seed=" + std::to_string(*o.seed));
    if (o.png.wanted()) out.push_back("--png=" + o.png.text);
    if (o.colour_raw.wanted()) out.push_back("--colour-raw=" + o.colour_raw.text);
    if (o.depth_raw.wanted()) out.push_back("--depth-raw=" + o.depth_raw.text);
    return out;
}

// Everything a successful parse promises.
void expect_within_limits(const RenderOptions& o, const std::string& context)
{
    int frame_width = 0, frame_height = 0;
    ASSERT_TRUE(morvane::frame_size_for_screen(o.screen_width, o.screen_height, frame_width, frame_height)) << context;
    EXPECT_LE(std::max(o.screen_width, o.screen_height), largest_screen_side) << context;
    EXPECT_LE(int64_t{frame_width} * frame_height * 4, int64_t{2147483647}) << context;
    EXPECT_GE(o.first_frame, 1) << context;
    EXPECT_GE(o.count, 1) << context;
    EXPECT_LE(o.first_frame + o.count - 1, last_frame_number) << context;
    const OutputName* names[] = {&o.png, &o.colour_raw, &o.depth_raw};
    EXPECT_TRUE(o.png.wanted() || o.colour_raw.wanted() || o.depth_raw.wanted()) << context;
    for (size_t i = 0; i < 3; ++i) {
        const OutputName& name = *names[i];
        if (!name.wanted()) continue;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(name.text, names[j]->text) << context;
        EXPECT_EQ(name.numbered, o.count > 1) << context;
        const std::string first = output_file_name(name, o.first_frame);
        EXPECT_FALSE(first.empty()) << context;
        if (o.count > 1) {
            EXPECT_NE(first, output_file_name(name, o.first_frame + o.count - 1)) << "frames share a file: " << context;
            EXPECT_NE(first.find(std::to_string(o.first_frame)), std::string::npos) << context;
        } else {
            EXPECT_EQ(first, name.text) << context;
        }
    }
}

// Whether text is a whole decimal number (optional '-', digits) from low to high, judged on
// the digits alone, so that no length of number can overflow the judgement.
bool decimal_in_range(std::string_view text, int64_t low, int64_t high)
{
    const bool negative = text.starts_with('-');
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
    if (digits.size() > 18) return false;
    const int64_t magnitude = std::stoll(std::string(digits));
    const int64_t value = negative ? -magnitude : magnitude;
    return value >= low && value <= high;
}

} // namespace

// ---- The parser ----

TEST(OptionsFuzz, TwentyThousandGeneratedCommandLinesGiveSoundOptionsOrOneErrorLine)
{
    Generator g{std::mt19937_64(20240607)};
    int accepted = 0;
    int refused = 0;
    for (int round = 0; round < 20000 && !testing::Test::HasFailure(); ++round) {
        const std::vector<std::string> arguments = random_arguments(g);
        const std::string context = shown(arguments);
        const ParseResult result = parse(arguments);
        ASSERT_NE(result.options.has_value(), !result.error.empty()) << context;
        if (!result.options) {
            ++refused;
            EXPECT_TRUE(printable_line(result.error)) << tools::quoted(result.error) << " for " << context;
            EXPECT_LT(result.error.size(), 400u) << context;
            continue;
        }
        ++accepted;
        if (result.options->help || result.options->version) continue;
        ASSERT_NO_FATAL_FAILURE(expect_within_limits(*result.options, context));
        // Written back in the other value form, the options read the same; and the same line
        // always gives the same answer.
        const ParseResult again = parse(canonical(*result.options));
        ASSERT_TRUE(again.options.has_value()) << again.error << " for " << context;
        EXPECT_EQ(canonical(*again.options), canonical(*result.options)) << context;
        const ParseResult twice = parse(arguments);
        ASSERT_TRUE(twice.options.has_value()) << context;
        EXPECT_EQ(canonical(*twice.options), canonical(*result.options)) << context;
    }
    // The generator reaches both sides, so both sets of checks above have run.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(refused, 1000);
}

TEST(OptionsFuzz, NumbersAreAcceptedExactlyWhenTheyAreWholeAndInRange)
{
    Generator g{std::mt19937_64(7)};
    std::vector<std::string> values(std::begin(numbers), std::end(numbers));
    for (int i = 0; i < 2000; ++i) values.push_back(random_bytes(g));
    for (int i = 0; i < 2000; ++i) {
        // Digit strings of every length around the limits, with and without a sign.
        std::string digits = std::to_string(g.engine() >> g.below(64));
        if (g.percent(30)) digits = "-" + digits;
        if (g.percent(10)) digits = "000" + digits;
        values.push_back(digits);
    }
    for (const std::string& v : values) {
        if (v.starts_with("--")) continue;  // taken as the next option, not as a value
        EXPECT_EQ(parse({"--seed", v, "--png", "a"}).options.has_value(), decimal_in_range(v, 0, 65535))
            << "--seed " << tools::quoted(v);
        EXPECT_EQ(parse({"--frame", v, "--png", "a"}).options.has_value(), decimal_in_range(v, 1, last_frame_number))
            << "--frame " << tools::quoted(v);
        EXPECT_EQ(parse({"--count=" + v, "--png", "a%d"}).options.has_value(),
                  decimal_in_range(v, 1, last_frame_number))
            << "--count " << tools::quoted(v);
    }
}

// ---- The program ----

namespace {

// Whether bytes hold a whole frame of options' size: a raw buffer or a PNG that decodes to it.
bool whole_frame(const RenderOptions& options, const std::string& bytes)
{
    int width = 0, height = 0;
    if (!morvane::frame_size_for_screen(options.screen_width, options.screen_height, width, height)) return false;
    if (bytes.size() == static_cast<size_t>(width) * height * 4) return true;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    bool whole = false;
    if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) != 0) {
        image.format = PNG_FORMAT_RGB;
        std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
        whole = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0 &&
                image.width == static_cast<png_uint_32>(width) && image.height == static_cast<png_uint_32>(height);
    }
    png_image_free(&image);
    return whole;
}

} // namespace

TEST(OptionsFuzz, GeneratedCommandLinesThroughTheProgramEndCleanly)
{
    char pattern[] = "/tmp/morvane-options-fuzz-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path root = pattern;
    const struct Removal {
        fs::path path;
        ~Removal() { fs::remove_all(path); }
    } removal{root};
    const fs::path work = root / "work";

    // A sample of the generated lines, 30 that draw and 30 that do not (refused, help or
    // version); the drawing ones only where the program finishes quickly: small screens, a few
    // frames, an early first frame.
    Generator g{std::mt19937_64(99)};
    int runs[2] = {0, 0};  // refused, help or version; drawing
    int succeeded = 0;
    while (runs[0] + runs[1] < 60 && !testing::Test::HasFailure()) {
        std::vector<std::string> arguments = random_arguments(g);
        if (g.percent(50)) {
            arguments.insert(arguments.begin(), "--screen=" + std::to_string(12 + g.below(150)) + "x" +
                                                    std::to_string(12 + g.below(150)));
        }
        const ParseResult parsed = parse(arguments);
        const auto& o = parsed.options;
        const bool drawing = o && !o->help && !o->version;
        const bool slow =
            drawing && (o->count > 3 || o->first_frame > 4000 || int64_t{o->screen_width} * o->screen_height > 40000);
        // Files go into the work directory only (the tests may run with every permission).
        const bool elsewhere = drawing && std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) {
                                   return a.find('/') != std::string::npos;
                               });
        if (slow || elsewhere || runs[drawing] == 30) continue;
        ++runs[drawing];
        fs::remove_all(work);
        fs::create_directory(work);
        const std::string context = shown(arguments);

        const test::ToolRun run = test::run_render_tool(arguments, work, root / "stdout", root / "stderr");
        ASSERT_LT(run.status, 128) << "ended by a signal: " << context;
        ASSERT_GE(run.status, 0) << context;
        const int code = run.status;
        const std::string& err = run.err;

        // Success says nothing on stderr; a failure says one printable "morvane-render: " line.
        succeeded += drawing && code == 0;
        if (code == 0) {
            EXPECT_EQ(err, "") << context;
        } else {
            EXPECT_EQ(err.rfind("morvane-render: ", 0), 0u) << context << "\n" << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << context << "\n" << err;
            EXPECT_TRUE(printable_line(err.substr(0, err.size() - 1))) << context;
        }
        // No temporary is left, and every file under a final name is whole; a refused line
        // writes nothing.
        for (const auto& entry : fs::recursive_directory_iterator(work)) {
            if (!entry.is_regular_file()) continue;
            const std::string name = entry.path().filename().string();
            EXPECT_EQ(name.find(".tmp-"), std::string::npos) << "a temporary is left: " << name << " after " << context;
            EXPECT_TRUE(o && whole_frame(*o, test::read_file(entry.path())))
                << name << " is no whole frame after " << context;
        }
    }
    EXPECT_GE(succeeded, 20) << "most drawing lines write their files";
}
