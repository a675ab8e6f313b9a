// morvane-render: its command line, under thousands of generated argument lists with an
// independent judge of numbers and limits, and the program as a user runs it, including every
// way writing its files can fail. Whatever comes in, the parser gives options that keep every
// limit or one printable error line, and the program writes whole files or says why on one
// line, exits non-zero, and leaves no file half-written under its final name.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "host/platform.h"
#include "tests/options_judge.h"
#include "tests/support.h"
#include "tools/options.h"

using namespace morvane;
using namespace morvane::tools;
using morvane::test::last_frame_number;
using morvane::test::printable_line;
using morvane::test::words;
namespace fs = std::filesystem;

namespace {

// mt19937_64's sequence is fixed by the standard, so a seed gives the same argument lists with
// every standard library (its distributions are not, hence the plain modulo).
struct Generator {
    std::mt19937_64 engine;
    size_t below(size_t n) { return static_cast<size_t>(engine() % n); }
    bool percent(int p) { return below(100) < static_cast<size_t>(p); }
    template <class T, size_t N> const T& pick(const T (&items)[N]) { return items[below(N)]; }
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

// Any value, or with an option's name mostly one of its kind, so that many lists get past the
// first check.
std::string random_value(Generator& g, std::string_view name = "")
{
    const bool numeric = name == "--seed" || name == "--frame" || name == "--count";
    switch (!name.empty() && g.percent(80) ? name == "--screen" ? 1 : numeric ? 0 : 2 : g.below(5)) {
    case 0: return g.pick(numbers);
    case 1: return g.pick(screens);
    case 2: return g.pick(file_names);
    case 3: return random_bytes(g);
    default: return std::string(g.pick(file_names)) + std::string(g.below(300), 'x');
    }
}

std::vector<std::string> random_arguments(Generator& g)
{
    std::vector<std::string> arguments;
    for (size_t tokens = g.below(9); tokens > 0; --tokens) {
        const size_t kind = g.below(100);
        if (kind < 70) {
            const std::string name = g.pick(option_names);
            const std::string value = random_value(g, name);
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

// The outcome of a command line as one line: the options with the files of the first and the
// last frame, or "refused: " and the error.
std::string described(const std::vector<std::string>& arguments)
{
    const ParseResult result = parse(arguments);
    if (!result.options) return "refused: " + result.error;
    const RenderOptions& o = *result.options;
    if (o.help) return "help";
    if (o.version) return "version";
    std::string text = std::to_string(o.screen_width) + "x" + std::to_string(o.screen_height) + " seed " +
                       (o.seed ? std::to_string(*o.seed) : "none") + " frames " + std::to_string(o.first_frame) +
                       "+" + std::to_string(o.count);
    for (const auto& [kind, name] :
         {std::pair{" png '", &o.png}, {" colour '", &o.colour_raw}, {" depth '", &o.depth_raw}}) {
        if (!name->wanted()) continue;
        text += kind + output_file_name(*name, o.first_frame) + "'";
        if (o.count > 1) text += "..'" + output_file_name(*name, o.first_frame + o.count - 1) + "'";
    }
    return text;
}

} // namespace

// ---- The command line ----

TEST(RenderOptions, LinesGiveTheirValuesOrOneLineNamingTheFault)
{
    // Refusals name a part of their line; which numbers each option takes, and that every
    // refusal is one printable line, the generated lines below show.
    const std::pair<const char*, const char*> cases[] = {
        {"--png a.png", "1920x1080 seed none frames 1+1 png 'a.png'"},
        {"--seed 65535 --screen 32768X12 --depth-raw x", "32768x12 seed 65535 frames 1+1 depth 'x'"},
        // The largest square frame whose buffers stay under 2 GiB: 23170 x 23170 x 4 bytes.
        {"--screen 23180x23180 --png a", "23180x23180 seed none frames 1+1 png 'a'"},
        {"--screen 23182x23180 --png a", "refused: exceed"},
        {"--screen 11x600 --png a", "refused: under 2x2"},
        // Help or version anywhere on the line, after a bad word too, the first of them winning.
        {"--png a.png -h", "help"}, {"--bogus 7 --help", "help"}, {"--version --help", "version"},
        {"--screen=640x480 --seed 0 --frame=7 --count 2 --png f%03d.png --colour-raw=c%d.raw --depth-raw d-%-5u.raw",
         "640x480 seed 0 frames 7+2 png 'f007.png'..'f008.png' colour 'c7.raw'..'c8.raw' "
         "depth 'd-7    .raw'..'d-8    .raw'"},
        {"--count 3 --png 100%%-%02i.png", "1920x1080 seed none frames 1+3 png '100%-01.png'..'100%-03.png'"},
        // One frame: the name is used as given, conversions and all.
        {"--png odd%s%n%100d.png", "1920x1080 seed none frames 1+1 png 'odd%s%n%100d.png'"},
        // The last frame's counter (29 + its number) must stay a signed 32-bit value.
        {"--frame 2147483617 --count 2 --png a%d", "1920x1080 seed none frames 2147483617+2 png 'a2147483617'..'a2147483618'"},
        {"--frame 2147483618 --count 2 --png a%d", "refused: beyond"},
        {"--fast --png a", "refused: unknown option '--fast'"}, {"a.png", "refused: unexpected argument 'a.png'"},
        {"--png --seed 4", "refused: --png needs a value"}, {"--png= --seed 1 --depth-raw a", "refused: --png needs a file name"},
        {"--seed 1 --seed 2 --png a", "refused: --seed given twice"}, {"--count 2 --png %100d.png", "refused: above 99"},
        {"--count 2 --png %d-%d.png", "refused: --png"}, {"--count 2 --png %s.png", "refused: --png"},
        {"--count 2 --png %*d.png", "refused: --png"},
    };
    for (const auto& [line, want] : cases) {
        const std::string got = described(words(line));
        if (std::string_view(want).starts_with("refused: ")) {
            EXPECT_TRUE(got.starts_with("refused: ") && got.find(want + 9) != std::string::npos) << line << ": " << got;
        } else {
            EXPECT_EQ(got, want) << line;
        }
    }
}

// ---- The parser ----

TEST(OptionsFuzz, TwentyThousandGeneratedCommandLinesGiveSoundOptionsOrOneErrorLine)
{
    Generator g{std::mt19937_64(20240607)};
    int accepted = 0;
    int refused = 0;
    for (int round = 0; round < 20000 && !testing::Test::HasFailure(); ++round) {
        const std::vector<std::string> arguments = random_arguments(g);
        std::string context;
        for (const std::string& a : arguments) context += tools::quoted(a) + " ";
        const ParseResult result = parse(arguments);
        ASSERT_EQ(test::broken_promise(result), "") << context;
        ++(result.options ? accepted : refused);
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
        SCOPED_TRACE(tools::quoted(v));
        EXPECT_EQ(parse({"--seed", v, "--png", "a"}).options.has_value(), decimal_in_range(v, 0, 65535));
        EXPECT_EQ(parse({"--frame", v, "--png", "a"}).options.has_value(), decimal_in_range(v, 1, last_frame_number));
        EXPECT_EQ(parse({"--count=" + v, "--png", "a%d"}).options.has_value(), decimal_in_range(v, 1, last_frame_number));
    }
}

// ---- The program ----

namespace {

struct ToolRun {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A PNG's pixels as R, G, B bytes; empty unless it is an RGB image of width x height.
std::vector<unsigned char> png_pixels(const std::string& bytes, int width, int height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    std::vector<unsigned char> rgb;
    if (png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()) != 0 && image.format == PNG_FORMAT_RGB &&
        image.width == static_cast<png_uint_32>(width) && image.height == static_cast<png_uint_32>(height)) {
        rgb.resize(PNG_IMAGE_SIZE(image));
        if (png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) == 0) rgb.clear();
    }
    png_image_free(&image);
    return rgb;
}

// Runs the program in a fresh work directory under TMPDIR (or /tmp), removed afterwards.
class RenderTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/morvane-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        work_ = root_ / "work";
        fs::create_directory(work_);
    }
    void TearDown() override
    {
        std::error_code ignored;
        if (!root_.empty()) fs::remove_all(root_, ignored);
    }

    // Files it writes over `file_size_limit` bytes fail, as on a full disk.
    ToolRun run(const std::string& line, rlim_t file_size_limit = RLIM_INFINITY)
    {
        std::vector<std::string> arguments = words(line);
        std::string program = MORVANE_RENDER_PATH;
        const std::vector<char*> argv = test::argv_of(arguments, program);
        const fs::path out = root_ / "out", err = root_ / "err";
        const pid_t child = fork();
        if (child == 0) {
            const int out_file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err_file = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out_file < 0 || err_file < 0 || chdir(work_.c_str()) != 0) _exit(126);
            dup2(out_file, 1);
            dup2(err_file, 2);
            signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
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
        result.out = read_file(out);
        result.err = read_file(err);
        return result;
    }
    // Every regular file under the work directory, relative to it, sorted.
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(work_)) {
            if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), work_).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // A failure: exit code 1 or 2 and one printable "morvane-render: " line on stderr.
    static void expect_failure(const ToolRun& run, const std::string& context)
    {
        EXPECT_TRUE(run.status == exit_failed || run.status == exit_bad_arguments) << context << ": " << run.status;
        EXPECT_TRUE(run.err.starts_with("morvane-render: ") && run.err.find('\n') == run.err.size() - 1 &&
                    printable_line(run.err.substr(0, run.err.size() - 1))) << context << ": " << run.err;
    }
    void expect_success(const std::string& line)
    {
        const ToolRun result = run(line);
        EXPECT_TRUE(result.status == 0 && result.err.empty()) << line << ": " << result.err;
    }

    fs::path root_, work_;
};

} // namespace

TEST_F(RenderTool, HelpAndVersionGoToStdout)
{
    for (const auto& [line, text] : {std::pair{"--help", render_usage()}, {"--png a --version", render_version()}}) {
        const ToolRun result = run(line);
        EXPECT_EQ(std::tuple(result.status, result.out, result.err), std::tuple(0, text, ""));
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(RenderTool, FailuresGiveOneLineAndLeaveNoFileUnderItsName)
{
    ASSERT_TRUE(fs::create_directory(work_ / "taken"));
    const std::pair<std::string, rlim_t> cases[] = {
        // Names that cannot be written are found before anything is drawn; a PNG opened before
        // them loses its temporary too. The error line quotes a name printably, cut short.
        {"--png /proc/version", RLIM_INFINITY}, {"--png /proc/no-such-dir/a.png", RLIM_INFINITY},
        {"--png ok.png --colour-raw no-dir/c.raw", RLIM_INFINITY}, {"--png ok.png --depth-raw missing/d.raw", RLIM_INFINITY},
        {"--png .", RLIM_INFINITY}, {"--depth-raw \x1b" + std::string(300, 'n'), RLIM_INFINITY},
        // One name for one frame: found before anything is written.
        {"--count 2 --png a%d.png --colour-raw a%01d.png", RLIM_INFINITY},
        // A directory of the name: the rename at the end fails and the temporary is removed.
        {"--colour-raw taken", RLIM_INFINITY},
        // A full disk. A 30 x 20 frame's 2,400 raw bytes fit the stream's buffer: only the flush
        // at the end fails; a 390 x 390 frame fails in a write.
        {"--colour-raw frame.out", 2048}, {"--depth-raw frame.out", 2048},
        {"--screen 400x400 --png frame.out", 2048}, {"--screen 400x400 --colour-raw frame.out", 2048},
        {"--screen 400x400 --depth-raw frame.out", 2048},
    };
    for (const auto& [options, limit] : cases) {
        const std::string line = (options.starts_with("--screen") ? "--seed 1 " : "--seed 1 --screen 40x30 ") + options;
        expect_failure(run(line, limit), line);
        EXPECT_EQ(files(), std::vector<std::string>{}) << line;
    }
    EXPECT_TRUE(fs::is_directory(work_ / "taken"));
}

TEST_F(RenderTool, ARunStoppedMidSequenceKeepsTheFramesWrittenWhole)
{
    // Frame 1 goes into d1/, which exists; d2/ for frame 2 does not.
    ASSERT_TRUE(fs::create_directory(work_ / "d1"));
    expect_failure(run("--screen 40x30 --seed 3 --count 3 --colour-raw d%d/c.raw"), "d%d/c.raw");
    EXPECT_EQ(files(), std::vector<std::string>{"d1/c.raw"});
    // x1%d names x11 for frame 1, as x%d does for frame 11: frames 1 to 10 are written whole,
    // then the run stops instead of replacing frame 1's colours with frame 11's image.
    const ToolRun clash = run("--screen 40x30 --seed 3 --count 12 --png x%d --colour-raw x1%d");
    expect_failure(clash, "x1%d");
    EXPECT_EQ(clash.status, exit_bad_arguments);
    EXPECT_NE(clash.err.find("'x11'"), std::string::npos) << clash.err;
    EXPECT_EQ(files().size(), 21u);
    for (const char* name : {"d1/c.raw", "x11"}) EXPECT_EQ(fs::file_size(work_ / name), 30u * 20u * 4u) << name;
}

TEST_F(RenderTool, FilesHoldThePresentedFramesUnderTheirNumbers)
{
    expect_success("--screen 40x30 --seed 5 --frame 2 --count 3 --png f%03d.png --colour-raw c%d.raw --depth-raw d%d.d");
    // Frame 2147483618 is drawn with frame_counter 2^31 - 1, and counted after drawing.
    expect_success("--screen 40x30 --seed 2 --frame 2147483618 --colour-raw last.raw");
    EXPECT_EQ(files(), (std::vector<std::string>{"c2.raw", "c3.raw", "c4.raw", "d2.d", "d3.d", "d4.d", "f002.png",
                                                 "f003.png", "f004.png", "last.raw"}));
    EXPECT_EQ(fs::file_size(work_ / "last.raw"), 30u * 20u * 4u);

    // The window program's frames, drawn here as its main loop draws them: the raw files are
    // the buffers' bytes (depth little-endian, as this host's), the PNG the colours as R, G, B.
    reset_scene();
    ASSERT_TRUE(start_renderer(platform::renderer_services(), 40, 30, 5));
    for (int frame = 1; frame <= 4; ++frame) {
        render_frame(platform::renderer_services());
        advance_frame_counter();
        if (frame == 1) continue;
        const std::vector<uint32_t> cells = test::frame_cells();
        const std::string bytes(reinterpret_cast<const char*>(cells.data()), cells.size() * 4);
        const std::string number = std::to_string(frame);
        EXPECT_EQ(read_file(work_ / ("c" + number + ".raw")), bytes.substr(0, bytes.size() / 2)) << frame;
        EXPECT_EQ(read_file(work_ / ("d" + number + ".d")), bytes.substr(bytes.size() / 2)) << frame;
        const std::vector<unsigned char> rgb = png_pixels(read_file(work_ / ("f00" + number + ".png")), 30, 20);
        ASSERT_EQ(rgb.size(), cells.size() / 2 * 3) << frame;
        for (size_t i = 0; i < rgb.size(); ++i) {
            ASSERT_EQ(rgb[i], static_cast<unsigned char>(cells[i / 3] >> (16 - 8 * (i % 3)))) << frame << ", " << i;
        }
    }
    release_frame_buffers(platform::renderer_services());
    reset_scene();
}

TEST_F(RenderTool, AnUnseededRunPrintsTheSeedThatRepeatsIt)
{
    const ToolRun first = run("--screen 120x90 --colour-raw first.raw");
    ASSERT_EQ(first.status, 0) << first.err;
    const size_t at = first.out.find("seed ");
    ASSERT_NE(at, std::string::npos) << first.out;
    expect_success("--screen 120x90 --colour-raw again.raw --seed " + std::to_string(std::atoi(first.out.c_str() + at + 5)));
    EXPECT_EQ(read_file(work_ / "first.raw"), read_file(work_ / "again.raw"));
}
