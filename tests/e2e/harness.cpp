// Child processes with deadlines, a private Xvfb or sway session, and screenshots read back.
#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

int decode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

} // namespace

bool wait_until(const std::function<bool()>& done, milliseconds deadline)
{
    const auto end = Clock::now() + deadline;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

std::string work_dir()
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = std::string(MORVANE_E2E_WORK_DIR) + "/" + test->test_suite_name() + "." + test->name() + "/";
    std::filesystem::create_directories(dir);
    return dir;
}

Child& Child::operator=(Child&& other) noexcept
{
    kill_and_reap();
    pid_ = std::exchange(other.pid_, -1);
    status_ = other.status_;
    stem_ = std::move(other.stem_);
    return *this;
}

Child Child::start(const std::vector<std::string>& argv, const Env& env, int extra_fd, bool traced)
{
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        variables[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
    }
    for (const auto& [name, value] : env) {
        if (value) variables[name] = *value;
        else variables.erase(name);
    }
    // Everything is built before fork: after it, only async-signal-safe calls.
    std::vector<std::string> texts;
    for (const auto& [name, value] : variables) texts.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& text : texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> words = argv;
    for (auto& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    static int counter = 0;
    Child child;
    child.stem_ = work_dir() + std::to_string(++counter) + "-" + std::filesystem::path(argv[0]).filename().string();
    const std::string out = child.stem_ + ".out", err = child.stem_ + ".err";
    const pid_t parent = getpid();
    child.pid_ = fork();
    if (child.pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(126);
        // A person's terminal: default signal handling, nothing blocked.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int number : {SIGINT, SIGTERM, SIGPIPE}) signal(number, SIG_DFL);
        const int fds[3] = {open("/dev/null", O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                            open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(125);
        }
        if (extra_fd >= 0) fcntl(extra_fd, F_SETFD, 0);
        if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(124);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    return child;
}

std::optional<int> Child::wait(milliseconds deadline)
{
    if (pid_ <= 0 || status_) return status_;
    wait_until(
        [this] {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = decode(status);
            return status_.has_value();
        },
        deadline);
    return status_;
}

void Child::kill_and_reap()
{
    if (pid_ <= 0 || status_) return;
    kill(pid_, SIGTERM);  // a polite end first, so an X server removes its lock and socket
    if (!wait(milliseconds(3000))) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = decode(status);
    }
}

std::string Child::out() const { return read_file(stem_ + ".out"); }
std::string Child::err() const { return read_file(stem_ + ".err"); }

Result run(const std::vector<std::string>& argv, const Env& env, milliseconds deadline)
{
    Child child = Child::start(argv, env);
    Result result{child.wait(deadline), "", ""};
    child.kill_and_reap();
    result.out = child.out();
    result.err = child.err();
    return result;
}

XServer::XServer(int width, int height)
{
    // -displayfd: Xvfb takes the first free display number and writes it once it is ready.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        failure = "no pipe";
        return;
    }
    server_ = Child::start({MORVANE_E2E_XVFB, "-displayfd", std::to_string(fds[1]), "-screen", "0",
                            std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"},
                           {}, fds[1]);
    close(fds[1]);
    std::string number;
    wait_until(
        [&] {
            char c = 0;
            while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
            return c == '\n' || !server_.running();
        },
        milliseconds(30000));
    close(fds[0]);
    if (number.empty()) failure = "Xvfb did not start: " + server_.err();
    else display = ":" + number;
}

Env XServer::env() const
{
    return {{"DISPLAY", display}, {"WAYLAND_DISPLAY", std::nullopt}, {"SDL_VIDEODRIVER", std::nullopt}};
}

WaylandSession::WaylandSession(int width, int height)
{
    for (const char* tool : {MORVANE_E2E_SWAY, MORVANE_E2E_SWAYMSG, MORVANE_E2E_GRIM, MORVANE_E2E_WTYPE}) {
        if (*tool == '\0') failure = "sway, swaymsg, grim or wtype was not found when the tests were configured";
    }
    if (!failure.empty()) return;
    uid_ = getuid();
    gid_ = getgid();
    if (geteuid() == 0) {
        other_user_ = true;
        constexpr const char* user = "morvane-e2e";
        if (getpwnam(user) == nullptr) {
            run({MORVANE_E2E_USERADD, "--system", "--user-group", "--no-create-home", "--home-dir", "/nonexistent",
                 "--shell", "/usr/sbin/nologin", user});
        }
        const passwd* entry = getpwnam(user);
        if (entry == nullptr) {
            failure = "cannot add the user morvane-e2e";
            return;
        }
        uid_ = entry->pw_uid;
        gid_ = entry->pw_gid;
    }
    std::string dir = std::filesystem::temp_directory_path().string() + "/morvane-wayland-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr || chown(dir.c_str(), uid_, gid_) != 0) {
        failure = "cannot make a runtime directory for the session's user: " + std::string(std::strerror(errno));
        return;
    }
    runtime_dir = dir;
    std::ofstream(dir + "/sway.config") << "xwayland disable\noutput HEADLESS-1 resolution " << width << "x"
                                        << height << "\n";
    chmod((dir + "/sway.config").c_str(), 0644);
    // No GPU and no input devices: the headless back end and the pixel-manipulation renderer.
    compositor_ = Child::start(as_user({MORVANE_E2E_SWAY, "--config", dir + "/sway.config"}),
                               {{"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt},
                                {"SWAYSOCK", std::nullopt}, {"XDG_RUNTIME_DIR", dir}, {"HOME", dir},
                                {"XDG_CONFIG_HOME", dir}, {"WLR_BACKENDS", "headless"},
                                {"WLR_LIBINPUT_NO_DEVICES", "1"}, {"WLR_RENDERER", "pixman"}});
    // Ready once both its sockets are there and it reports its output.
    const bool ready = wait_until(
        [&] {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) socket_ = name;
                if (name.rfind("sway-ipc.", 0) == 0) ipc_socket_ = entry.path().string();
            }
            return !compositor_.running() ||
                   (!socket_.empty() && !ipc_socket_.empty() &&
                    run({MORVANE_E2E_SWAYMSG, "-t", "get_outputs"}).out.find("HEADLESS-1") != std::string::npos);
        },
        milliseconds(30000));
    if (!ready || !compositor_.running()) failure = "sway did not start: " + compositor_.err();
}

WaylandSession::~WaylandSession()
{
    compositor_.kill_and_reap();
    std::error_code ignored;
    if (!runtime_dir.empty()) std::filesystem::remove_all(runtime_dir, ignored);
}

std::vector<std::string> WaylandSession::as_user(const std::vector<std::string>& argv) const
{
    if (!other_user_) return argv;
    // setpriv execs the command, so the child keeps its process id; a change of user clears
    // the death signal, so setpriv sets it again.
    std::vector<std::string> wrapped{MORVANE_E2E_SETPRIV, "--reuid=" + std::to_string(uid_),
                                     "--regid=" + std::to_string(gid_), "--clear-groups", "--pdeathsig=KILL", "--"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    return wrapped;
}

Env WaylandSession::client_env() const
{
    return {{"DISPLAY", std::nullopt},   {"WAYLAND_DISPLAY", socket_}, {"XDG_RUNTIME_DIR", runtime_dir},
            {"SWAYSOCK", ipc_socket_},   {"HOME", runtime_dir},        {"SDL_VIDEODRIVER", std::nullopt}};
}

Child WaylandSession::start(const std::vector<std::string>& argv, const Env& env) const
{
    Env all = client_env();
    all.insert(all.end(), env.begin(), env.end());
    return Child::start(as_user(argv), all);
}

Result WaylandSession::run(const std::vector<std::string>& argv) const
{
    return e2e::run(as_user(argv), client_env());
}

Env program_env(Env changes)
{
    changes.emplace_back("LSAN_OPTIONS", "suppressions=" MORVANE_E2E_LSAN_SUPPRESSIONS ":print_suppressions=0");
    return changes;
}

double Image::lit(int x0, int y0, int x1, int y1, int* colours) const
{
    std::set<unsigned> seen;
    long count = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const unsigned char* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            seen.insert(unsigned{p[0]} << 16 | unsigned{p[1]} << 8 | p[2]);
            count += p[0] > 16 || p[1] > 16 || p[2] > 16;  // the frame is cleared to exactly 0
        }
    }
    if (colours != nullptr) *colours = static_cast<int>(seen.size());
    return static_cast<double>(count) / std::max(1, (x1 - x0) * (y1 - y0));
}

std::optional<Image> parse_ppm(const std::string& bytes)
{
    std::istringstream header(bytes);
    std::string magic;
    int maximum = 0;
    Image image;
    header >> magic >> image.width >> image.height >> maximum;
    const size_t start = static_cast<size_t>(header.tellg()) + 1, size = size_t(image.width) * image.height * 3;
    if (!header || magic != "P6" || maximum != 255 || bytes.size() < start + size) return std::nullopt;
    image.rgb.assign(bytes.begin() + static_cast<ptrdiff_t>(start), bytes.begin() + static_cast<ptrdiff_t>(start + size));
    return image;
}

std::string slab_problem(const Image& image, int w, int h, bool corners)
{
    if (image.width < w || image.height < h) return "the image is smaller than the frame";
    // Far from the slab and its rays the frame keeps its clear colour; the slab itself is lit
    // and textured, many more colours than rays alone or a flat fill give.
    const int cw = w / 20, ch = h / 20;
    for (const auto& [x, y] : {std::pair{0, 0}, {w - cw, 0}, {0, h - ch}, {w - cw, h - ch}}) {
        if (corners && image.lit(x, y, x + cw, y + ch) >= 0.01) return "a corner is not black";
    }
    int colours = 0;
    const double lit = image.lit(w / 3, h / 3, 2 * w / 3, 2 * h / 3, &colours);
    if (lit < 0.02 || colours < 64) {
        return "the centre is " + std::to_string(lit * 100) + "% lit in " + std::to_string(colours) + " colours";
    }
    return "";
}

} // namespace morvane::e2e
