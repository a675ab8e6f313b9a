// The renderer's start-up limits and the platform layer under it: frame sizes, frame buffers,
// and the pinned worker pair's processors and priority.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <tuple>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#endif

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

using namespace morvane;

TEST(FrameSize, IsTheScreenLessTenWithTheLowestBitClearedAndAtLeastTwoByTwo)
{
    const struct {
        int screen_width, screen_height, frame_width, frame_height;  // -1: refused, nothing written
    } cases[] = {{1920, 1080, 1910, 1070}, {1365, 768, 1354, 758}, {12, 12, 2, 2}, {13, 15, 2, 4},
                 {11, 100, -1, -1},       {100, 11, -1, -1},      {0, 0, -1, -1}, {-5, 1080, -1, -1},
                 {INT_MIN, INT_MIN, -1, -1}};
    for (const auto& c : cases) {
        int width = -1, height = -1;
        const bool sized = frame_size_for_screen(c.screen_width, c.screen_height, width, height);
        EXPECT_EQ(std::tuple(sized, width, height), std::tuple(c.frame_width > 0, c.frame_width, c.frame_height));
    }
}

TEST(FrameSize, FramesTooLargeForTheSizeFieldsFailAndChangeNothing)
{
    reset_scene();
    // 23170 x 23170 x 4 bytes still fits a signed 32-bit size; 23172 x 23172 x 4 does not.
    ASSERT_TRUE(set_frame_size(23180, 23180, 1));
    EXPECT_EQ(scene.colour_buffer_size, 23170 * 23170 * 4);
    reset_scene();
    for (auto [w, h] : {std::pair{23182, 23182}, {32768, 32768}, {65548, 20}, {INT_MAX, INT_MAX}, {11, 11}}) {
        EXPECT_FALSE(set_frame_size(w, h, 1)) << w << "x" << h;
    }
    EXPECT_EQ(scene.frame_width + scene.frame_height + scene.colour_buffer_size + scene.random_state, 0);
}

TEST(FrameBuffers, AreZeroedAlignedAndReleasedAndNeedAFrameSize)
{
    reset_scene();
    const PlatformServices& platform = platform::renderer_services();
    EXPECT_FALSE(allocate_frame_buffers(platform));
    ASSERT_TRUE(set_frame_size(100, 60, 1));
    ASSERT_TRUE(allocate_frame_buffers(platform));
    EXPECT_EQ((reinterpret_cast<uintptr_t>(scene.colour_buffer) | reinterpret_cast<uintptr_t>(scene.depth_buffer)) % 64, 0u);
    const size_t cells = size_t{scene.frame_width} * scene.frame_height;
    for (size_t i = 0; i < cells; ++i) {
        ASSERT_EQ(scene.colour_buffer[i] | std::bit_cast<uint32_t>(scene.depth_buffer[i]), 0u);
    }
    // Every cell of both is writable (the sanitizers check the bounds).
    std::memset(scene.colour_buffer, 1, cells * 4);
    std::memset(scene.depth_buffer, 1, cells * 4);
    release_frame_buffers(platform);
    EXPECT_TRUE(scene.colour_buffer == nullptr && scene.depth_buffer == nullptr);
}

// ---- The pinned worker pair ----

#if defined(__linux__)
namespace {

cpu_set_t worker_processors[2];
int worker_affinity_status[2];

void record_affinity(int index)
{
    CPU_ZERO(&worker_processors[index]);
    worker_affinity_status[index] =
        pthread_getaffinity_np(pthread_self(), sizeof(cpu_set_t), &worker_processors[index]);
}

} // namespace

TEST(Platform, WorkersArePinnedToTheFirstAndSecondAllowedProcessor)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    int first = -1, second = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        (first < 0 ? first : second) = cpu;
        if (second >= 0) break;
    }
    morvane::platform::run_pinned_worker_pair(record_affinity);
    ASSERT_EQ(worker_affinity_status[0], 0);
    ASSERT_EQ(worker_affinity_status[1], 0);
    EXPECT_EQ(CPU_COUNT(&worker_processors[0]), 1);
    EXPECT_TRUE(CPU_ISSET(first, &worker_processors[0]));
    if (second >= 0) {
        EXPECT_EQ(CPU_COUNT(&worker_processors[1]), 1);
        EXPECT_TRUE(CPU_ISSET(second, &worker_processors[1]));
    } else {
        EXPECT_TRUE(CPU_EQUAL(&worker_processors[1], &allowed)) << "one processor: worker 1 runs unrestricted";
    }
}

// The thread sanitizer's runtime asks for limits before it can run instrumented code, so its
// build keeps the real getrlimit and leaves this test out.
#if !defined(__SANITIZE_THREAD__)
namespace {

// The scheduling limits of a member of an audio group: real-time priorities up to 50 and nice
// values down to -5. This process may not raise its own limits, so while this is set the core's
// calls to getrlimit (below) see these instead.
bool audio_group_limits = false;

} // namespace

extern "C" int getrlimit(__rlimit_resource_t resource, rlimit* limit) noexcept
{
    if (audio_group_limits && (resource == RLIMIT_RTPRIO || resource == RLIMIT_NICE)) {
        limit->rlim_cur = limit->rlim_max = resource == RLIMIT_RTPRIO ? 50 : 25;
        return 0;
    }
    return prlimit(0, static_cast<__rlimit_resource>(resource), nullptr, limit);
}

namespace {

int worker_policy[2];
int worker_nice[2];

void record_priority(int index)
{
    worker_policy[index] = sched_getscheduler(0);
    errno = 0;
    worker_nice[index] = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

// Whether a thread of this process may lower its nice value to `nice`.
bool thread_may_take_nice(int nice)
{
    bool granted = false;
    std::thread([&] { granted = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0; }).join();
    return granted;
}

} // namespace

// Where the limits would allow real-time scheduling, the workers still stay in the ordinary
// time-shared range, at the best nice value the limits grant. In a child process, because the
// placement is decided once, on a process's first frame.
TEST(Platform, WorkersTakeTheBestNiceValueAndNeverARealTimePolicy)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        audio_group_limits = true;
        morvane::platform::run_pinned_worker_pair(record_priority);
        const int expected_nice = thread_may_take_nice(-5) ? -5 : 0;
        bool ordinary = true, best_nice = true;
        for (int k = 0; k < 2; ++k) {
            ordinary = ordinary && worker_policy[k] == SCHED_OTHER;
            best_nice = best_nice && worker_nice[k] == expected_nice;
        }
        _exit(!ordinary ? 1 : !best_nice ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 1) << "a worker runs with a real-time policy";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a worker's nice value is not the best the limits grant";
}
#endif
#endif
