// The real program left running: thousands of frames at full speed, then thousands idle, on a
// private X server. The process's own figures (/proc/PID/status, its open files) must not
// grow, and it still quits on Esc with exit code 0. How many frames it has drawn is read from
// the scene record in its memory, where the main loop counts them.
#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "scene/scene.h"
#include "tests/e2e/harness.h"

namespace morvane::e2e {
namespace {

constexpr milliseconds window_deadline{15000};
constexpr milliseconds phase_deadline{90000};  // a hang guard: each phase takes seconds
constexpr milliseconds quit_deadline{2000};
constexpr milliseconds sample_period{50};

// Frames per phase: the counter starts at 30 and advances once per presented frame.
constexpr int32_t warm_up_frames = 300;
constexpr int32_t full_speed_frames = 5000;
constexpr int32_t idle_frames = 2000;
constexpr int idle_pause_ms = 3;  // the pause after every idle frame; nanosleep never sleeps less

// Growth allowed after the warm-up. The two frame buffers of a 1356 x 758 frame are 4 MiB
// each and every run so far holds its figures to the kilobyte; a leak of 1 KiB a frame would
// add 8 MiB over the run.
constexpr long rss_slack_kib = 2048;
constexpr long size_slack_kib = 4096;

struct Figures {
    long rss_kib = -1;   // VmRSS
    long size_kib = -1;  // VmSize
    int threads = -1;    // Threads: the main thread, and the two workers while a frame rasterises
    int open_files = -1;
};

std::optional<Figures> figures_of(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid);
    std::ifstream status(dir + "/status");
    Figures f;
    for (std::string line; std::getline(status, line);) {
        const auto value = [&line]() { return std::atol(line.c_str() + line.find(':') + 1); };
        if (line.rfind("VmRSS:", 0) == 0) f.rss_kib = value();
        if (line.rfind("VmSize:", 0) == 0) f.size_kib = value();
        if (line.rfind("Threads:", 0) == 0) f.threads = static_cast<int>(value());
    }
    std::error_code error;
    f.open_files = 0;
    for (auto it = std::filesystem::directory_iterator(dir + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++f.open_files;
    }
    if (error || f.rss_kib < 0 || f.size_kib < 0 || f.threads < 0) return std::nullopt;
    return f;
}

// Reads fields of the program's scene record from its memory. The record's address is the
// symbol morvane::scene of the executable (as nm lists it), moved by where the kernel loaded a
// position-independent executable.
class SceneReader {
public:
    SceneReader(pid_t pid, const std::string& program, const std::string& output_stem)
    {
        const CommandResult symbols =
            run_command({MORVANE_E2E_NM, "--defined-only", program}, {}, milliseconds(15000), output_stem + "nm");
        std::uint64_t value = 0;
        std::istringstream lines(symbols.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 20 && line.compare(line.size() - 19, 19, " _ZN7morvane5sceneE") == 0) {
                value = std::strtoull(line.c_str(), nullptr, 16);
            }
        }
        if (value == 0) {
            failure_ = "nm lists no morvane::scene in " + program;
            return;
        }
        address_ = value;
        if (position_independent(program)) {
            const std::optional<std::uint64_t> base = load_base(pid, program);
            if (!base) {
                failure_ = "the program's mapping is not in /proc/" + std::to_string(pid) + "/maps";
                return;
            }
            address_ += *base;
        }
        memory_ = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
        if (memory_ < 0) failure_ = "cannot open the program's memory";
    }
    SceneReader(const SceneReader&) = delete;
    SceneReader& operator=(const SceneReader&) = delete;
    ~SceneReader()
    {
        if (memory_ >= 0) close(memory_);
    }

    bool ready() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }

    std::optional<int32_t> frame_counter() const { return field<int32_t>(offsetof(SceneBlock, frame_counter)); }
    std::optional<uint8_t> speed_mode() const { return field<uint8_t>(offsetof(SceneBlock, speed_mode)); }

private:
    template <class T>
    std::optional<T> field(size_t offset) const
    {
        T value{};
        if (memory_ < 0 ||
            pread(memory_, &value, sizeof value, static_cast<off_t>(address_ + offset)) != sizeof value) {
            return std::nullopt;
        }
        return value;
    }

    static bool position_independent(const std::string& program)
    {
        Elf64_Ehdr header{};
        std::ifstream file(program, std::ios::binary);
        file.read(reinterpret_cast<char*>(&header), sizeof header);
        return file && header.e_type == ET_DYN;
    }

    // The start of the mapping of the executable's first bytes.
    static std::optional<std::uint64_t> load_base(pid_t pid, const std::string& program)
    {
        const std::string path = std::filesystem::canonical(program).string();
        std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            std::istringstream fields(line);
            std::string range, permissions, offset, device, inode, name;
            fields >> range >> permissions >> offset >> device >> inode >> name;
            if (name == path && std::strtoull(offset.c_str(), nullptr, 16) == 0) {
                return std::strtoull(range.c_str(), nullptr, 16);
            }
        }
        return std::nullopt;
    }

    std::uint64_t address_ = 0;
    int memory_ = -1;
    std::string failure_;
};

// Waits until the program's speed_mode is `mode`: it handles one message per frame.
bool speed_mode_becomes(const SceneReader& scene_reader, uint8_t mode)
{
    const auto deadline = Clock::now() + quit_deadline;
    while (Clock::now() < deadline) {
        if (scene_reader.speed_mode() == mode) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

std::string current_test_name()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// The figures over one phase: their largest values, and the fewest threads seen.
struct PhaseRecord {
    Figures largest;
    int fewest_threads = 1 << 30;
    int32_t first_frame = 0, last_frame = 0;
    Clock::duration elapsed{};
    bool reached = false;
    std::string failure;
};

class LongRun : public ::testing::Test {
protected:
    void SetUp() override { dir_ = work_dir_for(current_test_name()); }
    void TearDown() override
    {
        program_.kill_and_reap();
        server_.reset();
    }

    // Samples the figures until the program has presented `frames` more frames.
    PhaseRecord run_frames(const SceneReader& scene_reader, int32_t frames)
    {
        PhaseRecord record;
        const std::optional<int32_t> start = scene_reader.frame_counter();
        if (!start) {
            record.failure = "cannot read frame_counter";
            return record;
        }
        record.first_frame = record.last_frame = *start;
        const auto started = Clock::now();
        while (Clock::now() - started < phase_deadline) {
            std::this_thread::sleep_for(sample_period);
            if (!program_.running()) {
                record.failure = "the program ended: " + program_.stderr_text();
                return record;
            }
            const std::optional<Figures> now = figures_of(program_.pid());
            const std::optional<int32_t> frame = scene_reader.frame_counter();
            if (!now || !frame) {
                record.failure = "cannot read the program's figures";
                return record;
            }
            record.largest.rss_kib = std::max(record.largest.rss_kib, now->rss_kib);
            record.largest.size_kib = std::max(record.largest.size_kib, now->size_kib);
            record.largest.threads = std::max(record.largest.threads, now->threads);
            record.largest.open_files = std::max(record.largest.open_files, now->open_files);
            record.fewest_threads = std::min(record.fewest_threads, now->threads);
            record.last_frame = *frame;
            if (*frame - *start >= frames) {
                record.reached = true;
                break;
            }
        }
        record.elapsed = Clock::now() - started;
        return record;
    }

    std::string dir_;
    std::unique_ptr<XServer> server_;
    Child program_;
};

TEST_F(LongRun, ThousandsOfFramesFullSpeedAndIdleGrowNothingAndEscStillQuits)
{
    server_ = std::make_unique<XServer>(1366, 768, dir_);
    ASSERT_TRUE(server_->ready()) << server_->failure();
    const std::string display = server_->display();
    program_ = Child::start({tools().program}, program_env(display_env(display)), dir_ + "morvane");
    const auto window = wait_for_window_of(display, program_.pid(), window_deadline, dir_);
    ASSERT_TRUE(window.has_value()) << "no window appeared; the program said: " << program_.stderr_text();
    const SceneReader scene_reader(program_.pid(), tools().program, dir_);
    ASSERT_TRUE(scene_reader.ready()) << scene_reader.failure();
    ASSERT_EQ(scene_reader.speed_mode(), std::optional<uint8_t>(1)) << "it starts at full speed";

    // Warm-up: the thread stacks, the window's image and the caches settle.
    const PhaseRecord warm_up = run_frames(scene_reader, warm_up_frames);
    ASSERT_TRUE(warm_up.reached) << warm_up.failure << " (warm-up: " << warm_up.last_frame - warm_up.first_frame
                                 << " frames)";
    const std::optional<Figures> baseline = figures_of(program_.pid());
    ASSERT_TRUE(baseline.has_value());

    const PhaseRecord full = run_frames(scene_reader, full_speed_frames);
    ASSERT_TRUE(full.reached) << full.failure << " (full speed: " << full.last_frame - full.first_frame
                              << " frames)";

    ASSERT_TRUE(press_keys(display, *window, {"space"}, dir_));
    ASSERT_TRUE(speed_mode_becomes(scene_reader, 0)) << "Space switches to idle";
    const PhaseRecord idle = run_frames(scene_reader, idle_frames);
    ASSERT_TRUE(idle.reached) << idle.failure << " (idle: " << idle.last_frame - idle.first_frame << " frames)";
    // Idle means a pause after every frame: no more frames than pauses fit in the time.
    const auto idle_ms = std::chrono::duration_cast<milliseconds>(idle.elapsed).count();
    EXPECT_LE(idle.last_frame - idle.first_frame, idle_ms / idle_pause_ms + 2)
        << "idle frames came faster than one per " << idle_pause_ms << " ms";

    std::cout << "[ figures  ] frames: " << warm_up.last_frame - warm_up.first_frame << " warm-up, "
              << full.last_frame - full.first_frame << " full speed in "
              << std::chrono::duration_cast<milliseconds>(full.elapsed).count() << " ms, "
              << idle.last_frame - idle.first_frame << " idle in " << idle_ms << " ms; VmRSS "
              << baseline->rss_kib << " kB after warm-up, at most " << std::max(full.largest.rss_kib, idle.largest.rss_kib)
              << " kB after; VmSize " << baseline->size_kib << " kB, at most "
              << std::max(full.largest.size_kib, idle.largest.size_kib) << " kB; threads "
              << warm_up.fewest_threads << " to " << std::max(full.largest.threads, idle.largest.threads)
              << "; open files " << baseline->open_files << "\n";

    for (const PhaseRecord* phase : {&full, &idle}) {
        const char* name = phase == &full ? "full speed" : "idle";
        EXPECT_LE(phase->largest.rss_kib, baseline->rss_kib + rss_slack_kib) << name;
        EXPECT_LE(phase->largest.size_kib, baseline->size_kib + size_slack_kib) << name;
        // The main thread, and two workers only while a frame is being rasterised.
        EXPECT_LE(phase->largest.threads, warm_up.fewest_threads + 2) << name;
        EXPECT_EQ(phase->largest.open_files, baseline->open_files) << name;
    }
    // Idle, the program spends most of its time in the pause, between frames: the samples
    // then see no worker, and no thread that outlived its frame.
    EXPECT_LE(idle.fewest_threads, warm_up.fewest_threads) << "a thread outlived its frame";

    // Back to full speed, and Esc still ends it at once.
    ASSERT_TRUE(press_keys(display, *window, {"space"}, dir_));
    EXPECT_TRUE(speed_mode_becomes(scene_reader, 1)) << "Space switches back to full speed";
    ASSERT_TRUE(press_keys(display, *window, {"Escape"}, dir_));
    const std::optional<int> status = program_.wait_for_exit(quit_deadline);
    ASSERT_TRUE(status.has_value()) << "still running " << quit_deadline.count() << " ms after Esc";
    EXPECT_EQ(*status, 0) << program_.stderr_text();
}

} // namespace
} // namespace morvane::e2e
