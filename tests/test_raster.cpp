// The rasteriser: the triangle walk's corner cases and its bands, the span set-up shared by
// every path (ordering, clipping, the strict depth test, texel clamping), and every build of the
// shading against the scalar shading, span by span, in pairs, under the rule for ties, and for
// whole sets of triangles drawn out of table order.
#include <algorithm>
#include <array>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "raster/raster.h"
#include "raster/walk.h"
#include "tests/support.h"

using namespace morvane;

namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();
constexpr Vec4 facing = {{0.0f, 0.0f, -1.0f, 0.0f}};  // a normal straight at the viewer

Pixel texel(int blue, int green, int red, int fourth = 0)
{
    return Pixel(blue) | Pixel(green) << 8 | Pixel(red) << 16 | Pixel(fourth) << 24;
}

RasterVertex corner(int x, int y, float z = 1.0f)
{
    return {static_cast<int16_t>(x), static_cast<int16_t>(y), z, facing, 0, 0};
}

// A frame of its own, colour 0 and depth clear; the scene's texture and lights as start-up
// leaves them.
struct Frame {
    int width, height;
    std::vector<Pixel> colour;
    std::vector<float> depth;
    Frame(int w, int h) : width(w), height(h), colour(size_t(w) * h, 0), depth(size_t(w) * h, depth_clear) {}
    ClipWindow whole() const { return {0, height, 0, width}; }
    void draw(const RasterVertex& a, const RasterVertex& b, const RasterVertex& c, const ClipWindow& window)
    {
        draw_triangle(a, b, c, window, width, scene.texture, colour.data(), depth.data());
    }
    std::set<std::pair<int, int>> drawn() const  // (column, row) of every pixel whose depth was written
    {
        std::set<std::pair<int, int>> out;
        for (int i = 0; i < width * height; ++i) {
            if (depth[i] != depth_clear) out.insert({i % width, i / width});
        }
        return out;
    }
    void shade(const ShadePath& path, int row, const SpanEnd& a, const SpanEnd& b, const ClipWindow& window)
    {
        path.span({row, a, b, window, width, scene.texture, colour.data(), depth.data()}, DepthRule::nearer);
    }
};

class RasterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset_scene();
        expand_texture();
        normalize_lights(scene.lights, 3);
    }
    void TearDown() override { reset_scene(); }
};

} // namespace

// ---- The triangle walk ----

TEST_F(RasterTest, TrianglesCoverTheColumnsBetweenTheirEdgesRowByRow)
{
    // Each row covers from the lesser to the greater of its two edge columns, exclusive.
    const struct {
        const char* what;
        std::array<RasterVertex, 3> corners;
        bool any_order;  // corners on distinct rows give the same pixels in every table order
        std::vector<std::array<int, 3>> rows;  // row, one edge's column, the other's
    } cases[] = {
        {"the worked example", {corner(0, 8), corner(2, 0), corner(12, 4)}, true,
         {{0, 2, 2}, {1, 1, 4}, {2, 1, 7}, {3, 1, 9}, {4, 1, 12}, {5, 0, 9}, {6, 0, 6}, {7, 0, 3}}},
        {"corners on one row keep their table order", {corner(5, 9), corner(7, 3), corner(1, 9)}, false,
         {{3, 7, 7}, {4, 6, 6}, {5, 5, 6}, {6, 4, 6}, {7, 3, 5}, {8, 2, 5}}},
        {"a flat top starts with the lower part", {corner(0, 0), corner(10, 0), corner(0, 4)}, false,
         {{0, 0, 10}, {1, 0, 7}, {2, 0, 5}, {3, 0, 2}}},
        {"the bottom row is never walked", {corner(0, 0), corner(10, 10), corner(0, 10)}, false,
         {{0, 0, 0}, {1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 0, 4}, {5, 0, 5}, {6, 0, 6}, {7, 0, 7}, {8, 0, 8}, {9, 0, 9}}},
        // The short edge stands at -341 / 1024 on row 1: column -1, where truncation would give 0.
        {"columns round down", {corner(0, 0), corner(-1, 3), corner(10, 6)}, true,
         {{0, 0, 0}, {1, 1, -1}, {2, 3, -1}, {3, 4, -1}, {4, 6, 2}, {5, 8, 6}}},
        {"a lower part one row tall", {corner(0, 0), corner(4, 2), corner(0, 3)}, true, {{0, 0, 0}, {1, 0, 2}, {2, 0, 4}}},
        {"a triangle on one row covers nothing", {corner(0, 5), corner(10, 5), corner(3, 5)}, false, {}},
    };
    constexpr int shift = 16;  // drawn away from the frame's edges
    for (const auto& c : cases) {
        std::set<std::pair<int, int>> expected;
        for (const auto& [row, a, b] : c.rows) {
            for (int x = std::min(a, b); x < std::max(a, b); ++x) expected.insert({x + shift, row + shift});
        }
        std::array<int, 3> order = {0, 1, 2};
        do {
            Frame frame(48, 48);
            auto at = [&](int k) {
                RasterVertex v = c.corners[order[k]];
                v.x = static_cast<int16_t>(v.x + shift), v.y = static_cast<int16_t>(v.y + shift);
                return v;
            };
            frame.draw(at(0), at(1), at(2), frame.whole());
            EXPECT_EQ(frame.drawn(), expected) << c.what << ", order " << order[0] << order[1] << order[2];
        } while (c.any_order && std::next_permutation(order.begin(), order.end()));
    }
}

TEST_F(RasterTest, EdgesLongerThanTheSixteenBitRangeStayInTheirBand)
{
    // Edges 40,000 rows long, as the slab at its largest zoom on a screen 30,000 rows tall gives:
    // taken as a 16-bit difference dy would wrap and the short edge would point left. The real
    // edge from (0, -20000) to (30000, 20000) steps 0.75 of a column per row.
    Frame frame(64, 16);
    frame.draw(corner(0, -20000), corner(30000, 20000), corner(0, 20000), frame.whole());
    std::set<std::pair<int, int>> expected;
    for (int row = 0; row < 16; ++row) {
        for (int x = 0; x < std::min(64, (20000 + row) * 768 / 1024); ++x) expected.insert({x, row});
    }
    EXPECT_EQ(frame.drawn(), expected);
    // Corners at the ends of the 16-bit range: nothing leaves worker 1's band.
    Frame band(64, 16);
    const ClipWindow lower = worker_window(1, 64, 16);
    band.draw(corner(-32768, -32768), corner(32767, 32767), corner(-32768, 32767), lower);
    band.draw(corner(32767, -32768), corner(-32768, 0), corner(32767, 32767), lower);
    for (const auto& [x, y] : band.drawn()) ASSERT_GE(y, lower.top) << x;
    EXPECT_FALSE(band.drawn().empty());
}

TEST_F(RasterTest, EachWorkerIsHandedTheRowsOfItsBandAndNoOther)
{
    // The span set-up would clip a stray row or column, so the walk itself is watched.
    const auto rows_handed = [](const RasterVertex& a, const RasterVertex& b, const RasterVertex& c, ClipWindow window) {
        std::vector<int> rows;
        walk_triangle(a, b, c, {0, {}, {}, window, 64, {}, {}, {}}, [&rows](const SpanRequest& s) { rows.push_back(s.row); });
        return rows;
    };
    // Rows -5..23 over a 64 x 16 frame: worker 0 gets rows 0..7 and worker 1 rows 8..15.
    for (int k = 0; k < 2; ++k) {
        std::vector<int> expected = {0, 1, 2, 3, 4, 5, 6, 7};
        for (int& row : expected) row += 8 * k;
        EXPECT_EQ(rows_handed(corner(-5, -5), corner(-3, 20), corner(70, 24), worker_window(k, 64, 16)), expected);
    }
    // A triangle wholly outside the band's rows or columns is not walked; one reaching a row or
    // column of it is.
    const struct {
        RasterVertex a, b, c;
        bool walked;
    } cases[] = {{corner(0, 0), corner(30, 9), corner(10, 4), true},      {corner(0, 15), corner(30, 20), corner(10, 18), true},
                 {corner(-9, 0), corner(0, 30), corner(-3, 20), false},   {corner(-9, 0), corner(1, 30), corner(-3, 20), true},
                 {corner(64, 0), corner(90, 30), corner(70, 20), false},  {corner(63, 0), corner(90, 30), corner(70, 20), true}};
    for (const auto& c : cases) {
        EXPECT_EQ(!rows_handed(c.a, c.b, c.c, {8, 16, 0, 64}).empty(), c.walked) << c.a.x << "," << c.a.y << " " << c.b.x;
    }
}

// ---- One span, on every path ----

TEST_F(RasterTest, SpanSetUpOrdersClipsAndKeepsTheWholeRunsIncrements)
{
    const auto end = [](int x, float z, float u = 0.0f) { return SpanEnd{x, facing, {{u, 0.0f, z, 0.0f}}}; };
    const ClipWindow band = {4, 8, 0, 128}, columns = {0, 16, 8, 100};
    const struct {
        const char* what;
        int row;
        SpanEnd a, b;
        ClipWindow window;
        int first, count;  // the pixels drawn on the row
        float first_z, z_step;
    } cases[] = {
        {"equal ends", 3, end(10, 1.0f), end(10, 1.0f), {0, 16, 0, 128}, 0, 0, 0, 0},
        {"one column takes the left end", 1, end(11, 9.0f), end(10, 0.75f), {0, 16, 0, 128}, 10, 1, 0.75f, 0},
        {"right to left like left to right", 2, end(14, 2.78f), end(10, 0.4f), {0, 16, 0, 128}, 10, 4, 0.4f,
         (2.78f - 0.4f) / 4.0f},
        {"row above the band", 3, end(0, 1.0f), end(5, 1.0f), band, 0, 0, 0, 0},
        {"first row of the band", 4, end(0, 1.0f), end(5, 1.0f), band, 0, 5, 1.0f, 0},
        {"last row of the band", 7, end(5, 2.0f), end(0, 1.0f), band, 0, 5, 1.0f, 0.2f},
        {"row below the band", 8, end(0, 1.0f), end(5, 1.0f), band, 0, 0, 0, 0},
        {"run ending at the first column", 0, end(-20, 1.0f), end(8, 1.0f), columns, 0, 0, 0, 0},
        {"run starting past the last column", 0, end(100, 1.0f), end(130, 1.0f), columns, 0, 0, 0, 0},
        // Clipped on the left, the run starts where the unclipped one would be after 13 pixels:
        // one product and one sum, not 13 additions; the steps are the whole run's.
        {"clipped left", 0, end(-5, 0.4f), end(13, 2.78f), columns, 8, 5, (2.78f - 0.4f) / 18.0f * 13.0f + 0.4f,
         (2.78f - 0.4f) / 18.0f},
        {"clipped right", 1, end(90, 0.4f), end(120, 7.3f), columns, 90, 10, 0.4f, (7.3f - 0.4f) / 30.0f},
    };
    for (const ShadePath& path : shade_paths()) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(path.name) + ": " + c.what);
            Frame frame(128, 16);
            frame.shade(path, c.row, c.a, c.b, c.window);
            std::set<std::pair<int, int>> expected;
            for (int x = c.first; x < c.first + c.count; ++x) expected.insert({x, c.row});
            ASSERT_EQ(frame.drawn(), expected);
            float z = c.first_z;
            for (int x = c.first; x < c.first + c.count; ++x, z += c.z_step) {
                EXPECT_EQ(frame.depth[c.row * 128 + x], z) << x;
            }
        }
    }
}

TEST_F(RasterTest, DepthTestIsStrict)
{
    const auto end = [](int x, float z, Vec4 normal = facing) { return SpanEnd{x, normal, {{5.0f, 5.0f, z, 0.0f}}}; };
    for (const ShadePath& path : shade_paths()) {
        SCOPED_TRACE(path.name);
        Frame frame(16, 1);
        frame.shade(path, 0, end(0, 3.0f), end(4, 3.0f), frame.whole());
        const std::vector<Pixel> first = frame.colour;
        for (float z : {3.0f, nan_value, 4.0f}) {  // tied, NaN, farther: all fail
            frame.shade(path, 0, end(0, z, {{0.0f, 0.0f, 1.0f, 0.0f}}), end(4, z, {{0.0f, 0.0f, 1.0f, 0.0f}}),
                        frame.whole());
        }
        EXPECT_EQ(frame.colour, first);
        EXPECT_EQ(frame.depth[0], 3.0f);
        // Nearer: drawn (black, the normal facing away), and the depth stored.
        frame.shade(path, 0, end(0, 2.5f, {{0.0f, 0.0f, 1.0f, 0.0f}}), end(4, 2.5f, {{0.0f, 0.0f, 1.0f, 0.0f}}), frame.whole());
        EXPECT_EQ(frame.colour[1], 0u);
        EXPECT_EQ(frame.depth[1], 2.5f);
    }
}

TEST_F(RasterTest, TexelCoordinatesWeighAndClampTheFetch)
{
    // One light straight at the viewer, strong enough to clamp at 255: a pixel is then the
    // texture sample times 255, shifted by 8.
    for (Light& l : scene.lights) l = Light{};
    scene.lights[0].direction = facing;
    scene.lights[0].diffuse = {{300.0f, 300.0f, 300.0f, 0.0f}};
    std::fill(std::begin(scene.texture), std::end(scene.texture), texel(255, 255, 255, 0xFF));
    for (const auto [u, v, b, g, r] : {std::array{10, 20, 100, 40, 0}, {11, 20, 200, 60, 250}, {10, 21, 7, 255, 255},
                                       {11, 21, 255, 0, 33}, {254, 423, 100, 20, 40}, {0, 0, 100, 100, 100}, {1, 0, 50, 50, 50}}) {
        scene.texture[v * texture_width + u] = texel(b, g, r, 0xFF);
    }
    const auto lit = [](double b, double g, double r) {
        const auto byte = [](double sample) { return static_cast<int>(std::nearbyint(255.0 * sample)) >> 8; };
        return texel(byte(b), byte(g), byte(r));
    };
    const Pixel corner_texel = lit(100, 20, 40), first_texel = lit(100, 100, 100);
    const struct {
        float u, v;
        Pixel expected;
    } cases[] = {
        {10.5f, 20.0f, lit(150, 50, 125)},  // the mean of (10, 20) and (11, 20); row 21 weighs 0
        {10.25f, 20.5f, lit(0.375 * 100 + 0.125 * 200 + 0.375 * 7 + 0.125 * 255, 0.375 * 40 + 0.125 * 60 + 0.375 * 255,
                            0.125 * 250 + 0.375 * 255 + 0.125 * 33)},
        // The 2 x 2 fetch stays inside the picture: u at most 254, v at most 423, NaN taken as them.
        {254.0f, 423.0f, corner_texel}, {254.5f, 423.75f, corner_texel}, {300.0f, 1000.0f, corner_texel},
        {infinity, 423.5f, corner_texel}, {nan_value, 423.0f, corner_texel}, {254.0f, nan_value, corner_texel},
        // Between -1 and 0: index 0 with a negative fraction, weights 1.5 and -0.5; -1 and below
        // never come from the model and are drawn as 0, reading nothing outside the picture.
        {-0.5f, 0.0f, lit(125, 125, 125)}, {-1.0f, 0.0f, first_texel}, {0.0f, -1.0f, first_texel},
        {-7.5f, 0.0f, first_texel}, {0.0f, -1e9f, first_texel}, {-infinity, 0.0f, first_texel},
        {0.0f, -infinity, first_texel},
    };
    for (const ShadePath& path : shade_paths()) {
        for (const auto& c : cases) {
            Frame frame(4, 1);
            const SpanEnd e = {0, facing, {{c.u, c.v, 1.0f, 0.0f}}};
            frame.shade(path, 0, e, SpanEnd{1, e.normal, e.uvz}, frame.whole());
            EXPECT_EQ(frame.colour[0], c.expected) << path.name << ": u " << c.u << ", v " << c.v;
        }
    }
}

// ---- Every build of the shading against the scalar shading ----

namespace {

// Random spans over a 64 x 16 frame with the awkward values shading meets: zero, denormal and
// huge normals, texel coordinates at the ceilings and below zero, NaN and infinities, depths
// that tie with the buffer, ends far outside the columns, lights with fourth lanes.
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
        const int kind = integer(0, 9);
        return kind == 0 ? real(ceiling - 0.5f, ceiling + 0.5f) : kind == 1 ? real(-1.0f, 0.0f)
             : kind == 2 ? real(-3.0f, -0.5f) : kind == 3 ? (chance(50) ? awkward() : -1.0f) : real(-0.2f, ceiling + 2.0f);
    }
    float z()
    {
        // Ties with a pixel not yet drawn, and with the buffer.
        return chance(2) ? awkward() : chance(2) ? depth_clear : chance(50) ? integer(1, 4) * 0.5f : real(0.0f, 3.0f);
    }
    SpanEnd end()
    {
        const int x = chance(3) ? integer(-40000, 40000) : integer(-30, 94);
        return {x, normal(), {{texel_coordinate(254.0f), texel_coordinate(423.0f), z(), real(-1.0f, 1.0f)}}};
    }
    Light light(bool zero_fourth_lanes)
    {
        Light l{};
        l.direction = {{real(-1.0f, 1.0f), real(-1.0f, 1.0f), real(-1.0f, 0.0f), 0.0f}};
        for (int c = 0; c < 3; ++c) l.diffuse.lane[c] = real(0.0f, 300.0f), l.specular.lane[c] = real(0.0f, 300.0f);
        if (chance(10)) {  // long enough that d^16 overflows: the fourth lighting lane turns NaN
            for (int c = 0; c < 3; ++c) l.direction.lane[c] *= 1000.0f;
        }
        for (Vec4* v : {&l.direction, &l.diffuse, &l.specular}) {
            if (!zero_fourth_lanes && chance(50)) v->lane[3] = v == &l.direction ? real(-1.0f, 1.0f) : real(0.0f, 300.0f);
        }
        return l;
    }

private:
    std::mt19937 random_;
};

// Shades the same random spans, two at a time, on `path` and on `reference` into two pairs of
// buffers, which must stay identical bit for bit. The two spans of a call lie on neighbouring
// rows, as two rows of a triangle do, or now and then on one row at one depth, where they tie and
// must be shaded one after the other. `paired` takes them through the path's pair entry.
void expect_same_span_bytes(const ShadePath& path, bool paired, DepthRule rule, const ShadePath& reference)
{
    constexpr int width = 64, height = 16;
    for (int i = 0; i < texel_count; ++i) scene.texture[i] = static_cast<Pixel>(i * 2654435761u);
    SpanGenerator g(2024);
    std::vector<Pixel> colour[2];
    std::vector<float> depth[2];
    int64_t shaded = 0;
    for (int round = 0; round < 400; ++round) {
        if (round % 2 == 0) {
            for (Light& l : scene.lights) l = g.light(round % 8 < 4);
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
                if (one_row) a.uvz.lane[2] = b.uvz.lane[2] = 0.25f;  // they tie wherever they meet
                span[k] = {row, a, b, window, width, scene.texture, nullptr, nullptr};
            }
            for (int p = 0; p < 2; ++p) {
                SpanRequest first = span[0], second = span[1];
                first.colour_buffer = second.colour_buffer = colour[p].data();
                first.depth_buffer = second.depth_buffer = depth[p].data();
                const ShadePath& on = p == 0 ? reference : path;
                if (p == 1 && paired) {
                    on.pair(first, second, rule);
                } else {
                    on.span(first, rule), on.span(second, rule);
                }
            }
        }
        shaded += std::ranges::count_if(colour[0], [](Pixel c) { return c != 0x5A5A5A5Au; });
        ASSERT_TRUE(test::same_bytes(colour[0], colour[1]) && test::same_bytes(depth[0], depth[1]))
            << path.name << (paired ? " in pairs" : "") << ", round " << round;
    }
    EXPECT_GT(shaded, 50000);
}

} // namespace

TEST_F(RasterTest, EveryBuildShadesAsTheScalarShadingSpanBySpanAndInPairs)
{
    const ShadePath& scalar = shade_path(SceneBlock::CodePath::scalar);
    for (const ShadePath& path : shade_paths()) {
        for (bool paired : {false, true}) expect_same_span_bytes(path, paired, DepthRule::nearer, scalar);
    }
}

TEST_F(RasterTest, EveryBuildThatDrawsOutOfOrderWinsTiesAsTheOthers)
{
    // The whole-frame comparisons prove the fastest build's rule for ties against the scalar
    // shading; every other SIMD build must give its bytes under that rule.
    const std::span<const ShadePath> paths = shade_paths();
    for (const ShadePath& path : paths.subspan(1)) {
        for (bool paired : {false, true}) expect_same_span_bytes(path, paired, DepthRule::nearer_or_tied, paths.back());
    }
}

TEST_F(RasterTest, TrianglesDrawnOutOfTableOrderGiveTheScalarFrame)
{
    // The slab's twelve triangles over eight random corners, often all at one depth so that
    // wherever two overlap they tie and the one earlier in the table must keep the pixel, in
    // whatever order a worker draws them; some rounds at the clear depth itself.
    constexpr int width = 48, height = 32;
    scene.frame_width = width, scene.frame_height = height;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> x(-10, width + 10), y(-10, height + 10);
    std::uniform_real_distribution<float> lane(-1.0f, 1.0f);
    std::vector<Pixel> colour[2];
    std::vector<float> depth[2];
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < scene.vertex_count; ++i) {
            const float z = round % 4 == 3 ? depth_clear : round % 2 == 0 ? 2.5f : static_cast<float>(i % 3);
            scene.screen_vertices[i] = {static_cast<float>(x(random)), static_cast<float>(y(random)), z};
            scene.view_normals[i] = {lane(random), lane(random), -1.0f};
        }
        for (const ShadePath& path : shade_paths()) {
            const int p = &path != &shade_paths().front();
            colour[p].assign(width * height, 0);
            depth[p].assign(width * height, depth_clear);
            scene.colour_buffer = colour[p].data(), scene.depth_buffer = depth[p].data();
            raster_triangles(0, path), raster_triangles(1, path);
            scene.colour_buffer = nullptr, scene.depth_buffer = nullptr;
            ASSERT_TRUE(test::same_bytes(colour[0], colour[p]) && test::same_bytes(depth[0], depth[p]))
                << path.name << ", round " << round;
        }
    }
}
