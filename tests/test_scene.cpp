// The scene record, the start-up geometry and the ray field.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "scene/numeric.h"
#include "scene/scene.h"

using namespace morvane;

namespace {

// Within the reciprocal estimates' relative error (with a little room for the products that
// follow them).
void expect_near_relative(float actual, double expected, double bound = 2.0 * estimate_relative_error)
{
    EXPECT_NEAR(actual, expected, std::fabs(expected) * bound + 1e-7) << "expected " << expected;
}

class SceneTest : public ::testing::Test {
protected:
    void SetUp() override { reset_scene(); }
};

// The start-up sequence of the program, with a given seed.
void prepare(uint16_t seed)
{
    reset_scene();
    scene.random_state = seed;
    build_ray_field();
    expand_texture();
    normalize_lights(scene.lights, 3);
    normalize_model(scene.model_vertices, scene.vertex_count + scene.ray_end_count + 2);
    compute_face_normals();
    compute_vertex_normals();
}

} // namespace

TEST_F(SceneTest, RecordLayoutAndBuiltInValues)
{
    // The corners and the ray points form one contiguous run of 1610 Vec3.
    EXPECT_EQ(reinterpret_cast<const char*>(&scene.ray_points[0]),
              reinterpret_cast<const char*>(&scene.model_vertices[7]) + sizeof(Vec3));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&scene.lights[0]) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&scene.texel_clamp) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&scene.rotation_table[0]) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&scene.texture[0]) % 16, 0u);
    EXPECT_EQ(scene.point_stride, 12);

    EXPECT_EQ(std::bit_cast<uint32_t>(scene.zoom_shrink_factor), 0x3F7F90C7u);
    EXPECT_EQ(std::bit_cast<uint32_t>(scene.angle_step), 0x3C49081Cu);
    EXPECT_NEAR(scene.zoom_grow_factor * scene.zoom_shrink_factor, 1.0f, 1.2e-7f);
    EXPECT_STREQ(scene.window_class_name, "tilvex");
    EXPECT_STREQ(scene.window_caption, "Morvane, press space -> speed - full/idle ");
    EXPECT_EQ(scene.frame_counter, 30);
    EXPECT_EQ(scene.speed_mode, 1);
    EXPECT_EQ(scene.zoom_counter, 350);
    EXPECT_EQ(scene.zoom_shrinking, 0);
}

TEST_F(SceneTest, ResetRestoresEveryField)
{
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

TEST_F(SceneTest, EmbeddedPictureIsTheCroppedPhotograph)
{
    // FNV-1a over the 326,400 bytes of the committed picture, in B, G, R order. A changed
    // picture or a changed byte order in the build tool shows here.
    uint32_t hash = 2166136261u;
    for (int i = 0; i < texture_rgb_size; ++i) hash = (hash ^ texture_rgb[i]) * 16777619u;
    EXPECT_EQ(hash, 1070595824u) << "checksum of texture_rgb";
    EXPECT_EQ(texture_rgb[0], 0x40);  // the top-left texel: a dark blue sky
    EXPECT_EQ(texture_rgb[2], 0x16);
}

TEST_F(SceneTest, TextureTakesTheBytesInOrder)
{
    expand_texture();
    for (int i : {0, 1, 255, 256, 54321, texel_count - 1}) {
        const Pixel texel = scene.texture[i];
        EXPECT_EQ(texel & 0xFF, texture_rgb[3 * i]) << i;
        EXPECT_EQ(texel >> 8 & 0xFF, texture_rgb[3 * i + 1]) << i;
        EXPECT_EQ(texel >> 16 & 0xFF, texture_rgb[3 * i + 2]) << i;
    }
}

TEST_F(SceneTest, LightDirectionsBecomeUnitVectors)
{
    normalize_lights(scene.lights, 3);
    const double third = 1.0 / std::sqrt(6.0);
    const double expected[3][3] = {{0, 0, -1}, {-third, -third, -2 * third}, {third, third, -2 * third}};
    for (int l = 0; l < 3; ++l) {
        for (int i = 0; i < 3; ++i) expect_near_relative(scene.lights[l].direction[i], expected[l][i]);
        EXPECT_EQ(scene.lights[l].direction[3], 0.0f);
        const float diffuse_blue[3] = {55, 32, 13};
        EXPECT_EQ(scene.lights[l].diffuse[0], diffuse_blue[l]);  // colours untouched
    }
}

TEST_F(SceneTest, GeneratorSequenceAndRanges)
{
    scene.random_state = 0;
    EXPECT_EQ(next_random_in_range(180, 256), 185);
    EXPECT_EQ(scene.random_state, 4681);
    EXPECT_EQ(next_random_in_range(250, 420), 284);
    EXPECT_EQ(scene.random_state, 13458);
    EXPECT_EQ(next_random_in_range(0, 53), 18);
    EXPECT_EQ(scene.random_state, 22747);

    scene.random_state = 0;
    EXPECT_EQ(next_random_in_range(-73, -20), -70);
    EXPECT_EQ(scene.random_state, 4681);

    // A range of one value returns it and still moves on.
    scene.random_state = 1234;
    EXPECT_EQ(next_random_in_range(7, 8), 7);
    EXPECT_NE(scene.random_state, 1234);

    // Signed ranges stay inside low..high-1 for every state.
    for (int state = 0; state < 65536; state += 7) {
        scene.random_state = static_cast<uint16_t>(state);
        const int32_t v = next_random_in_range(-73, -20);
        ASSERT_GE(v, -73);
        ASSERT_LE(v, -21);
    }
}

TEST_F(SceneTest, GeneratorFixedPointsNeverMove)
{
    for (uint16_t fixed : {uint16_t{24074}, uint16_t{33436}}) {
        scene.random_state = fixed;
        const int32_t first = next_random_in_range(1, 85);
        for (int i = 0; i < 10; ++i) EXPECT_EQ(next_random_in_range(1, 85), first);
        EXPECT_EQ(scene.random_state, fixed);
    }
}

TEST_F(SceneTest, GeneratorCycleLengths)
{
    // The state map is a permutation whose cycles have these lengths.
    std::vector<bool> seen(65536, false);
    std::vector<int> lengths;
    for (int start = 0; start < 65536; ++start) {
        if (seen[start]) continue;
        int length = 0;
        scene.random_state = static_cast<uint16_t>(start);
        do {
            seen[scene.random_state] = true;
            next_random_in_range(0, 1);
            ++length;
        } while (scene.random_state != start);
        lengths.push_back(length);
    }
    std::sort(lengths.rbegin(), lengths.rend());
    EXPECT_EQ(lengths, (std::vector<int>{63331, 716, 654, 494, 119, 84, 82, 54, 1, 1}));
}

TEST_F(SceneTest, RayFieldLayout)
{
    scene.random_state = 0;
    build_ray_field();
    EXPECT_EQ(scene.random_state, [] {  // exactly 4800 draws
        uint16_t s = 0;
        for (int i = 0; i < 4800; ++i) s = static_cast<uint16_t>(static_cast<uint16_t>(s + 0x9248) >> 3 |
                                                                   static_cast<uint16_t>(s + 0x9248) << 13);
        return s;
    }());
    EXPECT_EQ(scene.ray_points[0].x, 137.0f);
    EXPECT_EQ(scene.ray_points[1].z, -20.0f);
    EXPECT_EQ(scene.ray_points[2].x, 185.0f);
    EXPECT_EQ(scene.ray_points[2].y, 284.0f);
    EXPECT_EQ(scene.ray_points[2].z, 18.0f);

    const auto line = [](int k) { return std::pair<int, int>(scene.ray_lines[k].anchor_index, scene.ray_lines[k].end_index); };
    EXPECT_EQ(line(0), std::make_pair(0, 2));
    EXPECT_EQ(line(797), std::make_pair(0, 799));
    EXPECT_EQ(line(798), std::make_pair(1, 800));
    EXPECT_EQ(line(1597), std::make_pair(1, 1599));
    EXPECT_EQ(line(1598), std::make_pair(0, 0));
    EXPECT_EQ(line(1599), std::make_pair(0, 0));

    // Every end point is whole and inside its run's ranges.
    struct Range { int first, last, xl, xh, yl, yh, zl, zh; };
    const Range runs[] = {{2, 399, 180, 255, 250, 419, 0, 52}, {400, 799, 1, 84, 246, 419, 0, 52},
                          {800, 1199, 180, 255, 250, 419, -70, -21}, {1200, 1601, 1, 84, 246, 419, -73, -21}};
    for (const Range& r : runs) {
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
    prepare(4321);
    // The z centre follows the random field: its extremes over corners and ray ends.
    reset_scene();
    scene.random_state = 4321;
    build_ray_field();
    float z_hi = 0.0f, z_lo = -20.0f;
    for (int i = 2; i < 1602; ++i) {
        z_hi = std::max(z_hi, scene.ray_points[i].z);
        z_lo = std::min(z_lo, scene.ray_points[i].z);
    }
    const double c = (double{z_hi} + z_lo) / 2.0;
    prepare(4321);

    expect_near_relative(scene.model_vertices[0].x, -128.0 / 212.5);
    expect_near_relative(scene.model_vertices[0].y, -1.0);
    expect_near_relative(scene.model_vertices[0].z, (0.0 - c) / 212.5);
    expect_near_relative(scene.model_vertices[7].x, 128.0 / 212.5);
    expect_near_relative(scene.model_vertices[7].y, 1.0);
    expect_near_relative(scene.model_vertices[7].z, (-20.0 - c) / 212.5);
    expect_near_relative(scene.ray_points[0].x, 9.0 / 212.5);
    expect_near_relative(scene.ray_points[0].y, (110.0 - 212.5) / 212.5);
    expect_near_relative(scene.ray_points[0].z, (0.0 - c) / 212.5);
}

TEST_F(SceneTest, NormalizeModelScalesByTheLargestAxis)
{
    // The x axis decides here: half-extent 50 against 10 and 5.
    Vec3 run[3] = {{0, 0, 0}, {100, 20, 10}, {50, 5, 2}};
    normalize_model(run, 3);
    expect_near_relative(run[0].x, -1.0);
    expect_near_relative(run[1].x, 1.0);
    expect_near_relative(run[1].y, 0.2);
    expect_near_relative(run[2].z, -3.0 / 50.0);
    Vec3 deep[2] = {{0, 0, -40}, {4, 2, 40}};  // and the z axis here
    normalize_model(deep, 2);
    expect_near_relative(deep[1].z, 1.0);
    expect_near_relative(deep[1].x, 0.05);
}

TEST_F(SceneTest, FaceNormalsPointOutOfTheSlab)
{
    prepare(1);
    const float expected[6][3] = {{0, 0, 1}, {0, 0, -1}, {0, -1, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}};
    for (int t = 0; t < 12; ++t) {
        const Vec3& n = scene.face_normals[t];
        const float* e = expected[t / 2];
        const float got[3] = {n.x, n.y, n.z};
        for (int i = 0; i < 3; ++i) {
            if (e[i] == 0.0f) EXPECT_EQ(got[i], 0.0f) << "triangle " << t;  // exactly zero
            else expect_near_relative(got[i], e[i]);
        }
    }
}

TEST_F(SceneTest, VertexNormalsArePlainMeansOfTheirFaces)
{
    prepare(1);
    const double a = 1.0 / std::sqrt(6.0), b = 1.0 / std::sqrt(3.0);
    const double v0[3] = {-2 * a, -a, a};            // triangles 0, 4, 10, 11
    const double v1[3] = {1.0 / 3, -2.0 / 3, 2.0 / 3};  // triangles 0, 1, 4, 5, 6
    const double v6[3] = {-b, b, -b}, v7[3] = {b, b, -b};
    const auto check = [](const Vec3& n, const double* e) {
        expect_near_relative(n.x, e[0], 4 * estimate_relative_error);
        expect_near_relative(n.y, e[1], 4 * estimate_relative_error);
        expect_near_relative(n.z, e[2], 4 * estimate_relative_error);
    };
    check(scene.vertex_normals[0], v0);
    check(scene.vertex_normals[1], v1);
    check(scene.vertex_normals[6], v6);
    check(scene.vertex_normals[7], v7);
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
    expect_near_relative(scene.vertex_normals[0].x, std::sqrt(0.5));
    expect_near_relative(scene.vertex_normals[0].y, std::sqrt(0.5));
}
