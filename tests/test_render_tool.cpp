// morvane-render: its command line as a pure function, and the program as a user runs it,
// including the ways writing can fail.
#include <gtest/gtest.h>

#include <png.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "host/platform.h"
#include "morvane_version.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tests/render_tool_run.h"
#include "tools/options.h"

using namespace morvane::tools;
using morvane::test::read_file;
using morvane::test::run_render_tool;
using morvane::test::ToolRun;
namespace fs = std::filesystem;

namespace {

// A command line given as one string of space-separated arguments.
std::vector<std::string> words(const std::string& line)
{
    std::vector<std::string> out;
    for (size_t at = 0, end = 0; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        out.push_back(line.substr(at, end - at));
    }
    return out;
}

// The outcome of a command line as one line: the options with the files of the first and the
// last frame, or "refused: " and the error.
std::string described(const std::vector<std::string>& arguments)
{
    std::vector<const char*> argv = {"morvane-render"};
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    const ParseResult result = parse_render_options(static_cast<int>(argv.size()), argv.data());
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
    std::vector<std::pair<std::vector<std::string>, std::string>> cases;
    for (const auto& [line, part] : std::initializer_list<std::pair<const char*, const char*>>{
             {"--fast --png a", "unknown option '--fast'"}, {"a.png", "unexpected argument 'a.png'"},
             {"-p a.png", "unexpected argument"}, {"--png", "--png needs a value"},
             {"--png --seed 4", "--png needs a value"}, {"--png=", "--png needs a file name"},
             {"--seed 1 --seed 2 --png a", "--seed given twice"}, {"--png a --png b", "--png given twice"},
             {"", "nothing to write"}, {"--seed 3", "nothing to write"},
             {"--png same --depth-raw same", "the same file"},
             // Screens whose frame would be under 2 x 2 or too large for the 32-bit buffer size
             // (a 23172 x 23170 frame).
             {"--screen 11x600 --png a", "under 2x2"}, {"--screen 23182x23180 --png a", "exceed"},
             {"--frame 2147483618 --count 2 --png a%d", "beyond"},
             {"--count 2 --png plain.png", "needs a frame number"}, {"--count 2 --png %100d.png", "above 99"}}) {
        cases.push_back({words(line), part});
    }
    for (const char* screen : {"1920", "1920x", "x1080", "1920x1080x", "1920*1080", "+1920x1080", " 1920x1080",
                               "1920x1080 ", "19.5x1080", "0x1080", "1920x0", "-1920x1080", "32769x100",
                               "99999999999999999999x1080", "0x0"}) {
        cases.push_back({{"--screen", screen, "--png", "a"}, "--screen"});
    }
    // Which numbers each option takes is tried value by value in test_options_fuzz.
    cases.push_back({words("--seed 65536 --png a"), "--seed '65536' is not a whole number from 0 to 65535"});
    cases.push_back({words("--count 0 --png a"), "--count '0' is not a whole number from 1 to 2147483618"});
    for (const char* name : {"%d-%d.png", "%s.png", "%n.png", "%ld.png", "%x.png", "%.png", "f%", "%p", "%*d.png",
                             "%.3d.png", "%+d.png", "%#d"}) {
        cases.push_back({{"--count", "2", "--png", name}, "--png"});
    }
    for (const auto& [arguments, part] : cases) {
        std::string line;
        for (const std::string& a : arguments) line += morvane::tools::quoted(a) + " ";
        const std::string outcome = described(arguments);
        EXPECT_EQ(outcome.rfind("refused: ", 0), 0u) << line << "gave " << outcome;
        EXPECT_NE(outcome.find(part), std::string::npos) << line << "gave " << outcome;
        EXPECT_EQ(outcome.find('\n'), std::string::npos) << line;
    }
}

TEST(RenderOptions, ErrorsQuoteUserTextOnOneLine)
{
    const std::string error = described(std::vector<std::string>{"--bad\nname\x1b[2J"});
    EXPECT_NE(error.find("'--bad\\x0Aname\\x1B[2J'"), std::string::npos) << error;
    EXPECT_LT(described(std::vector<std::string>{"--" + std::string(10000, 'a')}).size(), 200u) << "long text is cut";
}

// ---- The program ----

namespace {

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/morvane-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        work_ = root_ / "work";
        fs::create_directory(work_);
    }
    void TearDown() override { fs::remove_all(root_); }

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

    fs::path root_;
    fs::path work_;
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
    // (test_options_fuzz runs refused lines through the program.)
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
