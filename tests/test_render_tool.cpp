// morvane-render: its command line as a pure function, and the program as a user runs it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/options.h"

using namespace morvane::tools;

namespace {

ParseResult parse(const std::vector<std::string>& arguments)
{
    std::vector<const char*> argv = {"morvane-render"};
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    return parse_render_options(static_cast<int>(argv.size()), argv.data());
}

// The error of a command line that must fail.
std::string error_of(const std::vector<std::string>& arguments)
{
    const ParseResult result = parse(arguments);
    EXPECT_FALSE(result.options.has_value());
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(result.error.find('\n'), std::string::npos);
    return result.error;
}

} // namespace

// ---- The command line ----

TEST(RenderOptions, DefaultsAndBothValueForms)
{
    const ParseResult plain = parse({"--png", "a.png"});
    ASSERT_TRUE(plain.options) << plain.error;
    EXPECT_EQ(plain.options->screen_width, 1920);
    EXPECT_EQ(plain.options->screen_height, 1080);
    EXPECT_FALSE(plain.options->seed.has_value());
    EXPECT_EQ(plain.options->first_frame, 1);
    EXPECT_EQ(plain.options->count, 1);
    EXPECT_EQ(plain.options->png.text, "a.png");
    EXPECT_FALSE(plain.options->colour_raw.wanted());

    const ParseResult full = parse({"--screen=640x480", "--seed", "0", "--frame=7", "--count", "2", "--png",
                                    "f%03d.png", "--colour-raw=c%d.raw", "--depth-raw", "d-%-5u.raw"});
    ASSERT_TRUE(full.options) << full.error;
    EXPECT_EQ(full.options->screen_width, 640);
    EXPECT_EQ(full.options->screen_height, 480);
    EXPECT_EQ(full.options->seed, 0);
    EXPECT_EQ(full.options->first_frame, 7);
    EXPECT_EQ(full.options->count, 2);
    EXPECT_EQ(output_file_name(full.options->png, 8), "f008.png");
    EXPECT_EQ(output_file_name(full.options->colour_raw, 12), "c12.raw");
    EXPECT_EQ(output_file_name(full.options->depth_raw, 3), "d-3    .raw");

    const ParseResult largest = parse({"--seed", "65535", "--screen", "32768X12", "--depth-raw", "x"});
    ASSERT_TRUE(largest.options) << largest.error;
    EXPECT_EQ(largest.options->seed, 65535);
    EXPECT_EQ(largest.options->screen_width, 32768);
}

TEST(RenderOptions, HelpWins)
{
    const ParseResult help = parse({"--help"});
    ASSERT_TRUE(help.options);
    EXPECT_TRUE(help.options->help);
    EXPECT_TRUE(parse({"--png", "a.png", "-h"}).options->help);
}

TEST(RenderOptions, RejectsUnknownMissingAndRepeated)
{
    EXPECT_NE(error_of({"--fast", "--png", "a"}).find("unknown option '--fast'"), std::string::npos);
    EXPECT_NE(error_of({"a.png"}).find("unexpected argument 'a.png'"), std::string::npos);
    EXPECT_NE(error_of({"-p", "a.png"}).find("unexpected argument"), std::string::npos);
    EXPECT_NE(error_of({"--png"}).find("--png needs a value"), std::string::npos);
    EXPECT_NE(error_of({"--png", "--seed", "4"}).find("--png needs a value"), std::string::npos);
    EXPECT_NE(error_of({"--png="}).find("--png needs a file name"), std::string::npos);
    EXPECT_NE(error_of({"--seed", "1", "--seed", "2", "--png", "a"}).find("given twice"), std::string::npos);
    EXPECT_NE(error_of({"--png", "a", "--png", "b"}).find("given twice"), std::string::npos);
    EXPECT_NE(error_of({}).find("nothing to write"), std::string::npos);
    EXPECT_NE(error_of({"--seed", "3"}).find("nothing to write"), std::string::npos);
    EXPECT_NE(error_of({"--png", "same", "--depth-raw", "same"}).find("the same file"), std::string::npos);
}

TEST(RenderOptions, RejectsMalformedAndOutOfRangeNumbers)
{
    for (const char* screen : {"1920", "1920x", "x1080", "1920x1080x", "1920*1080", "+1920x1080", " 1920x1080",
                               "1920x1080 ", "19.5x1080", "0x1080", "1920x0", "-1920x1080", "32769x100",
                               "99999999999999999999x1080", "0x0"}) {
        EXPECT_NE(error_of({"--screen", screen, "--png", "a"}).find("--screen"), std::string::npos) << screen;
    }
    // Screens whose frame would be under 2 x 2 or too large for the 32-bit buffer size.
    EXPECT_NE(error_of({"--screen", "11x600", "--png", "a"}).find("under 2x2"), std::string::npos);
    EXPECT_NE(error_of({"--screen", "32768x32768", "--png", "a"}).find("exceed"), std::string::npos);

    for (const char* seed : {"-1", "65536", "12a", "0x10", "", "1e3", "99999999999999999999"}) {
        EXPECT_NE(error_of({"--seed", seed, "--png", "a"}).find("0 to 65535"), std::string::npos) << seed;
    }
    for (const char* frame : {"0", "-3", "1.5", "2x", "9999999999"}) {
        EXPECT_NE(error_of({"--frame", frame, "--png", "a"}).find("--frame"), std::string::npos) << frame;
        EXPECT_NE(error_of({"--count", frame, "--png", "a"}).find("--count"), std::string::npos) << frame;
    }
    // The last frame's counter (29 + its number) must stay a signed 32-bit value.
    EXPECT_TRUE(parse({"--frame", "2147483618", "--png", "a"}).options);
    EXPECT_FALSE(parse({"--frame", "2147483619", "--png", "a"}).options);
    EXPECT_NE(error_of({"--frame", "2147483000", "--count", "1000", "--png", "a%d"}).find("beyond"),
              std::string::npos);
}

TEST(RenderOptions, NumberedNamesTakeExactlyOneIntegerConversion)
{
    const std::string frames_tail = "needs a frame number";
    EXPECT_NE(error_of({"--count", "2", "--png", "plain.png"}).find(frames_tail), std::string::npos);
    for (const char* bad : {"%d-%d.png", "%s.png", "%n.png", "%ld.png", "%x.png", "%.png", "f%", "%p",
                            "%100d.png", "%*d.png", "%.3d.png", "%+d.png", "%#d"}) {
        EXPECT_FALSE(parse({"--count", "2", "--png", bad}).options) << bad;
    }
    const ParseResult percent = parse({"--count", "3", "--png", "100%%-%02i.png"});
    ASSERT_TRUE(percent.options) << percent.error;
    EXPECT_EQ(output_file_name(percent.options->png, 3), "100%-03.png");

    // One frame: the name is used as given, conversions and all.
    const ParseResult single = parse({"--png", "odd%s%n.png"});
    ASSERT_TRUE(single.options) << single.error;
    EXPECT_EQ(output_file_name(single.options->png, 1), "odd%s%n.png");
}

TEST(RenderOptions, ErrorsQuoteUserTextOnOneLine)
{
    const std::string error = error_of({std::string("--bad\nname\x1b[2J")});
    EXPECT_NE(error.find("\\x0A"), std::string::npos);
    EXPECT_NE(error.find("\\x1B"), std::string::npos);
    const std::string long_error = error_of({"--" + std::string(10000, 'a')});
    EXPECT_LT(long_error.size(), 200u);
}

// ---- The program ----

namespace {

struct ToolRun {
    int status = -1;  // exit code, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> directory_entries(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != ".." && name != ".out" && name != ".err") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RenderTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/morvane-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + directory_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // Runs morvane-render in the test's directory.
    ToolRun run(const std::vector<std::string>& arguments)
    {
        const std::string out_path = directory_ + "/.out";
        const std::string err_path = directory_ + "/.err";
        std::vector<char*> argv;
        std::string program = MORVANE_RENDER_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = arguments;
        for (std::string& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || chdir(directory_.c_str()) != 0) _exit(126);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        ToolRun result;
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        }
        result.out = read_file(out_path);
        result.err = read_file(err_path);
        return result;
    }

    // A run that must fail with one line on stderr and leave the directory as it was.
    void expect_clean_failure(const std::vector<std::string>& arguments)
    {
        const std::vector<std::string> before = directory_entries(directory_);
        const ToolRun result = run(arguments);
        std::string shown;
        for (const std::string& a : arguments) shown += a + " ";
        EXPECT_GT(result.status, 0) << shown;
        EXPECT_EQ(result.err.rfind("morvane-render: ", 0), 0u) << shown << "\n" << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown << "\n" << result.err;
        EXPECT_EQ(directory_entries(directory_), before) << shown;
    }

    std::string path(const std::string& name) const { return directory_ + "/" + name; }

    std::string directory_;
};

} // namespace

TEST_F(RenderTool, HelpGoesToStdout)
{
    const ToolRun result = run({"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("usage: morvane-render", 0), 0u);
    EXPECT_NE(result.out.find("--colour-raw"), std::string::npos);
    EXPECT_TRUE(result.err.empty());
}

TEST_F(RenderTool, BadArgumentsGiveOneLineAndNoFiles)
{
    expect_clean_failure({"--bogus", "--png", "a.png"});
    expect_clean_failure({"--png"});
    expect_clean_failure({"--screen", "640", "--png", "a.png"});
    expect_clean_failure({"--screen", "640x480junk", "--png", "a.png"});
    expect_clean_failure({"--screen", "11x11", "--png", "a.png"});
    expect_clean_failure({"--screen", "32768x32768", "--png", "a.png"});
    expect_clean_failure({"--seed", "65536", "--png", "a.png"});
    expect_clean_failure({"--seed", "-1", "--png", "a.png"});
    expect_clean_failure({"--frame", "0", "--png", "a.png"});
    expect_clean_failure({"--count", "0", "--png", "a.png"});
    expect_clean_failure({"--count", "2", "--png", "a.png"});
    expect_clean_failure({"--count", "2", "--png", "%d%s.png"});
    expect_clean_failure({"stray"});
    expect_clean_failure({});
}

TEST_F(RenderTool, UnwritableOutputsLeaveNothingBehind)
{
    // A missing directory, before anything is drawn; the PNG's temporary goes too.
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--png", "ok.png", "--depth-raw", "missing/d.raw"});
    // A name that is a directory: the rename at the end fails and the temporary is removed.
    ASSERT_EQ(mkdir(path("taken").c_str(), 0755), 0);
    expect_clean_failure({"--screen", "40x30", "--seed", "1", "--colour-raw", "taken"});
    struct stat info {};
    ASSERT_EQ(stat(path("taken").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(RenderTool, TinyRenderWritesAValidRgbPngOfTheFrameSize)
{
    const ToolRun result = run({"--screen", "40x30", "--seed", "5", "--png", "tiny.png", "--colour-raw", "tiny.raw"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(result.err.empty());
    EXPECT_EQ(directory_entries(directory_), (std::vector<std::string>{"tiny.png", "tiny.raw"}));

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path("tiny.png").c_str())) << image.message;
    EXPECT_EQ(image.width, 30u);  // the 40 x 30 screen less 10, even
    EXPECT_EQ(image.height, 20u);
    EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGB)) << "an RGB image without alpha";
    image.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) << image.message;

    // The PNG is the colour buffer with B, G, R, X turned into R, G, B.
    const std::string raw = read_file(path("tiny.raw"));
    ASSERT_EQ(raw.size(), 30u * 20u * 4u);
    for (size_t i = 0; i < 30u * 20u; ++i) {
        ASSERT_EQ(rgb[3 * i + 0], static_cast<unsigned char>(raw[4 * i + 2])) << "pixel " << i;
        ASSERT_EQ(rgb[3 * i + 1], static_cast<unsigned char>(raw[4 * i + 1])) << "pixel " << i;
        ASSERT_EQ(rgb[3 * i + 2], static_cast<unsigned char>(raw[4 * i + 0])) << "pixel " << i;
    }
}

TEST_F(RenderTool, RawBuffersHaveTheFrameSizeAndLittleEndianDepth)
{
    const ToolRun result = run({"--screen", "64x48", "--seed", "9", "--colour-raw", "c.raw", "--depth-raw", "d.raw"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string colour = read_file(path("c.raw"));
    const std::string depth = read_file(path("d.raw"));
    EXPECT_EQ(colour.size(), 54u * 38u * 4u);
    EXPECT_EQ(depth.size(), 54u * 38u * 4u);
    // The top-left corner lies outside the slab; rays never write depth: the clear value
    // 60000.0, bit pattern 0x476A6000, stored low byte first.
    ASSERT_GE(depth.size(), 4u);
    EXPECT_EQ(depth.substr(0, 4), std::string("\x00\x60\x6A\x47", 4));
}

TEST_F(RenderTool, AFrameAloneEqualsTheSameFrameOfASequence)
{
    const ToolRun sequence = run({"--screen", "120x90", "--seed", "77", "--frame", "1", "--count", "5", "--png",
                              "seq-%04d.png", "--colour-raw", "seq-%d.raw", "--depth-raw", "seq-%d.depth"});
    ASSERT_EQ(sequence.status, 0) << sequence.err;
    const ToolRun alone = run({"--screen", "120x90", "--seed", "77", "--frame", "5", "--png", "five.png",
                           "--colour-raw", "five.raw", "--depth-raw", "five.depth"});
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(directory_entries(directory_).size(), 15u + 3u);
    EXPECT_EQ(read_file(path("seq-0005.png")), read_file(path("five.png")));
    EXPECT_EQ(read_file(path("seq-5.raw")), read_file(path("five.raw")));
    EXPECT_EQ(read_file(path("seq-5.depth")), read_file(path("five.depth")));
}

TEST_F(RenderTool, NumberedFilesCarryThePresentedFrameNumbers)
{
    const ToolRun result = run({"--screen", "40x30", "--seed", "1", "--frame", "9", "--count", "3", "--png", "f%03d.png"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(directory_entries(directory_), (std::vector<std::string>{"f009.png", "f010.png", "f011.png"}));
}

TEST_F(RenderTool, AnUnseededRunPrintsTheSeedThatRepeatsIt)
{
    const ToolRun first = run({"--screen", "120x90", "--colour-raw", "first.raw"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string marker = "seed ";
    const size_t at = first.out.find(marker);
    ASSERT_NE(at, std::string::npos) << first.out;
    const std::string seed = std::to_string(std::atoi(first.out.c_str() + at + marker.size()));
    const ToolRun again = run({"--screen", "120x90", "--seed", seed, "--colour-raw", "again.raw"});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(read_file(path("first.raw")), read_file(path("again.raw")));
}
