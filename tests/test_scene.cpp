// The scene record, the start-up geometry and the ray field.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "host/platform.h"
#include "scene/numeric.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

// Within the estimates' relative error (with a little room for the products that follow them).
void expect_near_relative(float actual, double expected, double bound = 2.0 * estimate_relative_error)
{
    EXPECT_NEAR(actual, expected, std::fabs(expected) * bound + 1e-7) << "expected " << expected;
}

void expect_near_relative(const Vec3& actual, const double (&expected)[3], double bound = 2.0 * estimate_relative_error)
{
    expect_near_relative(actual.x, expected[0], bound);
    expect_near_relative(actual.y, expected[1], bound);
    expect_near_relative(actual.z, expected[2], bound);
}

class SceneTest : public ::testing::Test {
protected:
    void SetUp() override { reset_scene(); }

    // The start-up sequence of the program, with a given seed.
    static void prepare(uint16_t seed)
    {
        reset_scene();
        scene.random_state = seed;
        morvane::prepare_scene();
    }
};

} // namespace

TEST_F(SceneTest, BuiltInValuesAndReset)
{
    // The layout the code relies on (one run of corners and ray points, four-lane data on
    // 16-byte boundaries) is checked where it is declared, at compile time.
    EXPECT_EQ(std::bit_cast<uint32_t>(scene.zoom_shrink_factor), 0x3F7F90C7u);
    EXPECT_EQ(std::bit_cast<uint32_t>(scene.angle_step), 0x3C49081Cu);
    EXPECT_NEAR(scene.zoom_grow_factor * scene.zoom_shrink_factor, 1.0f, 1.2e-7f);
    EXPECT_STREQ(scene.window_class_name, "tilvex");
    EXPECT_STREQ(scene.window_caption, "Morvane, press space -> speed - full/idle ");
    EXPECT_EQ(scene.speed_mode, 1);
    EXPECT_EQ(scene.zoom_counter, 350);
    EXPECT_EQ(scene.zoom_shrinking, 0);

    scene.frame_counter = 999;
    scene.model_vertices[3].x = -1.0f;
    scene.ray_lines[5] = {1, 1};
    scene.texture[100] = 7;
    reset_scene();
    EXPECT_EQ(scene.frame_counter, 30);
    EXPECT_EQ(scene.model_vertices[3].x, 256.0f);
    EXPECT_EQ(scene.ray_lines[5].end_index, 0);
    EXPECT_EQ(scene.texture[100], 0u);
}

TEST_F(SceneTest, TextureIsTheEmbeddedPictureInBGROrder)
{
    // FNV-1a over the 326,400 bytes of the committed picture, in B, G, R order. A changed
    // picture or a changed byte order in the build tool shows here.
    uint32_t hash = 2166136261u;
    for (int i = 0; i < texture_rgb_size; ++i) hash = (hash ^ texture_rgb[i]) * 16777619u;
    EXPECT_EQ(hash, 1070595824u) << "checksum of texture_rgb";
    EXPECT_EQ(texture_rgb[0], 0x40);  // the top-left texel: a dark blue sky
    EXPECT_EQ(texture_rgb[2], 0x16);
    expand_texture();
    for (int i : {0, 1, 255, 256, 54321, texel_count - 1}) {
        const Pixel expected = Pixel{texture_rgb[3 * i]} | Pixel{texture_rgb[3 * i + 1]} << 8 |
                               Pixel{texture_rgb[3 * i + 2]} << 16;
        EXPECT_EQ(scene.texture[i], expected) << "texel " << i;
    }
}

TEST_F(SceneTest, LightDirectionsBecomeUnitVectors)
{
    normalize_lights(scene.lights, 3);
    const double third = 1.0 / std::sqrt(6.0);
    const double expected[3][3] = {{0, 0, -1}, {-third, -third, -2 * third}, {third, third, -2 * third}};
    const float diffuse_blue[3] = {55, 32, 13};
    for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < 3; ++i) expect_near_relative(scene.lights[l].direction[i], expected[l][i]);
        EXPECT_EQ(scene.lights[l].direction[3], 0.0f);
        EXPECT_EQ(scene.lights[l].diffuse[0], diffuse_blue[l]);  // colours untouched
    }
}

TEST_F(SceneTest, GeneratorSteps)
{
    // The 16-bit sum with low is read as signed, which is what makes negative ranges work; a
    // range of one value returns it and still moves on.
    const struct {
        uint16_t state;
        int32_t low, high, value;
        uint16_t next_state;
    } steps[] = {{0, 180, 256, 185, 4681},   {4681, 250, 420, 284, 13458}, {13458, 0, 53, 18, 22747},
                 {0, -73, -20, -70, 4681},   {1234, 7, 8, 7, 21219}};
    for (const auto& s : steps) {
        scene.random_state = s.state;
        EXPECT_EQ(next_random_in_range(s.low, s.high), s.value) << "from state " << s.state;
        EXPECT_EQ(scene.random_state, s.next_state) << "from state " << s.state;
    }
}

TEST_F(SceneTest, GeneratorStatesFormCyclesOfKnownLengthsAndEveryOneStaysInRange)
{
    // The state map is a permutation of all 65536 states, two of them fixed points; from every
    // state a signed range stays inside low .. high - 1.
    std::vector<bool> seen(65536, false);
    std::vector<int> lengths;
    for (int start = 0; start < 65536; ++start) {
        if (seen[start]) continue;
        int length = 0;
        scene.random_state = static_cast<uint16_t>(start);
        do {
            seen[scene.random_state] = true;
            const int32_t v = next_random_in_range(-73, -20);
            ASSERT_TRUE(v >= -73 && v <= -21) << v;
        } while (++length <= 65536 && scene.random_state != start);
        lengths.push_back(length);
    }
    std::sort(lengths.rbegin(), lengths.rend());
    EXPECT_EQ(lengths, (std::vector<int>{63331, 716, 654, 494, 119, 84, 82, 54, 1, 1}));
}

TEST_F(SceneTest, RayFieldLayout)
{
    scene.random_state = 0;
    build_ray_field();
    const uint16_t after_field = scene.random_state;
    scene.random_state = 0;
    for (int i = 0; i < 4800; ++i) next_random_in_range(0, 1);
    EXPECT_EQ(after_field, scene.random_state) << "three draws for each of 1600 end points";
    EXPECT_EQ(scene.ray_points[0].x, 137.0f);
    EXPECT_EQ(scene.ray_points[1].z, -20.0f);
    EXPECT_EQ(scene.ray_points[2].x, 185.0f);
    EXPECT_EQ(scene.ray_points[2].y, 284.0f);
    EXPECT_EQ(scene.ray_points[2].z, 18.0f);

    const int lines[][3] = {{0, 0, 2}, {797, 0, 799}, {798, 1, 800}, {1597, 1, 1599}, {1598, 0, 0}, {1599, 0, 0}};
    for (const auto& [k, anchor, end] : lines) {
        EXPECT_EQ(scene.ray_lines[k].anchor_index, anchor) << "ray " << k;
        EXPECT_EQ(scene.ray_lines[k].end_index, end) << "ray " << k;
    }
    // Every end point is whole and inside its cluster's ranges (x, y, z from low to high).
    const struct {
        int first, last, xl, xh, yl, yh, zl, zh;
    } runs[] = {{2, 399, 180, 255, 250, 419, 0, 52}, {400, 799, 1, 84, 246, 419, 0, 52},
                {800, 1199, 180, 255, 250, 419, -70, -21}, {1200, 1601, 1, 84, 246, 419, -73, -21}};
    for (const auto& r : runs) {
        for (int i = r.first; i <= r.last; ++i) {
            const Vec3& p = scene.ray_points[i];
            ASSERT_EQ(p.x, std::floor(p.x));
            ASSERT_TRUE(p.x >= r.xl && p.x <= r.xh && p.y >= r.yl && p.y <= r.yh && p.z >= r.zl && p.z <= r.zh) << i;
        }
    }
    EXPECT_EQ(scene.ray_points[1602].x, 0.0f);  // nothing past the used points
}

TEST_F(SceneTest, ModelAndRaysShareOneCentreAndScale)
{
    // The y extent decides the scale (corners at -1 and 1); the z centre follows the random
    // field: its extremes over corners and ray ends.
    scene.random_state = 4321;
    build_ray_field();
    float z_hi = 0.0f, z_lo = -20.0f;
    for (int i = 2; i < ray_point_count; ++i) {
        z_hi = std::max(z_hi, scene.ray_points[i].z);
        z_lo = std::min(z_lo, scene.ray_points[i].z);
    }
    const double c = (double{z_hi} + z_lo) / 2.0;
    prepare(4321);
    expect_near_relative(scene.model_vertices[0], {-128.0 / 212.5, -1.0, (0.0 - c) / 212.5});
    expect_near_relative(scene.model_vertices[7], {128.0 / 212.5, 1.0, (-20.0 - c) / 212.5});
    expect_near_relative(scene.ray_points[0], {9.0 / 212.5, (110.0 - 212.5) / 212.5, (0.0 - c) / 212.5});
}

TEST_F(SceneTest, NormalizeModelScalesByTheLargestAxis)
{
    Vec3 run[3] = {{0, 0, 0}, {100, 20, 10}, {50, 5, 2}};  // x decides: half-extent 50 against 10 and 5
    normalize_model(run, 3);
    expect_near_relative(run[0].x, -1.0);
    expect_near_relative(run[1], {1.0, 0.2, 0.1});
    expect_near_relative(run[2].z, -3.0 / 50.0);
    Vec3 deep[2] = {{0, 0, -40}, {4, 2, 40}};  // and z here
    normalize_model(deep, 2);
    expect_near_relative(deep[1], {0.05, 0.025, 1.0});
}

TEST_F(SceneTest, FaceAndVertexNormals)
{
    prepare(1);
    // Face normals point out of the slab, two triangles a face; zeros are exact.
    const float faces[6][3] = {{0, 0, 1}, {0, 0, -1}, {0, -1, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}};
    for (int t = 0; t < 12; ++t) {
        const Vec3& n = scene.face_normals[t];
        const float got[3] = {n.x, n.y, n.z};
        for (int i = 0; i < 3; ++i) {
            if (faces[t / 2][i] != 0.0f) {
                expect_near_relative(got[i], faces[t / 2][i]);
            } else {
                EXPECT_EQ(got[i], 0.0f) << "triangle " << t;
            }
        }
    }
    // Vertex normals are the plain means of their triangles' normals (triangles 0, 4, 10, 11
    // meet at corner 0; 0, 1, 4, 5, 6 at corner 1), made unit.
    const double a = 1.0 / std::sqrt(6.0), b = 1.0 / std::sqrt(3.0);
    const struct {
        int vertex;
        double normal[3];
    } vertices[] = {{0, {-2 * a, -a, a}}, {1, {1.0 / 3, -2.0 / 3, 2.0 / 3}}, {6, {-b, b, -b}}, {7, {b, b, -b}}};
    for (const auto& v : vertices) {
        SCOPED_TRACE("vertex " + std::to_string(v.vertex));
        expect_near_relative(scene.vertex_normals[v.vertex], v.normal, 4 * estimate_relative_error);
    }
}

TEST_F(SceneTest, TriangleNamingAVertexTwiceCountsOnce)
{
    scene.triangle_count = 2;
    scene.vertex_count = 1;
    scene.model_triangles[0] = {{0, 0, 1}};
    scene.model_triangles[1] = {{0, 1, 2}};
    scene.face_normals[0] = {1, 0, 0};
    scene.face_normals[1] = {0, 1, 0};
    compute_vertex_normals();
    // The mean of the two faces, (0.5, 0.5, 0), not (2/3, 1/3, 0).
    expect_near_relative(scene.vertex_normals[0], {std::sqrt(0.5), std::sqrt(0.5), 0.0});
}
