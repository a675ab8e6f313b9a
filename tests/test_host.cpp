// The host's start-up logic and keys, and the platform basics under it.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#endif

#include "host/host.h"
#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { reset_scene(); }
    void TearDown() override
    {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
    }
};

} // namespace

// ---- Frame size ----

TEST(FrameSize, IsTheScreenLessTenWithTheLowestBitCleared)
{
    struct Case {
        int screen_width, screen_height, frame_width, frame_height;
    };
    const Case cases[] = {
        {1920, 1080, 1910, 1070},
        {1366, 768, 1356, 758},
        {1365, 768, 1354, 758},  // 1355 is odd: the bit is cleared after the subtraction
        {12, 12, 2, 2},          // the smallest frame
        {13, 15, 2, 4},
    };
    for (const Case& c : cases) {
        int width = -1, height = -1;
        ASSERT_TRUE(morvane::frame_size_for_screen(c.screen_width, c.screen_height, width, height))
            << c.screen_width << "x" << c.screen_height;
        EXPECT_EQ(width, c.frame_width) << c.screen_width << "x" << c.screen_height;
        EXPECT_EQ(height, c.frame_height) << c.screen_width << "x" << c.screen_height;
    }
}

TEST(FrameSize, ScreensLeavingLessThanTwoByTwoFail)
{
    for (auto [w, h] : {std::pair{11, 100}, {100, 11}, {10, 10}, {0, 0}, {-5, 1080}, {1920, -1}, {INT_MIN, INT_MIN}}) {
        int width = 77, height = 77;
        EXPECT_FALSE(morvane::frame_size_for_screen(w, h, width, height)) << w << "x" << h;
        EXPECT_EQ(width, 77);
        EXPECT_EQ(height, 77);
    }
}

TEST_F(HostTest, SetFrameSizeFillsTheHostFields)
{
    ASSERT_TRUE(morvane::set_frame_size(1920, 1080, 0xBEEF));
    EXPECT_EQ(scene.frame_width, 1910);
    EXPECT_EQ(scene.frame_height, 1070);
    EXPECT_EQ(scene.screen_centre[0], 955);
    EXPECT_EQ(scene.screen_centre[1], 535);
    EXPECT_EQ(scene.screen_centre[2], 0);
    EXPECT_EQ(scene.screen_centre[3], 0);
    EXPECT_EQ(scene.colour_buffer_size, 1910 * 1070 * 4);
    EXPECT_EQ(scene.random_state, 0xBEEF);
}

TEST_F(HostTest, FramesTooLargeForTheSizeFieldsFailAndChangeNothing)
{
    // 23170 x 23170 x 4 bytes still fits a signed 32-bit size; 23172 x 23172 x 4 does not.
    ASSERT_TRUE(morvane::set_frame_size(23180, 23180, 1));
    EXPECT_EQ(scene.colour_buffer_size, 23170 * 23170 * 4);
    reset_scene();
    EXPECT_FALSE(morvane::set_frame_size(23182, 23182, 1));
    EXPECT_FALSE(morvane::set_frame_size(32768, 32768, 1));
    EXPECT_FALSE(morvane::set_frame_size(65546 + 2, 20, 1));  // wider than a 16-bit side
    EXPECT_FALSE(morvane::set_frame_size(INT_MAX, INT_MAX, 1));
    EXPECT_FALSE(morvane::set_frame_size(11, 11, 1));
    EXPECT_EQ(scene.frame_width, 0);
    EXPECT_EQ(scene.frame_height, 0);
    EXPECT_EQ(scene.colour_buffer_size, 0);
    EXPECT_EQ(scene.random_state, 0);
}

TEST_F(HostTest, StartingZoomIsAQuarterOfTheFrameHeight)
{
    ASSERT_TRUE(morvane::set_frame_size(1920, 1080, 1));
    morvane::prepare_scene();
    EXPECT_EQ(scene.zoom_scale, 267.0f);  // 1070 / 4 in integers
    ASSERT_TRUE(morvane::set_frame_size(1366, 768, 1));
    morvane::prepare_scene();
    EXPECT_EQ(scene.zoom_scale, 189.0f);  // 758 / 4 = 189 remainder 2
}

TEST_F(HostTest, PrepareSceneRunsTheStartUpSteps)
{
    ASSERT_TRUE(morvane::set_frame_size(640, 480, 2024));
    morvane::prepare_scene();
    // The ray field exists, the texture is filled, the lights and the normals are unit length
    // and the corners are centred (largest half-extent on y).
    EXPECT_EQ(scene.ray_lines[0].end_index, 2);
    EXPECT_EQ(scene.texture[0] & 0xFFFFFFu,
              uint32_t{texture_rgb[0]} | uint32_t{texture_rgb[1]} << 8 | uint32_t{texture_rgb[2]} << 16);
    EXPECT_NEAR(scene.lights[1].direction[0], -0.408, 1e-3);
    EXPECT_NEAR(scene.model_vertices[0].y, -1.0f, 1e-3f);
    EXPECT_NEAR(scene.model_vertices[7].y, 1.0f, 1e-3f);
    EXPECT_NEAR(scene.vertex_normals[7].x, 0.5774f, 1e-3f);
    EXPECT_NEAR(scene.face_normals[0].z, 1.0f, 1e-3f);
}

// ---- Frame buffers ----

TEST_F(HostTest, FrameBuffersAreZeroedAlignedAndReleased)
{
    ASSERT_TRUE(morvane::set_frame_size(100, 60, 1));
    ASSERT_TRUE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
    ASSERT_NE(scene.colour_buffer, nullptr);
    ASSERT_NE(scene.depth_buffer, nullptr);
    EXPECT_NE(static_cast<void*>(scene.colour_buffer), static_cast<void*>(scene.depth_buffer));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(scene.colour_buffer) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(scene.depth_buffer) % 64, 0u);
    const size_t cells = size_t{scene.frame_width} * scene.frame_height;
    for (size_t i = 0; i < cells; ++i) {
        ASSERT_EQ(scene.colour_buffer[i], 0u);
        ASSERT_EQ(std::bit_cast<uint32_t>(scene.depth_buffer[i]), 0u);
    }
    // Every cell of both is writable (the sanitizers check the bounds).
    std::memset(scene.colour_buffer, 1, cells * 4);
    std::memset(scene.depth_buffer, 1, cells * 4);
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    EXPECT_EQ(scene.colour_buffer, nullptr);
    EXPECT_EQ(scene.depth_buffer, nullptr);
}

TEST_F(HostTest, NoBuffersWithoutAFrameSize)
{
    EXPECT_FALSE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
    EXPECT_EQ(scene.colour_buffer, nullptr);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Platform, AnImpossibleFrameBufferIsNullNotACrash)
{
    // (The sanitizers' allocators abort on such a request instead of failing it.)
    EXPECT_EQ(platform::allocate_frame_buffer(SIZE_MAX / 2), nullptr);
    EXPECT_EQ(platform::allocate_frame_buffer(0), nullptr);
}
#endif

// ---- Keys ----

TEST_F(HostTest, SpaceTogglesSpeedOnEveryKeyDown)
{
    ASSERT_EQ(scene.speed_mode, 1);
    EXPECT_FALSE(host::handle_key_down(host::Key::space));
    EXPECT_EQ(scene.speed_mode, 0);
    EXPECT_FALSE(host::handle_key_down(host::Key::space));
    EXPECT_EQ(scene.speed_mode, 1);
    // Holding Space: every auto-repeated key-down toggles once.
    for (int repeat = 0; repeat < 5; ++repeat) host::handle_key_down(host::Key::space);
    EXPECT_EQ(scene.speed_mode, 0);
}

TEST_F(HostTest, EscAsksToQuitAndOtherKeysAreIgnored)
{
    EXPECT_FALSE(host::handle_key_down(host::Key::other));
    EXPECT_EQ(scene.speed_mode, 1);
    EXPECT_TRUE(host::handle_key_down(host::Key::escape));
    EXPECT_EQ(scene.speed_mode, 1);
    host::handle_key_down(host::Key::space);
    EXPECT_FALSE(host::handle_key_down(host::Key::other));
    EXPECT_EQ(scene.speed_mode, 0);
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
