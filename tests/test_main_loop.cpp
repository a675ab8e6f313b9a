// The program's start-up order, its failure paths and its main loop, run against a stand-in
// window layer that records what it is asked to do and feeds scripted window messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "host/host.h"
#include "host/platform.h"
#include "scene/scene.h"

namespace morvane::platform {
struct Window {
    int width = 0;
    int height = 0;
    std::string caption;
    std::string class_name;
};
} // namespace morvane::platform

namespace {

using morvane::scene;
using morvane::host::Key;

// A window message as the stand-in queue holds it.
struct Message {
    enum class Kind { key_down, close, quit } kind;
    Key key = Key::other;
    int code = 0;
};
Message key_down(Key key) { return {Message::Kind::key_down, key, 0}; }
Message close_request() { return {Message::Kind::close, Key::other, 0}; }
Message quit(int code) { return {Message::Kind::quit, Key::other, code}; }

// What one present saw.
struct Presented {
    const morvane::Pixel* image;
    int width;
    int height;
    int32_t frame_counter;
    uint8_t speed_mode;
    float zoom_scale;
};

// The stand-in's script and record; reset by every test.
struct StandIn {
    bool has_screen = true;
    int screen_width = 42;
    int screen_height = 42;
    bool can_open = true;
    std::deque<Message> queue;
    std::map<int, std::vector<Message>> arriving_after_present;  // present number -> messages
    std::vector<Presented> presented;
    int pumps = 0;
    int windows_opened = 0;
    int windows_closed = 0;
    morvane::platform::Window* window = nullptr;
    morvane::platform::Window last_opened;
    morvane::Pixel* offered_pixels = nullptr;  // what present offers for the next frame
};
StandIn stand_in;

} // namespace

// The stand-in window layer: the same contract as the real ones.
namespace morvane::platform {

bool screen_size(int& width, int& height, char* error, size_t error_size)
{
    if (!stand_in.has_screen) {
        std::snprintf(error, error_size, "there is no display (stand-in)");
        return false;
    }
    width = stand_in.screen_width;
    height = stand_in.screen_height;
    return true;
}

Window* open_window(int width, int height, const char* caption, const char* class_name, char* error,
                    size_t error_size)
{
    if (!stand_in.can_open) {
        std::snprintf(error, error_size, "the window cannot be created (stand-in)");
        return nullptr;
    }
    ++stand_in.windows_opened;
    stand_in.window = new Window{width, height, caption, class_name};
    stand_in.last_opened = *stand_in.window;
    return stand_in.window;
}

Pixel* present(Window* window, const Pixel* image, int width, int height)
{
    EXPECT_EQ(window, stand_in.window);
    stand_in.presented.push_back({image, width, height, scene.frame_counter, scene.speed_mode, scene.zoom_scale});
    const auto arriving = stand_in.arriving_after_present.find(static_cast<int>(stand_in.presented.size()));
    if (arriving != stand_in.arriving_after_present.end()) {
        stand_in.queue.insert(stand_in.queue.end(), arriving->second.begin(), arriving->second.end());
    }
    return stand_in.offered_pixels;
}

bool handle_pending_event(Window* window, int& exit_code)
{
    EXPECT_EQ(window, stand_in.window);
    ++stand_in.pumps;
    if (stand_in.queue.empty()) {
        return false;
    }
    const Message message = stand_in.queue.front();
    stand_in.queue.pop_front();
    switch (message.kind) {
    case Message::Kind::quit:
        exit_code = message.code;
        return true;
    case Message::Kind::key_down:
        if (host::handle_key_down(message.key)) {
            stand_in.queue.push_back(quit(0));
        }
        return false;
    case Message::Kind::close:
        stand_in.queue.push_back(quit(0));
        return false;
    }
    return false;
}

void close_window(Window* window)
{
    EXPECT_EQ(window, stand_in.window);
    ++stand_in.windows_closed;
    delete window;
    stand_in.window = nullptr;
}

} // namespace morvane::platform

namespace {

class HostProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        stand_in = StandIn{};
        morvane::reset_scene();
    }
    void TearDown() override
    {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        morvane::reset_scene();
    }

    // program_entry with stderr captured.
    int run_program(std::string& said)
    {
        ::testing::internal::CaptureStderr();
        const int code = morvane::host::program_entry();
        said = ::testing::internal::GetCapturedStderr();
        return code;
    }
};

// ---- Start-up ----

TEST_F(HostProgram, OpensTheWindowFromTheScreenSizeAndDrawsIntoTheFrameBuffers)
{
    stand_in.screen_width = 1920;
    stand_in.screen_height = 1080;
    stand_in.queue = {quit(0)};
    std::string said;
    EXPECT_EQ(run_program(said), 0);
    EXPECT_EQ(said, "");
    ASSERT_EQ(stand_in.windows_opened, 1);
    EXPECT_EQ(stand_in.last_opened.width, 1910);
    EXPECT_EQ(stand_in.last_opened.height, 1070);
    EXPECT_EQ(stand_in.last_opened.caption, "Morvane, press space -> speed - full/idle ");
    EXPECT_EQ(stand_in.last_opened.class_name, "tilvex");
    EXPECT_EQ(stand_in.windows_closed, 1);
    ASSERT_EQ(stand_in.presented.size(), 1u);
    EXPECT_EQ(stand_in.presented[0].image, scene.colour_buffer);
    EXPECT_EQ(stand_in.presented[0].width, 1910);
    EXPECT_EQ(stand_in.presented[0].height, 1070);
    EXPECT_NEAR(stand_in.presented[0].zoom_scale, 267.0f, 0.5f);  // a quarter of the height, one step on
}

TEST_F(HostProgram, WhenItCannotStartItSaysWhyOnOneLineAndReturnsOne)
{
    const struct {
        bool has_screen, can_open;
        int width, height;
        const char* said;
    } cases[] = {
        {false, true, 42, 42, "there is no display (stand-in)"},
        {true, true, 11, 400, "the screen is 11 x 400 pixels, too small for a frame of at least 2 x 2"},
        {true, true, 70000, 400, "the screen is 70000 x 400 pixels, too large for the frame buffers"},
        {true, false, 42, 42, "the window cannot be created (stand-in)"},
    };
    for (const auto& c : cases) {
        SetUp();
        stand_in.has_screen = c.has_screen, stand_in.can_open = c.can_open;
        stand_in.screen_width = c.width, stand_in.screen_height = c.height;
        std::string said;
        EXPECT_EQ(run_program(said), 1);
        EXPECT_EQ(said, std::string("morvane: cannot open a window: ") + c.said + "\n");
        EXPECT_EQ(stand_in.windows_opened, 0);
        EXPECT_EQ(scene.colour_buffer, nullptr);
        EXPECT_TRUE(stand_in.presented.empty());
    }
}

// ---- The main loop ----

TEST_F(HostProgram, CountsEachFrameBeforePresentingItAndDrawsTheNextWhereThePresentOffers)
{
    alignas(64) static morvane::Pixel window_pixels[32 * 32];  // the window's own, for a 32 x 32 frame
    stand_in.offered_pixels = window_pixels;
    stand_in.arriving_after_present[25] = {quit(0)};
    std::string said;
    ASSERT_EQ(run_program(said), 0);
    ASSERT_EQ(stand_in.presented.size(), 25u);
    EXPECT_EQ(stand_in.pumps, 25) << "the queue is looked at once per frame, never waited on";
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(stand_in.presented[i].frame_counter, 31 + i) << "drawn with 30 + i, counted, then shown";
        EXPECT_EQ(stand_in.presented[i].image, i == 0 ? scene.colour_buffer : window_pixels) << i;
    }
    EXPECT_NE(scene.colour_buffer, window_pixels) << "its own buffer back after the loop";
}

TEST_F(HostProgram, HandlesAtMostOneMessagePerFrameInQueueOrder)
{
    // Space toggles on every key-down (auto-repeats too), other keys change nothing, and the
    // quit message's code is the exit code.
    stand_in.queue = {key_down(Key::space), key_down(Key::other), key_down(Key::space), key_down(Key::space), quit(7)};
    std::string said;
    EXPECT_EQ(run_program(said), 7);
    ASSERT_EQ(stand_in.presented.size(), 5u);
    EXPECT_EQ(stand_in.pumps, 5);
    const uint8_t speed[] = {1, 0, 0, 1, 0};  // as each frame was shown: the first Space after frame 1
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stand_in.presented[i].speed_mode, speed[i]) << i;
}

TEST_F(HostProgram, EscAndClosingTheWindowEndTheLoopWithZeroThroughTheQueue)
{
    // Esc is handled after frame 2, the Space queued behind it after frame 3, and the quit
    // message Esc posted after frame 4. Closing after frame 1 quits after frame 2.
    for (const auto& [after, messages, frames] :
         {std::tuple{2, std::vector{key_down(Key::escape), key_down(Key::space)}, 4u},
          std::tuple{1, std::vector{close_request()}, 2u}}) {
        SetUp();
        stand_in.arriving_after_present[after] = messages;
        std::string said;
        EXPECT_EQ(run_program(said), 0);
        EXPECT_EQ(stand_in.presented.size(), frames);
        EXPECT_EQ(stand_in.windows_closed, 1);
        TearDown();
    }
}

// ---- The command line ----

// program_main with both output streams captured.
struct Outcome {
    int code;
    std::string out;
    std::string err;
};
Outcome run_main(std::vector<const char*> words)
{
    words.insert(words.begin(), "morvane");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = morvane::host::program_main(static_cast<int>(words.size()), words.data());
    const std::string out = ::testing::internal::GetCapturedStdout();
    return {code, out, ::testing::internal::GetCapturedStderr()};
}

TEST_F(HostProgram, HelpAndVersionPrintAndExitWithoutAWindow)
{
    for (const auto& words : {std::vector<const char*>{"--help"}, {"--version", "--help"}, {"--help", "--stats"}}) {
        const Outcome run = run_main(words);
        EXPECT_EQ(run.code, 0);
        EXPECT_NE(run.out.find("Usage: morvane [--stats]"), std::string::npos) << run.out;
        EXPECT_EQ(run.err, "");
    }
    const Outcome version = run_main({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("morvane ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1);
    EXPECT_EQ(stand_in.windows_opened, 0);
}

TEST_F(HostProgram, AnyOtherWordIsOneLineOnStderrAndExitCodeTwo)
{
    for (const auto& words : {std::vector<const char*>{"--stat"}, {"--stats", "-x"}, {"stats", "--help"}, {""}}) {
        const Outcome run = run_main(words);
        EXPECT_EQ(run.code, 2) << words.back();
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("morvane: unknown argument '", 0), 0u) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_EQ(stand_in.windows_opened, 0);
}

TEST_F(HostProgram, StatsPrintTheFramesDrawnOnExitAndNothingElseChanges)
{
    stand_in.queue = {key_down(Key::space), key_down(Key::other), quit(0)};
    const Outcome run = run_main({"--stats"});
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(stand_in.presented.size(), 3u);
    EXPECT_EQ(stand_in.presented[2].speed_mode, 0);
    EXPECT_EQ(run.out.rfind("morvane: 3 frames in ", 0), 0u) << run.out;
    EXPECT_NE(run.out.find(" frames per second; median per frame: render "), std::string::npos) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1);

    // Without the flag: the same frames, and nothing on stdout.
    stand_in.presented.clear();
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    morvane::reset_scene();
    stand_in.queue = {key_down(Key::space), key_down(Key::other), quit(0)};
    const Outcome plain = run_main({});
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(stand_in.presented.size(), 3u);
}

TEST(FrameStats, TheMedianIsTheMiddleSampleInMilliseconds)
{
    static morvane::host::FrameStats stats;
    EXPECT_EQ(morvane::host::median_ms(stats.render_us), 0.0);
    stats.render_us[2500] = 2;  // 2.5 ms twice
    stats.render_us[900] = 1;
    stats.render_us[4000] = 1;
    // The lower of the two middle samples of four.
    EXPECT_DOUBLE_EQ(morvane::host::median_ms(stats.render_us), 2.5);
    stats.render_us[900] = 3;
    EXPECT_DOUBLE_EQ(morvane::host::median_ms(stats.render_us), 0.9);
}

} // namespace
