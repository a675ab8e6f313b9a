// The ray overlay: which pixels a ray covers, the colour each gains, the depth test, clipping
// at the frame's edges, termination on wild input, and the fast paths against their scalar twin.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

#include "host/platform.h"
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
constexpr float qnan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

uint8_t channel(Pixel p, int i) { return static_cast<uint8_t>(p >> (8 * i)); }
Pixel bgrx(int b, int g, int r, int x = 0)
{
    return static_cast<Pixel>(b) | static_cast<Pixel>(g) << 8 | static_cast<Pixel>(r) << 16 |
           static_cast<Pixel>(x) << 24;
}
const Pixel white_amount = bgrx(51, 51, 51);  // 255 x 0.2; the weight 0.2 x 0.2 rounds to 0
const Pixel red_amount = bgrx(0, 0, 13);      // 255 x 0.05 = 12.75

using Cell = std::pair<int, int>;  // column, row
using Cells = std::set<Cell>;

// A small frame of its own: colour 0, depth at the clear value, with guard cells before and
// after both buffers that no ray may touch.
struct Frame {
    static constexpr size_t guard = 4096;
    static constexpr Pixel guard_pixel = 0xA5A5A5A5u;
    static constexpr float guard_depth = 1.0e9f;  // farther than any ray: a stray visit shows in the colour
    int width, height;
    std::vector<Pixel> colour_store;
    std::vector<float> depth_store;

    Frame(int w, int h)
        : width(w), height(h), colour_store(static_cast<size_t>(w) * h + 2 * guard, guard_pixel),
          depth_store(static_cast<size_t>(w) * h + 2 * guard, guard_depth)
    {
        std::fill(colour_store.begin() + guard, colour_store.end() - guard, Pixel{0});
        std::fill(depth_store.begin() + guard, depth_store.end() - guard, depth_clear);
    }
    Pixel* colour() { return colour_store.data() + guard; }
    float* depth() { return depth_store.data() + guard; }
    Pixel& at(int x, int y) { return colour()[static_cast<size_t>(y) * width + x]; }
    float& depth_at(int x, int y) { return depth()[static_cast<size_t>(y) * width + x]; }
    RayTarget target() { return {colour(), depth(), width, height}; }

    Cells changed()  // every pixel that is no longer 0
    {
        Cells out;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (at(x, y) != 0) out.insert({x, y});
        return out;
    }
    bool guards_intact() const
    {
        const auto intact = [](const auto& store, auto value) {
            const auto is = [&](auto v) { return v == value; };
            return std::all_of(store.begin(), store.begin() + guard, is) &&
                   std::all_of(store.end() - guard, store.end(), is);
        };
        return intact(colour_store, guard_pixel) && intact(depth_store, guard_depth);
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

// The built-in ray field, drawn into `frame`.
void prepare_field(Frame& frame)
{
    reset_scene();
    attach(frame);
    build_ray_field();
}

RayEnd end_at(int column, int row, const Vec4& colour, float depth = 0.0f) { return {column, row, depth, colour}; }

using DrawLine = void (*)(const RayEnd&, const RayEnd&, const RayTarget&);

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
        out |= std::min(255u, channel(p, i) + static_cast<Pixel>(std::clamp(whole, 0.0, 255.0))) << (8 * i);
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

class OneRay : public ::testing::TestWithParam<DrawLine> {
protected:
    void draw(Frame& frame, const RayEnd& anchor, const RayEnd& far_end) { GetParam()(anchor, far_end, frame.target()); }
};

void draw_ray_line_fastest(const RayEnd& anchor, const RayEnd& far_end, const RayTarget& target)
{
    draw_ray_lines(&anchor, &far_end, 1, target, ray_path(SceneBlock::CodePath::fastest, target));
}

INSTANTIATE_TEST_SUITE_P(BothPaths, OneRay, ::testing::Values(&draw_ray_line_fastest, &draw_ray_line_scalar),
                         [](const ::testing::TestParamInfo<DrawLine>& path) {
                             return path.param == &draw_ray_line_scalar ? std::string("scalar") : std::string("fast");
                         });

} // namespace

// ---- Which pixels a ray covers, and the colour at both ends of its walk ----

TEST_P(OneRay, CoversItsRowsAndRunsFromTheAnchorColourToTheFarColour)
{
    // The walk runs down the rows from the upper end (a level ray from its anchor); each row
    // covers the columns from the lesser of its entering and leaving column, |a - b| of them, or
    // one when they are equal. Spans: one row each from first_row, "c" or "first-last".
    const Cell none = {-1, -1};
    const struct {
        const char* name;
        Cell anchor, far_end;
        int first_row;
        const char* spans;
        Cell white_at, red_at;  // pixels holding the anchor's, the far end's amount
    } cases[] = {
        {"steep downward", {5, 5}, {10, 20}, 5, "5 5 6 6 6 7 7 7 7 8 8 8 9 9 9 10", {5, 5}, {10, 20}},
        {"steep upward, from the far end", {5, 20}, {10, 5}, 5, "10 9 9 9 8 8 8 7 7 7 7 6 6 6 5 5", {5, 20}, {10, 5}},
        {"diagonal, leaving its end pixel", {5, 5}, {8, 8}, 5, "5 6 6 7", {5, 5}, none},
        {"flat", {5, 5}, {20, 8}, 5, "5-8 9-11 12-15 16-19", {5, 5}, none},
        {"flat leftward, anchor not covered", {20, 5}, {5, 8}, 5, "16-19 12-15 9-11 5-8", {16, 5}, none},
        {"level, anchor left", {4, 7}, {12, 7}, 7, "4-11", {4, 7}, none},
        {"level, anchor right: still white on the left", {12, 7}, {4, 7}, 7, "4-11", {4, 7}, none},
        {"vertical downward", {7, 3}, {7, 9}, 3, "7 7 7 7 7 7 7", {7, 3}, {7, 9}},
        {"vertical upward", {7, 9}, {7, 3}, 3, "7 7 7 7 7 7 7", {7, 9}, {7, 3}},
        {"one pixel, anchor colour", {6, 6}, {6, 6}, 6, "6", {6, 6}, none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Frame frame(32, 32);
        draw(frame, end_at(c.anchor.first, c.anchor.second, white, 3.0f),
             end_at(c.far_end.first, c.far_end.second, red, -2.0f));
        Cells expected;
        std::istringstream spans(c.spans);
        int first = 0, last = 0;
        for (int row = c.first_row; spans >> first; ++row) {
            last = first;
            if (spans.peek() == '-') spans.ignore() >> last;
            for (int x = first; x <= last; ++x) expected.insert({x, row});
        }
        EXPECT_EQ(frame.changed(), expected);
        EXPECT_EQ(frame.at(c.white_at.first, c.white_at.second), white_amount);
        if (c.red_at != none) {
            EXPECT_EQ(frame.at(c.red_at.first, c.red_at.second), red_amount);
        }
    }
}

// ---- The colour a pixel gains ----

TEST_P(OneRay, PixelGainsColourTimesWeightRoundedClampedAndSaturated)
{
    const struct {
        Vec4 colour;
        Pixel before, after;
    } cases[] = {
        {white, 0, white_amount},
        {red, 0, red_amount},
        {blue, 0, bgrx(13, 2, 2)},                                 // 32 x 0.05 = 1.6
        {{{2.5f, 3.5f, 0.5f, 1.0f}}, 0, bgrx(2, 4, 0, 1)},          // halfway amounts round to even
        {white, bgrx(250, 204, 255, 7), bgrx(255, 255, 255, 7)},  // sums saturate; the fourth byte stays
        // Amounts beyond 255 or below 0 are clamped before they are added.
        {{{2000.0f, -40.0f, 100000.0f, 1.0f}}, bgrx(1, 100, 2, 0), bgrx(255, 100, 255, 1)},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        Frame frame(4, 4);
        frame.at(2, 1) = cases[i].before;
        draw(frame, end_at(2, 1, cases[i].colour), end_at(2, 1, cases[i].colour));
        EXPECT_EQ(frame.at(2, 1), cases[i].after) << "case " << i;
    }
}

// ---- The depth test ----

TEST_P(OneRay, OnlyStrictlyNearerPixelsAreDrawnAndDepthIsNeverWritten)
{
    Frame frame(16, 16);
    for (int y = 0; y < 16; ++y) frame.depth_at(7, y) = 5.0f;  // level with the ray
    frame.depth_at(7, 4) = 4.0f;                                 // nearer than the ray
    frame.depth_at(7, 5) = qnan;
    frame.depth_at(7, 6) = 5.0001f;                              // just farther
    const std::vector<float> before = frame.depth_store;
    draw(frame, end_at(7, 2, white, 5.0f), end_at(7, 9, white, 5.0f));
    EXPECT_EQ(frame.changed(), Cells({{7, 6}}));
    EXPECT_EQ(std::memcmp(before.data(), frame.depth_store.data(), before.size() * sizeof(float)), 0);
    Frame clear(16, 16);
    draw(clear, end_at(7, 2, white, 5.0f), end_at(7, 9, white, 5.0f));
    EXPECT_EQ(clear.changed().size(), 8u) << "60000.0 is farther than any ray";
}

// ---- Clipping at the frame's edges ----

TEST_P(OneRay, ClippedRayShowsTheWindowOfALargerFrame)
{
    // A ray drawn into a small frame shows exactly the part of the same ray, moved by (dx, dy),
    // that a larger frame shows in the corresponding window: clipped columns neither wrap to the
    // next row nor restart the gradient, and rows outside the frame still advance the walk.
    const struct {
        int w, h;
        RayEnd a, b;
        int dx, dy;
    } cases[] = {
        {20, 10, end_at(15, 2, white), end_at(60, 4, red), 0, 0},    // beyond the right edge
        {12, 30, end_at(3, 0, white), end_at(30, 25, blue), 0, 0},
        {20, 10, end_at(6, 2, white), end_at(-40, 5, red), 48, 0},   // left of column 0
        {20, 10, end_at(-7, 1, white), end_at(25, 8, red), 8, 0},
        {20, 10, end_at(-3, 0, white), end_at(2, 9, red), 8, 0},
        {16, 10, end_at(4, -20, white), end_at(9, 30, red), 0, 24},  // above and below the frame
        {16, 10, end_at(40, -5, white), end_at(-30, 14, blue), 36, 8},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        Frame small(c.w, c.h), large(c.w + 2 * c.dx + 40, c.h + 2 * c.dy + 40);
        draw(small, c.a, c.b);
        RayEnd a = c.a, b = c.b;
        a.column += c.dx, b.column += c.dx, a.row += c.dy, b.row += c.dy;
        draw(large, a, b);
        int drawn = 0;
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                ASSERT_EQ(small.at(x, y), large.at(x + c.dx, y + c.dy)) << "at " << x << ", " << y;
                drawn += small.at(x, y) != 0;
            }
        }
        EXPECT_GT(drawn, 0) << "the window shows part of the ray";
        EXPECT_TRUE(small.guards_intact());
    }
}

// ---- Wild input: the walk stays bounded and touches nothing outside the buffers ----

TEST_P(OneRay, RaysBeyondTheCoordinateLimitOrWithoutFiniteDepthsAreNotDrawn)
{
    constexpr int32_t limit = ray_walk::coordinate_limit;
    Frame frame(16, 16);
    for (const int32_t v : {limit, -limit, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
        draw(frame, end_at(5, 5, white), end_at(5, v, white));
        draw(frame, end_at(5, 5, white), end_at(v, 5, white));
        draw(frame, end_at(v, v, white), end_at(5, 5, white));
    }
    draw(frame, end_at(2, 2, white, 0.0f), end_at(9, 9, white, qnan));
    draw(frame, end_at(2, 9, white, inf), end_at(9, 2, white, 0.0f));
    EXPECT_TRUE(frame.changed().empty());
    EXPECT_TRUE(frame.guards_intact());
}

TEST_P(OneRay, EndsJustInsideTheLimitAreDrawnAndStopAtTheLastRow)
{
    constexpr int32_t far = ray_walk::coordinate_limit - 1;
    Frame frame(16, 16);
    draw(frame, end_at(5, 10, white), end_at(5, far, white));
    EXPECT_EQ(frame.changed(), Cells({{5, 10}, {5, 11}, {5, 12}, {5, 13}, {5, 14}, {5, 15}}));
    Frame corner(16, 16);
    draw(corner, end_at(-far, -far, white), end_at(far, far, white));
    draw(corner, end_at(far, 15 - far, white), end_at(15 - far, far, white));
    // Both diagonals, drifting by at most a pixel from the truncated column step.
    EXPECT_GE(corner.changed().size(), 30u);
    for (const auto& [x, y] : corner.changed()) EXPECT_TRUE(std::abs(x - y) <= 1 || std::abs(x + y - 15) <= 1) << x << ", " << y;
    EXPECT_TRUE(corner.guards_intact());
}

#if defined(__unix__) && (defined(__x86_64__) || defined(__aarch64__))
// A frame of 65535 x 16384 pixels: 4 GiB per buffer, so byte offsets pass 2^32 (pixel indices
// still fit the wide path's 32-bit lanes). Only the touched pages are ever backed.
TEST(RayClipping, PixelOffsetsInHugeFramesDoNotOverflow)
{
    constexpr int32_t width = 65535;
    constexpr int32_t height = 16384;
    const size_t bytes = static_cast<size_t>(width) * height * 4;
    void* colour = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    void* depth = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (colour == MAP_FAILED || depth == MAP_FAILED) {
        if (colour != MAP_FAILED) munmap(colour, bytes);
        if (depth != MAP_FAILED) munmap(depth, bytes);
        GTEST_SKIP() << "no room for the address space";
    }
    auto* pixels = static_cast<Pixel*>(colour);
    const RayTarget target{pixels, static_cast<float*>(depth), width, height};
    // Zero-filled depth: a ray at depth -1 is nearer everywhere. Once by the fast path (the wide
    // path where it runs), once by the pair path and once by the scalar walk.
    const RayEnd a = end_at(16380, 16380, white, -1.0f), b = end_at(16383, 16383, white, -1.0f);
    draw_ray_lines(&a, &b, 1, target, ray_path(SceneBlock::CodePath::fastest, target));
    draw_ray_lines(&a, &b, 1, target, RayPath{"pairs", true, nullptr});
    draw_ray_line_scalar(a, b, target);
    const size_t last = static_cast<size_t>(16383) * width + 16382;
    EXPECT_EQ(pixels[last], bgrx(153, 153, 153));
    EXPECT_EQ(pixels[last - width - 1], bgrx(153, 153, 153));
    EXPECT_EQ(pixels[last + 1], 0u) << "the end pixel is not covered";
    munmap(colour, bytes);
    munmap(depth, bytes);
}
#endif

// ---- The fast paths against the scalar twin ----

namespace {

// The fast paths draw a batch at once: steep rays inside the frame eight side by side (with
// AVX-512 or AVX2, where the processor runs them) or in pairs with SSE2, every other ray on
// its own.
enum class FastPath { avx512, avx2, pairs };

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
    {"MoreFanRaysThanOneSetHolds", 300, 80, steep_set_capacity + 111, {{0.4f, 0.1f}, {0.45f, 0.1f}}, 0.0f, 1.0f,
     0.5f, 1.0f, false},
};

class RayBatch : public ::testing::TestWithParam<std::tuple<BatchCase, FastPath>> {};

INSTANTIATE_TEST_SUITE_P(
    FastPaths, RayBatch,
    ::testing::Combine(::testing::ValuesIn(batch_cases), ::testing::Values(FastPath::avx512, FastPath::avx2, FastPath::pairs)),
    [](const ::testing::TestParamInfo<std::tuple<BatchCase, FastPath>>& test) {
        const FastPath path = std::get<1>(test.param);
        return std::string(std::get<0>(test.param).name) +
               (path == FastPath::avx512 ? "Avx512" : path == FastPath::avx2 ? "Avx2" : "Pairs");
    });

} // namespace

TEST_P(RayBatch, GivesTheScalarBytesRayByRay)
{
    const BatchCase& c = std::get<0>(GetParam());
    const FastPath path = std::get<1>(GetParam());
    RayPath drawn_on = {"pairs", true, nullptr};
#if MORVANE_HAVE_AVX2_PATH
    if (path == FastPath::avx2 && processor_has_avx2()) drawn_on.steep_rays = draw_steep_rays_avx2;
    if (path == FastPath::avx512 && processor_has_avx512()) drawn_on.steep_rays = draw_steep_rays_avx512;
#endif
    if (path != FastPath::pairs && drawn_on.steep_rays == nullptr) GTEST_SKIP() << "this processor lacks that path";
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
    draw_ray_lines(anchors.data(), far_ends.data(), c.rays, fast.target(), drawn_on);
    ASSERT_EQ(fast.colour_store, scalar.colour_store);
    EXPECT_FALSE(fast.changed().empty());
    EXPECT_TRUE(fast.guards_intact());
    EXPECT_EQ(std::memcmp(fast.depth_store.data(), scalar.depth_store.data(), fast.depth_store.size() * sizeof(float)), 0);
}

// ---- The whole overlay over the built-in scene ----

// Each test starts and ends with the record as built, so that a failed check cannot leave it
// pointing at a test's frame that is gone (the next test would free it).
class RayScene : public ::testing::Test {
protected:
    void SetUp() override { reset_scene(); }
    void TearDown() override { reset_scene(); }
};

TEST_F(RayScene, FarColourFollowsTheRayPosition)
{
    // Positions 400 and 1201 are blue, 401 and 1200 red. Each ray is drawn alone, upward from
    // its anchor, so its first visited pixel carries the far colour.
    const struct {
        int k;
        Pixel far_pixel;
    } cases[] = {{0, bgrx(13, 2, 2)},   {400, bgrx(13, 2, 2)}, {401, red_amount},      {800, red_amount},
                 {801, red_amount},     {1200, red_amount},    {1201, bgrx(13, 2, 2)}, {1597, bgrx(13, 2, 2)}};
    for (const auto& c : cases) {
        Frame frame(16, 16);
        prepare_field(frame);
        for (int i = 0; i < ray_point_count; ++i) scene.screen_ray_points[i] = {qnan, qnan, qnan};
        const int anchor = scene.ray_lines[c.k].anchor_index;
        scene.screen_ray_points[anchor] = {4.0f, 9.0f, 0.0f};
        scene.screen_ray_points[scene.ray_lines[c.k].end_index] = {4.0f, 2.0f, 0.0f};
        draw_rays();
        EXPECT_EQ(frame.at(4, 2), c.far_pixel) << "ray " << c.k;
        // Rays 1598 and 1599 add to anchor 0's pixel when anchor 0 is placed; the ray's own
        // anchor pixel is white.
        EXPECT_EQ(channel(frame.at(4, 9), 0), anchor == 0 ? 153 : 51) << "ray " << c.k;
    }
}

TEST_F(RayScene, PointsThatAreNotFiniteOrFarAwayAreSkipped)
{
    Frame frame(32, 32);
    prepare_field(frame);
    const Vec3 wild[] = {{qnan, 5, 0}, {5, qnan, 0},  {5, 5, qnan},  {inf, 5, 0},         {5, -inf, 0},
                         {5, 5, inf},  {3e9f, 5, 0}, {5, 3e9f, 0}, {-1e30f, -1e30f, 0}, {20000, 10, 0}};
    for (int i = 2; i < ray_point_count; ++i) scene.screen_ray_points[i] = wild[i % std::size(wild)];
    scene.screen_ray_points[1] = {qnan, qnan, qnan};
    scene.screen_ray_points[0] = {12.5f, 7.5f, 1.0f};  // rounds to (12, 8): halves go to even
    draw_rays();
    // Only rays 1598 and 1599 remain: both are the single pixel at anchor 0.
    EXPECT_EQ(frame.changed(), Cells({{12, 8}}));
    EXPECT_EQ(frame.at(12, 8), bgrx(102, 102, 102));
    EXPECT_TRUE(frame.guards_intact());
    Frame hidden(32, 32);  // behind the slab: nothing
    attach(hidden);
    hidden.depth_at(12, 8) = 1.0f;
    draw_rays();
    EXPECT_TRUE(hidden.changed().empty());
}

TEST_F(RayScene, LandscapeFramesMatchTheUnclippedWalkByteForByte)
{
    // Frames of several shapes, turns and zooms (up to the largest the breathing reaches, about
    // 2.6 x height / 4, where ends fall below the last row), over a depth buffer that holds a
    // mix of the clear value and nearer surfaces.
    const struct {
        int w, h;
        int32_t frame_counter;
        float zoom_factor;
    } cases[] = {{320, 180, 30, 1.0f}, {320, 180, 100, 2.6f}, {200, 180, 250, 2.6f}, {256, 192, 400, 0.55f},
                 {400, 200, 512, 1.7f}};
    std::mt19937 random(7);
    for (const auto& c : cases) {
        for (const auto code_path : {SceneBlock::CodePath::fastest, SceneBlock::CodePath::scalar}) {
            Frame overlay(c.w, c.h), reference(c.w, c.h);
            for (int i = 0; i < c.w * c.h; ++i) {
                const float d = (i / 7) % 3 == 0 ? depth_clear : std::uniform_real_distribution<float>(-40.0f, 40.0f)(random);
                overlay.depth()[i] = reference.depth()[i] = d;
            }
            // The scene as the program prepares it, its ray points turned about the vertical
            // axis by frame_counter x angle_step, scaled and centred.
            reset_scene();
            scene.random_state = 0x1234;
            attach(overlay);
            scene.code_path = code_path;
            build_ray_field();
            normalize_model(scene.model_vertices, scene.vertex_count + scene.ray_end_count + 2);
            const float zoom = static_cast<float>(c.h / 4) * c.zoom_factor;
            const double angle = c.frame_counter * static_cast<double>(scene.angle_step);
            const float cs = static_cast<float>(std::cos(angle)), sn = static_cast<float>(std::sin(angle));
            for (int i = 0; i < ray_point_count; ++i) {
                const Vec3& p = scene.ray_points[i];
                scene.screen_ray_points[i] = {(sn * p.x + cs * p.z) * zoom + static_cast<float>(c.w / 2),
                                              p.y * zoom + static_cast<float>(c.h / 2), (cs * p.x - sn * p.z) * zoom};
            }
            draw_rays();
            for (int k = 0; k < ray_count; ++k) {
                const Vec3& a = scene.screen_ray_points[scene.ray_lines[k].anchor_index];
                const Vec3& e = scene.screen_ray_points[scene.ray_lines[k].end_index];
                reference_draw_ray_line({round_to_int32(a.x), round_to_int32(a.y), a.z, white},
                                        {round_to_int32(e.x), round_to_int32(e.y), e.z, k > 400 && k <= 1200 ? red : blue},
                                        reference);
            }
            ASSERT_EQ(overlay.colour_store, reference.colour_store) << c.w << " x " << c.h << " turn " << c.frame_counter;
            EXPECT_GT(overlay.changed().size(), static_cast<size_t>(c.w));
        }
    }
}

TEST_F(RayScene, RasterisedFramesGiveTheScalarBytes)
{
    // The program's own frames: the slab rasterised into the depth buffer, the rays over it,
    // on landscape and portrait screens and at several turns and zooms.
    const struct {
        int screen_width, screen_height;
        int64_t frame;
    } cases[] = {{1920, 1080, 1}, {1920, 1080, 150}, {1366, 768, 300}, {1366, 768, 700}, {720, 1280, 90}};
    for (const auto& c : cases) {
        morvane::release_frame_buffers(morvane::platform::renderer_services());
        reset_scene();
        ASSERT_TRUE(morvane::set_frame_size(c.screen_width, c.screen_height, 1));
        ASSERT_TRUE(morvane::allocate_frame_buffers(morvane::platform::renderer_services()));
        morvane::prepare_scene();
        skip_frames(c.frame - 1);
        clear_frame();
        transform_frame();
        morvane::rasterise_frame(morvane::platform::renderer_services());
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
    morvane::release_frame_buffers(morvane::platform::renderer_services());
}
