// The whole frame on every kind of screen: from the smallest that leaves a 2 x 2 frame to 8K,
// landscape and portrait, odd, square, very wide and very tall, at frames across a whole
// breathing cycle and with seeds that include the ray generator's fixed points. Every frame must
// complete (the test's time limit bounds it), touch nothing outside the two buffers (the
// sanitizer builds run this sweep), and leave every pixel away from the slab and the rays as
// the clear left it.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

// How many frames a screen is drawn at: the whole list across a breathing cycle, or the few
// that matter most, for the screens whose frames cost the sanitizer builds seconds each.
enum class Frames { cycle, key };

struct Screen {
    int width, height;
    Frames frames;
};

struct SweepCase {
    Screen screen;
    uint16_t seed;
    SceneBlock::CodePath path;
};

void PrintTo(const SweepCase& c, std::ostream* out)
{
    *out << c.screen.width << "x" << c.screen.height << " screen, seed " << c.seed
         << (c.path == SceneBlock::CodePath::scalar ? ", scalar path" : "");
}

// The generator adds 0x9248 and rotates right by 3 within 16 bits; these two states map to
// themselves, so every random draw of a run is the same number and all end points of a cluster
// coincide.
constexpr uint16_t fixed_point_a = 24074;
constexpr uint16_t fixed_point_b = 33436;

// The breathing zoom grows for 562 frames from the start (its counter runs 350..912), shrinks
// for 912 and grows again: one cycle is 2 x 912 = 1824 frames. Frames 562..564 straddle the
// largest scale and 1474..1476 the smallest. The spin is (29 + frame) x 0.01227 rad, so the
// slab turns by pi every 256.04 frames: frames 99, 355, 611, 867, 1123, 1379, 1635 show it
// edge-on and 227, 483, 739, 995, 1251, 1507, 1763 face-on.
#if MORVANE_SWEEP_FULL
constexpr int cycle_frames[] = {1,    2,    99,   227,  355,  483,  561,  562,  563,  564,  611,  739,  867, 995,
                                1123, 1251, 1379, 1473, 1474, 1475, 1476, 1507, 1635, 1763, 1824, 1825, 1826};
#else
constexpr int cycle_frames[] = {1, 99, 227, 562, 563, 1123, 1474, 1475, 1824};
#endif
// The first frame, face-on near the largest zoom, the largest zoom itself and the turn after
// it, edge-on just after, the smallest zoom.
constexpr int key_frames[] = {1, 483, 562, 563, 611, 1474};

constexpr auto cycle = Frames::cycle;
constexpr auto key = Frames::key;

#if MORVANE_SWEEP_FULL
constexpr Screen all_screens[] = {
    {12, 12, cycle},      // the smallest screen: a 2 x 2 frame, on which the zoom is 0
    {13, 13, cycle},      // odd: 3 x 3 less the lowest bit
    {14, 16, cycle},      // 4 x 6
    {40, 30, cycle},      {64, 48, cycle},     {640, 480, cycle},   {1000, 1000, cycle},
    {1365, 768, cycle},   // odd width
    {1366, 768, cycle},   {1920, 1080, cycle},  {1080, 1920, cycle},
    {1081, 1921, cycle},  // odd portrait: rays reach left of column 0 and beyond the last one
    {3840, 600, cycle},   {600, 3840, cycle},   // very wide, very tall
    {32768, 12, cycle},   {12, 32768, cycle},   // one or two pixels across
    {32768, 600, cycle},  // the widest screen the command line accepts
    {2560, 1440, cycle},  {3840, 2160, key},   {2160, 3840, key},
    {7680, 4320, key},    {4320, 7680, key},
    {600, 32768, key},    // the tallest: at its largest zoom the slab spans over 32768 rows
};

#else
constexpr Screen quick_screens[] = {
    {12, 12, cycle},     {13, 13, cycle},     {64, 48, cycle},  {1365, 768, cycle}, {1081, 1921, cycle},
    {3840, 600, cycle},  {600, 3840, cycle},  {12, 32768, cycle}, {600, 32768, key},
};
#endif

std::vector<SweepCase> sweep_cases()
{
    std::vector<SweepCase> cases;
    constexpr auto fastest = SceneBlock::CodePath::fastest;
    constexpr auto scalar = SceneBlock::CodePath::scalar;
#if MORVANE_SWEEP_FULL
    for (const Screen& screen : all_screens) {
        cases.push_back({screen, fixed_point_a, fastest});
        cases.push_back({screen, 1, fastest});
        // The costly screens once more with the other fixed point; the rest on both paths.
        if (screen.frames == cycle) {
            cases.push_back({screen, fixed_point_b, fastest});
            cases.push_back({screen, 65535, scalar});
        }
    }
#else
    for (const Screen& screen : quick_screens) cases.push_back({screen, fixed_point_a, fastest});
    cases.push_back({{1081, 1921, cycle}, fixed_point_b, scalar});
    cases.push_back({{640, 480, cycle}, 1, fastest});
#endif
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<SweepCase>& info)
{
    const SweepCase& c = info.param;
    return std::to_string(c.screen.width) + "x" + std::to_string(c.screen.height) + "Seed" + std::to_string(c.seed) +
           (c.path == SceneBlock::CodePath::scalar ? "Scalar" : "");
}

// A rectangle of pixels, both ends inclusive; empty when left > right or top > bottom.
struct Box {
    int64_t left = std::numeric_limits<int64_t>::max();
    int64_t top = std::numeric_limits<int64_t>::max();
    int64_t right = std::numeric_limits<int64_t>::min();
    int64_t bottom = std::numeric_limits<int64_t>::min();

    bool contains(int64_t x, int64_t y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};

// The pixels a set of screen points can reach. The rasteriser rounds corners to the nearest
// pixel (clamped to 16 bits) and the ray walk rounds its ends, and every span and ray row stays
// between its corners' or ends' columns and rows; one pixel more on each side covers any rounding.
Box reach_of(const Vec3* points, int count)
{
    Box box;
    for (int i = 0; i < count; ++i) {
        const Vec3& p = points[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        const auto x = static_cast<int64_t>(std::clamp(p.x, -1.0e9f, 1.0e9f));
        const auto y = static_cast<int64_t>(std::clamp(p.y, -1.0e9f, 1.0e9f));
        box.left = std::min(box.left, std::clamp<int64_t>(x - 2, -32768, 32767));
        box.right = std::max(box.right, std::clamp<int64_t>(x + 2, -32768, 32767));
        box.top = std::min(box.top, std::clamp<int64_t>(y - 2, -32768, 32767));
        box.bottom = std::max(box.bottom, std::clamp<int64_t>(y + 2, -32768, 32767));
    }
    return box;
}

// What one frame left in the buffers, counted against where the slab and the rays can reach.
struct FrameFindings {
    int64_t slab_pixels = 0;          // depth written
    int64_t lit_pixels = 0;           // colour not 0
    int64_t depth_outside_slab = 0;   // depth written where no triangle reaches
    int64_t colour_outside_both = 0;  // colour where neither the slab nor a ray reaches
    int64_t fourth_byte_set = 0;      // neither shading nor the rays ever set it
    int64_t depth_out_of_range = 0;   // a stored depth that is no interpolation of the corners'
    int64_t first_x = -1, first_y = -1;
};

FrameFindings inspect_frame()
{
    const Box slab = reach_of(scene.screen_vertices, scene.vertex_count);
    Box any = reach_of(scene.screen_ray_points, scene.ray_end_count + 2);
    any.left = std::min(any.left, slab.left);
    any.right = std::max(any.right, slab.right);
    any.top = std::min(any.top, slab.top);
    any.bottom = std::max(any.bottom, slab.bottom);

    // Depths are interpolated between the corners' z by repeated addition, so they stay near
    // the corners' range; a wide margin still catches garbage.
    float z_low = std::numeric_limits<float>::max();
    float z_high = std::numeric_limits<float>::lowest();
    for (int i = 0; i < scene.vertex_count; ++i) {
        z_low = std::min(z_low, scene.screen_vertices[i].z);
        z_high = std::max(z_high, scene.screen_vertices[i].z);
    }
    const float z_margin = (z_high - z_low) * 0.01f + 1.0f;

    const uint32_t clear_bits = std::bit_cast<uint32_t>(depth_clear);
    FrameFindings found;
    const int64_t width = scene.frame_width;
    const int64_t height = scene.frame_height;
    for (int64_t y = 0; y < height; ++y) {
        const Pixel* colour = scene.colour_buffer + y * width;
        const float* depth = scene.depth_buffer + y * width;
        for (int64_t x = 0; x < width; ++x) {
            const bool written = std::bit_cast<uint32_t>(depth[x]) != clear_bits;
            const bool lit = colour[x] != 0;
            if (!written && !lit) continue;
            bool wrong = false;
            if (written) {
                ++found.slab_pixels;
                if (!slab.contains(x, y)) ++found.depth_outside_slab, wrong = true;
                if (!(depth[x] >= z_low - z_margin && depth[x] <= z_high + z_margin)) {
                    ++found.depth_out_of_range, wrong = true;
                }
            }
            if (lit) {
                ++found.lit_pixels;
                if (!any.contains(x, y)) ++found.colour_outside_both, wrong = true;
                if ((colour[x] >> 24) != 0) ++found.fourth_byte_set, wrong = true;
            }
            if (wrong && found.first_x < 0) found.first_x = x, found.first_y = y;
        }
    }
    return found;
}

class ScreenSweep : public ::testing::TestWithParam<SweepCase> {
protected:
    void SetUp() override
    {
        const SweepCase& c = GetParam();
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
        ASSERT_TRUE(morvane::set_frame_size(c.screen.width, c.screen.height, c.seed));
        ASSERT_TRUE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
        morvane::prepare_scene();
        scene.code_path = c.path;
    }
    void TearDown() override
    {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
    }
};

TEST_P(ScreenSweep, EveryFrameStaysInsideItsBuffersAndLeavesTheRestBlack)
{
    const SweepCase& c = GetParam();
    int frames_drawn = 0;  // presented frames so far; frame n is drawn with frame_counter 29 + n
    int64_t lit_in_all = 0;
    const std::vector<int> frames = c.screen.frames == Frames::cycle
                                        ? std::vector<int>(std::begin(cycle_frames), std::end(cycle_frames))
                                        : std::vector<int>(std::begin(key_frames), std::end(key_frames));
    for (const int frame : frames) {
        SCOPED_TRACE("frame " + std::to_string(frame) + " (" + std::to_string(scene.frame_width) + "x" +
                     std::to_string(scene.frame_height) + " frame, seed " + std::to_string(c.seed) + ")");
        skip_frames(frame - 1 - frames_drawn);
        morvane::render_frame(morvane::platform::renderer_services());
        scene.frame_counter += 1;  // after drawing, as the main loop counts
        frames_drawn = frame;

        const FrameFindings found = inspect_frame();
        EXPECT_EQ(found.depth_outside_slab, 0) << "first stray pixel at " << found.first_x << ", " << found.first_y;
        EXPECT_EQ(found.colour_outside_both, 0) << "first stray pixel at " << found.first_x << ", " << found.first_y;
        EXPECT_EQ(found.fourth_byte_set, 0) << "first at " << found.first_x << ", " << found.first_y;
        EXPECT_EQ(found.depth_out_of_range, 0) << "first at " << found.first_x << ", " << found.first_y;
        lit_in_all += found.lit_pixels;
        if (testing::Test::HasFailure()) break;
    }
    // Something was drawn: at least the two one-pixel rays at the front anchor.
    EXPECT_GT(lit_in_all, 0);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenSweep, ::testing::ValuesIn(sweep_cases()), case_name);

} // namespace
