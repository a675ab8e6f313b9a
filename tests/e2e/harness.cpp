// Child processes with deadlines, a private Xvfb, and the X tools a person would use.
#include "tests/e2e/harness.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

extern char** environ;

namespace morvane::e2e {

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Output files of successive commands of one test never overwrite each other.
std::string next_stem(const std::string& dir, const std::string& label)
{
    static int counter = 0;
    ++counter;
    return dir + std::to_string(counter) + "-" + label;
}

std::string hex_id(unsigned long window)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%lx", window);
    return text;
}

int decode_status(int status)
{
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

} // namespace

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), status_(other.status_), output_stem_(std::move(other.output_stem_))
{
}

Child& Child::operator=(Child&& other) noexcept
{
    if (this != &other) {
        kill_and_reap();
        pid_ = std::exchange(other.pid_, -1);
        status_ = other.status_;
        output_stem_ = std::move(other.output_stem_);
    }
    return *this;
}

Child::~Child()
{
    kill_and_reap();
}

Child Child::start(const std::vector<std::string>& argv, const EnvChanges& env, const std::string& output_stem,
                   int extra_fd)
{
    return start_child(argv, env, output_stem, extra_fd, false);
}

Child Child::start_traced(const std::vector<std::string>& argv, const EnvChanges& env,
                          const std::string& output_stem)
{
    return start_child(argv, env, output_stem, -1, true);
}

Child Child::start_child(const std::vector<std::string>& argv, const EnvChanges& env,
                         const std::string& output_stem, int extra_fd, bool traced)
{
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const size_t equals = text.find('=');
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : env) {
        if (value) {
            variables[name] = *value;
        } else {
            variables.erase(name);
        }
    }
    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    std::vector<std::string> env_text;
    for (const auto& [name, value] : variables) {
        env_text.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& text : env_text) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& text : args) {
        argp.push_back(text.data());
    }
    argp.push_back(nullptr);
    const std::string out_path = output_stem + ".out";
    const std::string err_path = output_stem + ".err";
    const pid_t parent = getpid();

    Child child;
    child.output_stem_ = output_stem;
    child.pid_ = fork();
    if (child.pid_ == 0) {
        // Die with the test process, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(126);
        }
        // A person's terminal: default signal handling, nothing blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) {
            _exit(125);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (extra_fd >= 0) {
            fcntl(extra_fd, F_SETFD, 0);
        }
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            _exit(124);
        }
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    return child;
}

bool Child::running()
{
    return pid_ > 0 && !wait_for_exit(milliseconds(0));
}

std::optional<int> Child::wait_for_exit(milliseconds timeout)
{
    if (status_) {
        return status_;
    }
    if (pid_ <= 0) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = decode_status(status);
            return status_;
        }
        if (done < 0 && errno != EINTR) {
            return std::nullopt;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void Child::send_signal(int signal_number)
{
    if (pid_ > 0 && !status_) {
        kill(pid_, signal_number);
    }
}

void Child::kill_and_reap()
{
    if (pid_ <= 0 || status_) {
        return;
    }
    // A polite end first, so an X server removes its lock and socket.
    kill(pid_, SIGTERM);
    if (!wait_for_exit(milliseconds(2000))) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = decode_status(status);
    }
}

std::string Child::stdout_text() const
{
    return read_file(output_stem_ + ".out");
}

std::string Child::stderr_text() const
{
    return read_file(output_stem_ + ".err");
}

CommandResult run_command(const std::vector<std::string>& argv, const EnvChanges& env, milliseconds timeout,
                          const std::string& output_stem)
{
    Child child = Child::start(argv, env, output_stem);
    CommandResult result;
    const std::optional<int> code = child.wait_for_exit(timeout);
    if (code) {
        result.finished = true;
        result.exit_code = *code;
    } else {
        child.kill_and_reap();
    }
    result.out = child.stdout_text();
    result.err = child.stderr_text();
    return result;
}

XServer::XServer(int width, int height, const std::string& output_stem)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        failure_ = "no pipe for Xvfb";
        return;
    }
    // -displayfd: Xvfb takes the first free display number and writes it when it is ready.
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    server_ = Child::start({tools().xvfb, "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                            "-nolisten", "tcp", "-noreset"},
                           {}, next_stem(output_stem, "xvfb"), fds[1]);
    close(fds[1]);
    std::string number;
    const auto deadline = Clock::now() + milliseconds(15000);
    while (Clock::now() < deadline) {
        pollfd wait{fds[0], POLLIN, 0};
        const int left = static_cast<int>(
            std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count());
        if (poll(&wait, 1, left > 0 ? left : 0) <= 0) {
            break;
        }
        char c = 0;
        if (read(fds[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    close(fds[0]);
    if (number.empty()) {
        failure_ = "Xvfb did not start: " + server_.stderr_text();
        server_.kill_and_reap();
        return;
    }
    display_ = ":" + number;
}

namespace {

// The user the Wayland session runs as under root.
constexpr const char* session_user = "morvane-e2e";

} // namespace

WaylandSession::WaylandSession(int width, int height, const std::string& output_stem)
{
    const Tools& t = tools();
    for (const auto& [name, path] : {std::pair{"sway", t.sway}, {"swaymsg", t.swaymsg}, {"grim", t.grim},
                                     {"wtype", t.wtype}}) {
        if (path.empty()) {
            failure_ = std::string(name) + " was not found when the tests were configured (scripts/install-deps.sh installs it)";
            return;
        }
    }
    if (geteuid() == 0) {
        as_other_user_ = true;
        if (getpwnam(session_user) == nullptr) {
            if (t.setpriv.empty() || t.useradd.empty()) {
                failure_ = "setpriv or useradd was not found when the tests were configured";
                return;
            }
            const CommandResult added =
                run_command({t.useradd, "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                             "--shell", "/usr/sbin/nologin", session_user},
                            {}, milliseconds(30000), next_stem(output_stem, "useradd"));
            // Another test may have added it meanwhile.
            if (getpwnam(session_user) == nullptr) {
                failure_ = "cannot add the user " + std::string(session_user) + ": " + added.err;
                return;
            }
        }
        const passwd* user = getpwnam(session_user);
        uid_ = user->pw_uid;
        gid_ = user->pw_gid;
    } else {
        uid_ = getuid();
        gid_ = getgid();
    }

    // XDG_RUNTIME_DIR: owned by the session's user and private to it, as Wayland requires.
    std::string dir_template = std::filesystem::temp_directory_path().string() + "/morvane-wayland-XXXXXX";
    if (mkdtemp(dir_template.data()) == nullptr) {
        failure_ = "cannot make a runtime directory: " + std::string(std::strerror(errno));
        return;
    }
    runtime_dir_ = dir_template;
    if (chown(runtime_dir_.c_str(), uid_, gid_) != 0 || chmod(runtime_dir_.c_str(), 0700) != 0) {
        failure_ = "cannot give " + runtime_dir_ + " to the session's user: " + std::strerror(errno);
        return;
    }
    const std::string config = runtime_dir_ + "/sway.config";
    {
        std::ofstream out(config);
        out << "xwayland disable\n"
            << "output HEADLESS-1 resolution " << width << "x" << height << "\n";
    }
    chmod(config.c_str(), 0644);

    // No seat devices, the pixel-manipulation renderer: no GPU, no input hardware.
    compositor_ = Child::start(as_user({t.sway, "--config", config}),
                               {{"DISPLAY", std::nullopt},
                                {"WAYLAND_DISPLAY", std::nullopt},
                                {"SWAYSOCK", std::nullopt},
                                {"I3SOCK", std::nullopt},
                                {"XDG_RUNTIME_DIR", runtime_dir_},
                                {"HOME", runtime_dir_},
                                {"XDG_CONFIG_HOME", runtime_dir_},
                                {"XDG_CACHE_HOME", runtime_dir_},
                                {"WLR_BACKENDS", "headless"},
                                {"WLR_LIBINPUT_NO_DEVICES", "1"},
                                {"WLR_RENDERER", "pixman"}},
                               next_stem(output_stem, "sway"));

    // Ready once its display socket and its control socket are there and it reports the output.
    const auto deadline = Clock::now() + milliseconds(20000);
    while (Clock::now() < deadline) {
        if (!compositor_.running()) {
            failure_ = "sway did not start: " + compositor_.stderr_text();
            return;
        }
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(runtime_dir_, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos && entry.is_socket()) {
                socket_ = name;
            }
            if (name.rfind("sway-ipc.", 0) == 0 && entry.is_socket()) {
                ipc_socket_ = entry.path().string();
            }
        }
        if (!socket_.empty() && !ipc_socket_.empty()) {
            const CommandResult outputs =
                run({t.swaymsg, "-t", "get_outputs"}, milliseconds(5000), next_stem(output_stem, "swaymsg"));
            if (outputs.finished && outputs.exit_code == 0 && outputs.out.find("HEADLESS-1") != std::string::npos) {
                return;
            }
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    failure_ = "sway did not become ready within 20 s: " + compositor_.stderr_text();
}

WaylandSession::~WaylandSession()
{
    compositor_.kill_and_reap();
    if (!runtime_dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(runtime_dir_, ignored);
    }
}

std::vector<std::string> WaylandSession::as_user(const std::vector<std::string>& argv) const
{
    if (!as_other_user_) {
        return argv;
    }
    // setpriv execs the command itself, so the child keeps its process id. Changing the user
    // clears the death signal the child was given, so setpriv gives it again.
    std::vector<std::string> wrapped{tools().setpriv, "--reuid=" + std::to_string(uid_),
                                     "--regid=" + std::to_string(gid_), "--clear-groups", "--pdeathsig=KILL", "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

EnvChanges WaylandSession::client_env() const
{
    return {{"DISPLAY", std::nullopt},        {"WAYLAND_DISPLAY", socket_},       {"XDG_RUNTIME_DIR", runtime_dir_},
            {"SWAYSOCK", ipc_socket_},        {"SDL_VIDEODRIVER", std::nullopt}, {"HOME", runtime_dir_},
            {"XDG_CACHE_HOME", runtime_dir_}, {"SDL_VIDEO_X11_WMCLASS", std::nullopt},
            {"SDL_VIDEO_WAYLAND_WMCLASS", std::nullopt}};
}

Child WaylandSession::start(const std::vector<std::string>& argv, const EnvChanges& env,
                            const std::string& output_stem) const
{
    EnvChanges all = client_env();
    all.insert(all.end(), env.begin(), env.end());
    return Child::start(as_user(argv), all, output_stem);
}

CommandResult WaylandSession::run(const std::vector<std::string>& argv, milliseconds timeout,
                                  const std::string& output_stem) const
{
    return run_command(as_user(argv), client_env(), timeout, output_stem);
}

const Tools& tools()
{
    static const Tools paths{MORVANE_E2E_PROGRAM, MORVANE_E2E_XVFB,   MORVANE_E2E_XDOTOOL,
                             MORVANE_E2E_XWININFO, MORVANE_E2E_XPROP, MORVANE_E2E_IMPORT,
                             MORVANE_E2E_CONVERT, MORVANE_E2E_CLOSE_WINDOW, MORVANE_E2E_WORK_DIR,
                             MORVANE_E2E_LSAN_SUPPRESSIONS, MORVANE_E2E_SWAY, MORVANE_E2E_SWAYMSG,
                             MORVANE_E2E_GRIM, MORVANE_E2E_WTYPE, MORVANE_E2E_SETPRIV,
                             MORVANE_E2E_USERADD};
    return paths;
}

EnvChanges display_env(const std::string& display)
{
    return {{"DISPLAY", display},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"SDL_VIDEODRIVER", std::nullopt},
            {"SDL_VIDEO_X11_WMCLASS", std::nullopt}};
}

EnvChanges program_env(EnvChanges changes)
{
    changes.emplace_back("LSAN_OPTIONS", "suppressions=" + tools().lsan_suppressions + ":print_suppressions=0");
    return changes;
}

std::optional<unsigned long> wait_for_window_of(const std::string& display, pid_t pid, milliseconds timeout,
                                                const std::string& output_stem)
{
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        const CommandResult found =
            run_command({tools().xdotool, "search", "--onlyvisible", "--pid", std::to_string(pid)},
                        display_env(display), milliseconds(5000), next_stem(output_stem, "xdotool-search"));
        if (found.finished && found.exit_code == 0) {
            const unsigned long id = std::strtoul(found.out.c_str(), nullptr, 10);
            if (id != 0) {
                return id;
            }
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    return std::nullopt;
}

std::optional<Geometry> window_geometry(const std::string& display, unsigned long window,
                                        const std::string& output_stem)
{
    const CommandResult info = run_command({tools().xwininfo, "-id", hex_id(window)}, display_env(display),
                                           milliseconds(5000), next_stem(output_stem, "xwininfo"));
    if (!info.finished || info.exit_code != 0) {
        return std::nullopt;
    }
    Geometry geometry;
    std::istringstream lines(info.out);
    for (std::string line; std::getline(lines, line);) {
        const auto value_after = [&line](const char* label, int& field) {
            const size_t at = line.find(label);
            if (at != std::string::npos) {
                field = std::atoi(line.c_str() + at + std::strlen(label));
            }
        };
        value_after("Absolute upper-left X:", geometry.x);
        value_after("Absolute upper-left Y:", geometry.y);
        value_after("Width:", geometry.width);
        value_after("Height:", geometry.height);
    }
    return geometry;
}

std::string window_property(const std::string& display, unsigned long window, const std::string& name,
                            const std::string& output_stem)
{
    const CommandResult prop = run_command({tools().xprop, "-id", hex_id(window), name}, display_env(display),
                                           milliseconds(5000), next_stem(output_stem, "xprop"));
    std::string text = prop.out;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

bool press_keys(const std::string& display, unsigned long window, const std::vector<std::string>& keys,
                const std::string& output_stem)
{
    const CommandResult focus =
        run_command({tools().xdotool, "windowfocus", "--sync", hex_id(window)}, display_env(display),
                    milliseconds(5000), next_stem(output_stem, "xdotool-focus"));
    if (!focus.finished || focus.exit_code != 0) {
        return false;
    }
    std::vector<std::string> argv{tools().xdotool, "key", "--delay", "60"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    const CommandResult typed =
        run_command(argv, display_env(display), milliseconds(10000), next_stem(output_stem, "xdotool-key"));
    return typed.finished && typed.exit_code == 0;
}

bool request_close(const std::string& display, unsigned long window, const std::string& output_stem)
{
    const CommandResult sent = run_command({tools().close_window, hex_id(window)}, display_env(display),
                                           milliseconds(5000), next_stem(output_stem, "close-window"));
    return sent.finished && sent.exit_code == 0;
}

std::optional<Image> screenshot(const std::string& display, unsigned long window, const std::string& png_path,
                                const std::string& output_stem)
{
    const CommandResult shot =
        run_command({tools().import, "-window", hex_id(window), "png:" + png_path}, display_env(display),
                    milliseconds(15000), next_stem(output_stem, "import"));
    if (!shot.finished || shot.exit_code != 0) {
        return std::nullopt;
    }
    return read_png(png_path, output_stem);
}

std::optional<Image> read_png(const std::string& png_path, const std::string& output_stem)
{
    // Read back as binary PPM: "P6\n<width> <height>\n255\n" and 3 bytes a pixel.
    const CommandResult pixels = run_command({tools().convert, png_path, "-depth", "8", "ppm:-"}, {},
                                             milliseconds(15000), next_stem(output_stem, "convert"));
    if (!pixels.finished || pixels.exit_code != 0) {
        return std::nullopt;
    }
    std::istringstream header(pixels.out);
    std::string magic;
    Image image;
    int maximum = 0;
    header >> magic >> image.width >> image.height >> maximum;
    if (magic != "P6" || maximum != 255 || image.width <= 0 || image.height <= 0) {
        return std::nullopt;
    }
    const auto start = static_cast<size_t>(header.tellg()) + 1;  // one blank after the header
    const size_t bytes = static_cast<size_t>(image.width) * image.height * 3;
    if (pixels.out.size() < start + bytes) {
        return std::nullopt;
    }
    image.rgb.assign(pixels.out.begin() + static_cast<ptrdiff_t>(start),
                     pixels.out.begin() + static_cast<ptrdiff_t>(start + bytes));
    return image;
}

RegionStats region_stats(const Image& image, int x0, int y0, int x1, int y1)
{
    // Below this every channel counts as black: the background is cleared to exactly 0.
    constexpr int black_threshold = 16;
    RegionStats stats;
    std::unordered_set<uint32_t> colours;
    long lit = 0;
    long total = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const unsigned char* p = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
            colours.insert(static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]);
            if (p[0] > black_threshold || p[1] > black_threshold || p[2] > black_threshold) {
                ++lit;
            }
            ++total;
        }
    }
    stats.lit_fraction = total > 0 ? static_cast<double>(lit) / static_cast<double>(total) : 0.0;
    stats.distinct_colours = static_cast<int>(colours.size());
    return stats;
}

std::string work_dir_for(const std::string& test_name)
{
    std::string dir = tools().work_dir + "/" + test_name + "/";
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace morvane::e2e
