// morvane-render's command line under abuse: thousands of generated argument lists through the
// parser, a sample of them and a set of hostile ones through the real program. Whatever comes
// in, the parser gives either options that keep every limit or one printable error line, and
// the program either writes complete files or says why on one line, exits non-zero, and leaves
// no file half-written under its final name.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"
#include "tools/options.h"

using namespace morvane;
using namespace morvane::tools;

namespace {

// The first presented frame is drawn with frame_counter 30; the last must stay a signed 32-bit
// count, so frame numbers run to 2^31 - 1 - 29.
constexpr int64_t last_frame_number = 2147483647 - 29;

// A small generator of our own (splitmix64), so the same seed gives the same argument lists
// with every standard library.
class Generator {
public:
    explicit Generator(uint64_t seed) : state_(seed) {}
    uint64_t next()
    {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
    bool percent(int p) { return below(100) < static_cast<size_t>(p); }
    template <class T, size_t N>
    const T& pick(const T (&items)[N])
    {
        return items[below(N)];
    }

private:
    uint64_t state_;
};

constexpr const char* option_names[] = {"--screen", "--seed",      "--frame",     "--count",
                                        "--png",    "--colour-raw", "--depth-raw", "--help"};
constexpr const char* near_names[] = {"-h", "--", "-", "---png", "--PNG", "--png-", "--screens", "--seed ",
                                      "--=", "--frame=", "-png", "--colour_raw", "--depth-raw=--png"};
constexpr const char* numbers[] = {
    "0", "1", "2", "-1", "-0", "+1", "01", "12", "65535", "65536", "1824", "2147483618", "2147483619",
    "2147483647", "2147483648", "-2147483648", "4294967296", "9223372036854775807", "9223372036854775808",
    "99999999999999999999999", "0x10", "1e3", "1.5", " 1", "1 ", "", "\xd9\xa1", "NaN", "inf", "--1"};
constexpr const char* screens[] = {
    "12x12", "11x11", "12x11", "13x13", "1920x1080", "1365x768", "600x3840", "32768x600", "32768x32768",
    "32769x12", "23180x23180", "23181x23181", "0x0", "-12x12", "12x-12", "12X12", "12xx12", "x12", "12x",
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
    const size_t tokens = g.below(9);
    for (size_t i = 0; i < tokens; ++i) {
        const int kind = static_cast<int>(g.below(100));
        if (kind < 70) {
            const std::string name = g.pick(option_names);
            const std::string value = likely_value(g, name);
            if (g.percent(50)) {
                arguments.push_back(name + "=" + value);
            } else {
                arguments.push_back(name);
                if (g.percent(92)) arguments.push_back(value);  // else: a missing value
            }
        } else if (kind < 82) {
            arguments.push_back(g.pick(near_names));
        } else {
            arguments.push_back(random_value(g));
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
    std::vector<std::string> out = {"--screen=" + std::to_string(o.screen_width) + "x" + std::to_string(o.screen_height),
                                    "--frame=" + std::to_string(o.first_frame), "--count=" + std::to_string(o.count)};
    if (o.seed) out.push_back("--seed=" + std::to_string(*o.seed));
    if (o.png.wanted()) out.push_back("--png=" + o.png.text);
    if (o.colour_raw.wanted()) out.push_back("--colour-raw=" + o.colour_raw.text);
    if (o.depth_raw.wanted()) out.push_back("--depth-raw=" + o.depth_raw.text);
    return out;
}

bool same_name(const OutputName& a, const OutputName& b)
{
    return a.text == b.text && a.numbered == b.numbered && a.prefix == b.prefix && a.suffix == b.suffix &&
           a.conversion == b.conversion;
}

bool same_options(const RenderOptions& a, const RenderOptions& b)
{
    return a.help == b.help && a.screen_width == b.screen_width && a.screen_height == b.screen_height &&
           a.seed == b.seed && a.first_frame == b.first_frame && a.count == b.count && same_name(a.png, b.png) &&
           same_name(a.colour_raw, b.colour_raw) && same_name(a.depth_raw, b.depth_raw);
}

// Everything a successful parse promises.
void expect_within_limits(const RenderOptions& o, const std::string& context)
{
    int frame_width = 0, frame_height = 0;
    ASSERT_TRUE(host::frame_size_for_screen(o.screen_width, o.screen_height, frame_width, frame_height)) << context;
    EXPECT_LE(o.screen_width, largest_screen_side) << context;
    EXPECT_LE(o.screen_height, largest_screen_side) << context;
    EXPECT_LE(int64_t{frame_width} * frame_height * 4, int64_t{2147483647}) << context;
    EXPECT_GE(o.first_frame, 1) << context;
    EXPECT_GE(o.count, 1) << context;
    EXPECT_LE(o.first_frame + o.count - 1, last_frame_number) << context;
    const OutputName* names[] = {&o.png, &o.colour_raw, &o.depth_raw};
    EXPECT_TRUE(o.png.wanted() || o.colour_raw.wanted() || o.depth_raw.wanted()) << context;
    for (const OutputName* name : names) {
        if (!name->wanted()) continue;
        EXPECT_EQ(name->numbered, o.count > 1) << context;
        const std::string first = output_file_name(*name, o.first_frame);
        const std::string last = output_file_name(*name, o.first_frame + o.count - 1);
        EXPECT_FALSE(first.empty()) << context;
        if (o.count > 1) {
            EXPECT_NE(first, last) << "frames must not share a file: " << context;
            EXPECT_NE(first.find(std::to_string(o.first_frame)), std::string::npos) << context;
        } else {
            EXPECT_EQ(first, name->text) << context;
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (names[i]->wanted() && names[j]->wanted()) {
                EXPECT_NE(names[i]->text, names[j]->text) << context;
            }
        }
    }
}

// Whether text is a whole decimal number (optional '-', digits) from low to high, judged on
// the digits alone, so that no length of number can overflow the judgement.
bool decimal_in_range(std::string_view text, int64_t low, int64_t high)
{
    const bool negative = !text.empty() && text[0] == '-';
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
    Generator g(20240607);
    int accepted = 0;
    int refused = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::vector<std::string> arguments = random_arguments(g);
        const std::string context = shown(arguments);
        const ParseResult result = parse(arguments);
        ASSERT_NE(result.options.has_value(), !result.error.empty()) << context;
        if (!result.options) {
            ++refused;
            ASSERT_TRUE(printable_line(result.error)) << tools::quoted(result.error) << " for " << context;
            ASSERT_LT(result.error.size(), 400u) << context;
            continue;
        }
        ++accepted;
        if (result.options->help) continue;
        ASSERT_NO_FATAL_FAILURE(expect_within_limits(*result.options, context));
        // Written back in the other value form, the options are read the same way.
        const ParseResult again = parse(canonical(*result.options));
        ASSERT_TRUE(again.options.has_value()) << again.error << " for " << context;
        EXPECT_TRUE(same_options(*result.options, *again.options)) << context;
        // The same line always gives the same answer.
        const ParseResult twice = parse(arguments);
        ASSERT_TRUE(twice.options.has_value()) << context;
        EXPECT_TRUE(same_options(*result.options, *twice.options)) << context;
        if (testing::Test::HasFailure()) break;
    }
    // The generator reaches both sides, so both sets of checks above have run.
    EXPECT_GT(accepted, 1000);
    EXPECT_GT(refused, 1000);
}

TEST(OptionsFuzz, NumbersAreAcceptedExactlyWhenTheyAreWholeAndInRange)
{
    Generator g(7);
    std::vector<std::string> values(std::begin(numbers), std::end(numbers));
    for (int i = 0; i < 2000; ++i) values.push_back(random_bytes(g));
    for (int i = 0; i < 2000; ++i) {
        // Digit strings of every length around the limits, with and without a sign.
        std::string digits = std::to_string(g.next() >> g.below(64));
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

TEST(OptionsFuzz, ScreensAreAcceptedExactlyWhenTheirFrameFitsTheBuffers)
{
    Generator g(11);
    for (int i = 0; i < 5000; ++i) {
        const int64_t w = static_cast<int64_t>(g.below(40000)) - 100;
        const int64_t h = static_cast<int64_t>(g.below(40000)) - 100;
        const std::string text = std::to_string(w) + (g.percent(50) ? "x" : "X") + std::to_string(h);
        const int64_t frame_w = (w - 10) & ~int64_t{1};
        const int64_t frame_h = (h - 10) & ~int64_t{1};
        const bool fits = w >= 12 && h >= 12 && w <= largest_screen_side && h <= largest_screen_side &&
                          frame_w * frame_h * 4 <= 2147483647;
        EXPECT_EQ(parse({"--screen", text, "--png", "a"}).options.has_value(), fits) << text;
    }
}

// ---- The program ----

namespace {

struct ToolRun {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string err;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every regular file under `directory`, relative to it, sorted.
void list_files(const std::string& directory, const std::string& prefix, std::vector<std::string>& out)
{
    DIR* d = opendir(directory.c_str());
    if (d == nullptr) return;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        const std::string path = directory + "/" + name;
        if (lstat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            list_files(path, prefix + name + "/", out);
        } else {
            out.push_back(prefix + name);
        }
    }
    closedir(d);
    std::sort(out.begin(), out.end());
}

class RenderToolAbuse : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/morvane-options-fuzz-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        work_ = directory_ + "/work";
        ASSERT_EQ(mkdir(work_.c_str(), 0755), 0);
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + directory_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Runs morvane-render in the work directory; output files over `file_size_limit` bytes
    // fail to write, as on a full disk.
    ToolRun run(const std::vector<std::string>& arguments, rlim_t file_size_limit = RLIM_INFINITY)
    {
        const std::string err_path = directory_ + "/stderr";
        std::vector<std::string> copies = arguments;
        std::string program = MORVANE_RENDER_PATH;
        std::vector<char*> argv = {program.data()};
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const int null = open("/dev/null", O_WRONLY);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (null < 0 || err < 0 || chdir(work_.c_str()) != 0) _exit(126);
            dup2(null, 1);
            dup2(err, 2);
            // A write past the limit then fails with EFBIG instead of ending the process.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{file_size_limit, file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ToolRun result;
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child) {
            result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        result.err = read_file(err_path);
        return result;
    }

    // Checks one run: success with no message, or one "morvane-render: " line and a non-zero
    // exit code; no temporary file left; every file under a final name complete.
    void expect_sound_run(const std::vector<std::string>& arguments, const ToolRun& result)
    {
        const std::string context = shown(arguments);
        ASSERT_LT(result.status, 128) << "ended by a signal: " << context << "\n" << result.err;
        if (result.status == 0) {
            EXPECT_EQ(result.err, "") << context;
        } else {
            EXPECT_EQ(result.err.rfind("morvane-render: ", 0), 0u) << context << "\n" << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << context << "\n" << result.err;
            EXPECT_TRUE(printable_line(result.err.substr(0, result.err.size() - 1))) << context;
        }
        const ParseResult parsed = parse(arguments);
        std::vector<std::string> files;
        list_files(work_, "", files);
        for (const std::string& file : files) {
            EXPECT_EQ(file.find(".tmp-"), std::string::npos) << "a temporary file is left: " << file << " after "
                                                             << context;
            if (parsed.options) expect_complete(*parsed.options, file, context);
        }
        if (result.status != 0 && !parsed.options) {
            EXPECT_TRUE(files.empty()) << context;
        }
    }

    // A file under a final name holds a whole frame: a raw buffer of the frame's size or a
    // PNG that decodes to it.
    void expect_complete(const RenderOptions& options, const std::string& file, const std::string& context)
    {
        int width = 0, height = 0;
        ASSERT_TRUE(host::frame_size_for_screen(options.screen_width, options.screen_height, width, height));
        const std::string bytes = read_file(work_ + "/" + file);
        if (bytes.size() == static_cast<size_t>(width) * height * 4) return;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        const bool decoded = png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) != 0;
        bool whole = false;
        if (decoded) {
            image.format = PNG_FORMAT_RGB;
            std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
            whole = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0 &&
                    image.width == static_cast<png_uint_32>(width) && image.height == static_cast<png_uint_32>(height);
        }
        png_image_free(&image);
        EXPECT_TRUE(whole) << file << " (" << bytes.size() << " bytes) is no whole " << width << "x" << height
                           << " frame after " << context;
    }

    void expect_clean_failure(const std::vector<std::string>& arguments, rlim_t file_size_limit = RLIM_INFINITY)
    {
        const ToolRun result = run(arguments, file_size_limit);
        EXPECT_GT(result.status, 0) << shown(arguments);
        expect_sound_run(arguments, result);
    }

    std::string directory_;
    std::string work_;
};

} // namespace

TEST_F(RenderToolAbuse, GeneratedCommandLinesEndCleanly)
{
    // A sample of the generated lines that the program can finish quickly: small screens, a few
    // frames, an early first frame. Refused lines run as they are.
    Generator g(99);
    int runs = 0;
    int succeeded = 0;
    while (runs < 60) {
        std::vector<std::string> arguments = random_arguments(g);
        if (g.percent(50)) arguments.insert(arguments.begin(), "--screen=" + std::to_string(12 + g.below(150)) + "x" +
                                                                   std::to_string(12 + g.below(150)));
        const ParseResult parsed = parse(arguments);
        if (parsed.options && !parsed.options->help &&
            (parsed.options->count > 3 || parsed.options->first_frame > 4000 ||
             int64_t{parsed.options->screen_width} * parsed.options->screen_height > 200 * 200)) {
            continue;
        }
        // Files go into the work directory only (the tests may run with every permission).
        if (parsed.options && std::any_of(arguments.begin(), arguments.end(), [](const std::string& a) {
                return a.find('/') != std::string::npos;
            })) {
            continue;
        }
        ++runs;
        const ToolRun result = run(arguments);
        succeeded += result.status == 0;
        ASSERT_NO_FATAL_FAILURE(expect_sound_run(arguments, result));
        if (testing::Test::HasFailure()) break;
        const std::string command = "rm -rf '" + work_ + "' && mkdir '" + work_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    EXPECT_GT(succeeded, 0);
}

TEST_F(RenderToolAbuse, UnwritablePathsGiveOneLineAndNoFile)
{
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--png", "/proc/version"});
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--png", "/proc/no-such-dir/a.png"});
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--png", "ok.png", "--colour-raw", "no-dir/c.raw"});
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--depth-raw", std::string(300, 'n')});
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--png", "."});
}

TEST_F(RenderToolAbuse, AFullDiskLeavesNoFileUnderItsName)
{
    // A 390 x 390 frame: 608,400 bytes raw and tens of kilobytes as a PNG, far more than the
    // disk takes.
    for (const char* option : {"--png", "--colour-raw", "--depth-raw"}) {
        expect_clean_failure({"--screen", "400x400", "--seed", "3", option, "frame.out"}, 2048);
    }
}

TEST_F(RenderToolAbuse, AFailureMidSequenceKeepsTheFramesWrittenWholeAndStops)
{
    // Frame 1 goes into d1/, which exists; d2/ for frame 2 does not.
    ASSERT_EQ(mkdir((work_ + "/d1").c_str(), 0755), 0);
    const std::vector<std::string> sequence = {"--screen", "40x30", "--seed", "3", "--count", "3", "--colour-raw",
                                               "d%d/c.raw"};
    const ToolRun result = run(sequence);
    EXPECT_GT(result.status, 0);
    expect_sound_run(sequence, result);
    std::vector<std::string> files;
    list_files(work_, "", files);
    EXPECT_EQ(files, std::vector<std::string>{"d1/c.raw"});
}

TEST_F(RenderToolAbuse, TheLastFrameNumberIsDrawnAndCountedWithoutOverflow)
{
    // Frame 2147483618 is drawn with frame_counter 2^31 - 1, and counted after drawing.
    const std::vector<std::string> arguments = {"--screen", "40x30", "--seed", "2", "--frame", "2147483618",
                                                "--colour-raw", "last.raw"};
    const ToolRun result = run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    expect_sound_run(arguments, result);
}
