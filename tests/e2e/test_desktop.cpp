// The real program on a private X server or Wayland session, driven the way a person would:
// looked at with xwininfo and xprop, typed at with xdotool, closed like a window manager,
// signalled, resized, photographed, left running; and started where it cannot run. Every wait
// is on a condition with a generous deadline, and every child process dies with the test.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <thread>

#include "scene/scene.h"

namespace morvane::e2e {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;  // nullopt removes
namespace fs = std::filesystem;

constexpr milliseconds start_deadline{30000};  // start-up, and the first pictures, on a loaded machine
constexpr milliseconds quit_deadline{3000};    // a key, a close or a signal ends it within a frame or two
const std::string caption = "Morvane, press space -> speed - full/idle ";

bool wait_until(const std::function<bool()>& done, milliseconds deadline = start_deadline)
{
    for (const auto end = Clock::now() + deadline; !done(); std::this_thread::sleep_for(milliseconds(20))) {
        if (Clock::now() >= end) return false;
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// The first number on the line of /proc/PID/status that starts with `key`.
unsigned long long status_field(pid_t pid, const std::string& key, int base = 10)
{
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, base);
    }
    return 0;
}

// Whether the process has taken over SIGTERM (its SigCgt mask).
bool catches_sigterm(pid_t pid) { return (status_field(pid, "SigCgt:", 16) >> (SIGTERM - 1)) & 1; }

// The number of the system call the process's main thread is in, or -1.
long current_syscall(pid_t pid)
{
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
    long number = -1;
    return in >> number ? number : -1;
}

// A child process, its output in files in the test's own directory. Killed when destroyed.
class Child {
public:
    // A traced child stops under ptrace(2) at its exec.
    Child(std::vector<std::string> argv, const Env& env, bool traced = false)
    {
        std::vector<char*> args;
        for (auto& word : argv) args.push_back(word.data());
        args.push_back(nullptr);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string dir = std::string(MORVANE_E2E_WORK_DIR) + "/" + test->test_suite_name() + "." + test->name();
        fs::create_directories(dir);
        static int counter = 0;
        stem_ = dir + "/" + std::to_string(++counter) + "-" + fs::path(argv[0]).filename().string();
        std::ofstream(stem_ + ".out"), std::ofstream(stem_ + ".err");  // emptied before anyone reads them
        const pid_t parent = getpid();
        if ((pid = fork()) != 0) return;
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(126);
        // A person's terminal: default signal handling, nothing blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int number : {SIGINT, SIGTERM, SIGPIPE}) signal(number, SIG_DFL);
        for (const auto& [fd, file] : {std::pair{0, std::string("/dev/null")}, {1, stem_ + ".out"}, {2, stem_ + ".err"}}) {
            const int flags = fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
            if (dup2(open(file.c_str(), flags | O_CLOEXEC, 0644), fd) < 0) _exit(125);
        }
        for (const auto& [name, value] : env) {  // the test process runs no other thread
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(124);
        execv(args[0], args.data());
        _exit(127);
    }
    Child(const Child&) = delete;
    ~Child() { stop(); }

    bool running() { return pid > 0 && !wait(milliseconds(0)); }
    // Exit code, or 128 + the signal that ended it; nullopt while it runs at the deadline.
    std::optional<int> wait(milliseconds deadline)
    {
        wait_until(
            [this] {
                int status = 0;
                if (!code && pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                    code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                return code.has_value() || pid < 0;
            },
            deadline);
        return code;
    }
    void stop()
    {
        if (pid < 0 || code) return;
        kill(pid, SIGTERM);  // a polite end first, so an X server removes its lock and socket
        if (wait(milliseconds(3000))) return;
        kill(pid, SIGKILL);
        while (!wait(milliseconds(1000))) {
        }
    }
    bool ok() const { return code == 0; }
    std::string out() const { return read_file(stem_ + ".out"); }
    std::string err() const { return read_file(stem_ + ".err"); }

    pid_t pid = -1;
    std::optional<int> code;  // nullopt while it runs, or once killed at a deadline

private:
    std::string stem_;
};

// A child run to its end, or killed at the deadline.
std::unique_ptr<Child> finish(std::unique_ptr<Child> child, milliseconds deadline = milliseconds(30000))
{
    child->wait(deadline);
    child->stop();
    return child;
}

std::unique_ptr<Child> run(const std::vector<std::string>& argv, const Env& env = {})
{
    return finish(std::make_unique<Child>(argv, env));
}

// The program's environment: what a sanitized build needs to judge only its own leaks.
Env program_env(Env changes)
{
    changes.emplace_back("LSAN_OPTIONS", "suppressions=" MORVANE_E2E_LSAN_SUPPRESSIONS ":print_suppressions=0");
    return changes;
}

struct Image {
    int width = 0, height = 0;
    std::string rgb;  // 3 bytes a pixel, row by row
};

// Empty when the frame of w x h at the image's top left shows the slab: its centre lit in many
// colours (more than rays alone or a flat fill give) and, if asked, its corners black, far from
// the slab and its rays. Otherwise what is wrong.
std::string slab_problem(const Image& image, int w, int h, bool corners)
{
    if (image.width < (corners ? w : 2 * w / 3) || image.height < (corners ? h : 2 * h / 3)) return "a small image";
    // The share of pixels with a channel above black (the frame is cleared to exactly 0), and
    // the distinct colours, in a rectangle.
    std::set<unsigned> colours;
    const auto lit = [&](int x0, int y0, int x1, int y1) {
        long count = 0;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                const auto* p = reinterpret_cast<const unsigned char*>(&image.rgb[(size_t(y) * image.width + x) * 3]);
                colours.insert(unsigned{p[0]} << 16 | unsigned{p[1]} << 8 | p[2]);
                count += p[0] > 16 || p[1] > 16 || p[2] > 16;
            }
        }
        return static_cast<double>(count) / ((x1 - x0) * (y1 - y0));
    };
    const int cw = w / 20, ch = h / 20;
    for (const auto& [x, y] : {std::pair{0, 0}, {w - cw, 0}, {0, h - ch}, {w - cw, h - ch}}) {
        if (corners && lit(x, y, x + cw, y + ch) >= 0.01) return "a corner is not black";
    }
    colours.clear();
    const double centre = lit(w / 3, h / 3, 2 * w / 3, 2 * h / 3);
    if (centre >= 0.02 && colours.size() >= 64) return "";
    return "the centre is " + std::to_string(centre * 100) + "% lit in " + std::to_string(colours.size()) + " colours";
}

// Takes screenshots, binary PPMs, until one has no problem, which `kept` then holds; the last
// problem otherwise.
std::string watch(const std::function<std::string()>& shoot, const std::function<std::string(const Image&)>& problem,
                  Image* kept = nullptr)
{
    std::string last = "no screenshot", magic;
    wait_until([&] {
        std::istringstream ppm(shoot());
        Image image;
        int maximum = 0;
        ppm >> magic >> image.width >> image.height >> maximum;
        image.rgb.resize(ppm && magic == "P6" && maximum == 255 ? size_t(image.width) * image.height * 3 : 0);
        if (!ppm.get() || image.rgb.empty() || !ppm.read(image.rgb.data(), std::streamsize(image.rgb.size()))) return false;
        if (!(last = problem(image)).empty()) return false;
        if (kept != nullptr) *kept = std::move(image);
        return true;
    });
    return last;
}

// The program on a private Xvfb with one 24-bit screen, on the first free display number.
class OnX {
    Child server_;  // first made, last ended

public:
    // -displayfd 1: Xvfb writes its display number and a new line to its output once it is ready.
    OnX(int width, int height)
        : server_({MORVANE_E2E_XVFB, "-displayfd", "1", "-screen", "0",
                   std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp", "-noreset"},
                  {})
    {
        std::string number;
        wait_until([&] { return (number = server_.out()).ends_with('\n') || !server_.running(); });
        display = number.ends_with('\n') ? ":" + number.substr(0, number.size() - 1) : "";
    }
    // For a client of this server and of no other display.
    Env env() const { return {{"DISPLAY", display}, {"WAYLAND_DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}}; }

    void start(const std::vector<std::string>& arguments = {}, bool traced = false)
    {
        ASSERT_NE(display, "") << "Xvfb did not start: " << server_.err();
        std::vector<std::string> argv{MORVANE_E2E_PROGRAM};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        program.emplace(argv, program_env(env()), traced);
        if (traced) return;
        wait_until([&] {
            window = x({MORVANE_E2E_XDOTOOL, "search", "--onlyvisible", "--pid", std::to_string(program->pid)})->out();
            return (window = window.substr(0, window.find('\n'))) != "" || !program->running();
        });
        ASSERT_NE(window, "") << "no window appeared; the program said: " << program->err();
    }

    std::unique_ptr<Child> x(const std::vector<std::string>& argv) const { return run(argv, env()); }
    std::string property(const std::string& name) const { return x({MORVANE_E2E_XPROP, "-id", window, name})->out(); }
    std::string screenshot() const { return x({MORVANE_E2E_IMPORT, "-window", window, "-depth", "8", "ppm:-"})->out(); }
    void keys(std::vector<std::string> names) const
    {
        ASSERT_TRUE(x({MORVANE_E2E_XDOTOOL, "windowfocus", "--sync", window})->ok());
        names.insert(names.begin(), {MORVANE_E2E_XDOTOOL, "key", "--delay", "30"});
        ASSERT_TRUE(x(names)->ok());
    }

    // What a window manager's close button sends: WM_PROTOCOLS carrying WM_DELETE_WINDOW.
    void close_button() const
    {
        Display* connection = XOpenDisplay(display.c_str());
        ASSERT_NE(connection, nullptr);
        XEvent event{};
        const Window id = std::stoul(window);
        event.xclient = {ClientMessage, 0, False, connection, id, XInternAtom(connection, "WM_PROTOCOLS", False), 32, {}};
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
        EXPECT_NE(XSendEvent(connection, id, False, NoEventMask, &event), 0);
        XCloseDisplay(connection);
    }

    void expect_exit_zero(const std::string& after = "")
    {
        const std::optional<int> code = program->wait(quit_deadline);
        ASSERT_TRUE(code.has_value()) << "still running " << quit_deadline.count() << " ms " << after;
        EXPECT_EQ(*code, 0) << after << ": " << program->err();
    }

    std::string display;
    std::optional<Child> program;
    std::string window;  // its id, in decimal
};

TEST(Desktop, WindowPictureResizeKeysAndFloodThenEscEndsItAtOnceWithItsStats)
{
    // An odd screen: the frame is the screen less 10 pixels, rounded down to even sizes.
    OnX on(1367, 769);
    ASSERT_NO_FATAL_FAILURE(on.start({"--stats"}));
    const std::string info = on.x({MORVANE_E2E_XWININFO, "-id", on.window})->out();
    for (const char* line : {"Absolute upper-left X:  0\n", "Absolute upper-left Y:  0\n", "Width: 1356\n", "Height: 758\n"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << " in " << info;
    }
    EXPECT_EQ(on.property("WM_NAME"), "WM_NAME(STRING) = \"" + caption + "\"\n");
    EXPECT_EQ(on.property("_NET_WM_NAME"), "_NET_WM_NAME(UTF8_STRING) = \"" + caption + "\"\n");
    EXPECT_EQ(on.property("WM_CLASS"), "WM_CLASS(STRING) = \"tilvex\", \"tilvex\"\n");

    // The slab spins, edge-on it covers little of the centre: look until it shows, then until it moves.
    const auto shoot = [&] { return on.screenshot(); };
    Image first;
    ASSERT_EQ(watch(shoot, [](const Image& now) { return slab_problem(now, 1356, 758, true); }, &first), "");
    EXPECT_EQ(watch(shoot, [&](const Image& now) { return now.rgb != first.rgb ? "" : "the picture never moves"; }), "");

    // A smaller window (no window manager forbids it) still shows the frame's top-left part,
    // moving, copied in now that the window's pixels are no longer laid out as the frame.
    ASSERT_TRUE(on.x({MORVANE_E2E_XDOTOOL, "windowsize", on.window, "1000", "700"})->ok());
    const auto resized = [](const Image& now) {
        return now.width != 1000 || now.height != 700 ? "not resized" : slab_problem(now, 1356, 758, false);
    };
    ASSERT_EQ(watch(shoot, resized, &first), "");
    EXPECT_EQ(watch(shoot, [&](const Image& now) { return now.rgb != first.rgb ? resized(now) : "not moving"; }), "");

    // Space five times (idle), other keys, a mouse swept fast over the window: thousands of
    // motion reports, far more than the frames drawn meanwhile, all queued before Esc, which
    // still ends it at once.
    ASSERT_NO_FATAL_FAILURE(on.keys({"space", "space", "space", "space", "space", "a", "Return", "Tab", "F1", "q"}));
    std::vector<std::string> sweep{MORVANE_E2E_XDOTOOL};
    for (int i = 0; i < 4000; ++i) {
        sweep.insert(sweep.end(), {"mousemove", std::to_string(100 + i % 600), std::to_string(100 + (i * 7) % 500)});
    }
    ASSERT_TRUE(on.x(sweep)->ok());
    ASSERT_TRUE(on.program->running()) << "a key other than Esc ended it: " << on.program->err();
    ASSERT_NO_FATAL_FAILURE(on.keys({"Escape"}));
    ASSERT_NO_FATAL_FAILURE(on.expect_exit_zero("after Esc"));
    const std::string stats = on.program->out();
    EXPECT_TRUE(stats.starts_with("morvane: ") && std::count(stats.begin(), stats.end(), '\n') == 1 &&
                stats.find(" frames per second; median per frame: render ") != std::string::npos)
        << stats;
}

TEST(Desktop, TheCloseButtonSigtermAndSigintEachEndItWithZero)
{
    OnX on(1366, 768);
    for (const int how : {0, SIGTERM, SIGINT}) {
        ASSERT_NO_FATAL_FAILURE(on.start());
        if (how == 0) ASSERT_NO_FATAL_FAILURE(on.close_button());
        else kill(on.program->pid, how);
        ASSERT_NO_FATAL_FAILURE(on.expect_exit_zero(how == 0 ? "after the close button" : strsignal(how)));
    }
}

TEST(Desktop, SigtermAtTheEarliestMomentAfterStartUpTakesItOverEndsItWithZero)
{
    // Run one system call at a time (ptrace): what SIGTERM does can only change in a system
    // call. SIGTERM goes at the first stop where it would kill the program again after start-up
    // once took it over, or, when there is none, as the first frame's workers start.
    OnX on(1366, 768);
    ASSERT_NO_FATAL_FAILURE(on.start({}, true));
    const pid_t pid = on.program->pid;
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (!WIFSTOPPED(status) || ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
        GTEST_SKIP() << "this machine does not let the test trace the program (ptrace)";
    }
    bool taken_over = false;
    std::string moment;
    const auto deadline = Clock::now() + start_deadline;
    for (int pass_on = 0; moment.empty();) {  // a signal the program received meanwhile goes on to it
        ASSERT_LT(Clock::now(), deadline) << "start-up took too long under the tracer";
        ASSERT_EQ(ptrace(PTRACE_SYSCALL, pid, nullptr, pass_on), 0);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSTOPPED(status)) << "it ended during start-up: " << on.program->err();
        if ((pass_on = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status)) != 0) continue;
        const long call = current_syscall(pid);
        if (catches_sigterm(pid)) {
            taken_over = true;
#ifdef SYS_clone3
            if (call == SYS_clone3) moment = "as the first frame's workers start";
#endif
            if (call == SYS_clone) moment = "as the first frame's workers start";
        } else if (taken_over) {
            moment = "where start-up had let go of SIGTERM again";
        }
    }
    ASSERT_EQ(kill(pid, SIGTERM), 0);  // arrives as the program goes on
    ASSERT_EQ(ptrace(PTRACE_DETACH, pid, nullptr, 0), 0);
    on.expect_exit_zero("after SIGTERM sent " + moment);
}

TEST(Desktop, WhereItCannotRunItSaysWhyInOneLine)
{
    const Env no_display{{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}};
    int dead = 917;  // a display number with no server behind it
    while (fs::exists("/tmp/.X11-unix/X" + std::to_string(dead))) ++dead;
    OnX tiny(11, 11);
    ASSERT_NE(tiny.display, "");
    const std::pair<Env, std::string> cases[] = {
        {no_display, "no display"},
        {{{"DISPLAY", ":" + std::to_string(dead)}, {"WAYLAND_DISPLAY", std::nullopt}}, "DISPLAY=:" + std::to_string(dead)},
        {tiny.env(), "too small for a frame of at least 2 x 2"}};
    for (const auto& [env, cause] : cases) {
        const auto result = run({MORVANE_E2E_PROGRAM}, program_env(env));
        const std::string err = result->err();
        EXPECT_TRUE(result->code == 1 && result->out().empty() && err.starts_with("morvane: cannot open a window: ") &&
                    err.find(cause) != std::string::npos && std::count(err.begin(), err.end(), '\n') == 1)
            << cause << ": " << err;
    }
    const auto unknown = run({MORVANE_E2E_PROGRAM, "--fast"}, program_env({}));
    EXPECT_EQ(unknown->code, 2);
    EXPECT_EQ(unknown->err(), "morvane: unknown argument '--fast' (try morvane --help)\n");

    // A driver named in SDL_VIDEODRIVER is used even without a display: it runs, showing nothing.
    Env offscreen = no_display;
    offscreen.back().second = "offscreen";
    Child program({MORVANE_E2E_PROGRAM, "--stats"}, program_env(offscreen));
    ASSERT_TRUE(wait_until([&] { return catches_sigterm(program.pid) || !program.running(); }));
    kill(program.pid, SIGTERM);
    EXPECT_EQ(program.wait(quit_deadline), 0) << program.err();
    EXPECT_NE(program.out().find(" frames per second"), std::string::npos) << program.out();
}

TEST(Wayland, WithoutXTheWindowOpensShowsTheSlabAndQuitsOnEsc)
{
    // A headless sway session, no GPU, no input devices, no X server. sway refuses root, so
    // under root the session and its clients run as nobody (setpriv keeps the process id, and
    // sets the death signal again).
    std::string failure;
    for (const char* tool : {MORVANE_E2E_SWAY, MORVANE_E2E_SWAYMSG, MORVANE_E2E_GRIM, MORVANE_E2E_WTYPE}) {
        if (*tool == '\0') failure = "sway, swaymsg, grim or wtype was not found when the tests were configured";
    }
    const bool root = geteuid() == 0;
    std::vector<std::string> as_user;
    if (root) as_user = {MORVANE_E2E_SETPRIV, "--reuid=65534", "--regid=65534", "--clear-groups", "--pdeathsig=KILL", "--"};
    std::string dir = fs::temp_directory_path().string() + "/morvane-wayland-XXXXXX";
    if (failure.empty() && (mkdtemp(dir.data()) == nullptr || (root && chown(dir.c_str(), 65534, 65534) != 0))) {
        failure = "cannot make a runtime directory for the session";
    }
    struct Removed {
        std::string path;
        ~Removed() { std::error_code ignored; if (!path.empty()) fs::remove_all(path, ignored); }
    } removed{dir.ends_with("XXXXXX") ? "" : dir};
    // sway names its socket wayland-1 in a new runtime directory, and takes its IPC socket from SWAYSOCK.
    const auto start = [&](std::vector<std::string> argv, Env env) {
        argv.insert(argv.begin(), as_user.begin(), as_user.end());
        env.insert(env.begin(), {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", "wayland-1"}, {"XDG_RUNTIME_DIR", dir},
                                 {"SWAYSOCK", dir + "/sway.sock"}, {"HOME", dir}, {"SDL_VIDEODRIVER", std::nullopt}});
        return std::make_unique<Child>(argv, env);
    };
    const auto session_run = [&](const std::vector<std::string>& argv, milliseconds deadline = milliseconds(30000)) {
        return finish(start(argv, {}), deadline);
    };
    std::unique_ptr<Child> compositor;
    if (failure.empty()) {
        std::ofstream(dir + "/sway.config") << "xwayland disable\noutput HEADLESS-1 resolution 1280x720\n";
        fs::permissions(dir + "/sway.config", fs::perms(0644));
        compositor = start({MORVANE_E2E_SWAY, "--config", dir + "/sway.config"},
                           {{"WAYLAND_DISPLAY", std::nullopt}, {"XDG_CONFIG_HOME", dir}, {"WLR_BACKENDS", "headless"},
                            {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WLR_RENDERER", "pixman"}});
        wait_until([&] {
            const auto outputs = session_run({MORVANE_E2E_SWAYMSG, "-t", "get_outputs"}, quit_deadline);
            return !compositor->running() || outputs->out().find("HEADLESS-1") != std::string::npos;
        });
        if (!compositor->running() || !fs::exists(dir + "/wayland-1")) failure = "sway did not start: " + compositor->err();
    }
    if (!failure.empty()) {
        if (std::getenv("CI") != nullptr && std::string_view(std::getenv("CI")) == "true") FAIL() << "no session: " << failure;
        GTEST_SKIP() << "no Wayland session here: " << failure;
    }

    const std::string copy = dir + "/morvane";  // where the session's user may run it
    fs::copy_file(MORVANE_E2E_PROGRAM, copy);
    fs::permissions(copy, fs::perms(0755));
    const auto program = start({copy}, program_env({}));
    // sway's tree of windows, without JSON's escapes: the program's is the only one.
    std::string tree;
    wait_until([&] {
        tree = session_run({MORVANE_E2E_SWAYMSG, "-t", "get_tree"})->out();
        std::erase(tree, '\\');
        return tree.find("\"pid\": " + std::to_string(program->pid) + ",") != std::string::npos || !program->running();
    });
    ASSERT_TRUE(program->running()) << "it ended: " << program->err();
    EXPECT_NE(tree.find("\"name\": \"" + caption + "\""), std::string::npos) << tree;
    EXPECT_NE(tree.find("\"app_id\": \"tilvex\""), std::string::npos) << tree;
    // The window fills the screen, under the compositor's title bar.
    EXPECT_EQ(watch([&] { return session_run({MORVANE_E2E_GRIM, "-t", "ppm", "-"})->out(); },
                    [](const Image& now) { return slab_problem(now, 1280, 720, false); }),
              "");
    // A new virtual keyboard: the pause lets the program take its keymap before the key.
    ASSERT_TRUE(session_run({MORVANE_E2E_WTYPE, "-s", "1500", "-k", "Escape"})->ok());
    EXPECT_EQ(program->wait(milliseconds(5000)), 0) << program->err();
}

TEST(LongRun, ThousandsOfFramesFullSpeedAndIdleGrowNothingAndSpaceAndEscStillWork)
{
    OnX on(1366, 768);
    ASSERT_NO_FATAL_FAILURE(on.start());
    const pid_t pid = on.program->pid;
    // The scene record, read from the program's memory: the symbol morvane::scene as nm lists
    // it, moved by where the kernel loaded the position-independent executable.
    uint64_t address = 0;
    std::istringstream symbols(run({MORVANE_E2E_NM, "--defined-only", MORVANE_E2E_PROGRAM})->out());
    for (std::string line; std::getline(symbols, line);) {
        if (line.ends_with(" _ZN7morvane5sceneE")) address = std::strtoull(line.c_str(), nullptr, 16);
    }
    std::istringstream maps(read_file("/proc/" + std::to_string(pid) + "/maps"));
    for (std::string line; std::getline(maps, line);) {
        const uint64_t base = std::strtoull(line.c_str(), nullptr, 16);  // where its file's first byte is
        if (line.ends_with(" " + fs::canonical(MORVANE_E2E_PROGRAM).string()) && line.find(" 00000000 ") != std::string::npos) {
            address += address < base ? base : 0;
            break;
        }
    }
    const int memory = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    SceneBlock scene_now{};
    const auto read_scene = [&] {
        return pread(memory, &scene_now, sizeof scene_now, static_cast<off_t>(address)) == sizeof scene_now;
    };
    if (!read_scene()) GTEST_SKIP() << "this machine does not let the test read the program's memory";
    EXPECT_EQ(scene_now.speed_mode, 1) << "it starts at full speed";

    // The figures: VmRSS and VmSize in kB, threads, open files.
    using Figures = std::array<unsigned long long, 4>;
    const auto figures = [&] {
        Figures now{status_field(pid, "VmRSS:"), status_field(pid, "VmSize:"), status_field(pid, "Threads:"), 0};
        std::error_code error;
        for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error); it != fs::end(it); ++it) ++now[3];
        return now;
    };
    // Samples the figures until `frames` more frames are presented, or a minute has passed:
    // their largest values, the fewest threads, the frames, the time and the samples that
    // found the main thread in the pause.
    struct Phase {
        Figures most{};
        unsigned long long fewest_threads = ~0ull;
        long frames = 0, ms = 0, pauses = 0;
    };
    const auto run_frames = [&](long frames) {
        Phase phase;
        const auto started = Clock::now();
        const long start = read_scene() ? scene_now.frame_counter : 0;
        wait_until(
            [&] {
                const Figures now = figures();
                for (size_t i = 0; i < now.size(); ++i) phase.most[i] = std::max(phase.most[i], now[i]);
                phase.fewest_threads = std::min(phase.fewest_threads, now[2]);
                const long call = current_syscall(pid);
                phase.pauses += call == SYS_nanosleep || call == SYS_clock_nanosleep;
                phase.frames = read_scene() ? scene_now.frame_counter - start : phase.frames;
                return phase.frames >= frames || !on.program->running();
            },
            milliseconds(60000));
        phase.ms = std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
        // A machine too loaded for all the frames within the minute shortens the phase; a
        // program that stops drawing fails.
        EXPECT_GE(phase.frames, std::min(frames, 100L)) << on.program->err();
        return phase;
    };
    const auto speed_becomes = [&](int mode) {
        ASSERT_NO_FATAL_FAILURE(on.keys({"space"}));
        EXPECT_TRUE(wait_until([&] { return read_scene() && scene_now.speed_mode == mode; }, quit_deadline))
            << "Space does not switch the speed to " << mode;
    };
    const Phase warm_up = run_frames(200);  // thread stacks, the window's image and the caches settle
    const Figures baseline = figures();
    const Phase full = run_frames(1000);
    ASSERT_NO_FATAL_FAILURE(speed_becomes(0));
    const Phase idle = run_frames(300);
    // Idle means a pause of 3 ms after every frame, full speed none.
    EXPECT_LE(idle.frames, idle.ms / 3 + 2) << "idle frames came faster than one per 3 ms";
    EXPECT_GT(idle.pauses, 0) << "idle, the program never pauses";
    EXPECT_EQ(full.pauses, 0) << "at full speed the program pauses";
    for (const Phase* phase : {&full, &idle}) {
        // A leak of 1 KiB a frame would add 1 MiB; the figures hold to the kilobyte in practice.
        EXPECT_LE(phase->most[0], baseline[0] + 512) << "VmRSS";
        EXPECT_LE(phase->most[1], baseline[1] + 512) << "VmSize";
        // The main thread, and two workers only while a frame is rasterised.
        EXPECT_LE(phase->most[2], warm_up.fewest_threads + 2) << "threads";
        EXPECT_EQ(phase->most[3], baseline[3]) << "open files";
    }
    // Idle, most samples fall in the pause, when no worker may be left over from the frame.
    EXPECT_LE(idle.fewest_threads, warm_up.fewest_threads) << "a thread outlived its frame";
    ASSERT_NO_FATAL_FAILURE(speed_becomes(1));
    close(memory);
    ASSERT_NO_FATAL_FAILURE(on.keys({"Escape"}));
    ASSERT_NO_FATAL_FAILURE(on.expect_exit_zero("after Esc"));
}

} // namespace
} // namespace morvane::e2e
