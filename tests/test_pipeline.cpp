// The frame driver, the buffer fill and the point transforms.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "raster/raster.h"
#include "rays/rays.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

uint32_t bits(float value) { return std::bit_cast<uint32_t>(value); }

bool same_bits(const Vec3& a, const Vec3& b) { return std::memcmp(&a, &b, sizeof(Vec3)) == 0; }

// The scene as the program starts it, with its own frame buffers.
class FrameTest : public ::testing::Test {
protected:
    void prepare(int screen_width, int screen_height, uint16_t seed = 4711)
    {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
        ASSERT_TRUE(morvane::set_frame_size(screen_width, screen_height, seed));
        ASSERT_TRUE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
        morvane::prepare_scene();
    }
    void TearDown() override
    {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
    }
    size_t cells() const { return size_t{scene.frame_width} * scene.frame_height; }
    std::vector<Pixel> colour() const { return {scene.colour_buffer, scene.colour_buffer + cells()}; }
    std::vector<uint32_t> depth_bits() const
    {
        std::vector<uint32_t> out(cells());
        std::memcpy(out.data(), scene.depth_buffer, cells() * 4);
        return out;
    }
    // The animation state a frame reads and advances, zoom_scale as bits.
    static std::array<uint32_t, 4> animation()
    {
        return {static_cast<uint32_t>(scene.frame_counter), scene.zoom_counter, scene.zoom_shrinking,
                bits(scene.zoom_scale)};
    }
};

} // namespace

// ---- fill_dwords ----

TEST(FillDwords, WritesExactlyCountValuesAndNothingAround)
{
    // Counts on both sides of the 16-value blocks, none, and a frame's worth, which bypasses the
    // cache with streaming stores and must get its tail right as well as its start. A start one
    // value past the 16-byte boundary leaves the blocks unaligned, which the frame never does but
    // a caller may.
    constexpr int64_t guard = 16;
    for (int64_t start : {guard, guard + 1}) {
        for (int64_t count : {0, 1, 4, 15, 16, 17, 20, 31, 32, 33, 48, 100, 1910 * 1070 + 20}) {
            std::vector<uint32_t> fast(start + count + guard, 0xDEADBEEFu), plain = fast;
            ASSERT_EQ(reinterpret_cast<uintptr_t>(fast.data()) % 16, 0u);
            fill_dwords(fast.data() + start, count, 0x476A6000u);
            fill_dwords_scalar(plain.data() + start, count, 0x476A6000u);
            int64_t wrong = 0;
            for (int64_t i = 0; i < start + count + guard; ++i) {
                wrong += fast[i] != (i >= start && i < start + count ? 0x476A6000u : 0xDEADBEEFu);
            }
            EXPECT_EQ(wrong, 0) << "start " << start << ", count " << count;
            EXPECT_EQ(fast, plain) << "start " << start << ", count " << count;
        }
    }
}

// ---- Point transforms ----

TEST(RotatePoints, ProductsAreRoundedBeforeTheSumsAndYPassesBitForBit)
{
    reset_scene();
    std::mt19937 random(12345);
    std::uniform_real_distribution<float> coordinate(-2000.0f, 2000.0f);
    constexpr int count = 257;
    Vec3 source[count];
    for (Vec3& p : source) p = {coordinate(random), coordinate(random), coordinate(random)};
    // y values that arithmetic would change: -0, a quiet NaN with a payload, a denormal.
    source[0].y = -0.0f;
    source[1].y = std::bit_cast<float>(0x7FC01234u);
    source[2].y = std::bit_cast<float>(0x00000001u);
    Vec3 original_source[count];
    std::memcpy(original_source, source, sizeof source);

    for (int frame : {0, 30, 77, 128, 200, 511, 100000}) {
        build_rotation_table(frame);
        const float c = scene.rotation_table[0], s = scene.rotation_table[1];
        Vec3 destination[count + 1];
        const Vec3 untouched = {1.5f, 2.5f, 3.5f};
        destination[count] = untouched;
        rotate_points(source, destination, count);
        for (int i = 0; i < count; ++i) {
            const Vec3& p = source[i];
            const float sx = s * p.x, cz = c * p.z, cx = c * p.x, sz = s * p.z;
            ASSERT_TRUE(same_bits(destination[i], {sx + cz, p.y, cx - sz})) << "frame " << frame << ", point " << i;
        }
        EXPECT_TRUE(same_bits(destination[count], untouched)) << "wrote beyond the count";
    }
    EXPECT_EQ(std::memcmp(source, original_source, sizeof source), 0);
}

TEST(ScaleAndOffsetPoints, ZoomsAndCentresOnTheFrame)
{
    const uint16_t centre[4] = {955, 535, 0, 0};
    Vec3 points[4] = {{0.0f, 0.0f, 0.0f}, {1.0f, -1.0f, 0.05f}, {0.5f, 0.25f, -0.0f}, {7.0f, 7.0f, 7.0f}};
    scale_and_offset_points(points, 3, centre, 267.0f);
    EXPECT_TRUE(same_bits(points[0], {955.0f, 535.0f, 0.0f}));
    EXPECT_TRUE(same_bits(points[1], {1222.0f, 268.0f, 0.05f * 267.0f}));
    // A depth of -0 leaves as +0: the depth gets + 0 after the product.
    EXPECT_TRUE(same_bits(points[2], {0.5f * 267.0f + 955.0f, 0.25f * 267.0f + 535.0f, 0.0f}));
    EXPECT_TRUE(same_bits(points[3], {7.0f, 7.0f, 7.0f})) << "only `count` points are touched";
}

// ---- Spin and zoom ----

TEST(RotationTable, AngleIsFormedInDoublePrecision)
{
    reset_scene();
    EXPECT_NEAR(30.0 * double{scene.angle_step}, 0.3681, 1e-6);
    // Far into a run a float product would be off by many ulps of the angle.
    for (int frame : {30, 123456789}) {
        build_rotation_table(frame);
        const double a = static_cast<double>(frame) * double{scene.angle_step};
        const float c = static_cast<float>(std::cos(a)), s = static_cast<float>(std::sin(a));
        EXPECT_EQ(bits(scene.rotation_table[0]), bits(c)) << frame;
        EXPECT_EQ(bits(scene.rotation_table[1]), bits(s)) << frame;
        EXPECT_EQ(bits(scene.rotation_table[2]), bits(-c)) << frame;
        EXPECT_EQ(bits(scene.rotation_table[3]), bits(-s)) << frame;
    }
}

TEST(Zoom, BreathesGrowing562ThenShrinking912ThenGrowing912)
{
    reset_scene();
    scene.zoom_scale = 267.0f;
    std::vector<int> runs = {0};  // lengths of the runs of equal direction, in steps
    bool growing = true;
    float largest = 0.0f;
    for (int step = 0; step < 562 + 912 + 912 + 10; ++step) {
        const float before = scene.zoom_scale;
        advance_zoom();
        const bool grew = scene.zoom_scale > before;
        EXPECT_EQ(grew, scene.zoom_shrinking == 0);
        if (grew != growing) runs.push_back(0);
        growing = grew;
        ++runs.back();
        largest = std::max(largest, scene.zoom_scale);
    }
    ASSERT_GE(runs.size(), 3u);
    EXPECT_EQ(runs[0], 562);
    EXPECT_EQ(runs[1], 912);
    EXPECT_EQ(runs[2], 912);
    // The first swell takes the slab to about 2.6 times its starting size.
    EXPECT_NEAR(largest / 267.0f, 2.598, 0.005);
}

// ---- The frame ----

TEST_F(FrameTest, ClearLeavesColourZeroAndDepthFarEverywhere)
{
    prepare(64, 48);
    for (auto path : {SceneBlock::CodePath::fastest, SceneBlock::CodePath::scalar}) {
        scene.code_path = path;
        std::memset(scene.colour_buffer, 0x5A, cells() * 4);
        std::memset(scene.depth_buffer, 0xA5, cells() * 4);
        clear_frame();
        EXPECT_EQ(colour(), std::vector<Pixel>(cells(), 0u));
        EXPECT_EQ(depth_bits(), std::vector<uint32_t>(cells(), bits(60000.0f)));
    }
}

TEST_F(FrameTest, FirstFrameStepsTheZoomOnceFromAQuarterOfTheHeight)
{
    // A timed frame is a frame like any other, and its stages add up to the whole.
    prepare(1920, 1080);
    ASSERT_EQ(scene.zoom_scale, 267.0f);
    FrameTimings timings;
    timings.total_ns = -1;
    morvane::render_frame(morvane::platform::renderer_services(), &timings);
    EXPECT_EQ(scene.zoom_counter, 351);
    EXPECT_EQ(scene.zoom_shrinking, 0);
    EXPECT_EQ(scene.zoom_scale, 267.0f * 1.0017f);
    // The frame does not count itself: the host does, after presenting.
    EXPECT_EQ(scene.frame_counter, 30);
    EXPECT_EQ(scene.depth_buffer[0], 60000.0f);
    for (int64_t stage : {timings.clear_ns, timings.transform_ns, timings.raster_ns, timings.rays_ns}) {
        EXPECT_GE(stage, 0);
    }
    EXPECT_EQ(timings.total_ns, timings.clear_ns + timings.transform_ns + timings.raster_ns + timings.rays_ns);
}

TEST_F(FrameTest, ScreenPointsAreTheTurnedPointsScaledByTheNewZoom)
{
    prepare(200, 150);
    scene.frame_counter = 95;
    morvane::render_frame(morvane::platform::renderer_services());
    build_rotation_table(95);
    const int ray_points = scene.ray_end_count + 2;
    std::vector<Vec3> corners(scene.vertex_count), normals(scene.vertex_count), rays(ray_points);
    rotate_points(scene.model_vertices, corners.data(), scene.vertex_count);
    rotate_points(scene.vertex_normals, normals.data(), scene.vertex_count);
    rotate_points(scene.ray_points, rays.data(), ray_points);
    // zoom_scale is already the stepped one: the scaling must have used it.
    scale_and_offset_points(corners.data(), scene.vertex_count, scene.screen_centre, scene.zoom_scale);
    scale_and_offset_points(rays.data(), ray_points, scene.screen_centre, scene.zoom_scale);
    for (int i = 0; i < scene.vertex_count; ++i) {
        EXPECT_TRUE(same_bits(scene.screen_vertices[i], corners[i])) << "corner " << i;
        EXPECT_TRUE(same_bits(scene.view_normals[i], normals[i])) << "normal " << i;
    }
    for (int i = 0; i < ray_points; ++i) {
        ASSERT_TRUE(same_bits(scene.screen_ray_points[i], rays[i])) << "ray point " << i;
    }
}

TEST_F(FrameTest, SkippingFramesEqualsRenderingThem)
{
    // 600 frames cross the zoom's first turn (after 562). Frames drawn from sources they had
    // changed would drift from the skipped ones.
    constexpr int frames = 600;
    prepare(64, 48, 99);
    for (int i = 0; i < frames; ++i, scene.frame_counter += 1) morvane::render_frame(morvane::platform::renderer_services());
    const auto rendered = animation();
    morvane::render_frame(morvane::platform::renderer_services());
    const std::vector<Pixel> rendered_colour = colour();
    const std::vector<uint32_t> rendered_depth = depth_bits();
    const std::vector<Vec3> rendered_rays(scene.screen_ray_points, scene.screen_ray_points + scene.ray_end_count + 2);

    prepare(64, 48, 99);
    skip_frames(frames);
    EXPECT_EQ(animation(), rendered);
    morvane::render_frame(morvane::platform::renderer_services());
    EXPECT_EQ(colour(), rendered_colour);
    EXPECT_EQ(depth_bits(), rendered_depth);
    EXPECT_EQ(std::memcmp(rendered_rays.data(), scene.screen_ray_points, rendered_rays.size() * sizeof(Vec3)), 0);
}

TEST_F(FrameTest, TwoWorkersGiveTheSameImageAsBothBandsOnOneThread)
{
    prepare(330, 250, 321);
    for (int32_t frame : {30, 150, 290, 420}) {
        scene.frame_counter = frame;
        const float zoom_scale = scene.zoom_scale;
        const uint16_t zoom_counter = scene.zoom_counter;
        morvane::render_frame(morvane::platform::renderer_services());
        const std::vector<Pixel> threaded_colour = colour();
        const std::vector<uint32_t> threaded_depth = depth_bits();

        // The same frame again, stage by stage, both bands on this thread.
        scene.zoom_scale = zoom_scale;
        scene.zoom_counter = zoom_counter;
        clear_frame();
        transform_frame();
        raster_triangles(0);
        raster_triangles(1);
        draw_rays();
        EXPECT_EQ(colour(), threaded_colour) << "frame " << frame;
        EXPECT_EQ(depth_bits(), threaded_depth) << "frame " << frame;
    }
}

// ---- The worker pair ----

namespace {

int worker_runs[2];
std::thread::id worker_thread[2];

void record_worker(int index)
{
    // Worker 1 finishes well after worker 0, so a return after the first join would miss it.
    if (index == 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    worker_runs[index] += 1;
    worker_thread[index] = std::this_thread::get_id();
}

} // namespace

TEST(WorkerPair, RunsEachIndexOnceOnItsOwnThreadAndReturnsAfterBoth)
{
    for (int round = 0; round < 3; ++round) {
        worker_runs[0] = worker_runs[1] = 0;
        morvane::platform::run_pinned_worker_pair(record_worker);
        EXPECT_EQ(worker_runs[0], 1);
        EXPECT_EQ(worker_runs[1], 1);
        EXPECT_NE(worker_thread[0], std::this_thread::get_id());
        EXPECT_NE(worker_thread[1], std::this_thread::get_id());
        EXPECT_NE(worker_thread[0], worker_thread[1]);
    }
}
