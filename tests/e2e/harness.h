// What the end-to-end tests drive the real program with: child processes with deadlines, a
// private X server or Wayland session, and screenshots. Every wait is on a condition with a
// generous deadline, and every child dies with the test process.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace morvane::e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Environment changes for a child: a value sets the variable, nullopt removes it.
using Env = std::vector<std::pair<std::string, std::optional<std::string>>>;

// True once `done` holds, polled until `deadline` has passed.
bool wait_until(const std::function<bool()>& done, milliseconds deadline);

// This test's own directory for output files, with a trailing slash.
std::string work_dir();

// A started child; stdout and stderr go to files. Killed when destroyed.
class Child {
public:
    Child() = default;
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept;
    ~Child() { kill_and_reap(); }

    // extra_fd stays open in the child; traced children stop under ptrace(2) at their exec.
    static Child start(const std::vector<std::string>& argv, const Env& env, int extra_fd = -1,
                       bool traced = false);
    pid_t pid() const { return pid_; }
    bool running() { return pid_ > 0 && !wait(milliseconds(0)); }
    // Exit code, or 128 + the signal that ended it; nullopt while running at the deadline.
    std::optional<int> wait(milliseconds deadline);
    void kill_and_reap();
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string stem_;
};

struct Result {
    std::optional<int> code;  // nullopt: killed at the deadline
    std::string out, err;
    bool ok() const { return code == 0; }
};
Result run(const std::vector<std::string>& argv, const Env& env = {}, milliseconds deadline = milliseconds(30000));

// A private Xvfb with one 24-bit screen, on a display number it picks itself.
class XServer {
public:
    XServer(int width, int height);
    std::string display;  // ":N", empty when it did not start
    std::string failure;
    Env env() const;      // for a client of this server and of no other display

private:
    Child server_;
};

// A headless sway session with no X server. sway refuses root, so under root the session and
// its clients run as an unprivileged user, added when missing.
class WaylandSession {
public:
    WaylandSession(int width, int height);
    ~WaylandSession();
    std::string failure;      // empty when ready
    std::string runtime_dir;  // private to the session's user, who may write there
    Child start(const std::vector<std::string>& argv, const Env& env = {}) const;
    Result run(const std::vector<std::string>& argv) const;

private:
    std::vector<std::string> as_user(const std::vector<std::string>& argv) const;
    Env client_env() const;
    std::string socket_, ipc_socket_;
    unsigned uid_ = 0, gid_ = 0;
    bool other_user_ = false;
    Child compositor_;
};

// The program's environment: what a sanitized build needs to judge only its own leaks.
Env program_env(Env changes);

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // 3 bytes a pixel, row by row
    // Share of pixels with a channel above black, and distinct colours, in a rectangle.
    double lit(int x0, int y0, int x1, int y1, int* colours = nullptr) const;
};
// A binary PPM (P6, maximum 255), as the screenshot tools write it.
std::optional<Image> parse_ppm(const std::string& bytes);
// Empty when the frame of frame_width x frame_height at the image's top left shows the slab:
// its centre lit in many colours and, unless the frame sits elsewhere, its corners black;
// otherwise what is wrong.
std::string slab_problem(const Image& image, int frame_width, int frame_height, bool corners = true);

} // namespace morvane::e2e
