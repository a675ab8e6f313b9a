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
#include <utility>
#include <vector>

#include "host/platform.h"
#include "morvane_version.h"
#include "tests/support.h"
#include "tools/options.h"

using namespace morvane;
using namespace morvane::tools;
using morvane::test::words;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs morvane-render with `arguments` in `directory`, its output and errors going to the files
// `out` and `err`; files it writes over `file_size_limit` bytes fail, as on a full disk.
ToolRun run_render_tool(std::vector<std::string> arguments, const std::filesystem::path& directory,
                               const std::filesystem::path& out, const std::filesystem::path& err,
                               rlim_t file_size_limit = RLIM_INFINITY)
{
    std::string program = MORVANE_RENDER_PATH;
    std::vector<char*> argv = test::argv_of(arguments, program);
    const pid_t child = fork();
    if (child == 0) {
        const int out_file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_file = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_file < 0 || err_file < 0 || chdir(directory.c_str()) != 0) _exit(126);
        dup2(out_file, 1);
        dup2(err_file, 2);
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
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}


// A fresh directory under TMPDIR (or /tmp), removed with the object.
struct TemporaryDirectory {
    fs::path path;
    TemporaryDirectory()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/morvane-render-test-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~TemporaryDirectory()
    {
        if (!path.empty()) fs::remove_all(path);
    }
};

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

std::string described(const std::string& line) { return described(words(line)); }

} // namespace

// ---- The command line ----

TEST(RenderOptions, AcceptedLinesGiveTheirValuesInBothForms)
{
    EXPECT_EQ(described("--png a.png"), "1920x1080 seed none frames 1+1 png 'a.png'");
    EXPECT_EQ(described("--seed 65535 --screen 32768X12 --depth-raw x"),
              "32768x12 seed 65535 frames 1+1 depth 'x'");
    // The largest square frame whose buffers stay under 2 GiB: 23170 x 23170 x 4 bytes.
    EXPECT_EQ(described("--screen 23180x23180 --png a"), "23180x23180 seed none frames 1+1 png 'a'");
    EXPECT_EQ(described("--help"), "help");
    EXPECT_EQ(described("--png a.png -h"), "help");
    EXPECT_EQ(described("--png a.png --version --bogus"), "version");
    EXPECT_EQ(described("--version --help"), "version");
    // Anywhere on the line, after a bad word too, as in morvane-bench.
    EXPECT_EQ(described("--bogus 7 --help"), "help");
    EXPECT_EQ(described("--screen=640x480 --seed 0 --frame=7 --count 2 --png f%03d.png --colour-raw=c%d.raw "
                        "--depth-raw d-%-5u.raw"),
              "640x480 seed 0 frames 7+2 png 'f007.png'..'f008.png' colour 'c7.raw'..'c8.raw' "
              "depth 'd-7    .raw'..'d-8    .raw'");
    EXPECT_EQ(described("--count 3 --png 100%%-%02i.png"),
              "1920x1080 seed none frames 1+3 png '100%-01.png'..'100%-03.png'");
    // One frame: the name is used as given, conversions and all.
    EXPECT_EQ(described("--png odd%s%n.png"), "1920x1080 seed none frames 1+1 png 'odd%s%n.png'");
    // The last frame's counter (29 + its number) must stay a signed 32-bit value.
    EXPECT_EQ(described("--frame 2147483618 --png a"), "1920x1080 seed none frames 2147483618+1 png 'a'");
    EXPECT_EQ(described("--frame 2147483617 --count 2 --png a%d"),
              "1920x1080 seed none frames 2147483617+2 png 'a2147483617'..'a2147483618'");
}

TEST(RenderOptions, RefusedLinesGiveOneLineNamingTheFault)
{
    // (Which numbers each option takes, and that every refusal is one printable line, the
    // generated lines below show.)
    for (const auto& [line, part] : std::initializer_list<std::pair<const char*, const char*>>{
             {"--fast --png a", "unknown option '--fast'"}, {"a.png", "unexpected argument 'a.png'"},
             {"--png --seed 4", "--png needs a value"}, {"--png=", "--png needs a file name"},
             {"--seed 1 --seed 2 --png a", "--seed given twice"}, {"--seed 3", "nothing to write"},
             {"--png same --depth-raw same", "the same file"}, {"--screen 11x600 --png a", "under 2x2"},
             {"--screen 23182x23180 --png a", "exceed"}, {"--screen 1920x --png a", "--screen"},
             {"--frame 2147483618 --count 2 --png a%d", "beyond"}, {"--count 2 --png plain.png", "needs a frame number"},
             {"--count 2 --png %100d.png", "above 99"}, {"--count 2 --png %d-%d.png", "--png"},
             {"--count 2 --png %s.png", "--png"}, {"--count 2 --png %*d.png", "--png"}}) {
        EXPECT_EQ(described(line).rfind("refused: ", 0), 0u) << line;
        EXPECT_NE(described(line).find(part), std::string::npos) << line << " gave " << described(line);
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

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(directory_.path.empty());
        fs::create_directory(work_);
    }

    // Runs morvane-render in the work directory; output files over `file_size_limit` bytes
    // fail to write, as on a full disk.
    ToolRun run(std::vector<std::string> arguments, rlim_t file_size_limit = RLIM_INFINITY)
    {
        return run_render_tool(std::move(arguments), work_, root_ / "out", root_ / "err", file_size_limit);
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

    // A run that must fail with one line on stderr and leave the files as they were: no
    // temporary, no file under a final name.
    void expect_clean_failure(const std::vector<std::string>& arguments, rlim_t file_size_limit = RLIM_INFINITY)
    {
        const std::vector<std::string> before = files();
        const ToolRun result = run(arguments, file_size_limit);
        std::string line;
        for (const std::string& a : arguments) line += a + " ";
        EXPECT_GT(result.status, 0) << line;
        EXPECT_LT(result.status, 128) << "ended by a signal: " << line;
        EXPECT_EQ(result.err.rfind("morvane-render: ", 0), 0u) << line << "\n" << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << line << "\n" << result.err;
        EXPECT_EQ(files(), before) << line;
    }

    TemporaryDirectory directory_;
    fs::path root_ = directory_.path;
    fs::path work_ = root_ / "work";
};

} // namespace

TEST_F(RenderTool, HelpGoesToStdout)
{
    const ToolRun result = run({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("usage: morvane-render", 0), 0u);
    EXPECT_NE(result.out.find("--colour-raw"), std::string::npos);
    EXPECT_TRUE(result.err.empty());
    const ToolRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "morvane-render " MORVANE_VERSION "\n");
}

TEST_F(RenderTool, UnwritableNamesGiveOneLineAndLeaveNoFile)
{
    // Names that cannot be written are found before anything is drawn; a PNG opened before
    // them loses its temporary too.
    for (const char* line : {"--png /proc/version", "--png /proc/no-such-dir/a.png",
                             "--png ok.png --colour-raw no-dir/c.raw", "--png ok.png --depth-raw missing/d.raw",
                             "--png ."}) {
        expect_clean_failure(words(std::string("--screen 40x30 --seed 1 ") + line));
    }
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--depth-raw", std::string(300, 'n')});
    // A name that is a directory: the rename at the end fails and the temporary is removed.
    ASSERT_TRUE(fs::create_directory(work_ / "taken"));
    expect_clean_failure(words("--screen 40x30 --seed 1 --colour-raw taken"));
    EXPECT_TRUE(fs::is_directory(work_ / "taken"));
}

TEST_F(RenderTool, AFullDiskLeavesNoFileUnderItsName)
{
    // A 390 x 390 frame: 608,400 bytes raw and tens of kilobytes as a PNG, far more than the
    // disk takes, so a write itself fails.
    for (const char* option : {"--png", "--colour-raw", "--depth-raw"}) {
        expect_clean_failure({"--screen", "400x400", "--seed", "3", option, "frame.out"}, 2048);
    }
    // A 30 x 20 frame's 2,400 raw bytes fit the stream's buffer: only the flush at the end fails.
    for (const char* option : {"--colour-raw", "--depth-raw"}) {
        expect_clean_failure({"--screen", "40x30", "--seed", "3", option, "frame.out"}, 2048);
    }
}

TEST_F(RenderTool, AFailureMidSequenceKeepsTheFramesWrittenWholeAndStops)
{
    // Frame 1 goes into d1/, which exists; d2/ for frame 2 does not.
    ASSERT_TRUE(fs::create_directory(work_ / "d1"));
    const ToolRun result = run(words("--screen 40x30 --seed 3 --count 3 --colour-raw d%d/c.raw"));
    EXPECT_GT(result.status, 0);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(files(), std::vector<std::string>{"d1/c.raw"});
    EXPECT_EQ(fs::file_size(work_ / "d1/c.raw"), 30u * 20u * 4u);
}

TEST_F(RenderTool, OutputsThatWouldReplaceEachOtherStopTheRun)
{
    // One name for one frame: found before anything is written.
    expect_clean_failure(words("--screen 40x30 --seed 3 --count 2 --png a%d.png --colour-raw a%01d.png"));
    // x1%d names x11 for frame 1, as x%d does for frame 11: frames 1 to 10 are written whole,
    // then the run stops instead of replacing frame 1's colours with frame 11's image.
    const ToolRun result = run(words("--screen 40x30 --seed 3 --count 12 --png x%d --colour-raw x1%d"));
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("'x11'"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(files().size(), 20u);
    EXPECT_EQ(fs::file_size(work_ / "x11"), 30u * 20u * 4u) << "frame 1's colours are kept";
}

TEST_F(RenderTool, FilesHoldThePresentedFramesUnderTheirNumbers)
{
    ToolRun result = run(words("--screen 40x30 --seed 5 --frame 2 --count 3 --png f%03d.png --colour-raw c%d.raw "
                               "--depth-raw d%d.depth"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty());
    result = run(words("--screen 40x30 --seed 5 --frame 4 --png 4.png --colour-raw 4.raw --depth-raw 4.depth"));
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(files(), (std::vector<std::string>{"4.depth", "4.png", "4.raw", "c2.raw", "c3.raw", "c4.raw", "d2.depth",
                                                 "d3.depth", "d4.depth", "f002.png", "f003.png", "f004.png"}));
    // A frame alone is the same frame of a sequence.
    for (const char* pair : {"4.png f004.png", "4.raw c4.raw", "4.depth d4.depth"}) {
        const std::vector<std::string> names = words(pair);
        EXPECT_EQ(read_file(work_ / names[0]), read_file(work_ / names[1])) << pair;
    }
    // The top-left corner lies outside the slab and rays never write depth: the clear value
    // 60000.0, bit pattern 0x476A6000, stored low byte first.
    EXPECT_EQ(read_file(work_ / "d2.depth").substr(0, 4), std::string("\x00\x60\x6A\x47", 4));

    // The window program's first frames, drawn here as its main loop draws them (on this
    // little-endian host the depth buffer's bytes are the file's).
    morvane::reset_scene();
    ASSERT_TRUE(morvane::set_frame_size(40, 30, 5));
    ASSERT_TRUE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
    morvane::prepare_scene();
    const size_t bytes = 30u * 20u * 4u;  // the 40 x 30 screen less 10, even
    for (int frame = 1; frame <= 4; ++frame) {
        morvane::render_frame(morvane::platform::renderer_services());
        morvane::scene.frame_counter += 1;
        if (frame == 1) continue;
        const std::string colour(reinterpret_cast<const char*>(morvane::scene.colour_buffer), bytes);
        const std::string depth(reinterpret_cast<const char*>(morvane::scene.depth_buffer), bytes);
        EXPECT_EQ(read_file(work_ / ("c" + std::to_string(frame) + ".raw")), colour) << frame;
        EXPECT_EQ(read_file(work_ / ("d" + std::to_string(frame) + ".depth")), depth) << frame;
    }
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    morvane::reset_scene();

    // The PNG is the colour buffer as an RGB image: B, G, R, X turned into R, G, B.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, (work_ / "f004.png").c_str())) << image.message;
    EXPECT_EQ(image.width, 30u);
    EXPECT_EQ(image.height, 20u);
    EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGB)) << "an RGB image without alpha";
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;
    const std::string raw = read_file(work_ / "c4.raw");
    ASSERT_EQ(raw.size(), bytes);
    for (size_t i = 0; i < 30u * 20u; ++i) {
        for (size_t c = 0; c < 3; ++c) {
            ASSERT_EQ(rgb[3 * i + c], static_cast<unsigned char>(raw[4 * i + 2 - c])) << "pixel " << i << ", " << c;
        }
    }
}

TEST_F(RenderTool, TheLastFrameNumberIsDrawnAndCountedWithoutOverflow)
{
    // Frame 2147483618 is drawn with frame_counter 2^31 - 1, and counted after drawing.
    const ToolRun result = run(words("--screen 40x30 --seed 2 --frame 2147483618 --colour-raw last.raw"));
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty());
    EXPECT_EQ(fs::file_size(work_ / "last.raw"), 30u * 20u * 4u);
}

TEST_F(RenderTool, AnUnseededRunPrintsTheSeedThatRepeatsIt)
{
    const ToolRun first = run(words("--screen 120x90 --colour-raw first.raw"));
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string marker = "seed ";
    const size_t at = first.out.find(marker);
    ASSERT_NE(at, std::string::npos) << first.out;
    const std::string seed = std::to_string(std::atoi(first.out.c_str() + at + marker.size()));
    const ToolRun again = run({"--screen", "120x90", "--seed", seed, "--colour-raw", "again.raw"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(work_ / "first.raw"), read_file(work_ / "again.raw"));
}

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
    const TemporaryDirectory directory;
    ASSERT_FALSE(directory.path.empty());
    const fs::path root = directory.path;
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

        const ToolRun run = run_render_tool(arguments, work, root / "stdout", root / "stderr");
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
            EXPECT_TRUE(o && whole_frame(*o, read_file(entry.path())))
                << name << " is no whole frame after " << context;
        }
    }
    EXPECT_GE(succeeded, 20) << "most drawing lines write their files";
}
