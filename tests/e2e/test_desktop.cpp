// The real program in a real X server, driven the way a person would: look at the window with
// xwininfo and xprop, type at it with xdotool, close it like a window manager, take a
// screenshot, and start it where there is no display.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/e2e/harness.h"

namespace morvane::e2e {
namespace {

constexpr milliseconds window_deadline{15000};    // start-up on a loaded machine
constexpr milliseconds quit_deadline{1000};       // a key or a close ends the program this fast
constexpr milliseconds failure_deadline{10000};   // failing start-up ends within this
constexpr milliseconds settle{600};               // long enough for keys to be handled

std::string current_test_name()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

class DesktopProgram : public ::testing::Test {
protected:
    void SetUp() override { dir_ = work_dir_for(current_test_name()); }

    void TearDown() override
    {
        program_.kill_and_reap();
        server_.reset();
    }

    // Starts a private X server with a screen of the given size, the program on it, and
    // waits for its window to be shown.
    void start_on_screen(int width, int height, const std::vector<std::string>& arguments = {})
    {
        server_ = std::make_unique<XServer>(width, height, dir_);
        ASSERT_TRUE(server_->ready()) << server_->failure();
        std::vector<std::string> argv = {tools().program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        program_ = Child::start(argv, program_env(display_env(display())), dir_ + "morvane");
        const auto id = wait_for_window_of(display(), program_.pid(), window_deadline, dir_);
        ASSERT_TRUE(id.has_value()) << "no window appeared; the program said: " << program_.stderr_text();
        window_ = *id;
    }

    const std::string& display() const { return server_->display(); }

    void expect_quits_with_zero_within(milliseconds deadline)
    {
        const std::optional<int> status = program_.wait_for_exit(deadline);
        ASSERT_TRUE(status.has_value()) << "still running " << deadline.count() << " ms later";
        EXPECT_EQ(*status, 0) << program_.stderr_text();
    }

    std::string dir_;
    std::unique_ptr<XServer> server_;
    Child program_;
    unsigned long window_ = 0;
};

// ---- The window ----

TEST_F(DesktopProgram, OnA1920x1080ScreenTheClientAreaIs1910x1070AtTheTopLeft)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1920, 1080));
    const auto geometry = window_geometry(display(), window_, dir_);
    ASSERT_TRUE(geometry.has_value());
    EXPECT_EQ(geometry->x, 0);
    EXPECT_EQ(geometry->y, 0);
    EXPECT_EQ(geometry->width, 1910);
    EXPECT_EQ(geometry->height, 1070);
}

TEST_F(DesktopProgram, OnA1366x768ScreenTheClientAreaIs1356x758AtTheTopLeft)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    const auto geometry = window_geometry(display(), window_, dir_);
    ASSERT_TRUE(geometry.has_value());
    EXPECT_EQ(geometry->x, 0);
    EXPECT_EQ(geometry->y, 0);
    EXPECT_EQ(geometry->width, 1356);
    EXPECT_EQ(geometry->height, 758);
}

TEST_F(DesktopProgram, CaptionAndWindowClassAreExact)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    // The caption ends in a blank.
    EXPECT_EQ(window_property(display(), window_, "WM_NAME", dir_),
              "WM_NAME(STRING) = \"Morvane, press space -> speed - full/idle \"");
    EXPECT_EQ(window_property(display(), window_, "_NET_WM_NAME", dir_),
              "_NET_WM_NAME(UTF8_STRING) = \"Morvane, press space -> speed - full/idle \"");
    EXPECT_EQ(window_property(display(), window_, "WM_CLASS", dir_), "WM_CLASS(STRING) = \"tilvex\", \"tilvex\"");
}

// ---- What is drawn ----

TEST_F(DesktopProgram, AfterASecondTheWindowShowsTheSlab)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1920, 1080));
    // The slab spins; edge-on it covers little of the centre, so look again a little later.
    constexpr int attempts = 4;
    bool slab_seen = false;
    std::string findings;
    std::this_thread::sleep_for(milliseconds(1000));
    for (int attempt = 0; attempt < attempts && !slab_seen; ++attempt) {
        const std::string png = dir_ + "screenshot-" + std::to_string(attempt) + ".png";
        const auto image = screenshot(display(), window_, png, dir_);
        ASSERT_TRUE(image.has_value()) << "no screenshot of the window";
        ASSERT_EQ(image->width, 1910);
        ASSERT_EQ(image->height, 1070);
        std::filesystem::copy_file(png, tools().work_dir + "/screenshot-1920x1080.png",
                                   std::filesystem::copy_options::overwrite_existing);

        // Not garbage: far from the slab and its rays the frame keeps its clear colour, black.
        const int w = image->width;
        const int h = image->height;
        const int cw = w / 20;
        const int ch = h / 20;
        for (const auto& corner : {region_stats(*image, 0, 0, cw, ch), region_stats(*image, w - cw, 0, w, ch),
                                   region_stats(*image, 0, h - ch, cw, h), region_stats(*image, w - cw, h - ch, w, h)}) {
            EXPECT_LT(corner.lit_fraction, 0.01) << "a corner of the frame is not black: " << png;
        }

        // The slab: the middle third of the frame has lit pixels in many colours (the lit,
        // textured picture), more than rays alone or a flat fill would give.
        const RegionStats centre = region_stats(*image, w / 3, h / 3, 2 * w / 3, 2 * h / 3);
        findings += " [" + png + ": " + std::to_string(centre.lit_fraction * 100.0) + "% lit, " +
                    std::to_string(centre.distinct_colours) + " colours]";
        slab_seen = centre.lit_fraction >= 0.02 && centre.distinct_colours >= 64;
        if (!slab_seen) {
            std::this_thread::sleep_for(milliseconds(400));
        }
    }
    ASSERT_TRUE(program_.running()) << program_.stderr_text();
    EXPECT_TRUE(slab_seen) << "the centre of the window does not show the slab:" << findings;
}

// ---- Keys, closing, signals ----

TEST_F(DesktopProgram, SpaceAndOtherKeysDoNotEndIt)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    ASSERT_TRUE(press_keys(display(), window_, {"space", "space", "space", "space", "space"}, dir_));
    ASSERT_TRUE(press_keys(display(), window_, {"a", "Return", "Tab", "F1", "q"}, dir_));
    EXPECT_FALSE(program_.wait_for_exit(settle).has_value()) << program_.stderr_text();
    EXPECT_TRUE(window_geometry(display(), window_, dir_).has_value()) << "the window is gone";
}

TEST_F(DesktopProgram, EscEndsItWithExitCodeZeroWithinASecond)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1920, 1080));
    // Idle mode first, so Esc is also handled between paused frames.
    ASSERT_TRUE(press_keys(display(), window_, {"space", "space", "space"}, dir_));
    ASSERT_TRUE(press_keys(display(), window_, {"Escape"}, dir_));
    expect_quits_with_zero_within(quit_deadline);
}

TEST_F(DesktopProgram, EscEndsItPromptlyAfterAFloodOfPointerMoves)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    // A fast mouse swept over the window: thousands of motion reports, far more than the frames
    // drawn meanwhile, all sent before the key.
    constexpr int moves = 4000;
    std::vector<std::string> sweep{tools().xdotool};
    for (int i = 0; i < moves; ++i) {
        sweep.insert(sweep.end(), {"mousemove", std::to_string(100 + i % 600), std::to_string(100 + (i * 7) % 500)});
    }
    const CommandResult swept = run_command(sweep, display_env(display()), milliseconds(30000), dir_ + "sweep");
    ASSERT_TRUE(swept.finished && swept.exit_code == 0) << swept.err;
    ASSERT_TRUE(press_keys(display(), window_, {"Escape"}, dir_));
    // Handled within a frame or two; the bound only allows for a loaded machine.
    expect_quits_with_zero_within(milliseconds(2000));
}

TEST_F(DesktopProgram, ClosingTheWindowEndsItWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    ASSERT_TRUE(request_close(display(), window_, dir_));
    expect_quits_with_zero_within(quit_deadline);
}

TEST_F(DesktopProgram, SigtermEndsItWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    program_.send_signal(SIGTERM);
    expect_quits_with_zero_within(quit_deadline);
}

// Whether the process catches SIGTERM (its SigCgt mask in /proc).
bool catches_sigterm(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
            const unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
            return ((mask >> (SIGTERM - 1)) & 1u) != 0;
        }
    }
    return false;
}

// The number of the system call a stopped process is in, or -1 (from /proc/PID/syscall).
long current_syscall(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
    std::string first;
    in >> first;
    char* end = nullptr;
    const long number = std::strtol(first.c_str(), &end, 10);
    return !first.empty() && end != nullptr && *end == '\0' ? number : -1;
}

bool starts_a_thread(long call)
{
#ifdef SYS_clone3
    if (call == SYS_clone3) return true;
#endif
    return call == SYS_clone;
}

TEST_F(DesktopProgram, SigtermAtTheEarliestMomentAfterStartUpTakesItOverEndsItWithExitCodeZero)
{
    // The program is run one system call at a time (ptrace). What SIGTERM does can only change
    // in a system call, so stopping at each one sees every state the program passes through.
    // SIGTERM is sent at the first stop where it would kill the program again after start-up
    // has once taken it over, or, when there is none, as the workers of the first frame start.
    server_ = std::make_unique<XServer>(1366, 768, dir_);
    ASSERT_TRUE(server_->ready()) << server_->failure();
    program_ = Child::start_traced({tools().program}, program_env(display_env(display())), dir_ + "morvane");
    const pid_t pid = program_.pid();
    // Whatever fails below, the program does not stay stopped under a test that has moved on.
    struct KillUnlessReleased {
        pid_t pid;
        bool released = false;
        ~KillUnlessReleased()
        {
            if (!released) kill(pid, SIGKILL);
        }
    } guard{pid};

    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSTOPPED(status)) << "status " << status;
    ASSERT_EQ(ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL), 0);
    bool taken_over = false;
    std::string moment;
    int pass_on = 0;  // a signal the program received meanwhile goes on to it
    const auto deadline = Clock::now() + window_deadline;
    while (moment.empty()) {
        ASSERT_LT(Clock::now(), deadline) << "start-up took too long under the tracer";
        ASSERT_EQ(ptrace(PTRACE_SYSCALL, pid, nullptr, pass_on), 0);
        pass_on = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSTOPPED(status)) << "the program ended during start-up (status " << status
                                        << "): " << program_.stderr_text();
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            pass_on = WSTOPSIG(status);
            continue;
        }
        if (catches_sigterm(pid)) {
            taken_over = true;
            if (starts_a_thread(current_syscall(pid))) {
                moment = "as the first frame's workers start";
            }
        } else if (taken_over) {
            moment = "where start-up had let go of SIGTERM again";
        }
    }
    // Sent while the program is stopped there; it arrives as the program goes on.
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, 0), 0);
    guard.released = true;
    const std::optional<int> code = program_.wait_for_exit(milliseconds(5000));
    ASSERT_TRUE(code.has_value()) << "still running 5 s after SIGTERM, sent " << moment;
    EXPECT_EQ(*code, 0) << "SIGTERM sent " << moment << "; the program said: " << program_.stderr_text();
}

TEST_F(DesktopProgram, SigintEndsItWithExitCodeZero)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(1366, 768));
    program_.send_signal(SIGINT);
    expect_quits_with_zero_within(quit_deadline);
}

TEST_F(DesktopProgram, WithStatsItPrintsItsFrameRateOnExit)
{
    ASSERT_NO_FATAL_FAILURE(start_on_screen(800, 600, {"--stats"}));
    ASSERT_TRUE(press_keys(display(), window_, {"Escape"}, dir_));
    expect_quits_with_zero_within(quit_deadline);
    const std::string line = program_.stdout_text();
    EXPECT_EQ(line.rfind("morvane: ", 0), 0u) << line;
    EXPECT_NE(line.find(" frames per second; median per frame: render "), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
}

// ---- On Wayland, with no X server ----

bool on_ci()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// The text of a JSON string whose opening quote is at `at`.
std::string json_string_at(const std::string& json, size_t at)
{
    std::string text;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
            ++i;
            switch (json[i]) {
            case 'n': text += '\n'; break;
            case 't': text += '\t'; break;
            case 'u': text += static_cast<char>(std::strtol(json.substr(i + 1, 4).c_str(), nullptr, 16)); i += 4; break;
            default: text += json[i]; break;  // \" \\ \/
            }
        } else {
            text += json[i];
        }
    }
    return text;
}

struct WaylandWindow {
    std::string title;
    std::string app_id;
};

// The window of process `pid` as sway's tree lists it. In each of its nodes the title comes
// before the process id and the application id after it.
std::optional<WaylandWindow> wayland_window_of(const WaylandSession& session, pid_t pid, const std::string& stem)
{
    const CommandResult tree = session.run({tools().swaymsg, "-t", "get_tree"}, milliseconds(5000), stem);
    if (!tree.finished || tree.exit_code != 0) return std::nullopt;
    const std::string& json = tree.out;
    const size_t at = json.find("\"pid\": " + std::to_string(pid) + ",");
    if (at == std::string::npos) return std::nullopt;
    const std::string name_key = "\"name\": ";
    const std::string app_key = "\"app_id\": ";
    const size_t name = json.rfind(name_key, at);
    const size_t app = json.find(app_key, at);
    if (name == std::string::npos || app == std::string::npos || json[app + app_key.size()] != '"') return std::nullopt;
    return WaylandWindow{json_string_at(json, name + name_key.size()), json_string_at(json, app + app_key.size())};
}

TEST(Wayland, WithoutXTheWindowOpensShowsTheSlabAndQuitsOnEsc)
{
    const std::string dir = work_dir_for(current_test_name());
    WaylandSession session(1280, 720, dir);
    if (!session.ready()) {
        if (on_ci()) {
            FAIL() << "no Wayland session: " << session.failure();
        }
        GTEST_SKIP() << "no Wayland session here: " << session.failure();
    }
    // A copy the session's user can run wherever the build lives.
    const std::string program_copy = session.runtime_dir() + "/morvane";
    std::filesystem::copy_file(tools().program, program_copy, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(program_copy, std::filesystem::perms(0755));
    Child program = session.start({program_copy}, program_env({}), dir + "morvane");

    std::optional<WaylandWindow> window;
    const auto deadline = Clock::now() + window_deadline;
    while (!window && Clock::now() < deadline && program.running()) {
        window = wayland_window_of(session, program.pid(), dir + "swaymsg");
        if (!window) std::this_thread::sleep_for(milliseconds(50));
    }
    ASSERT_TRUE(window.has_value()) << "no window appeared; the program said: " << program.stderr_text();
    EXPECT_EQ(window->title, "Morvane, press space -> speed - full/idle ");
    EXPECT_EQ(window->app_id, "tilvex");

    // The slab in the middle of the screen, which the window fills; edge-on it covers little of
    // it, so look again a little later.
    bool slab_seen = false;
    std::string findings;
    for (int attempt = 0; attempt < 6 && !slab_seen; ++attempt) {
        std::this_thread::sleep_for(milliseconds(attempt == 0 ? 1000 : 400));
        const std::string png = session.runtime_dir() + "/screenshot-" + std::to_string(attempt) + ".png";
        const CommandResult shot = session.run({tools().grim, png}, milliseconds(15000), dir + "grim");
        ASSERT_TRUE(shot.finished && shot.exit_code == 0) << "grim: " << shot.err;
        std::filesystem::copy_file(png, tools().work_dir + "/screenshot-wayland.png",
                                   std::filesystem::copy_options::overwrite_existing);
        const auto image = read_png(png, dir + "convert");
        ASSERT_TRUE(image.has_value()) << "cannot read " << png;
        ASSERT_EQ(image->width, 1280);
        ASSERT_EQ(image->height, 720);
        const int w = image->width;
        const int h = image->height;
        const RegionStats centre = region_stats(*image, w / 3, h / 3, 2 * w / 3, 2 * h / 3);
        findings += " [" + std::to_string(centre.lit_fraction * 100.0) + "% lit, " +
                    std::to_string(centre.distinct_colours) + " colours]";
        slab_seen = centre.lit_fraction >= 0.02 && centre.distinct_colours >= 64;
    }
    ASSERT_TRUE(program.running()) << program.stderr_text();
    EXPECT_TRUE(slab_seen) << "the middle of the screen does not show the slab:" << findings;

    // A new virtual keyboard: the pause lets the program take its keymap before the key.
    const CommandResult typed =
        session.run({tools().wtype, "-s", "1500", "-k", "Escape"}, milliseconds(15000), dir + "wtype");
    ASSERT_TRUE(typed.finished && typed.exit_code == 0) << "wtype: " << typed.err;
    const std::optional<int> status = program.wait_for_exit(milliseconds(5000));
    ASSERT_TRUE(status.has_value()) << "still running 5 s after Esc";
    EXPECT_EQ(*status, 0) << program.stderr_text();
}

// ---- Where it cannot run ----

class NoDisplay : public ::testing::Test {
protected:
    void SetUp() override { dir_ = work_dir_for(current_test_name()); }

    // Runs the program to its end and checks it said why in one line and exited with 1.
    void expect_one_line_and_exit_code_one(const EnvChanges& env, const std::string& cause)
    {
        const CommandResult run = run_command({tools().program}, program_env(env), failure_deadline, dir_ + "morvane");
        ASSERT_TRUE(run.finished) << "still running after " << failure_deadline.count() << " ms";
        EXPECT_EQ(run.exit_code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.rfind("morvane: cannot open a window: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(cause), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }

    std::string dir_;
};

TEST_F(NoDisplay, WithoutDisplayItSaysSoAndExitsWithOne)
{
    expect_one_line_and_exit_code_one(
        {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}},
        "no display");
}

TEST_F(NoDisplay, WithADeadDisplayItSaysSoAndExitsWithOne)
{
    // A display number with no server behind it.
    int number = 917;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(number)) ||
           std::filesystem::exists("/tmp/.X" + std::to_string(number) + "-lock")) {
        ++number;
    }
    const std::string dead = ":" + std::to_string(number);
    expect_one_line_and_exit_code_one(display_env(dead), "DISPLAY=" + dead);
}

TEST_F(NoDisplay, OnAScreenTooSmallForA2x2FrameItSaysSoAndExitsWithOne)
{
    XServer tiny(11, 11, dir_);
    ASSERT_TRUE(tiny.ready()) << tiny.failure();
    expect_one_line_and_exit_code_one(display_env(tiny.display()), "too small");
}

TEST_F(NoDisplay, AnUnknownArgumentIsOneLineAndExitCodeTwo)
{
    const CommandResult run = run_command({tools().program, "--fast"}, program_env({}), failure_deadline, dir_ + "morvane");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.err, "morvane: unknown argument '--fast' (try morvane --help)\n");
}

TEST_F(NoDisplay, ADriverTheUserNamesIsUsedEvenWithoutADisplay)
{
    // SDL's offscreen driver, asked for by name: the program runs, showing nothing, until told
    // to stop.
    Child program = Child::start({tools().program},
                                 program_env({{"DISPLAY", std::nullopt},
                                              {"WAYLAND_DISPLAY", std::nullopt},
                                              {"SDL_VIDEODRIVER", "offscreen"}}),
                                 dir_ + "morvane");
    EXPECT_FALSE(program.wait_for_exit(settle).has_value()) << program.stderr_text();
    program.send_signal(SIGTERM);
    const std::optional<int> status = program.wait_for_exit(quit_deadline);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0) << program.stderr_text();
}

} // namespace
} // namespace morvane::e2e
