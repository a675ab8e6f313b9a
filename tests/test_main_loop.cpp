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
#include "morvane_version.h"
#include "scene/scene.h"

namespace morvane::platform {
struct Window {
    int width = 0, height = 0;
    std::string caption, class_name;
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
    int width, height;
    int32_t frame_counter;
    uint8_t speed_mode;
};

// The stand-in's script and record; reset by every test.
struct StandIn {
    bool has_screen = true, can_open = true;
    int screen_width = 42, screen_height = 42;
    std::deque<Message> queue;
    std::map<int, std::vector<Message>> arriving_after_present;  // present number -> messages
    std::vector<Presented> presented;
    int pumps = 0, windows_opened = 0, windows_closed = 0;
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
    stand_in.presented.push_back({image, width, height, scene.frame_counter, scene.speed_mode});
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
    if (stand_in.queue.empty()) return false;
    const Message message = stand_in.queue.front();
    stand_in.queue.pop_front();
    if (message.kind == Message::Kind::quit) {
        exit_code = message.code;
        return true;
    }
    // Esc and the close button post the quit message, which comes round on a later pump.
    if (message.kind == Message::Kind::close || host::handle_key_down(message.key)) stand_in.queue.push_back(quit(0));
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
    alignas(64) static morvane::Pixel window_pixels[42 * 32];  // the window's own, for a 42 x 32 frame
    stand_in.offered_pixels = window_pixels;
    stand_in.screen_width = 52;
    stand_in.arriving_after_present[25] = {quit(0)};
    std::string said;
    ASSERT_EQ(run_program(said), 0);
    EXPECT_EQ(said, "");
    // One window, the frame's size (the screen's less ten), under the program's caption and class.
    EXPECT_EQ(std::tuple(stand_in.last_opened.caption, stand_in.last_opened.class_name, stand_in.last_opened.width,
                         stand_in.last_opened.height, stand_in.windows_opened, stand_in.windows_closed),
              std::tuple("Morvane, press space -> speed - full/idle ", "tilvex", 42, 32, 1, 1));
    ASSERT_EQ(stand_in.presented.size(), 25u);
    EXPECT_EQ(stand_in.pumps, 25);  // the queue is looked at once per frame, never waited on
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(stand_in.presented[i].frame_counter, 31 + i);  // drawn with 30 + i, counted, then shown
        EXPECT_EQ(std::pair(stand_in.presented[i].width, stand_in.presented[i].height), std::pair(42, 32));
        EXPECT_EQ(stand_in.presented[i].image, i == 0 ? scene.colour_buffer : window_pixels) << i;
    }
    EXPECT_NE(scene.colour_buffer, window_pixels);  // its own buffer back after the loop
}

TEST_F(HostProgram, HandlesOneMessagePerFrameInQueueOrderUntilTheQuitMessage)
{
    // Space toggles on every key-down (auto-repeats too), other keys change nothing; Esc and the
    // close button post the quit message behind what is queued, and its code is the exit code.
    const struct {
        std::deque<Message> queued;
        int after;  // the present after which `arriving` reaches the queue
        std::vector<Message> arriving;
        int code;
        std::vector<uint8_t> speeds;  // as each frame was shown
    } cases[] = {
        {{key_down(Key::space), key_down(Key::other), key_down(Key::space), key_down(Key::space), quit(7)}, 0, {}, 7,
         {1, 0, 0, 1, 0}},
        {{}, 2, {key_down(Key::escape), key_down(Key::space)}, 0, {1, 1, 1, 0}},
        {{}, 1, {close_request()}, 0, {1, 1}},
    };
    for (const auto& c : cases) {
        SetUp();
        stand_in.queue = c.queued;
        stand_in.arriving_after_present[c.after] = c.arriving;
        std::string said;
        EXPECT_EQ(run_program(said), c.code);
        std::vector<uint8_t> speeds;
        for (const Presented& p : stand_in.presented) speeds.push_back(p.speed_mode);
        EXPECT_EQ(speeds, c.speeds);
        EXPECT_EQ(stand_in.pumps, static_cast<int>(c.speeds.size()));
        EXPECT_EQ(stand_in.windows_closed, 1);
        TearDown();
    }
}

// ---- The command line ----

TEST_F(HostProgram, TheCommandLineRunsPrintsOrRefusesOnOneLine)
{
    // Every run gets Space, another key and the quit message: three frames where a window opens.
    const struct {
        std::vector<const char*> words;
        int code;
        const char *out, *err;  // how each starts; "" for nothing at all
        size_t frames;
    } cases[] = {
        {{"--help"}, 0, "Usage: morvane [--stats]\n", "", 0}, {{"--version", "--help"}, 0, "Usage: ", "", 0},
        {{"--help", "--stats"}, 0, "Usage: ", "", 0}, {{"--version"}, 0, "morvane " MORVANE_VERSION "\n", "", 0},
        {{"--stat"}, 2, "", "morvane: unknown argument '--stat'", 0},
        {{"--stats", "-x"}, 2, "", "morvane: unknown argument '-x'", 0},
        {{"stats", "--help"}, 2, "", "morvane: unknown argument 'stats'", 0},
        {{""}, 2, "", "morvane: unknown argument ''", 0},
        {{"--stats"}, 0, "morvane: 3 frames in ", "", 3}, {{}, 0, "", "", 3},
    };
    for (const auto& c : cases) {
        SetUp();
        stand_in.queue = {key_down(Key::space), key_down(Key::other), quit(0)};
        std::vector<const char*> words = c.words;
        words.insert(words.begin(), "morvane");
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(morvane::host::program_main(static_cast<int>(words.size()), words.data()), c.code);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        for (const auto& [text, start] : {std::pair{out, c.out}, {err, c.err}}) {
            const bool usage = std::string_view(start).starts_with("Usage: ");  // the only text of several lines
            EXPECT_TRUE(*start == 0 ? text.empty() : text.starts_with(start) && (usage || std::ranges::count(text, '\n') == 1))
                << (words.size() > 1 ? words[1] : "") << ": " << text;
        }
        EXPECT_EQ(stand_in.presented.size(), c.frames);
        TearDown();
    }
}

TEST(FrameStats, TheMedianIsTheMiddleSampleInMilliseconds)
{
    static morvane::host::FrameStats stats;
    EXPECT_EQ(morvane::host::median_ms(stats.render_us), 0.0);
    stats.render_us[2500] = 2, stats.render_us[900] = 1, stats.render_us[4000] = 1;
    EXPECT_DOUBLE_EQ(morvane::host::median_ms(stats.render_us), 2.5) << "the lower of the two middle samples";
    stats.render_us[900] = 3;
    EXPECT_DOUBLE_EQ(morvane::host::median_ms(stats.render_us), 0.9);
}

} // namespace
