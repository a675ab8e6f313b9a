// What the end-to-end tests drive the real program with: child processes with deadlines, a
// private X server, the X tools a person would use, and a look at screenshots. Every wait has
// a deadline and every child dies with the test process, so nothing can hang or linger.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace morvane::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Environment changes for a child: (name, value) sets, (name, nullopt) removes.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// A started child process. Its output goes to files; it is killed when this is destroyed,
// and by the kernel if the test process dies first.
class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();

    // Starts argv[0] (a path) with the changed environment; stdout and stderr go to
    // output_stem + ".out" / ".err". extra_fd, when >= 0, is passed on under the same number.
    static Child start(const std::vector<std::string>& argv, const EnvChanges& env,
                       const std::string& output_stem, int extra_fd = -1);

    // The same, but stopped under ptrace(2) by this process at the start of the program (the
    // exec), for a test that watches its system calls; the test resumes or detaches it.
    static Child start_traced(const std::vector<std::string>& argv, const EnvChanges& env,
                              const std::string& output_stem);

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status once the child has ended within `timeout`: its exit code, or 128 + the
    // signal that ended it. nullopt when it is still running at the deadline.
    std::optional<int> wait_for_exit(milliseconds timeout);
    void send_signal(int signal_number);
    void kill_and_reap();
    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    static Child start_child(const std::vector<std::string>& argv, const EnvChanges& env,
                             const std::string& output_stem, int extra_fd, bool traced);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string output_stem_;
};

struct CommandResult {
    bool finished = false;  // false: killed at the deadline
    int exit_code = -1;
    std::string out;
    std::string err;
};

// Runs a command to its end or its deadline (then kills it).
CommandResult run_command(const std::vector<std::string>& argv, const EnvChanges& env, milliseconds timeout,
                          const std::string& output_stem);

// A private X server (Xvfb, 24-bit) on a display number it picks itself. Killed on destruction.
class XServer {
public:
    XServer(int width, int height, const std::string& output_stem);
    bool ready() const { return !display_.empty(); }
    const std::string& display() const { return display_; }  // ":N"
    const std::string& failure() const { return failure_; }

private:
    Child server_;
    std::string display_;
    std::string failure_;
};

// A headless Wayland compositor (sway, with no X server beside it) in a private runtime
// directory, for the program to run on as a person's Wayland session would have it. sway
// refuses to run as root, so under root it runs, with everything started through this
// session, as an unprivileged user, created when missing. Killed on destruction.
class WaylandSession {
public:
    WaylandSession(int width, int height, const std::string& output_stem);
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    // Private to the session's user, which may write there (screenshots).
    const std::string& runtime_dir() const { return runtime_dir_; }
    // The environment of a client of this session, and no X display.
    EnvChanges client_env() const;
    // Starts or runs argv as the session's user, in the client environment plus `env`.
    Child start(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& output_stem) const;
    CommandResult run(const std::vector<std::string>& argv, milliseconds timeout, const std::string& output_stem) const;

private:
    std::vector<std::string> as_user(const std::vector<std::string>& argv) const;

    std::string runtime_dir_;
    std::string socket_;
    std::string ipc_socket_;
    std::string failure_;
    bool as_other_user_ = false;
    unsigned uid_ = 0;
    unsigned gid_ = 0;
    Child compositor_;
};

// Where the tools and the program are, fixed when the tests were configured. The Wayland
// tools are empty when they were not found.
struct Tools {
    std::string program, xvfb, xdotool, xwininfo, xprop, import, convert, close_window, work_dir, lsan_suppressions;
    std::string sway, swaymsg, grim, wtype, setpriv, useradd;
};
const Tools& tools();

// The environment of a program that should use `display` and nothing else.
EnvChanges display_env(const std::string& display);

// `changes` plus what a sanitized build of the program needs to judge only its own leaks.
EnvChanges program_env(EnvChanges changes);

// The id of the first visible window owned by process `pid`, waiting up to `timeout`.
std::optional<unsigned long> wait_for_window_of(const std::string& display, pid_t pid, milliseconds timeout,
                                                const std::string& output_stem);

// Position and size of a window's client area as xwininfo reports them.
struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};
std::optional<Geometry> window_geometry(const std::string& display, unsigned long window,
                                        const std::string& output_stem);

// One property as xprop prints it, e.g. `WM_CLASS(STRING) = "tilvex", "tilvex"`.
std::string window_property(const std::string& display, unsigned long window, const std::string& name,
                            const std::string& output_stem);

// Types keys into the window as a person at the keyboard would (focus, then key presses).
bool press_keys(const std::string& display, unsigned long window, const std::vector<std::string>& keys,
                const std::string& output_stem);

// Asks the window to close the way a window manager's close button does (WM_DELETE_WINDOW).
bool request_close(const std::string& display, unsigned long window, const std::string& output_stem);

// A screenshot of the window's client area, saved as PNG at png_path and read back as RGB.
struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // row-major, 3 bytes a pixel
};
std::optional<Image> screenshot(const std::string& display, unsigned long window, const std::string& png_path,
                                const std::string& output_stem);

// A PNG file read back as RGB.
std::optional<Image> read_png(const std::string& png_path, const std::string& output_stem);

// Statistics of a rectangle of an image.
struct RegionStats {
    double lit_fraction = 0.0;  // pixels with a channel above a black threshold
    int distinct_colours = 0;
};
RegionStats region_stats(const Image& image, int x0, int y0, int x1, int y1);

// The per-test working directory (created), with a trailing slash.
std::string work_dir_for(const std::string& test_name);

} // namespace morvane::e2e
