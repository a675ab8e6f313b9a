// Whole frames on every kind of screen, from the smallest that leaves a 2 x 2 frame to 8K and
// beyond, landscape and portrait, odd, very wide and very tall, across a breathing cycle, with
// seeds that include the ray generator's fixed points. Each frame is drawn twice: on the fastest
// paths by the real worker pair, and on the plain scalar twins with both bands on this thread;
// the two must agree bit for bit, and the frame must leave every pixel away from the slab and
// the rays as the clear left it. The sanitizer builds look for bad memory use and races, not for
// different bytes: AddressSanitizer's full sweep redraws on the scalar twins only the key frames
// of the ordinary screens, ThreadSanitizer's (one thread draws the twins) none, and leaves out the
// largest screens.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "host/platform.h"
#include "tests/support.h"

using namespace morvane;

namespace {

// The generator adds 0x9248 and rotates right by 3 within 16 bits; these states map to
// themselves, so all end points of a cluster coincide.
constexpr uint16_t fixed_point_a = 24074;
constexpr uint16_t fixed_point_b = 33436;

// The zoom grows for 562 frames from the start, shrinks for 912 and grows again; the slab turns
// by pi every 256 frames: 99 edge-on, 227 face-on, 562..564 the largest zoom, 1474..1476 the
// smallest. Key frames are for the screens whose frames cost seconds each; the sanitizers, which
// look for bad memory use, take the first frame and the largest and smallest zoom.
#if MORVANE_SWEEP_FULL
constexpr int cycle_frames[] = {1,   2,   99,  227,  355,  483,  561,  562,  563,  564,  611,  739,  867, 995,
                                1123, 1251, 1379, 1473, 1474, 1475, 1476, 1507, 1635, 1763, 1824, 1825, 1826};
constexpr int key_frames[] = {1, 563, 1474};
#else
constexpr int cycle_frames[] = {1, 99, 227, 562, 563, 1123, 1474, 1475, 1824};
constexpr int key_frames[] = {1, 483, 563, 611, 1123, 1474};
#endif

struct SweepCase {
    int width, height;
    bool key_only;
    uint16_t seed;
};

std::vector<SweepCase> sweep_cases()
{
    const SweepCase screens[] = {
        {12, 12, false, 0},     {13, 13, false, 0},    {64, 48, false, 0},     {1365, 768, false, 0},
        {1081, 1921, false, 0},  // odd portrait: rays reach left of column 0 and past the last one
        {3840, 600, false, 0},  {600, 3840, false, 0}, {12, 32768, false, 0},  {600, 32768, true, 0},
#if MORVANE_SWEEP_FULL
        {14, 16, false, 0},     {40, 30, false, 0},    {640, 480, false, 0},   {1000, 1000, false, 0},
        {1366, 768, false, 0},  {1920, 1080, false, 0}, {1080, 1920, false, 0}, {32768, 12, false, 0},
        {32768, 600, true, 0},  {2560, 1440, false, 0}, {3840, 2160, true, 0},  {2160, 3840, true, 0},
        {7680, 4320, true, 0},  {4320, 7680, true, 0},
#endif
    };
    std::vector<SweepCase> cases;
    for (SweepCase c : screens) {
#if defined(__SANITIZE_THREAD__)
        // Races need the two workers and the driver, not more pixels: the largest screens would
        // only add minutes.
        if (c.key_only) continue;
#endif
        c.seed = fixed_point_a;
        cases.push_back(c);
        // The seed moves only the rays, which cost little; over a megapixel the slab's shading is
        // what a frame costs, so the larger screens run one seed.
        const bool more_seeds = MORVANE_SWEEP_FULL && !c.key_only && int64_t{c.width} * c.height <= 1100000;
        if (more_seeds) cases.push_back({c.width, c.height, false, 1});
        if (more_seeds) cases.push_back({c.width, c.height, false, fixed_point_b});
    }
    // Seeds the screens above would otherwise miss.
    for (const SweepCase c :
         {SweepCase{1081, 1921, false, fixed_point_b}, {640, 480, false, 1}, {1920, 1080, false, 777}}) {
        const auto same = [c](const SweepCase& d) {
            return d.width == c.width && d.height == c.height && d.seed == c.seed;
        };
        if (std::ranges::none_of(cases, same)) cases.push_back(c);
    }
    return cases;
}

bool scalar_redraw([[maybe_unused]] const SweepCase& c, [[maybe_unused]] int frame)
{
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return !MORVANE_SWEEP_FULL || (!c.key_only && std::ranges::find(key_frames, frame) != std::end(key_frames));
#endif
}

// Pixels a set of screen points can reach: corners and ray ends round to the nearest pixel
// (clamped to 16 bits), and spans and ray rows stay between them; two pixels more cover it.
struct Box {
    int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
    bool contains(int64_t x, int64_t y) const { return x >= left && x <= right && y >= top && y <= bottom; }
    void take(const Vec3* points, int count)
    {
        for (int i = 0; i < count; ++i) {
            if (!std::isfinite(points[i].x) || !std::isfinite(points[i].y)) continue;
            const auto x = static_cast<int64_t>(std::clamp(points[i].x, -1.0e9f, 1.0e9f));
            const auto y = static_cast<int64_t>(std::clamp(points[i].y, -1.0e9f, 1.0e9f));
            left = std::min(left, std::clamp<int64_t>(x - 2, -32768, 32767));
            right = std::max(right, std::clamp<int64_t>(x + 2, -32768, 32767));
            top = std::min(top, std::clamp<int64_t>(y - 2, -32768, 32767));
            bottom = std::max(bottom, std::clamp<int64_t>(y + 2, -32768, 32767));
        }
    }
};

// Returns the first pixel (as "x,y: what") that breaks the frame's invariants, or "".
std::string stray_pixel(int64_t& slab_pixels)
{
    Box slab, any;
    slab.take(scene.screen_vertices, scene.vertex_count);
    any = slab;
    any.take(scene.screen_ray_points, scene.ray_end_count + 2);
    float z_low = std::numeric_limits<float>::max(), z_high = std::numeric_limits<float>::lowest();
    for (int i = 0; i < scene.vertex_count; ++i) {
        z_low = std::min(z_low, scene.screen_vertices[i].z);
        z_high = std::max(z_high, scene.screen_vertices[i].z);
    }
    const float z_margin = (z_high - z_low) * 0.01f + 1.0f;  // interpolation by repeated addition
    const int64_t width = scene.frame_width, height = scene.frame_height;
    for (int64_t y = 0; y < height; ++y) {
        for (int64_t x = 0; x < width; ++x) {
            const float depth = scene.depth_buffer[y * width + x];
            const Pixel colour = scene.colour_buffer[y * width + x];
            const auto at = [x, y] { return std::to_string(x) + "," + std::to_string(y); };
            if (std::bit_cast<uint32_t>(depth) != std::bit_cast<uint32_t>(depth_clear)) {
                ++slab_pixels;
                if (!slab.contains(x, y)) return at() + ": depth where no triangle reaches";
                if (!(depth >= z_low - z_margin && depth <= z_high + z_margin)) return at() + ": depth out of range";
            }
            if (colour != 0 && !any.contains(x, y)) return at() + ": colour where neither slab nor ray reaches";
            if (colour >> 24 != 0) return at() + ": fourth byte set";
        }
    }
    return "";
}

void bands_on_one_thread(void (*entry)(int)) { entry(0), entry(1); }
const PlatformServices one_thread = {platform::allocate_frame_buffer, platform::free_frame_buffer,
                                     bands_on_one_thread};

class ScreenSweep : public test::PreparedScene, public ::testing::WithParamInterface<SweepCase> {
protected:
    ScreenSweep() : PreparedScene(platform::renderer_services()) {}
};

TEST_P(ScreenSweep, FastestFramesAreTheScalarFramesAndStayInsideTheSlabAndRays)
{
    const SweepCase& c = GetParam();
    ASSERT_TRUE(start(c.width, c.height, c.seed));
    int frames_drawn = 0;
    int64_t slab_pixels = 0;
    const std::vector<int> frames = c.key_only ? std::vector<int>(std::begin(key_frames), std::end(key_frames))
                                               : std::vector<int>(std::begin(cycle_frames), std::end(cycle_frames));
    for (const int frame : frames) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        skip_frames(frame - 1 - frames_drawn);
        const float zoom_scale = scene.zoom_scale;  // the animation state the frame starts from
        const uint16_t zoom_counter = scene.zoom_counter;
        const uint8_t zoom_shrinking = scene.zoom_shrinking;
        scene.code_path = SceneBlock::CodePath::fastest;
        render_frame(platform::renderer_services());
        const std::vector<uint32_t> fastest = test::frame_cells();
        const std::string stray = stray_pixel(slab_pixels);
        ASSERT_EQ(stray, "");

        if (!scalar_redraw(c, frame)) {
            advance_frame_counter();
            frames_drawn = frame;
            continue;
        }
        scene.zoom_scale = zoom_scale;
        scene.zoom_counter = zoom_counter;
        scene.zoom_shrinking = zoom_shrinking;
        scene.code_path = SceneBlock::CodePath::scalar;
        render_frame(one_thread);
        ASSERT_TRUE(test::same_bytes(fastest, test::frame_cells())) << "fastest paths and scalar twins differ";
        advance_frame_counter();
        frames_drawn = frame;
    }
    // Enough shaded pixels for a fault that changes one in a few million to show.
    if (std::min(c.width, c.height) >= 700) {
        EXPECT_GT(slab_pixels, 1000000);
    }
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenSweep, ::testing::ValuesIn(sweep_cases()),
                         [](const ::testing::TestParamInfo<SweepCase>& test) {
                             return std::to_string(test.param.width) + "x" + std::to_string(test.param.height) +
                                    "Seed" + std::to_string(test.param.seed);
                         });

// ---- The frame's animation state and its clear ----
// Skipping frames against drawing them: the golden frames and depths reach their frames by skipping.

TEST(FrameCounter, WrapsAfterTwoToTheThirtyOneFramesInsteadOfOverflowing)
{
    reset_scene();
    scene.frame_counter = std::numeric_limits<int32_t>::max();
    advance_frame_counter();
    EXPECT_EQ(scene.frame_counter, std::numeric_limits<int32_t>::min());
}

TEST(RotationTable, AngleIsFormedInDoublePrecisionFarIntoARun)
{
    reset_scene();
    build_rotation_table(123456789);  // a float product would miss the angle by many ulps
    const double a = 123456789.0 * double{scene.angle_step};
    EXPECT_EQ(scene.rotation_table[1], static_cast<float>(std::sin(a)));
    EXPECT_EQ(scene.rotation_table[2], -static_cast<float>(std::cos(a)));
}

TEST(FillDwords, WritesExactlyCountValuesAndNothingAround)
{
    // Counts either side of the 16-value blocks, and a frame's worth (streaming stores).
    constexpr int64_t guard = 16;
    for (int64_t start : {guard, guard + 1}) {
        for (int64_t count : {0, 1, 15, 16, 17, 33, 100, 1910 * 1070 + 20}) {
            std::vector<uint32_t> fast(start + count + guard, 0xDEADBEEFu), plain = fast, expected = fast;
            std::fill_n(expected.begin() + start, count, 0x476A6000u);
            fill_dwords(fast.data() + start, count, 0x476A6000u);
            fill_dwords_scalar(plain.data() + start, count, 0x476A6000u);
            EXPECT_TRUE(fast == expected && plain == expected) << "start " << start << ", count " << count;
        }
    }
}

} // namespace
