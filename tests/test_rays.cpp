// The ray overlay: which pixels a ray covers, the colour each gains, the depth test, clipping
// at the frame's edges, termination on wild input, and the SSE2 path against its scalar twin.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

#include "host/host.h"
#include "pipeline/pipeline.h"
#include "rays/ray_paths.h"
#include "rays/ray_walk.h"
#include "rays/rays.h"
#include "scene/numeric.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

constexpr Vec4 white = {{255.0f, 255.0f, 255.0f, 0.2f}};
constexpr Vec4 red = {{0.0f, 0.0f, 255.0f, 0.05f}};
constexpr Vec4 blue = {{255.0f, 32.0f, 32.0f, 0.05f}};

uint8_t channel(Pixel p, int i) { return static_cast<uint8_t>(p >> (8 * i)); }
Pixel bgrx(int b, int g, int r, int x = 0)
{
    return static_cast<Pixel>(b) | static_cast<Pixel>(g) << 8 | static_cast<Pixel>(r) << 16 |
           static_cast<Pixel>(x) << 24;
}

// A small frame of its own: colour 0, depth at the clear value, with guard cells before and
// after both buffers that no ray may touch.
struct Frame {
    static constexpr int guard = 4096;
    static constexpr Pixel guard_pixel = 0xA5A5A5A5u;
    int width, height;
    std::vector<Pixel> colour_store;
    std::vector<float> depth_store;

    Frame(int w, int h)
        : width(w), height(h), colour_store(static_cast<size_t>(w) * h + 2 * guard, guard_pixel),
          depth_store(static_cast<size_t>(w) * h + 2 * guard, -1.0e9f)
    {
        std::fill(colour_store.begin() + guard, colour_store.end() - guard, Pixel{0});
        std::fill(depth_store.begin() + guard, depth_store.end() - guard, depth_clear);
    }
    Pixel* colour() { return colour_store.data() + guard; }
    float* depth() { return depth_store.data() + guard; }
    Pixel& at(int x, int y) { return colour()[static_cast<size_t>(y) * width + x]; }
    float& depth_at(int x, int y) { return depth()[static_cast<size_t>(y) * width + x]; }
    RayTarget target() { return {colour(), depth(), width, height}; }

    // The (column, row) of every pixel that is no longer 0.
    std::set<std::pair<int, int>> changed()
    {
        std::set<std::pair<int, int>> out;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (at(x, y) != 0) out.insert({x, y});
        return out;
    }
    bool guards_intact() const
    {
        const auto colour_guard = [&](size_t i) { return colour_store[i] == guard_pixel; };
        const auto depth_guard = [&](size_t i) { return depth_store[i] == -1.0e9f; };
        const size_t size = colour_store.size();
        for (size_t i = 0; i < guard; ++i) {
            if (!colour_guard(i) || !colour_guard(size - 1 - i) || !depth_guard(i) || !depth_guard(size - 1 - i))
                return false;
        }
        return true;
    }
};

// Makes `frame` the scene's frame: its buffers, its size.
void attach(Frame& frame)
{
    scene.colour_buffer = frame.colour();
    scene.depth_buffer = frame.depth();
    scene.frame_width = static_cast<uint16_t>(frame.width);
    scene.frame_height = static_cast<uint16_t>(frame.height);
    scene.colour_buffer_size = frame.width * frame.height * 4;
}

RayEnd end_at(int column, int row, const Vec4& colour, float depth = 0.0f) { return {column, row, depth, colour}; }

using DrawLine = void (*)(const RayEnd&, const RayEnd&, const RayTarget&);

std::set<std::pair<int, int>> cells(std::initializer_list<std::pair<int, int>> list) { return {list}; }

// ---- The walk exactly as first described, as a reference: the column is the 16.16 position
// shifted as unsigned, the only bound is the index test against the buffer's byte size. It
// differs from the overlay only where a column leaves 0..width-1, which landscape frames with
// the built-in scene never produce.
Pixel reference_amount(const Vec4& c)
{
    Pixel out = 0;
    for (int i = 0; i < 4; ++i) {
        const float product = c[i] * c[3];
        int64_t whole = std::numeric_limits<int32_t>::min();  // the conversion's answer out of range
        if (product >= -2147483648.0f && product < 2147483648.0f) whole = static_cast<int64_t>(std::nearbyint(product));
        out |= static_cast<Pixel>(std::clamp<int64_t>(std::clamp<int64_t>(whole, -32768, 32767), 0, 255)) << (8 * i);
    }
    return out;
}

Pixel reference_add(Pixel p, Pixel a)
{
    Pixel out = 0;
    for (int i = 0; i < 4; ++i) out |= std::min(255u, Pixel{channel(p, i)} + channel(a, i)) << (8 * i);
    return out;
}

void reference_draw_ray_line(const RayEnd& p, const RayEnd& q, Pixel* colour_buffer, const float* depth_buffer,
                             int32_t width, int32_t colour_buffer_size)
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
        int32_t index = y * width + std::min(a, b);
        const int32_t count = a == b ? 1 : std::abs(a - b);
        for (int32_t i = 0; i < count; ++i, ++index) {
            if (index >= 0 && index * 4 < colour_buffer_size && depth < depth_buffer[index]) {
                colour_buffer[index] = reference_add(colour_buffer[index], reference_amount(colour));
            }
            depth += depth_step;
            for (int l = 0; l < 4; ++l) colour[l] += colour_step[l];
        }
    }
}

class RayPath : public ::testing::TestWithParam<DrawLine> {
protected:
    void draw(Frame& frame, const RayEnd& anchor, const RayEnd& far_end) { GetParam()(anchor, far_end, frame.target()); }
};

INSTANTIATE_TEST_SUITE_P(BothPaths, RayPath, ::testing::Values(&draw_ray_line, &draw_ray_line_scalar),
                         [](const ::testing::TestParamInfo<DrawLine>& path) {
                             return path.param == &draw_ray_line_scalar ? std::string("scalar") : std::string("fast");
                         });

} // namespace

// ---- Which pixels a ray covers ----

TEST_P(RayPath, SteepRayDownwardCoversOnePixelPerRow)
{
    Frame frame(32, 32);
    draw(frame, end_at(5, 5, white), end_at(10, 20, white));
    const int columns[] = {5, 5, 6, 6, 6, 7, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10};
    std::set<std::pair<int, int>> expected;
    for (int i = 0; i < 16; ++i) expected.insert({columns[i], 5 + i});
    EXPECT_EQ(frame.changed(), expected);
}

TEST_P(RayPath, SteepRayUpwardIsWalkedFromItsUpperEnd)
{
    Frame frame(32, 32);
    draw(frame, end_at(5, 20, white), end_at(10, 5, white));
    const int columns[] = {10, 9, 9, 9, 8, 8, 8, 7, 7, 7, 7, 6, 6, 6, 5, 5};
    std::set<std::pair<int, int>> expected;
    for (int i = 0; i < 16; ++i) expected.insert({columns[i], 5 + i});
    EXPECT_EQ(frame.changed(), expected);
}

TEST_P(RayPath, DiagonalRayLeavesItsEndPixel)
{
    Frame frame(16, 16);
    draw(frame, end_at(5, 5, white), end_at(8, 8, white));
    EXPECT_EQ(frame.changed(), cells({{5, 5}, {6, 6}, {6, 7}, {7, 8}}));
}

TEST_P(RayPath, FlatRayCoversARunPerRow)
{
    Frame frame(32, 16);
    draw(frame, end_at(5, 5, white), end_at(20, 8, white));
    std::set<std::pair<int, int>> expected;
    for (int x = 5; x <= 8; ++x) expected.insert({x, 5});
    for (int x = 9; x <= 11; ++x) expected.insert({x, 6});
    for (int x = 12; x <= 15; ++x) expected.insert({x, 7});
    for (int x = 16; x <= 19; ++x) expected.insert({x, 8});
    EXPECT_EQ(frame.changed(), expected);
}

TEST_P(RayPath, LeftwardFlatRayVisitsEachRowLeftToRight)
{
    Frame frame(32, 16);
    draw(frame, end_at(20, 5, white), end_at(5, 8, red));
    // Visiting order: rows top to bottom, each row left to right.
    std::vector<std::pair<int, int>> order;
    for (int x = 16; x <= 19; ++x) order.push_back({x, 5});
    for (int x = 12; x <= 15; ++x) order.push_back({x, 6});
    for (int x = 9; x <= 11; ++x) order.push_back({x, 7});
    for (int x = 5; x <= 8; ++x) order.push_back({x, 8});
    const std::set<std::pair<int, int>> covered(order.begin(), order.end());
    EXPECT_EQ(frame.changed(), covered);
    EXPECT_EQ(frame.at(20, 5), 0u) << "the anchor pixel is not covered";
    EXPECT_EQ(frame.at(16, 5), bgrx(51, 51, 51)) << "the first visited pixel has the anchor's colour";
    // Blue fades from 51 toward 0 with every visited pixel, so it falls strictly along the order.
    for (size_t i = 1; i < order.size(); ++i) {
        EXPECT_LT(channel(frame.at(order[i].first, order[i].second), 0),
                  channel(frame.at(order[i - 1].first, order[i - 1].second), 0))
            << "pixel " << i;
    }
}

TEST_P(RayPath, LevelRayCoversMinToMaxLessOneWhiteOnTheLeft)
{
    for (const bool anchor_left : {true, false}) {
        Frame frame(32, 16);
        const RayEnd left = end_at(4, 7, white);
        const RayEnd right = end_at(12, 7, white);
        RayEnd far_end = anchor_left ? right : left;
        far_end.colour = red;
        draw(frame, anchor_left ? left : right, far_end);
        std::set<std::pair<int, int>> expected;
        for (int x = 4; x <= 11; ++x) expected.insert({x, 7});
        EXPECT_EQ(frame.changed(), expected) << "anchor left " << anchor_left;
        EXPECT_EQ(frame.at(4, 7), bgrx(51, 51, 51)) << "anchor left " << anchor_left;
    }
}

TEST_P(RayPath, VerticalRayCoversBothEnds)
{
    for (const bool downward : {true, false}) {
        Frame frame(16, 16);
        const RayEnd top = end_at(7, 3, white);
        const RayEnd bottom = end_at(7, 9, white);
        draw(frame, downward ? top : bottom, downward ? bottom : top);
        std::set<std::pair<int, int>> expected;
        for (int y = 3; y <= 9; ++y) expected.insert({7, y});
        EXPECT_EQ(frame.changed(), expected);
    }
}

TEST_P(RayPath, RayWithinOnePixelDrawsItAloneWithTheAnchorColour)
{
    Frame frame(16, 16);
    draw(frame, end_at(6, 6, white, 3.0f), end_at(6, 6, blue, -2.0f));
    EXPECT_EQ(frame.changed(), cells({{6, 6}}));
    EXPECT_EQ(frame.at(6, 6), bgrx(51, 51, 51));
}

// ---- The colour a pixel gains ----

TEST_P(RayPath, EachRayColourAddsItsDocumentedAmount)
{
    Frame frame(16, 16);
    draw(frame, end_at(1, 1, white), end_at(1, 1, white));
    draw(frame, end_at(2, 2, red), end_at(2, 2, red));
    draw(frame, end_at(3, 3, blue), end_at(3, 3, blue));
    EXPECT_EQ(frame.at(1, 1), bgrx(51, 51, 51));  // 255 x 0.2
    EXPECT_EQ(frame.at(2, 2), bgrx(0, 0, 13));    // 255 x 0.05 = 12.75
    EXPECT_EQ(frame.at(3, 3), bgrx(13, 2, 2));    // 32 x 0.05 = 1.6
}

TEST_P(RayPath, GradientRunsFromAnchorWhiteToTheFarColour)
{
    Frame frame(32, 32);
    draw(frame, end_at(5, 5, white), end_at(10, 20, red));
    EXPECT_EQ(frame.at(5, 5), bgrx(51, 51, 51));
    EXPECT_EQ(frame.at(10, 20), bgrx(0, 0, 13));
    Frame upward(32, 32);
    draw(upward, end_at(5, 20, white), end_at(10, 5, red));
    EXPECT_EQ(upward.at(10, 5), bgrx(0, 0, 13)) << "the walk starts at the far end";
    EXPECT_EQ(upward.at(5, 20), bgrx(51, 51, 51));
}

TEST_P(RayPath, ChannelsSaturateAt255AndTheFourthByteStays)
{
    Frame frame(8, 8);
    frame.at(2, 2) = bgrx(250, 204, 255, 7);
    draw(frame, end_at(2, 2, white), end_at(2, 2, white));
    EXPECT_EQ(frame.at(2, 2), bgrx(255, 255, 255, 7));
    // Amounts beyond 255 or below 0 are clamped before they are added.
    const Vec4 bright = {{2000.0f, -40.0f, 100000.0f, 1.0f}};
    frame.at(3, 3) = bgrx(1, 100, 2, 0);
    draw(frame, end_at(3, 3, bright), end_at(3, 3, bright));
    EXPECT_EQ(frame.at(3, 3), bgrx(255, 100, 255, 1));
}

TEST_P(RayPath, HalfwayAmountsRoundToEven)
{
    Frame frame(8, 8);
    const Vec4 halves = {{2.5f, 3.5f, 0.5f, 1.0f}};  // x 1.0 gives 2.5, 3.5, 0.5; weight 1 x 1 = 1
    draw(frame, end_at(1, 1, halves), end_at(1, 1, halves));
    EXPECT_EQ(frame.at(1, 1), bgrx(2, 4, 0, 1));
}

// ---- The depth test ----

TEST_P(RayPath, OnlyStrictlyNearerPixelsAreDrawnAndDepthIsNeverWritten)
{
    Frame frame(16, 16);
    for (int y = 0; y < 16; ++y) frame.depth_at(7, y) = 5.0f;  // level with the ray
    frame.depth_at(7, 4) = 4.0f;                                 // nearer than the ray
    frame.depth_at(7, 5) = std::numeric_limits<float>::quiet_NaN();
    frame.depth_at(7, 6) = 5.0001f;                              // just farther
    const std::vector<float> before = frame.depth_store;
    draw(frame, end_at(7, 2, white, 5.0f), end_at(7, 9, white, 5.0f));
    EXPECT_EQ(frame.changed(), cells({{7, 6}}));
    Frame clear(16, 16);
    draw(clear, end_at(7, 2, white, 5.0f), end_at(7, 9, white, 5.0f));
    EXPECT_EQ(clear.changed().size(), 8u) << "60000.0 is farther than any ray";
    EXPECT_EQ(std::memcmp(before.data(), frame.depth_store.data(), before.size() * sizeof(float)), 0);
}

TEST_P(RayPath, RaysWithAnEndDepthThatIsNotFiniteAreSkipped)
{
    Frame frame(16, 16);
    draw(frame, end_at(2, 2, white, 0.0f), end_at(9, 9, white, std::numeric_limits<float>::quiet_NaN()));
    draw(frame, end_at(2, 9, white, std::numeric_limits<float>::infinity()), end_at(9, 2, white, 0.0f));
    EXPECT_TRUE(frame.changed().empty());
}

// ---- Clipping at the frame's edges ----

// A ray drawn into a narrow frame shows exactly the part of the same ray, moved by (dx, dy),
// that a larger frame shows in the corresponding window: clipping neither wraps nor restarts
// the gradient.
void expect_window_of_larger_frame(DrawLine draw_line, int w, int h, RayEnd a, RayEnd b, int dx, int dy)
{
    Frame small(w, h);
    draw_line(a, b, small.target());
    Frame large(w + 2 * dx + 40, h + 2 * dy + 40);
    RayEnd a2 = a, b2 = b;
    a2.column += dx, b2.column += dx, a2.row += dy, b2.row += dy;
    draw_line(a2, b2, large.target());
    int drawn = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            ASSERT_EQ(small.at(x, y), large.at(x + dx, y + dy)) << "at " << x << ", " << y;
            drawn += small.at(x, y) != 0;
        }
    }
    EXPECT_GT(drawn, 0) << "the window shows part of the ray";
    EXPECT_TRUE(small.guards_intact());
}

TEST_P(RayPath, ColumnsBeyondTheRightEdgeDoNotWrapToTheNextRow)
{
    Frame frame(20, 10);
    draw(frame, end_at(15, 2, white), end_at(60, 4, red));
    for (const auto& [x, y] : frame.changed()) EXPECT_EQ(y, 2) << "column " << x;
    expect_window_of_larger_frame(GetParam(), 20, 10, end_at(15, 2, white), end_at(60, 4, red), 0, 0);
    expect_window_of_larger_frame(GetParam(), 12, 30, end_at(3, 0, white), end_at(30, 25, blue), 0, 0);
}

TEST_P(RayPath, ColumnsLeftOfZeroAreNegativeAndSkipped)
{
    Frame frame(20, 10);
    draw(frame, end_at(6, 2, white), end_at(-40, 5, red));
    for (const auto& [x, y] : frame.changed()) EXPECT_EQ(y, 2) << "column " << x;
    EXPECT_TRUE(frame.guards_intact());
    expect_window_of_larger_frame(GetParam(), 20, 10, end_at(6, 2, white), end_at(-40, 5, red), 48, 0);
    expect_window_of_larger_frame(GetParam(), 20, 10, end_at(-7, 1, white), end_at(25, 8, red), 8, 0);
    expect_window_of_larger_frame(GetParam(), 20, 10, end_at(-3, 0, white), end_at(2, 9, red), 8, 0);
}

TEST_P(RayPath, RowsOutsideTheFrameAdvanceTheWalkWithoutDrawing)
{
    expect_window_of_larger_frame(GetParam(), 16, 10, end_at(4, -20, white), end_at(9, 30, red), 0, 24);
    expect_window_of_larger_frame(GetParam(), 16, 10, end_at(40, -5, white), end_at(-30, 14, blue), 36, 8);
}

TEST(RayClipping, PortraitFrameDiffersFromTheUnclippedWalkOnlyByTheWrap)
{
    // The walk as first described carries column 20 of row 2 over to column 0 of row 3.
    Frame literal(20, 10);
    reference_draw_ray_line(end_at(15, 2, white), end_at(30, 2, white), literal.colour(), literal.depth(), 20,
                            20 * 10 * 4);
    EXPECT_NE(literal.at(0, 3), 0u);
    Frame clipped(20, 10);
    draw_ray_line(end_at(15, 2, white), end_at(30, 2, white), clipped.target());
    EXPECT_EQ(clipped.at(0, 3), 0u);
    for (int x = 15; x < 20; ++x) EXPECT_EQ(clipped.at(x, 2), literal.at(x, 2));
}

// ---- Wild input: the walk stays bounded and touches nothing outside the buffers ----

TEST_P(RayPath, EndsBeyondTheCoordinateLimitAreNotDrawn)
{
    constexpr int32_t limit = ray_walk::coordinate_limit;
    const int32_t wild[] = {limit, -limit, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    Frame frame(16, 16);
    for (const int32_t v : wild) {
        draw(frame, end_at(5, 5, white), end_at(5, v, white));
        draw(frame, end_at(5, 5, white), end_at(v, 5, white));
        draw(frame, end_at(v, v, white), end_at(5, 5, white));
    }
    EXPECT_TRUE(frame.changed().empty());
    EXPECT_TRUE(frame.guards_intact());
}

TEST_P(RayPath, EndsJustInsideTheLimitAreDrawnAndStopAtTheLastRow)
{
    constexpr int32_t far = ray_walk::coordinate_limit - 1;
    Frame frame(16, 16);
    draw(frame, end_at(5, 10, white), end_at(5, far, white));
    std::set<std::pair<int, int>> expected;
    for (int y = 10; y < 16; ++y) expected.insert({5, y});
    EXPECT_EQ(frame.changed(), expected);
    Frame corner(16, 16);
    draw(corner, end_at(-far, -far, white), end_at(far, far, white));
    draw(corner, end_at(far, 15 - far, white), end_at(15 - far, far, white));
    // Both diagonals, drifting by at most a pixel from the truncated column step.
    EXPECT_GE(corner.changed().size(), 30u);
    for (const auto& [x, y] : corner.changed()) EXPECT_TRUE(std::abs(x - y) <= 1 || std::abs(x + y - 15) <= 1) << x << ", " << y;
    EXPECT_TRUE(corner.guards_intact());
}

TEST(RayTermination, ScreenPointsThatAreNotFiniteOrFarAwayAreSkipped)
{
    reset_scene();
    Frame frame(64, 48);
    attach(frame);
    for (int k = 0; k < 1598; ++k) scene.ray_lines[k] = {static_cast<uint16_t>(k < 798 ? 0 : 1), static_cast<uint16_t>(k + 2)};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Vec3 wild[] = {{nan, 5, 0}, {5, nan, 0}, {5, 5, nan}, {inf, 5, 0}, {5, -inf, 0}, {5, 5, inf},
                         {3e9f, 5, 0}, {5, 3e9f, 0}, {-1e30f, -1e30f, 0}, {20000, 10, 0}};
    for (int i = 2; i < ray_point_count; ++i) scene.screen_ray_points[i] = wild[i % std::size(wild)];
    scene.screen_ray_points[0] = {10, 10, 0};
    scene.screen_ray_points[1] = {nan, nan, nan};
    draw_rays();
    // Only rays 1598 and 1599 remain: both are the single pixel at anchor 0.
    EXPECT_EQ(frame.changed(), cells({{10, 10}}));
    EXPECT_EQ(frame.at(10, 10), bgrx(102, 102, 102));
    EXPECT_TRUE(frame.guards_intact());
    reset_scene();
}

#if defined(__unix__) && (defined(__x86_64__) || defined(__aarch64__))
// A frame of 65535 x 16384 pixels: 4 GiB per buffer, so byte offsets pass 2^32. Only the
// touched pages are ever backed.
TEST(RayClipping, PixelOffsetsInHugeFramesDoNotOverflow)
{
    constexpr int32_t width = 65535;
    constexpr int32_t height = 16384;
    const size_t cells_count = static_cast<size_t>(width) * height;
    void* colour = mmap(nullptr, cells_count * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* depth = mmap(nullptr, cells_count * 4, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (colour == MAP_FAILED || depth == MAP_FAILED) GTEST_SKIP() << "no room for the address space";
    auto* pixels = static_cast<Pixel*>(colour);
    auto* depths = static_cast<float*>(depth);
    const RayTarget target{pixels, depths, width, height};
    for (const DrawLine draw_line : {&draw_ray_line, &draw_ray_line_scalar}) {
        // Zero-filled depth: a ray at depth -1 is nearer everywhere.
        draw_line(end_at(16380, 16380, white, -1.0f), end_at(16383, 16383, white, -1.0f), target);
    }
    const size_t last = static_cast<size_t>(16383) * width + 16382;
    EXPECT_EQ(pixels[last], bgrx(102, 102, 102));
    EXPECT_EQ(pixels[last - width - 1], bgrx(102, 102, 102));
    EXPECT_EQ(pixels[last + 1], 0u) << "the end pixel is not covered";
    EXPECT_EQ(ray_walk::pixel_index(16383, 16382, width), static_cast<ptrdiff_t>(last));
    munmap(colour, cells_count * 4);
    munmap(depth, cells_count * 4);
}
#endif

// ---- The fast paths against the scalar twin ----

namespace {

// The fast paths draw a batch at once: steep rays inside the frame eight side by side (with
// AVX-512 or AVX2, where the processor runs them) or in pairs with SSE2, every other ray on
// its own.
enum class FastPath { avx512, avx2, pairs };

bool runs_here(FastPath path, const RayTarget& target)
{
    if (path == FastPath::pairs) return true;
    return wide_path_runs(target) && (path == FastPath::avx2 || widest_wide_isa() == WideIsa::avx512);
}

void draw_batch(FastPath path, const std::vector<RayEnd>& anchors, const std::vector<RayEnd>& far_ends,
                const RayTarget& target)
{
    static SteepSet steep;  // too big for a test's stack frame under the sanitizers
    steep.isa = path == FastPath::avx512 ? WideIsa::avx512 : WideIsa::avx2;
    const int count = static_cast<int>(anchors.size());
    draw_ray_batch(anchors.data(), far_ends.data(), count, target, path == FastPath::pairs ? nullptr : &steep);
    if (path != FastPath::pairs) draw_steep_set(steep, target);
}

// A batch of rays: ends drawn from boxes given as fractions of the frame (beyond 0 .. 1 lies
// outside it). Rays start at one of `anchors` shared points, like the scene's fans, so they
// meet on the same pixels row after row; with no anchors both ends are free.
struct BatchCase {
    const char* name;
    int width, height, rays;
    std::vector<std::pair<float, float>> anchors;
    float x0, x1, y0, y1;  // far ends (and free anchors)
    bool wild_colours;     // weights beyond 0.7 and channels beyond 0 .. 255
};

const BatchCase batch_cases[] = {
    {"FreeRaysOfEveryKind", 90, 70, 400, {}, -1.0f, 2.0f, -1.0f, 2.0f, true},
    {"FreeRaysInATinyFrame", 3, 2, 200, {}, -2.0f, 3.0f, -2.0f, 3.0f, true},
    {"DenseFanLongerThanTheFrame", 160, 120, 203, {{0.5f, 0.05f}}, 0.35f, 0.65f, 0.6f, 1.3f, false},
    {"TwoFansWithWildColours", 200, 150, 301, {{0.3f, 0.1f}, {0.7f, 0.1f}}, -0.2f, 1.2f, 0.3f, 1.2f, true},
    {"FanAtTheRightEdge", 120, 100, 77, {{0.99f, 0.02f}}, 0.85f, 1.0f, 0.5f, 1.0f, false},
    {"FanAtTheLeftEdge", 120, 100, 77, {{0.0f, 0.0f}}, 0.0f, 0.2f, 0.4f, 1.0f, false},
    {"FanInAFrameNarrowerThanAWindow", 6, 60, 50, {{0.5f, 0.0f}}, 0.0f, 1.0f, 0.5f, 1.5f, false},
    {"MoreFanRaysThanOneSetHolds", 300, 80, SteepSet::capacity + 111, {{0.4f, 0.1f}, {0.45f, 0.1f}}, 0.0f, 1.0f,
     0.5f, 1.0f, false},
};

std::string path_name(FastPath path)
{
    return path == FastPath::avx512 ? "Avx512" : path == FastPath::avx2 ? "Avx2" : "Pairs";
}

class RayBatch : public ::testing::TestWithParam<std::tuple<BatchCase, FastPath>> {};

INSTANTIATE_TEST_SUITE_P(
    FastPaths, RayBatch,
    ::testing::Combine(::testing::ValuesIn(batch_cases), ::testing::Values(FastPath::avx512, FastPath::avx2, FastPath::pairs)),
    [](const ::testing::TestParamInfo<std::tuple<BatchCase, FastPath>>& test) {
        return std::string(std::get<0>(test.param).name) + path_name(std::get<1>(test.param));
    });

} // namespace

TEST_P(RayBatch, GivesTheScalarBytesRayByRay)
{
    // Named apart rather than as a structured binding: the lambdas below capture c, which
    // clang before version 16 refuses for a binding.
    const BatchCase& c = std::get<0>(GetParam());
    const FastPath path = std::get<1>(GetParam());
    if (!runs_here(path, {nullptr, nullptr, c.width, c.height})) GTEST_SKIP() << "this processor lacks that path";
    std::mt19937 random(20261207);
    const auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
    const auto real = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(random); };
    const Vec4 scene_colours[] = {white, red, blue};
    const Vec4 wild_colours[] = {white, {{300.0f, -20.0f, 90.0f, 0.9f}}, {{-5.0f, 1000.0f, 12.0f, 1.5f}}};
    const Vec4* palette = c.wild_colours ? wild_colours : scene_colours;
    // Stored depths from a few levels that rays also take, so ties are common; some not a number.
    const float depth_levels[] = {-3.0f, 0.0f, 2.0f, 7.5f, depth_clear};
    Frame fast(c.width, c.height), scalar(c.width, c.height);
    for (int i = 0; i < c.width * c.height; ++i) {
        const float d = uniform(0, 19) == 0 ? std::numeric_limits<float>::quiet_NaN() : depth_levels[uniform(0, 4)];
        fast.depth()[i] = scalar.depth()[i] = d;
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
        switch (uniform(0, 9)) {
        case 0: b.row = a.row; break;        // level
        case 1: b.column = a.column; break;  // vertical
        case 2: b = a; break;                // one pixel
        default: break;
        }
        anchors.push_back(a);
        far_ends.push_back(b);
        draw_ray_line_scalar(a, b, scalar.target());
    }
    draw_batch(path, anchors, far_ends, fast.target());
    ASSERT_EQ(fast.colour_store, scalar.colour_store);
    EXPECT_FALSE(fast.changed().empty());
    EXPECT_TRUE(fast.guards_intact());
    EXPECT_EQ(std::memcmp(fast.depth_store.data(), scalar.depth_store.data(), fast.depth_store.size() * sizeof(float)), 0);
}

// ---- The whole overlay over the built-in scene ----

namespace {

// The scene as the program prepares it at start-up, with a frame of the given size whose
// buffers the caller owns.
void prepare_scene(uint16_t seed, Frame& frame)
{
    reset_scene();
    scene.random_state = seed;
    attach(frame);
    scene.screen_centre[0] = static_cast<uint16_t>(frame.width / 2);
    scene.screen_centre[1] = static_cast<uint16_t>(frame.height / 2);
    build_ray_field();
    scene.zoom_scale = static_cast<float>(frame.height / 4);
    normalize_model(scene.model_vertices, scene.vertex_count + scene.ray_end_count + 2);
}

// The ray points of one frame: turned about the vertical axis by frame_counter x angle_step,
// then scaled by `zoom` and centred.
void place_ray_points(int32_t frame_counter, float zoom)
{
    const double angle = frame_counter * static_cast<double>(scene.angle_step);
    const float c = static_cast<float>(std::cos(angle));
    const float s = static_cast<float>(std::sin(angle));
    const float cx = scene.screen_centre[0];
    const float cy = scene.screen_centre[1];
    for (int i = 0; i < ray_point_count; ++i) {
        const Vec3& p = scene.ray_points[i];
        const Vec3 turned = {s * p.x + c * p.z, p.y, c * p.x - s * p.z};
        scene.screen_ray_points[i] = {turned.x * zoom + cx, turned.y * zoom + cy, turned.z * zoom};
    }
}

void reference_draw_rays()
{
    for (int k = 0; k < ray_count; ++k) {
        const RayLine& line = scene.ray_lines[k];
        const Vec3& a = scene.screen_ray_points[line.anchor_index];
        const Vec3& e = scene.screen_ray_points[line.end_index];
        const bool red_ray = k > 400 && k <= 1200;
        reference_draw_ray_line({round_to_int32(a.x), round_to_int32(a.y), a.z, scene.ray_colour_white},
                                {round_to_int32(e.x), round_to_int32(e.y), e.z, red_ray ? red : blue},
                                scene.colour_buffer, scene.depth_buffer, scene.frame_width, scene.colour_buffer_size);
    }
}

} // namespace

TEST(RayScene, FarColourFollowsTheRayPosition)
{
    // Positions 400 and 1201 are blue, 401 and 1200 red. Each ray is drawn alone, upward from
    // its anchor, so its first visited pixel carries the far colour.
    const struct {
        int k;
        Pixel far_pixel;
    } cases[] = {{0, bgrx(13, 2, 2)},     {400, bgrx(13, 2, 2)},  {401, bgrx(0, 0, 13)}, {800, bgrx(0, 0, 13)},
                 {801, bgrx(0, 0, 13)},   {1200, bgrx(0, 0, 13)}, {1201, bgrx(13, 2, 2)}, {1597, bgrx(13, 2, 2)}};
    for (const auto& c : cases) {
        Frame frame(16, 16);
        reset_scene();
        attach(frame);
        build_ray_field();
        const float nan = std::numeric_limits<float>::quiet_NaN();
        for (int i = 0; i < ray_point_count; ++i) scene.screen_ray_points[i] = {nan, nan, nan};
        const int anchor = scene.ray_lines[c.k].anchor_index;
        scene.screen_ray_points[anchor] = {4.0f, 9.0f, 0.0f};
        scene.screen_ray_points[scene.ray_lines[c.k].end_index] = {4.0f, 2.0f, 0.0f};
        draw_rays();
        EXPECT_EQ(frame.at(4, 2), c.far_pixel) << "ray " << c.k;
        // Rays 1598 and 1599 add to anchor 0's pixel when anchor 0 is placed; the ray's own
        // anchor pixel is white.
        EXPECT_EQ(channel(frame.at(4, 9), 0), anchor == 0 ? 153 : 51) << "ray " << c.k;
    }
    reset_scene();
}

TEST(RayScene, LastTwoEntriesDrawOnePixelAtAnchorZero)
{
    Frame frame(32, 32);
    reset_scene();
    attach(frame);
    build_ray_field();
    EXPECT_EQ(scene.ray_lines[1598].anchor_index, 0);
    EXPECT_EQ(scene.ray_lines[1599].end_index, 0);
    // Every other ray ends far outside the frame and is skipped.
    for (int i = 1; i < ray_point_count; ++i) scene.screen_ray_points[i] = {1.0e6f, 1.0e6f, 0.0f};
    scene.screen_ray_points[0] = {12.5f, 7.5f, 1.0f};  // rounds to (12, 8): halves go to even
    draw_rays();
    EXPECT_EQ(frame.changed(), cells({{12, 8}}));
    EXPECT_EQ(frame.at(12, 8), bgrx(102, 102, 102));
    // Behind the slab: nothing.
    Frame hidden(32, 32);
    attach(hidden);
    hidden.depth_at(12, 8) = 1.0f;
    draw_rays();
    EXPECT_TRUE(hidden.changed().empty());
    reset_scene();
}

TEST(RayScene, LandscapeFramesMatchTheUnclippedWalkByteForByte)
{
    // Frames of several shapes, turns and zooms (up to the largest the breathing reaches, about
    // 2.6 x height / 4, where ends fall below the last row), over a depth buffer that holds a
    // mix of the clear value and nearer surfaces.
    struct Case {
        int w, h;
        int32_t frame_counter;
        float zoom_factor;
    };
    const Case cases[] = {{320, 180, 30, 1.0f},  {320, 180, 100, 2.6f}, {200, 180, 250, 2.6f},
                          {256, 192, 400, 0.55f}, {400, 200, 512, 1.7f}};
    std::mt19937 random(7);
    for (const Case& c : cases) {
        for (const auto code_path : {SceneBlock::CodePath::fastest, SceneBlock::CodePath::scalar}) {
            Frame overlay(c.w, c.h), reference(c.w, c.h);
            for (int i = 0; i < c.w * c.h; ++i) {
                const float d = (i / 7) % 3 == 0 ? depth_clear : std::uniform_real_distribution<float>(-40.0f, 40.0f)(random);
                overlay.depth()[i] = reference.depth()[i] = d;
            }
            prepare_scene(0x1234, overlay);
            scene.code_path = code_path;
            place_ray_points(c.frame_counter, scene.zoom_scale * c.zoom_factor);
            draw_rays();
            attach(reference);
            reference_draw_rays();
            ASSERT_EQ(overlay.colour_store, reference.colour_store) << c.w << " x " << c.h << " turn " << c.frame_counter;
            EXPECT_GT(overlay.changed().size(), static_cast<size_t>(c.w));
        }
    }
    reset_scene();
}

TEST(RayScene, RasterisedFramesGiveTheScalarBytes)
{
    // The program's own frames: the slab rasterised into the depth buffer, the rays over it,
    // on landscape and portrait screens and at several turns and zooms.
    const struct {
        int screen_width, screen_height;
        int64_t frame;
    } cases[] = {{1920, 1080, 1}, {1920, 1080, 150}, {1366, 768, 300}, {1366, 768, 700}, {720, 1280, 90}};
    for (const auto& c : cases) {
        host::release_frame_buffers();
        reset_scene();
        ASSERT_TRUE(host::set_frame_size(c.screen_width, c.screen_height, 1));
        ASSERT_TRUE(host::allocate_frame_buffers());
        host::prepare_scene();
        skip_frames(c.frame - 1);
        clear_frame();
        transform_frame();
        rasterise_frame();
        const size_t cells = size_t{scene.frame_width} * scene.frame_height;
        const std::vector<Pixel> slab(scene.colour_buffer, scene.colour_buffer + cells);
        std::vector<Pixel> drawn[2];
        for (const auto code_path : {SceneBlock::CodePath::fastest, SceneBlock::CodePath::scalar}) {
            std::copy(slab.begin(), slab.end(), scene.colour_buffer);
            scene.code_path = code_path;
            draw_rays();
            drawn[code_path == SceneBlock::CodePath::scalar].assign(scene.colour_buffer, scene.colour_buffer + cells);
        }
        EXPECT_TRUE(drawn[0] == drawn[1]) << c.screen_width << " x " << c.screen_height << ", frame " << c.frame;
        EXPECT_FALSE(drawn[0] == slab);
    }
    host::release_frame_buffers();
    reset_scene();
}
