// The rasteriser: corners, their ordering and the row walk (recorded through walk_triangle),
// which triangles a worker skips, the shading of one span on every code path, and the SIMD
// shading against its scalar twin.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "host/platform.h"
#include "raster/raster.h"
#include "raster/shade_paths.h"
#include "raster/walk.h"
#include "scene/numeric.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr Vec4 facing = {{0.0f, 0.0f, -1.0f, 0.0f}};  // a normal straight at the viewer

// A window that lets every row and column through.
constexpr ClipWindow everywhere = {-32768, 32767, -32768, 32767};

RasterVertex corner(int x, int y, float z = 0.0f, uint16_t u = 0, uint16_t v = 0, Vec4 normal = facing)
{
    return {static_cast<int16_t>(x), static_cast<int16_t>(y), z, normal, u, v};
}

// The spans walk_triangle hands on, in order.
std::vector<SpanRequest> walk(const RasterVertex& c0, const RasterVertex& c1, const RasterVertex& c2,
                              const ClipWindow& window = everywhere)
{
    SpanRequest request{};
    request.window = window;
    std::vector<SpanRequest> spans;
    walk_triangle(c0, c1, c2, request, [&](const SpanRequest& span) { spans.push_back(span); });
    return spans;
}

// Row, end_a column, end_b column of every span.
using Ends = std::vector<std::array<int, 3>>;
Ends ends(const std::vector<SpanRequest>& spans)
{
    Ends out;
    for (const SpanRequest& s : spans) out.push_back({s.row, s.end_a.x, s.end_b.x});
    return out;
}

bool same_bits(const Vec4& a, const Vec4& b) { return std::memcmp(&a, &b, sizeof(Vec4)) == 0; }

void add(Vec4& sum, const Vec4& step)
{
    for (int i = 0; i < 4; ++i) sum.lane[i] += step.lane[i];
}

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

class RasterTest : public ::testing::Test {
protected:
    void SetUp() override { reset_scene(); }
};

} // namespace

// ---- Corners ----

TEST_F(RasterTest, CornersRoundToNearestEvenAndSaturateTo16Bits)
{
    const struct {
        Vec3 position;
        int16_t x, y;
    } cases[] = {{{99.5f, 100.5f, 3.25f}, 100, 100},
                 {{-0.5f, 40000.0f, -7.0f}, 0, 32767},
                 {{-40000.0f, nan_value, 0.0f}, -32768, -32768},
                 {{3.0e9f, -3.0e9f, 1.0f}, -32768, -32768}};  // beyond 32 bits: the integer indefinite
    for (int i = 0; i < 4; ++i) {
        scene.screen_vertices[i] = cases[i].position;
        scene.view_normals[i] = {0.25f, -0.5f, 0.75f};
        const RasterVertex c = raster_vertex(i);
        EXPECT_EQ(c.x, cases[i].x) << "corner " << i;
        EXPECT_EQ(c.y, cases[i].y) << "corner " << i;
        EXPECT_EQ(c.z, cases[i].position.z);
        EXPECT_TRUE(same_bits(c.normal, Vec4{{0.25f, -0.5f, 0.75f, 0.0f}}));
        EXPECT_EQ(c.u, scene.model_uvs[i].u);
        EXPECT_EQ(c.v, scene.model_uvs[i].v);
    }
}

// ---- Ordering and the row walk ----

TEST(TriangleWalk, ExampleTriangles)
{
    const struct {
        const char* what;
        RasterVertex c0, c1, c2;
        bool any_order;  // corners on distinct rows give the same spans in every table order
        Ends expected;
    } cases[] = {
        {"the worked example", corner(0, 8), corner(2, 0), corner(12, 4), true,
         {{0, 2, 2}, {1, 1, 4}, {2, 1, 7}, {3, 1, 9}, {4, 1, 12}, {5, 0, 9}, {6, 0, 6}, {7, 0, 3}}},
        // Ordered (7, 3), (5, 9), (1, 9): the long edge ends at (1, 9), the short one at (5, 9).
        {"corners on one row keep their table order", corner(5, 9), corner(7, 3), corner(1, 9), false,
         {{3, 7, 7}, {4, 6, 6}, {5, 5, 6}, {6, 4, 6}, {7, 3, 5}, {8, 2, 5}}},
        {"a flat top starts with the lower part", corner(0, 0), corner(10, 0), corner(0, 4), false,
         {{0, 0, 10}, {1, 0, 7}, {2, 0, 5}, {3, 0, 2}}},
        {"the bottom row is never walked", corner(0, 0), corner(10, 10), corner(0, 10), false,
         {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 0, 4}, {5, 0, 5}, {6, 0, 6}, {7, 0, 7}, {8, 0, 8},
          {9, 0, 9}}},
        // The short edge stands at -341 / 1024 on row 1: column -1, where truncation would give 0.
        {"columns round down", corner(0, 0), corner(-1, 3), corner(10, 6), true,
         {{0, 0, 0}, {1, 1, -1}, {2, 3, -1}, {3, 4, -1}, {4, 6, 2}, {5, 8, 6}}},
        {"a triangle on one row gives no span", corner(0, 5), corner(10, 5), corner(3, 5), false, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ends(walk(c.c0, c.c1, c.c2)), c.expected) << c.what;
        if (!c.any_order) continue;
        for (auto [a, b, d] : {std::array{c.c0, c.c2, c.c1}, std::array{c.c1, c.c0, c.c2}, std::array{c.c1, c.c2, c.c0},
                               std::array{c.c2, c.c0, c.c1}, std::array{c.c2, c.c1, c.c0}}) {
            EXPECT_EQ(ends(walk(a, b, d)), c.expected) << c.what << ", corners " << a.y << " " << b.y << " " << d.y;
        }
    }
}

TEST(TriangleWalk, EdgeStepsTruncateTowardZero)
{
    const struct {
        RasterVertex s, e;
        Fixed22_10 x_step;
    } cases[] = {{corner(2, 0), corner(0, 8), -256},
                 {corner(2, 0), corner(12, 4), 2560},
                 {corner(12, 4), corner(0, 8), -3072},
                 {corner(0, 0), corner(-1, 3), -341},  // -341.33: toward zero, not down
                 {corner(3, 4), corner(9, 4), 0}};     // flat: never walked, nothing divided
    for (const auto& c : cases) {
        EXPECT_EQ(edge_step(c.s, c.e).x_step, c.x_step) << c.s.x << "," << c.s.y << " to " << c.e.x << "," << c.e.y;
    }
    const EdgeStep flat = edge_step(corner(3, 4, 1.0f, 10, 20), corner(9, 4, 5.0f, 30, 40));
    EXPECT_TRUE(same_bits(flat.uvz_step, Vec4{}));
    EXPECT_TRUE(same_bits(flat.normal_step, Vec4{}));
}

TEST(TriangleWalk, AttributesAccumulateAndRestartExactlyAtTheMiddleCorner)
{
    const RasterVertex t = corner(0, 0, 0.1f, 255, 0);
    const RasterVertex m = corner(9, 3, 0.7f, 0, 424, {{0.3f, 0.1f, -0.9f, 0.0f}});
    const RasterVertex b = corner(2, 7, 2.9f, 255, 424, {{-0.6f, 0.2f, -0.7f, 0.0f}});
    const auto spans = walk(b, t, m);
    ASSERT_EQ(spans.size(), 7u);

    // Texel differences are signed: u falls from 255 to 0 on the upper short edge.
    const EdgeStep tm = edge_step(t, m);
    EXPECT_TRUE(same_bits(tm.uvz_step, Vec4{{-255.0f / 3.0f, 424.0f / 3.0f, (0.7f - 0.1f) / 3.0f, 0.0f}}));
    EXPECT_EQ(tm.normal_step[0], 0.3f / 3.0f);

    // Each cursor is its corner plus the step once per row, summed rather than recomputed, and
    // the short one starts afresh exactly at M.
    const EdgeStep tb = edge_step(t, b), mb = edge_step(m, b);
    EdgeCursor long_edge = cursor_at(t), short_edge = cursor_at(t);
    bool sum_differs_from_product = false;
    for (int r = 0; r < 7; ++r) {
        sum_differs_from_product |= long_edge.uvz[2] != t.z + static_cast<float>(r) * tb.uvz_step[2];
        if (r == 3) short_edge = cursor_at(m);
        EXPECT_TRUE(same_bits(spans[r].end_a.uvz, long_edge.uvz)) << r;
        EXPECT_TRUE(same_bits(spans[r].end_a.normal, long_edge.normal)) << r;
        EXPECT_TRUE(same_bits(spans[r].end_b.uvz, short_edge.uvz)) << r;
        EXPECT_TRUE(same_bits(spans[r].end_b.normal, short_edge.normal)) << r;
        add(long_edge.uvz, tb.uvz_step);
        add(long_edge.normal, tb.normal_step);
        add(short_edge.uvz, (r < 3 ? tm : mb).uvz_step);
        add(short_edge.normal, (r < 3 ? tm : mb).normal_step);
    }
    EXPECT_TRUE(same_bits(spans[3].end_b.uvz, Vec4{{0.0f, 424.0f, 0.7f, 0.0f}}));
    ASSERT_TRUE(sum_differs_from_product) << "these corners must tell summing from recomputing";
}

TEST(TriangleWalk, CornersMoreThan32768RowsApartGiveTheEdgeTheySpan)
{
    // Edges 40,000 rows long, as the slab at its largest zoom on a screen some 30,000 rows tall
    // gives. Taken as a 16-bit difference dy would wrap to -25,536 and the short edge would point
    // left; the real edge from (0, -20000) to (30000, 20000) steps 0.75 of a column per row.
    const auto spans = walk(corner(0, -20000), corner(30000, 20000), corner(0, 20000), {0, 16, 0, 64});
    ASSERT_EQ(spans.size(), 16u);
    for (const SpanRequest& span : spans) {
        EXPECT_EQ(span.end_a.x, 0) << "row " << span.row;
        EXPECT_EQ(span.end_b.x, (20000 + span.row) * 768 / 1024) << "row " << span.row;
    }
}

// ---- Which rows and triangles a worker handles ----

TEST(WorkerBands, OnlyRowsOfTheBandAreHandedOn)
{
    // In a 64 x 16 frame worker 0 (rows 0..7) misses these corners entirely; worker 1 gets its
    // rows 8..15 and nothing past its band.
    const RasterVertex c0 = corner(-5, 8), c1 = corner(-3, 20), c2 = corner(70, 24);
    EXPECT_TRUE(walk(c0, c1, c2, worker_window(0, 64, 16)).empty());
    const auto spans = walk(c0, c1, c2, worker_window(1, 64, 16));
    ASSERT_EQ(spans.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(spans[i].row, 8 + i);
    // Rows above the band are stepped through all the same: the cursors are those of the full walk.
    const auto late = walk(corner(-5, 2), c1, c2, worker_window(1, 64, 16));
    const auto late_full = walk(corner(-5, 2), c1, c2);
    ASSERT_EQ(late.size(), 8u);
    EXPECT_EQ(late[0].row, 8);
    EXPECT_EQ(late[0].end_a.x, late_full[6].end_a.x);
    EXPECT_TRUE(same_bits(late[0].end_a.uvz, late_full[6].end_a.uvz));
}

TEST(WorkerBands, TrianglesOutsideTheBandOrColumnsAreSkipped)
{
    const struct {
        RasterVertex c0, c1, c2;
        bool skipped;
    } cases[] = {{corner(0, 0), corner(30, 8), corner(10, 4), true},       // last row is 7
                 {corner(0, 16), corner(30, 20), corner(10, 18), true},    // first row is 16
                 {corner(-9, 0), corner(0, 30), corner(-3, 20), true},     // all x <= 0
                 {corner(64, 0), corner(90, 30), corner(70, 20), true},    // all x >= width
                 {corner(0, 0), corner(30, 9), corner(10, 4), false},
                 {corner(0, 15), corner(30, 20), corner(10, 18), false},
                 {corner(-9, 0), corner(1, 30), corner(-3, 20), false},
                 {corner(63, 0), corner(90, 30), corner(70, 20), false}};
    for (const auto& c : cases) {
        EXPECT_EQ(walk(c.c0, c.c1, c.c2, {8, 16, 0, 64}).empty(), c.skipped)
            << c.c0.x << "," << c.c0.y << " " << c.c1.x << "," << c.c1.y << " " << c.c2.x << "," << c.c2.y;
    }
}

TEST(WorkerBands, SkippedTrianglesNeverHadAPixelToDraw)
{
    // Random triangles around a 64 x 16 frame: whenever a worker skips one, the full walk of it
    // has no span that would shade a pixel of that worker's band.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> x(-40, 104), y(-20, 36);
    int skipped = 0;
    for (int i = 0; i < 20000; ++i) {
        const RasterVertex c0 = corner(x(random), y(random)), c1 = corner(x(random), y(random)),
                           c2 = corner(x(random), y(random));
        for (int k = 0; k < 2; ++k) {
            const ClipWindow band = worker_window(k, 64, 16);
            if (!walk(c0, c1, c2, band).empty()) continue;
            ++skipped;
            for (const SpanRequest& s : walk(c0, c1, c2)) {
                if (s.row < band.top || s.row >= band.bottom || s.end_a.x == s.end_b.x) continue;
                const int left = std::min(s.end_a.x, s.end_b.x), right = std::max(s.end_a.x, s.end_b.x);
                ASSERT_TRUE(left >= band.right || right <= band.left) << "row " << s.row;
            }
        }
    }
    EXPECT_GT(skipped, 5000);
}

TEST_F(RasterTest, DrawnTrianglesFillTheirBandAndNothingElse)
{
    // A tall 16 x 64 frame inside a triangle none of whose corners is in the frame, as when the
    // slab fills a portrait screen at large zoom: both workers fill every pixel of their band.
    std::vector<Pixel> colour(16 * 64, 0);
    std::vector<float> depth(16 * 64, depth_clear);
    for (int k = 0; k < 2; ++k) {
        const ClipWindow band = worker_window(k, 16, 64);
        draw_triangle(corner(-100, -50, 5.0f), corner(200, -50, 5.0f), corner(-100, 300, 5.0f), band, 16,
                      scene.texture, colour.data(), depth.data());
    }
    for (int i = 0; i < 16 * 64; ++i) ASSERT_EQ(depth[i], 5.0f) << "pixel " << i;

    // Corners 65535 rows apart, at the ends of the 16-bit range: nothing may overflow
    // undefinedly or leave worker 1's band of a 64 x 16 frame.
    std::fill(depth.begin(), depth.end(), depth_clear);
    const ClipWindow band = worker_window(1, 64, 16);
    draw_triangle(corner(-32768, -32768, 1.0f), corner(32767, 32767, 1.0f), corner(-32768, 32767, 1.0f), band, 64,
                  scene.texture, colour.data(), depth.data());
    draw_triangle(corner(32767, -32768, 1.0f), corner(-32768, 0, 1.0f), corner(32767, 32767, 1.0f), band, 64,
                  scene.texture, colour.data(), depth.data());
    for (int i = 0; i < band.top * 64; ++i) ASSERT_EQ(depth[i], depth_clear) << "pixel " << i;
    EXPECT_NE(depth[band.top * 64], depth_clear);
}

// ---- Shading one span, on every code path ----

namespace {

// A way to shade a span: through shade_span with a code path, or one SIMD path directly.
struct SpanShader {
    const char* name;
    SceneBlock::CodePath code_path;
    void (*shade)(const SpanRequest&);
};

// Every path this build and this processor can run.
std::vector<SpanShader> span_shaders()
{
    std::vector<SpanShader> paths = {{"Scalar", SceneBlock::CodePath::scalar, shade_span},
                                    {"Fastest", SceneBlock::CodePath::fastest, shade_span}};
#if MORVANE_X86
    paths.push_back({"Sse2", SceneBlock::CodePath::fastest, [](const SpanRequest& r) { shade_span_sse2(r); }});
#endif
#if MORVANE_HAVE_AVX2_PATH
    if (processor_has_avx2()) {
        paths.push_back({"Avx2", SceneBlock::CodePath::fastest, [](const SpanRequest& r) { shade_span_avx2(r); }});
    }
    if (processor_has_avx512()) {
        paths.push_back({"Avx512", SceneBlock::CodePath::fastest, [](const SpanRequest& r) { shade_span_avx512(r); }});
    }
#endif
    return paths;
}

class ShadeTest : public ::testing::TestWithParam<SpanShader> {
protected:
    static constexpr int width = 128;
    static constexpr int height = 16;
    static constexpr ClipWindow frame = {0, height, 0, width};

    void SetUp() override
    {
        reset_scene();
        normalize_lights(scene.lights, 3);  // as start-up leaves them
        scene.code_path = GetParam().code_path;
        clear_buffers();
        fill_texture(texel(200, 100, 50));
    }

    void clear_buffers()
    {
        colour.assign(width * height, 0);
        depth.assign(width * height, depth_clear);
    }

    static Pixel texel(int blue, int green, int red, int fourth = 0)
    {
        return Pixel(blue) | Pixel(green) << 8 | Pixel(red) << 16 | Pixel(fourth) << 24;
    }
    static void fill_texture(Pixel value) { std::fill(std::begin(scene.texture), std::end(scene.texture), value); }
    static void set_texel(int u, int v, Pixel value) { scene.texture[v * texture_width + u] = value; }

    // One light straight at the viewer, strong enough to clamp at 255 for any normal near
    // (0, 0, -1): the pixel is then the texture sample times 255, shifted by 8.
    static void single_light(Vec4 diffuse = {{300.0f, 300.0f, 300.0f, 0.0f}})
    {
        for (Light& l : scene.lights) l = Light{};
        scene.lights[0].direction = facing;
        scene.lights[0].diffuse = diffuse;
    }
    // The pixel a sample of (blue, green, red) gives under that light.
    static Pixel lit(double blue, double green, double red)
    {
        auto byte = [](double sample) { return static_cast<int>(std::nearbyint(255.0 * sample)) >> 8; };
        return texel(byte(blue), byte(green), byte(red));
    }

    static SpanEnd end(int x, float z, float u = 0.0f, float v = 0.0f, Vec4 normal = facing)
    {
        return {x, normal, {{u, v, z, 0.0f}}};
    }

    void shade(int row, const SpanEnd& a, const SpanEnd& b, const ClipWindow& window = frame)
    {
        GetParam().shade({row, a, b, window, width, scene.texture, colour.data(), depth.data()});
    }

    // The pixel a single-pixel span with these attributes draws at (0, 0).
    Pixel single_pixel(float u, float v, Vec4 normal = facing)
    {
        depth[0] = depth_clear;
        shade(0, end(0, 1.0f, u, v, normal), end(1, 1.0f, u, v, normal));
        return colour[0];
    }

    int touched(int row) const
    {
        return static_cast<int>(std::count_if(depth.begin() + row * width, depth.begin() + (row + 1) * width,
                                              [](float d) { return d != depth_clear; }));
    }

    std::vector<Pixel> colour;
    std::vector<float> depth;
};

} // namespace

TEST_P(ShadeTest, WhichPixelsASpanCovers)
{
    const ClipWindow band = {4, 8, 0, width};
    const ClipWindow columns = {0, height, 8, 100};
    const struct {
        const char* what;
        int row;
        SpanEnd a, b;
        ClipWindow window;
        int touched, first;  // pixels drawn on the row, the leftmost of them
        float first_z;
    } cases[] = {
        {"equal ends", 3, end(10, 1.0f), end(10, 1.0f), frame, 0, 0, 0.0f},
        {"equal ends left of the frame", 3, end(-4, 1.0f), end(-4, 1.0f), frame, 0, 0, 0.0f},
        {"one column takes the left end", 1, end(11, 9.0f), end(10, 0.75f), frame, 1, 10, 0.75f},
        {"row above the band", 3, end(0, 1.0f), end(5, 1.0f), band, 0, 0, 0.0f},
        {"first row of the band", 4, end(0, 1.0f), end(5, 1.0f), band, 5, 0, 1.0f},
        {"last row of the band", 7, end(5, 2.0f), end(0, 1.0f), band, 5, 0, 1.0f},
        {"row below the band", 8, end(0, 1.0f), end(5, 1.0f), band, 0, 0, 0.0f},
        {"run ending at the first column", 0, end(-20, 1.0f), end(8, 1.0f), columns, 0, 0, 0.0f},
        {"run starting past the last column", 0, end(100, 1.0f), end(130, 1.0f), columns, 0, 0, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        clear_buffers();
        shade(c.row, c.a, c.b, c.window);
        for (int row = 0; row < height; ++row) EXPECT_EQ(touched(row), row == c.row ? c.touched : 0) << row;
        if (c.touched > 0) {
            EXPECT_EQ(depth[c.row * width + c.first], c.first_z);
        }
    }
}

TEST_P(ShadeTest, RunCoversTheLeftEndUpToTheRightEndInEitherOrder)
{
    const SpanEnd left = end(10, 0.4f, 3.0f, 5.0f, {{0.1f, 0.2f, -0.9f, 0.0f}});
    const SpanEnd right = end(14, 2.78f, 100.0f, 50.0f, {{-0.3f, 0.1f, -0.8f, 0.0f}});
    shade(2, left, right);
    shade(5, right, left);
    const float step = (2.78f - 0.4f) / 4.0f;
    float z = 0.4f;  // the left end's values exactly, then summed increments
    for (int x = 10; x < 14; ++x) {
        EXPECT_EQ(depth[2 * width + x], z) << x;
        EXPECT_EQ(colour[2 * width + x], colour[5 * width + x]) << x;
        z += step;
    }
    EXPECT_EQ(touched(2), 4);
    EXPECT_EQ(touched(5), 4);
}

TEST_P(ShadeTest, ClippedRunsKeepTheIncrementsOfTheWholeRun)
{
    // Clipped on the left, the run starts where the unclipped one would be after five pixels:
    // one product and one sum, not five additions.
    shade(0, end(3, 2.78f), end(-5, 0.4f));
    const float left_step = (2.78f - 0.4f) / 8.0f;
    const float first = left_step * 5.0f + 0.4f;
    float summed = 0.4f;
    for (int i = 0; i < 5; ++i) summed += left_step;
    ASSERT_NE(first, summed) << "these ends must tell the two apart";
    EXPECT_EQ(depth[0], first);
    EXPECT_EQ(depth[1], first + left_step);
    EXPECT_EQ(depth[2], first + left_step + left_step);
    EXPECT_EQ(touched(0), 3);

    // Clipped on the right, the steps are still those of the whole run.
    shade(1, end(90, 0.4f), end(120, 7.3f), {0, height, 0, 100});
    const float right_step = (7.3f - 0.4f) / 30.0f;
    float z = 0.4f;
    for (int x = 90; x < 100; ++x) {
        EXPECT_EQ(depth[width + x], z) << x;
        z += right_step;
    }
    EXPECT_EQ(touched(1), 10);
}

TEST_P(ShadeTest, DepthTestIsStrictSoTheFirstFragmentStays)
{
    shade(0, end(0, 3.0f, 0.0f, 0.0f, {{0.0f, 0.0f, 1.0f, 0.0f}}), end(4, 3.0f));  // black, depth 3
    const std::vector<Pixel> first(colour.begin(), colour.begin() + 4);
    for (float z : {3.0f, nan_value, 4.0f}) shade(0, end(0, z), end(4, z));  // tied, NaN, farther: all fail
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(depth[x], 3.0f);
        EXPECT_EQ(colour[x], first[x]);
    }
    shade(0, end(0, 2.5f), end(4, 2.5f));  // nearer: drawn
    EXPECT_EQ(depth[0], 2.5f);
    EXPECT_NE(colour[0], first[0]);
}

TEST_P(ShadeTest, NormalAwayFromEveryLightGivesBlackButStoresDepth)
{
    colour.assign(colour.size(), 0xFFFFFFFFu);
    // Facing away, zero and denormal: the last two give an infinite estimate and NaN lanes.
    for (Vec4 normal : {Vec4{{0.0f, 0.0f, 1.0f, 0.0f}}, Vec4{}, Vec4{{1e-25f, 0.0f, -1e-25f, 0.0f}}}) {
        depth[0] = depth_clear;
        shade(0, end(0, 2.0f, 0.0f, 0.0f, normal), end(1, 2.0f, 0.0f, 0.0f, normal));
        EXPECT_EQ(colour[0], 0u);
        EXPECT_EQ(depth[0], 2.0f);
    }
}

TEST_P(ShadeTest, ShippedLightsGiveKnownBytes)
{
    const struct {
        const char* what;
        Pixel texture;
        Vec4 normal;
        Pixel expected;
    } cases[] = {
        // Lighting (255, 255, about 75.27, 0) on texels (200, 100, 50).
        {"along the first light", texel(200, 100, 50), facing, texel(199, 99, 14)},
        // Lighting about (54.86, 255, 255, 0); a lighting value of 255 on 255 gives 254, not 255.
        {"along the third light", texel(255, 255, 255), {{0.5f, 0.5f, -1.0f, 0.0f}}, texel(54, 254, 254)},
    };
    for (const auto& c : cases) {
        fill_texture(c.texture);
        EXPECT_EQ(single_pixel(10.0f, 10.0f, c.normal), c.expected) << c.what;
    }
}

TEST_P(ShadeTest, LightsCombineByTheirMaximumNotTheirSum)
{
    for (Light& l : scene.lights) l = Light{};
    for (int i = 0; i < 2; ++i) scene.lights[i].direction = facing;
    scene.lights[0].specular = {{300.0f, 100.0f, 0.0f, 0.0f}};  // d^16 at d = 1: exactly these
    scene.lights[1].specular = {{0.0f, 100.0f, 50.0f, 0.0f}};
    fill_texture(texel(255, 255, 255));
    // d = 1 / sqrt(1) by the estimate lies within 1.5 x 2^-12 of 1, and its 16th power within
    // about 0.6 %: blue still clamps at 255, green is about 100, red about 50.
    const Pixel p = single_pixel(0.0f, 0.0f);
    EXPECT_EQ(p & 0xFF, 254u);
    EXPECT_NEAR(p >> 8 & 0xFF, 99, 1);
    EXPECT_NEAR(p >> 16 & 0xFF, 49, 1);
}

TEST_P(ShadeTest, FourthLightingLaneMultipliesTheRedSample)
{
    single_light({{0.0f, 0.0f, 0.0f, 300.0f}});
    EXPECT_EQ(single_pixel(10.0f, 10.0f), lit(50, 0, 0) << 24);
}

TEST_P(ShadeTest, FourthBytesOfTexelsNeverShow)
{
    const Pixel plain = single_pixel(30.3f, 40.6f);
    fill_texture(texel(200, 100, 50, 0xFF));
    EXPECT_EQ(single_pixel(30.3f, 40.6f), plain);
    EXPECT_EQ(plain >> 24, 0u);
}

TEST_P(ShadeTest, TexelCoordinatesWeighAndClampTheFetch)
{
    single_light();
    fill_texture(texel(255, 255, 255));
    set_texel(10, 20, texel(100, 40, 0));
    set_texel(11, 20, texel(200, 60, 250));
    set_texel(10, 21, texel(7, 255, 255));
    set_texel(11, 21, texel(255, 0, 33));
    set_texel(254, 423, texel(100, 20, 40));
    set_texel(0, 0, texel(100, 100, 100));
    set_texel(1, 0, texel(50, 50, 50));
    const Pixel corner_texel = lit(100, 20, 40), first_texel = lit(100, 100, 100);
    const struct {
        float u, v;
        Pixel expected;
    } cases[] = {
        // u = 10.5, v = 20: the mean of (10, 20) and (11, 20); row 21 has weight 0.
        {10.5f, 20.0f, lit(150, 50, 125)},
        // u = 10.25, v = 20.5: 0.375 for column 10 and 0.125 for column 11, on both rows.
        {10.25f, 20.5f, lit(0.375 * 100 + 0.125 * 200 + 0.375 * 7 + 0.125 * 255,
                            0.375 * 40 + 0.125 * 60 + 0.375 * 255 + 0.125 * 0,
                            0.375 * 0 + 0.125 * 250 + 0.375 * 255 + 0.125 * 33)},
        // The 2 x 2 fetch stays inside the picture: u at most 254, v at most 423, NaN taken as them.
        {254.0f, 423.0f, corner_texel}, {254.5f, 423.75f, corner_texel}, {300.0f, 1000.0f, corner_texel},
        {infinity, 423.5f, corner_texel}, {nan_value, 423.0f, corner_texel}, {254.0f, nan_value, corner_texel},
        // Between -1 and 0: index 0 with a negative fraction, weights 1.5 and -0.5.
        {-0.5f, 0.0f, lit(125, 125, 125)},
        // -1 and below never come from the model; they are drawn as coordinate 0 and read nothing
        // outside the picture.
        {-1.0f, 0.0f, first_texel}, {0.0f, -1.0f, first_texel}, {-7.5f, 0.0f, first_texel},
        {0.0f, -1e9f, first_texel}, {-infinity, 0.0f, first_texel}, {0.0f, -infinity, first_texel},
    };
    for (const auto& c : cases) EXPECT_EQ(single_pixel(c.u, c.v), c.expected) << "u " << c.u << ", v " << c.v;
}

INSTANTIATE_TEST_SUITE_P(CodePaths, ShadeTest, ::testing::ValuesIn(span_shaders()),
                         [](const ::testing::TestParamInfo<SpanShader>& path) { return std::string(path.param.name); });

// ---- The SIMD paths against the scalar one ----

namespace {

// Random spans over a 64 x 16 frame, with the awkward values shading meets: zero, denormal and
// huge normals, texel coordinates at the ceilings and below zero, NaN and infinities, depths
// that tie with the buffer, ends far outside the columns.
class SpanGenerator {
public:
    explicit SpanGenerator(uint32_t seed) : random_(seed) {}

    int integer(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    float real(float low, float high) { return std::uniform_real_distribution<float>(low, high)(random_); }
    bool chance(int percent) { return integer(0, 99) < percent; }
    float awkward() { return std::array{nan_value, infinity, -infinity, 0.0f, -0.0f, 1e-30f, 3e38f}[integer(0, 6)]; }

    Vec4 normal()
    {
        Vec4 n{{real(-1.0f, 1.0f), real(-1.0f, 1.0f), real(-1.0f, 1.0f), 0.0f}};
        switch (integer(0, 19)) {
        case 0: return Vec4{};
        case 1: return {{real(-1e-20f, 1e-20f), real(-1e-20f, 1e-20f), real(-1e-20f, 1e-20f), 0.0f}};
        case 2: return {{real(-1e20f, 1e20f), real(-1e20f, 1e20f), 0.0f, 0.0f}};
        case 3: n.lane[integer(0, 2)] = awkward(); return n;
        case 4: n.lane[3] = chance(30) ? real(-0.5f, 0.5f) : 0.0f; return n;
        default: return n;
        }
    }

    float texel_coordinate(float ceiling)
    {
        switch (integer(0, 9)) {
        case 0: return real(ceiling - 0.5f, ceiling + 0.5f);
        case 1: return real(-1.0f, 0.0f);
        case 2: return real(-3.0f, -0.5f);
        case 3: return chance(50) ? awkward() : -1.0f;
        default: return real(-0.2f, ceiling + 2.0f);
        }
    }

    float z()
    {
        if (chance(2)) return awkward();
        if (chance(2)) return depth_clear;  // ties with a pixel not yet drawn
        if (chance(50)) return static_cast<float>(integer(1, 4)) * 0.5f;  // ties with the buffer
        return real(0.0f, 3.0f);
    }

    SpanEnd end()
    {
        int x = integer(-30, 94);
        if (chance(3)) x = integer(-40000, 40000);
        return {x, normal(), {{texel_coordinate(254.0f), texel_coordinate(423.0f), z(), real(-1.0f, 1.0f)}}};
    }

    // Lights like the shipped ones (fourth lanes 0), or with something in a fourth lane.
    Light light(bool zero_fourth_lanes)
    {
        Light l{};
        l.direction = {{real(-1.0f, 1.0f), real(-1.0f, 1.0f), real(-1.0f, 0.0f), 0.0f}};
        for (int c = 0; c < 3; ++c) {
            l.diffuse.lane[c] = real(0.0f, 300.0f);
            l.specular.lane[c] = real(0.0f, 300.0f);
        }
        // Long enough that d^16 overflows: the fourth lighting lane turns NaN.
        if (chance(10)) {
            for (int c = 0; c < 3; ++c) l.direction.lane[c] *= 1000.0f;
        }
        if (zero_fourth_lanes) return l;
        for (Vec4* v : {&l.direction, &l.diffuse, &l.specular}) {
            if (chance(50)) v->lane[3] = v == &l.direction ? real(-1.0f, 1.0f) : real(0.0f, 300.0f);
        }
        return l;
    }

private:
    std::mt19937 random_;
};

// Shades the same random spans, two at a time, with `reference` (the scalar path unless
// given) and with `path` into two pairs of buffers, which must stay identical bit for bit. The
// two spans of a call lie on neighbouring rows, as two rows of a triangle do, or now and then on
// one row at one depth, where they tie and so must be shaded one after the other.
using SpanPairPath = void (*)(const SpanRequest&, const SpanRequest&);

void shade_pair_scalar(const SpanRequest& first, const SpanRequest& second)
{
    shade_span_scalar(first);
    shade_span_scalar(second);
}

void expect_same_span_bytes(SpanPairPath path, SpanPairPath reference = shade_pair_scalar)
{
    constexpr int width = 64, height = 16;
    for (int i = 0; i < texel_count; ++i) scene.texture[i] = static_cast<Pixel>(i * 2654435761u);
    SpanGenerator g(2024);
    std::vector<Pixel> colour[2];
    std::vector<float> depth[2];
    int64_t shaded = 0;
    for (int round = 0; round < 400; ++round) {
        if (round % 2 == 0) {
            for (int l = 0; l < 3; ++l) scene.lights[l] = g.light(round % 8 < 4);
            if (round % 4 == 0) normalize_lights(scene.lights, 3);
        }
        colour[0].assign(width * height, 0x5A5A5A5Au);
        depth[0].assign(width * height, 0.0f);
        for (float& d : depth[0]) d = g.chance(30) ? depth_clear : g.z();
        colour[1] = colour[0];
        depth[1] = depth[0];
        for (int s = 0; s < 30; ++s) {
            const ClipWindow window = worker_window(g.integer(0, 1), width, height);
            SpanRequest span[2]{};
            const bool one_row = g.chance(10);
            for (int k = 0; k < 2; ++k) {
                const int row = k == 0 ? g.integer(-2, height + 1) : span[0].row + (one_row ? 0 : 1);
                SpanEnd a = g.end();
                SpanEnd b = g.chance(5) ? SpanEnd{a.x + g.integer(1, 3), a.normal, a.uvz} : g.end();
                // Spans on one row at one depth tie wherever they meet: the first must win.
                if (one_row) a.uvz.lane[2] = b.uvz.lane[2] = 0.25f;
                span[k] = {row, a, b, window, width, scene.texture, nullptr, nullptr};
            }
            for (int p = 0; p < 2; ++p) {
                SpanRequest first = span[0], second = span[1];
                first.colour_buffer = second.colour_buffer = colour[p].data();
                first.depth_buffer = second.depth_buffer = depth[p].data();
                (p == 0 ? reference : path)(first, second);
            }
        }
        shaded += std::count_if(colour[0].begin(), colour[0].end(), [](Pixel c) { return c != 0x5A5A5A5Au; });
        ASSERT_TRUE(same_bytes(colour[0], colour[1])) << "round " << round;
        ASSERT_TRUE(same_bytes(depth[0], depth[1])) << "round " << round;
    }
    EXPECT_GT(shaded, 50000);
}

// One build of the groups of shade_lanes.h, span by span and two spans at once.
template <void (*one)(const SpanRequest&, DepthRule), void (*two)(const SpanRequest&, const SpanRequest&, DepthRule)>
void expect_lane_build_matches_scalar()
{
    expect_same_span_bytes([](const SpanRequest& first, const SpanRequest& second) {
        one(first, DepthRule::nearer);
        one(second, DepthRule::nearer);
    });
    expect_same_span_bytes(
        [](const SpanRequest& first, const SpanRequest& second) { two(first, second, DepthRule::nearer); });
}

#if MORVANE_HAVE_AVX2_PATH
using OneSpan = void (*)(const SpanRequest&, DepthRule);
using TwoSpans = void (*)(const SpanRequest&, const SpanRequest&, DepthRule);

// Two builds of the groups under the rule for ties, span by span and two spans at once.
template <OneSpan one_a, TwoSpans two_a, OneSpan one_b, TwoSpans two_b>
void expect_builds_win_ties_alike()
{
    expect_same_span_bytes(
        [](const SpanRequest& first, const SpanRequest& second) {
            one_a(first, DepthRule::nearer_or_tied);
            one_a(second, DepthRule::nearer_or_tied);
        },
        [](const SpanRequest& first, const SpanRequest& second) {
            one_b(first, DepthRule::nearer_or_tied);
            one_b(second, DepthRule::nearer_or_tied);
        });
    expect_same_span_bytes(
        [](const SpanRequest& first, const SpanRequest& second) { two_a(first, second, DepthRule::nearer_or_tied); },
        [](const SpanRequest& first, const SpanRequest& second) { two_b(first, second, DepthRule::nearer_or_tied); });
}
#endif

} // namespace

#if MORVANE_HAVE_AVX2_PATH
TEST_F(RasterTest, Avx2ShadingMatchesScalarBitForBit)
{
    if (!processor_has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    expect_lane_build_matches_scalar<shade_span_avx2, shade_span_pair_avx2>();
}

TEST_F(RasterTest, Avx512ShadingMatchesScalarBitForBit)
{
    if (!processor_has_avx512()) GTEST_SKIP() << "this processor has no AVX-512";
    expect_lane_build_matches_scalar<shade_span_avx512, shade_span_pair_avx512>();
}

TEST_F(RasterTest, BothWideBuildsWinTiesAlike)
{
    // Where AVX-512 is present the frames are drawn by its build, and the whole-frame tests prove
    // its rule for ties against the scalar path; the AVX2 build must then give the same bytes.
    if (!processor_has_avx512()) GTEST_SKIP() << "this processor has no AVX-512";
    expect_builds_win_ties_alike<shade_span_avx2, shade_span_pair_avx2, shade_span_avx512, shade_span_pair_avx512>();
}
#endif

#if MORVANE_X86
TEST_F(RasterTest, Sse2ShadingMatchesScalarBitForBit)
{
    expect_lane_build_matches_scalar<shade_span_sse2, shade_span_pair_sse2>();
}
#endif

#if MORVANE_HAVE_AVX2_PATH
TEST_F(RasterTest, Sse2AndAvx2WinTiesAlike)
{
    // The AVX2 build's rule for ties is proven against the scalar path by the whole-frame tests;
    // the SSE2 build of the same groups must give the same bytes under it.
    if (!processor_has_avx2()) GTEST_SKIP() << "this processor has no AVX2";
    expect_builds_win_ties_alike<shade_span_avx2, shade_span_pair_avx2, shade_span_sse2, shade_span_pair_sse2>();
}
#endif

// ---- Whole frames of the slab ----

namespace {

// The program's start-up, then the slab turned by `angle` and scaled about the frame's centre.
void prepare_slab(int width, int height, float angle, float zoom)
{
    reset_scene();
    morvane::prepare_scene();
    scene.frame_width = static_cast<uint16_t>(width);
    scene.frame_height = static_cast<uint16_t>(height);
    const float c = std::cos(angle), s = std::sin(angle);
    for (int i = 0; i < scene.vertex_count; ++i) {
        const Vec3 p = scene.model_vertices[i], n = scene.vertex_normals[i];
        scene.screen_vertices[i] = {(s * p.x + c * p.z) * zoom + width / 2, p.y * zoom + height / 2,
                                    (c * p.x - s * p.z) * zoom};
        scene.view_normals[i] = {s * n.x + c * n.z, n.y, c * n.x - s * n.z};
    }
}

// The order in which a path with DepthRule::nearer_or_tied draws the scene's triangles as they stand.
DrawOrder planned_order()
{
    RasterVertex corners[model_triangle_count][3];
    for (int i = 0; i < scene.triangle_count; ++i) {
        for (int k = 0; k < 3; ++k) corners[i][k] = raster_vertex(scene.model_triangles[i].index[k]);
    }
    return plan_draw_order(corners, scene.triangle_count, true);
}

struct Frame {
    std::vector<Pixel> colour;
    std::vector<float> depth;
};

Frame render_slab(int width, int height, const ShadePath& path)
{
    Frame frame{std::vector<Pixel>(width * height, 0), std::vector<float>(width * height, depth_clear)};
    scene.colour_buffer = frame.colour.data();
    scene.depth_buffer = frame.depth.data();
    raster_triangles(0, path);
    raster_triangles(1, path);
    // The buffers leave with the frame.
    scene.colour_buffer = nullptr;
    scene.depth_buffer = nullptr;
    return frame;
}

// The slab as it stands drawn on every shading path the processor runs, each against the plain one.
void expect_same_slab_on_every_path(int width, int height, int round = 0)
{
    const Frame scalar = render_slab(width, height, shade_path(SceneBlock::CodePath::scalar));
    for (const ShadePath& path : shade_paths()) {
        const Frame drawn = render_slab(width, height, path);
        ASSERT_EQ(scalar.colour, drawn.colour) << path.name << ", round " << round;
        ASSERT_TRUE(same_bytes(scalar.depth, drawn.depth)) << path.name << ", round " << round;
    }
}

} // namespace

TEST_F(RasterTest, SlabFramesAreTheSameOnEveryCodePath)
{
    const struct {
        int width, height;
        float angle, zoom;
    } views[] = {{160, 120, 1.45f, 100.0f}, {160, 120, 2.0f, 55.0f}, {96, 200, 1.2f, 60.0f},
                 {160, 120, 3.4f, 70.0f}};  // the last shows the back face, which the fastest path draws first
    for (const auto& view : views) {
        SCOPED_TRACE(view.angle);
        prepare_slab(view.width, view.height, view.angle, view.zoom);
        if (view.angle > 3.0f && shade_path(SceneBlock::CodePath::fastest).out_of_order) {
            EXPECT_NE(planned_order().triangle[0], 0);
        }
        expect_same_slab_on_every_path(view.width, view.height);
        const Frame scalar = render_slab(view.width, view.height, shade_path(SceneBlock::CodePath::scalar));
        const auto drawn = std::count_if(scalar.depth.begin(), scalar.depth.end(),
                                         [](float d) { return d != depth_clear; });
        EXPECT_GT(drawn, view.width * view.height / 10) << "the slab should cover a good part of the frame";
        EXPECT_LT(drawn, view.width * view.height) << "and leave some background";
    }
}

TEST_F(RasterTest, TrianglesDrawnOutOfTableOrderLeaveEveryTieToTheFirst)
{
    if (!shade_path(SceneBlock::CodePath::fastest).out_of_order) {
        GTEST_SKIP() << "only the SIMD paths draw out of table order";
    }
    // The slab's twelve triangles over eight random corners, every other round all at one depth:
    // wherever two overlap they tie, and the one earlier in the table must keep the pixel, in
    // whatever order the worker draws them. At the clear depth itself nothing is drawn.
    constexpr int width = 48, height = 32;
    prepare_slab(width, height, 0.0f, 1.0f);
    std::mt19937 random(11);
    std::uniform_int_distribution<int> x(-10, width + 10), y(-10, height + 10);
    std::uniform_real_distribution<float> lane(-1.0f, 1.0f);
    int reordered = 0;
    for (int round = 0; round < 200; ++round) {
        for (int i = 0; i < scene.vertex_count; ++i) {
            const float z = round % 4 == 3 ? depth_clear : round % 2 == 0 ? 2.5f : static_cast<float>(i % 3);
            scene.screen_vertices[i] = {static_cast<float>(x(random)), static_cast<float>(y(random)), z};
            scene.view_normals[i] = {lane(random), lane(random), -1.0f};
        }
        // The triangles drawn so far always form a run of the table, grown downward only with
        // the rule that wins ties.
        const DrawOrder order = planned_order();
        int low = order.triangle[0], high = low;
        for (int k = 1; k < order.count; ++k) {
            const bool down = order.triangle[k] == low - 1;
            ASSERT_TRUE(down || order.triangle[k] == high + 1) << "round " << round;
            EXPECT_EQ(order.rule[k], down ? DepthRule::nearer_or_tied : DepthRule::nearer);
            (down ? low : high) = order.triangle[k];
        }
        reordered += order.triangle[0] != 0;
        expect_same_slab_on_every_path(width, height, round);
    }
    EXPECT_GT(reordered, 50);
}
