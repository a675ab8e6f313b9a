// The ray overlay: the colour a pixel gains, the strict depth test, clipping at the frame's
// edges and wild ends, on the scalar walk; every fast form against the scalar walk; and the
// scalar walk against an independent reference walk over the scene's rays.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "rays/ray_paths.h"
#include "rays/rays.h"
#include "scene/numeric.h"
#include "tests/support.h"

using namespace morvane;

namespace {
constexpr Vec4 white = {{255.0f, 255.0f, 255.0f, 0.2f}};
constexpr Vec4 red = {{0.0f, 0.0f, 255.0f, 0.05f}};
constexpr Vec4 blue = {{255.0f, 32.0f, 32.0f, 0.05f}};
constexpr float qnan = std::numeric_limits<float>::quiet_NaN();

using Cells = std::set<std::pair<int, int>>;  // column, row

// A small frame of its own: colour 0, depth at the clear value, with guard cells before and
// after both buffers that no ray may touch (their depth is farther than any ray's).
struct Frame {
    static constexpr size_t guard = 4096;
    int width, height;
    std::vector<Pixel> colour_store;
    std::vector<float> depth_store;

    Frame(int w, int h)
        : width(w), height(h), colour_store(size_t(w) * h + 2 * guard, 0xA5A5A5A5u),
          depth_store(size_t(w) * h + 2 * guard, 1.0e9f)
    {
        std::fill(colour_store.begin() + guard, colour_store.end() - guard, Pixel{0});
        std::fill(depth_store.begin() + guard, depth_store.end() - guard, depth_clear);
    }
    Pixel* colour() { return colour_store.data() + guard; }
    float* depth() { return depth_store.data() + guard; }
    Pixel& at(int x, int y) { return colour()[size_t(y) * width + x]; }
    RayTarget target() { return {colour(), depth(), width, height}; }
    Cells changed()  // every pixel that is no longer 0
    {
        Cells out;
        for (int i = 0; i < width * height; ++i) {
            if (colour()[i] != 0) out.insert({i % width, i / width});
        }
        return out;
    }
    bool guards_intact() const
    {
        const auto is_guard = [](Pixel p) { return p == 0xA5A5A5A5u; };
        return std::all_of(colour_store.begin(), colour_store.begin() + guard, is_guard) &&
               std::all_of(colour_store.end() - guard, colour_store.end(), is_guard);
    }
};

RayEnd end_at(int column, int row, const Vec4& colour, float depth = 0.0f) { return {column, row, depth, colour}; }

// ---- The walk exactly as first described, as a reference: the column is the 16.16 position
// shifted as unsigned, the only bound is the index test against the buffer's byte size. It
// differs from the overlay only where a column leaves 0..width-1, which landscape frames with
// the built-in scene never produce. Each lane of an amount is the colour times the weight to
// nearest even (a product outside int32 gives the conversion's INT32_MIN), clamped to 0..255.
Pixel reference_add(Pixel p, const Vec4& c)
{
    Pixel out = 0;
    for (int i = 0; i < 4; ++i) {
        const float product = c[i] * c[3];
        const double whole = product >= -2147483648.0f && product < 2147483648.0f ? std::nearbyint(product) : -1.0;
        out |= std::min(255u, ((p >> (8 * i)) & 0xFFu) + static_cast<Pixel>(std::clamp(whole, 0.0, 255.0))) << (8 * i);
    }
    return out;
}

void reference_draw_ray_line(const RayEnd& p, const RayEnd& q, Frame& frame)
{
    const RayEnd& s = p.row > q.row ? q : p;
    const RayEnd& t = p.row > q.row ? p : q;
    const float d = std::max(std::fabs(static_cast<float>(t.column - s.column)),
                             std::fabs(static_cast<float>(t.row - s.row)));
    const float r = rcp_estimate(d);
    const float depth_step = (t.depth - s.depth) * r;
    Vec4 colour_step{};
    for (int i = 0; i < 4; ++i) colour_step[i] = (t.colour[i] - s.colour[i]) * r;
    float depth = s.depth;
    Vec4 colour = s.colour;
    const int32_t n = t.row - s.row + 1;
    int32_t x = s.column * 65536 + 0x7FFF;
    const int32_t step = ((t.column - s.column) * 65536) / n;
    for (int32_t y = s.row; y <= t.row; ++y) {
        const int32_t next = x + step;
        const int32_t a = static_cast<int32_t>(static_cast<uint32_t>(x) >> 16);
        const int32_t b = static_cast<int32_t>(static_cast<uint32_t>(next) >> 16);
        x = next;
        int32_t index = y * frame.width + std::min(a, b);
        const int32_t count = a == b ? 1 : std::abs(a - b);
        for (int32_t i = 0; i < count; ++i, ++index) {
            if (index >= 0 && index < frame.width * frame.height && depth < frame.depth()[index]) {
                frame.colour()[index] = reference_add(frame.colour()[index], colour);
            }
            depth += depth_step;
            for (int l = 0; l < 4; ++l) colour[l] += colour_step[l];
        }
    }
}

void draw(Frame& frame, const RayEnd& anchor, const RayEnd& far_end)
{
    draw_ray_line_scalar(anchor, far_end, frame.target());
}

} // namespace

// ---- One ray on the scalar walk, where neither the fast forms nor the reference reach ----

TEST(OneRay, OnlyStrictlyNearerPixelsAreDrawnAndDepthIsNeverWritten)
{
    // Rows 2..9 of column 7 level with the ray, but row 4 nearer, row 5 NaN and row 6 just farther.
    Frame frame(16, 16);
    for (int y = 0; y < 16; ++y) frame.depth()[y * 16 + 7] = y == 4 ? 4.0f : y == 5 ? qnan : y == 6 ? 5.0001f : 5.0f;
    const std::vector<float> before = frame.depth_store;
    draw(frame, end_at(7, 2, white, 5.0f), end_at(7, 9, white, 5.0f));
    EXPECT_EQ(frame.changed(), Cells({{7, 6}}));
    EXPECT_TRUE(test::same_bytes(before, frame.depth_store));
}

TEST(OneRay, RaysReachingTheCoordinateLimitOrWithoutFiniteDepthsAreNotDrawn)
{
    constexpr int32_t limit = 1 << 14;  // ends this far from (0, 0) are not drawn
    Frame frame(16, 16), corner(16, 16);
    for (const int32_t v : {limit, -limit, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
        draw(frame, end_at(5, 5, white), end_at(5, v, white));
        draw(frame, end_at(5, 5, white), end_at(v, 5, white));
        draw(frame, end_at(v, v, white), end_at(5, 5, white));
    }
    draw(frame, end_at(2, 2, white, 0.0f), end_at(9, 9, white, qnan));
    draw(frame, end_at(2, 9, white, std::numeric_limits<float>::infinity()), end_at(9, 2, white, 0.0f));
    EXPECT_TRUE(frame.changed().empty());
    // Ends just inside it are drawn, and stop at the last row.
    constexpr int32_t far = limit - 1;
    draw(frame, end_at(5, 10, white), end_at(5, far, white));
    EXPECT_EQ(frame.changed(), Cells({{5, 10}, {5, 11}, {5, 12}, {5, 13}, {5, 14}, {5, 15}}));
    draw(corner, end_at(-far, -far, white), end_at(far, far, white));
    draw(corner, end_at(far, 15 - far, white), end_at(15 - far, far, white));
    // Both diagonals, drifting by at most a pixel from the truncated column step.
    EXPECT_GE(corner.changed().size(), 30u);
    for (const auto& [x, y] : corner.changed()) EXPECT_TRUE(std::abs(x - y) <= 1 || std::abs(x + y - 15) <= 1) << x << ", " << y;
    EXPECT_TRUE(frame.guards_intact() && corner.guards_intact());
}

// ---- Every fast form against the scalar walk ----

namespace {

// A batch of rays: ends drawn from boxes given as fractions of the frame (beyond 0 .. 1 lies
// outside it). Rays start at one of `anchors` shared points, like the scene's fans, so they meet
// on the same pixels row after row; with no anchors both ends are free.
struct BatchCase {
    const char* name;
    int width, height, rays;
    std::vector<std::pair<float, float>> anchors;
    float x0, x1, y0, y1;  // far ends (and free anchors)
    bool wild_colours;     // weights beyond 0.7 and channels beyond 0 .. 255
};

const BatchCase batch_cases[] = {
    {"free rays of every kind", 90, 70, 400, {}, -1.0f, 2.0f, -1.0f, 2.0f, true},
    {"free rays in a tiny frame", 3, 2, 200, {}, -2.0f, 3.0f, -2.0f, 3.0f, true},
    {"dense fan longer than the frame", 160, 120, 203, {{0.5f, 0.05f}}, 0.35f, 0.65f, 0.6f, 1.3f, false},
    {"two fans with wild colours", 200, 150, 301, {{0.3f, 0.1f}, {0.7f, 0.1f}}, -0.2f, 1.2f, 0.3f, 1.2f, true},
    {"fan at the right edge", 120, 100, 77, {{0.99f, 0.02f}}, 0.85f, 1.0f, 0.5f, 1.0f, false},
    {"fan at the left edge", 120, 100, 77, {{0.0f, 0.0f}}, 0.0f, 0.2f, 0.4f, 1.0f, false},
    {"fan in a frame narrower than a window", 6, 60, 50, {{0.5f, 0.0f}}, 0.0f, 1.0f, 0.5f, 1.5f, false},
    {"more fan rays than one set holds", 300, 80, steep_set_capacity + 111, {{0.4f, 0.1f}, {0.45f, 0.1f}}, 0.0f, 1.0f,
     0.5f, 1.0f, false},
};

} // namespace

TEST(RayPaths, EveryFastFormGivesTheScalarBytesRayByRay)
{
    std::mt19937 random(20261207);
    const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    const auto real = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(random); };
    const Vec4 scene_colours[] = {white, red, blue};
    // Wild anchors gain amounts exactly halfway between two bytes, which round to even.
    const Vec4 wild_colours[] = {{{2.5f, 3.5f, 0.5f, 1.0f}}, {{300.0f, -20.0f, 90.0f, 0.9f}}, {{-5.0f, 1000.0f, 12.0f, 1.5f}}};
    // Stored depths from a few levels that rays also take, so ties are common; some not a number.
    const float depth_levels[] = {-3.0f, 0.0f, 2.0f, 7.5f, depth_clear};
    for (const RayPath& path : ray_paths().subspan(1)) {
        for (const BatchCase& c : batch_cases) {
            SCOPED_TRACE(std::string(path.name) + ": " + c.name);
            const Vec4* palette = c.wild_colours ? wild_colours : scene_colours;
            Frame fast(c.width, c.height), scalar(c.width, c.height);
            for (int i = 0; i < c.width * c.height; ++i) {
                fast.depth()[i] = scalar.depth()[i] = uniform(0, 19) == 0 ? qnan : depth_levels[uniform(0, 4)];
            }
            const auto column = [&](float f) { return static_cast<int>(std::lround(f * (c.width - 1))); };
            const auto row = [&](float f) { return static_cast<int>(std::lround(f * (c.height - 1))); };
            std::vector<RayEnd> anchors, far_ends;
            for (int ray = 0; ray < c.rays; ++ray) {
                const auto depth = [&] { return uniform(0, 3) == 0 ? real(-10.0f, 10.0f) : depth_levels[uniform(0, 3)]; };
                RayEnd b = end_at(column(real(c.x0, c.x1)), row(real(c.y0, c.y1)), palette[uniform(1, 2)], depth());
                RayEnd a = end_at(column(real(c.x0, c.x1)), row(real(c.y0, c.y1)), palette[0], depth());
                if (!c.anchors.empty()) {
                    const auto& [ax, ay] = c.anchors[static_cast<size_t>(ray) % c.anchors.size()];
                    a.column = column(ax), a.row = row(ay);
                }
                const int kind = uniform(0, 9);
                if (kind == 0) b.row = a.row;        // level
                if (kind == 1) b.column = a.column;  // vertical
                if (kind == 2) b = a;                // one pixel
                anchors.push_back(a);
                far_ends.push_back(b);
                draw_ray_line_scalar(a, b, scalar.target());
            }
            draw_ray_lines(anchors.data(), far_ends.data(), c.rays, fast.target(), path);
            ASSERT_TRUE(test::same_bytes(fast.colour_store, scalar.colour_store));
            EXPECT_TRUE(test::same_bytes(fast.depth_store, scalar.depth_store));
            EXPECT_FALSE(fast.changed().empty());
        }
    }
}

// ---- The scalar walk against the reference walk, over the scene's own rays ----

TEST(RayScene, LandscapeFramesMatchTheReferenceWalkByteForByte)
{
    // Frames of several shapes, turns and zooms (up to the largest the breathing reaches, where
    // ends fall below the last row), transformed by the program itself, over a depth buffer that
    // holds a mix of the clear value and nearer surfaces. The fast forms are held to the scalar walk above.
    const struct {
        int screen_width, screen_height, frame;
    } cases[] = {{330, 190, 1}, {330, 190, 70}, {210, 190, 220}, {266, 202, 370}, {410, 210, 562}, {330, 190, 482}};
    std::mt19937 random(7);
    for (const auto& c : cases) {
        reset_scene();
        ASSERT_TRUE(set_frame_size(c.screen_width, c.screen_height, 0x1234));
        prepare_scene();
        Frame overlay(scene.frame_width, scene.frame_height), reference(scene.frame_width, scene.frame_height);
        for (int i = 0; i < overlay.width * overlay.height; ++i) {
            overlay.depth()[i] = reference.depth()[i] =
                (i / 7) % 3 == 0 ? depth_clear : std::uniform_real_distribution<float>(-40.0f, 40.0f)(random);
        }
        scene.colour_buffer = overlay.colour();
        scene.depth_buffer = overlay.depth();
        scene.code_path = SceneBlock::CodePath::scalar;
        skip_frames(c.frame - 1);
        transform_frame();
        draw_rays();
        for (int k = 0; k < ray_count; ++k) {
            const Vec3& a = scene.screen_ray_points[scene.ray_lines[k].anchor_index];
            const Vec3& e = scene.screen_ray_points[scene.ray_lines[k].end_index];
            reference_draw_ray_line({round_to_int32(a.x), round_to_int32(a.y), a.z, white},
                                    {round_to_int32(e.x), round_to_int32(e.y), e.z, k > 400 && k <= 1200 ? red : blue},
                                    reference);
        }
        scene.colour_buffer = nullptr, scene.depth_buffer = nullptr;
        ASSERT_TRUE(test::same_bytes(overlay.colour_store, reference.colour_store))
            << c.screen_width << "x" << c.screen_height << ", frame " << c.frame;
        EXPECT_GT(overlay.changed().size(), static_cast<size_t>(overlay.width));
    }
    reset_scene();
}
