// The scene record: every table, constant, working array and piece of run-time state of the
// renderer, and the start-up work that turns the stored scene into what the frame stages read.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace morvane {

// A point, packed in 12 bytes (point_stride).
struct Vec3 {
    float x, y, z;
};
static_assert(sizeof(Vec3) == 12 && alignof(Vec3) == 4);

// Four floats in a 16-byte slot: directions, colours (lane i is byte i of a pixel: blue,
// green, red, fourth byte) and interpolated attributes.
struct alignas(16) Vec4 {
    float lane[4];
    constexpr float& operator[](int i) { return lane[i]; }
    constexpr float operator[](int i) const { return lane[i]; }
};
static_assert(sizeof(Vec4) == 16 && alignof(Vec4) == 16);

struct alignas(16) Int4 {
    int32_t lane[4];
};
struct alignas(16) Mask4 {
    uint32_t lane[4];
};

// Texel column u and row v of one model vertex.
struct TexCoord {
    uint16_t u, v;
};

// Three vertex indices; their order is the winding the face normal follows.
struct Triangle {
    uint16_t index[3];
};

// One light. `direction` points toward the light in view space (unit length after start-up);
// colours are B, G, R, 0. The third vector takes no part in shading.
struct Light {
    Vec4 direction;
    Vec4 diffuse;
    Vec4 unused;
    Vec4 specular;
};
static_assert(sizeof(Light) == 64);

// Indices into the ray point arrays of a ray's anchor (0 or 1) and of its far end.
struct RayLine {
    uint16_t anchor_index, end_index;
};

// The picture: 256 x 425 texels of bytes B, G, R, X (X is never read); texel (u, v) is
// element v x 256 + u.
constexpr int texture_width = 256;
constexpr int texture_height = 425;
constexpr int texel_count = texture_width * texture_height;       // 108,800
constexpr int texture_rgb_size = texel_count * 3;                 // 326,400 bytes

// Fixed capacities of the record's arrays. The rooms are larger than the scene needs (room for
// 6408 ray points, 40 vertices and 80 faces against 1602, 8 and 12): the record keeps the
// layout it was designed with, which stored frames and the field offsets below rely on.
constexpr int model_vertex_count = 8;
constexpr int model_triangle_count = 12;
constexpr int ray_count = 1600;
constexpr int ray_point_count = ray_count + 2;  // the two anchors, then one end per ray
constexpr int ray_point_room = 6408;
constexpr int vertex_room = 40;
constexpr int face_room = 80;

// The depth every frame starts from: farther than any point the transforms produce.
constexpr float depth_clear = 60000.0f;
static_assert(std::bit_cast<uint32_t>(depth_clear) == 0x476A6000u);

// Bytes blue, green, red, fourth. The colour buffer (Pixel cells) and the depth buffer (float
// cells, smaller is nearer) are each frame_width x frame_height cells, rows top down, 16-byte aligned.
using Pixel = uint32_t;

struct SceneBlock {
    // Texts of the window, each exactly as long as its text and the closing zero.
    char window_class_name[7] = "tilvex";
    char window_caption[43] = "Morvane, press space -> speed - full/idle ";

    int32_t colour_buffer_size = 0;  // bytes: frame_width x frame_height x 4
    uint16_t random_state = 0;
    int32_t frame_counter = 30;      // the first frame is drawn with 30
    int32_t point_stride = sizeof(Vec3);  // bytes from one point of an array to the next
    uint8_t speed_mode = 1;          // 1 full speed, 0 idle
    uint8_t zoom_shrinking = 0;
    uint16_t zoom_counter = 350;     // the breathing starts 350 of its 912 steps up, growing
    float zoom_grow_factor = 1.0017f;
    float zoom_shrink_factor = std::bit_cast<float>(0x3F7F90C7u);  // 1 / 1.0017 in single precision
    float zoom_scale = 0.0f;         // pixels per normalised model unit
    uint16_t screen_centre[4] = {0, 0, 0, 0};
    float angle_step = 0.01227f;     // radians per frame, about 512 frames a turn

    // Constant vectors. The two splits pick each ray's far colour: ray k ends red where
    // (k > a) differs from (k > b) in lane 0 or 1, that is for rays 401 to 1200, else blue.
    Int4 ray_colour_split_a = {{800, 800, 0, 0}};
    Int4 ray_colour_split_b = {{400, 1200, 0, 0}};
    Vec4 texel_clamp = {{254.0f, 423.0f, 0.0f, 0.0f}};  // keeps the bilinear 2 x 2 inside the picture
    Vec4 colour_clamp = {{255.0f, 255.0f, 255.0f, 255.0f}};
    Vec4 zero_vector = {{0.0f, 0.0f, 0.0f, 0.0f}};
    Vec4 one_vector = {{1.0f, 1.0f, 1.0f, 1.0f}};
    Mask4 xyz_mask = {{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0u}};  // keeps x, y, z, clears the fourth lane
    Mask4 abs_mask = {{0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu, 0x7FFFFFFFu}};  // clears the sign bits
    Vec4 ray_colour_red = {{0.0f, 0.0f, 255.0f, 0.05f}};       // B, G, R, weight
    Vec4 ray_colour_white = {{255.0f, 255.0f, 255.0f, 0.2f}};
    Vec4 ray_colour_blue = {{255.0f, 32.0f, 32.0f, 0.05f}};

    // Three lights: direction toward the light, diffuse and specular colours (B, G, R).
    Light lights[3] = {
        {{{0.0f, 0.0f, -1.0f, 0.0f}}, {{55.0f, 49.0f, 44.0f, 0.0f}}, {}, {{255.0f, 255.0f, 5.0f, 0.0f}}},
        {{{-0.5f, -0.5f, -1.0f, 0.0f}}, {{32.0f, 27.0f, 17.0f, 0.0f}}, {}, {{255.0f, 15.0f, 255.0f, 0.0f}}},
        {{{0.5f, 0.5f, -1.0f, 0.0f}}, {{13.0f, 1.0f, 80.0f, 0.0f}}, {}, {{25.0f, 255.0f, 255.0f, 0.0f}}},
    };

    uint16_t vertex_count = model_vertex_count;
    uint16_t triangle_count = model_triangle_count;
    uint16_t ray_end_count = ray_count;

    // The two ray anchors in model units: front face and back face, same spot of the picture.
    Vec3 ray_anchors[2] = {{137.0f, 110.0f, 0.0f}, {118.0f, 110.0f, -20.0f}};

    // Texel coordinates per corner. The back corners carry the picture with u mirrored, so it
    // reads unmirrored on either face after the per-frame turn.
    TexCoord model_uvs[model_vertex_count] = {
        {0, 0}, {255, 0}, {0, 424}, {255, 424}, {255, 0}, {0, 0}, {255, 424}, {0, 424},
    };

    // Two triangles per face, wound so that every face normal points out of the slab.
    Triangle model_triangles[model_triangle_count] = {
        {{0, 1, 2}}, {{1, 3, 2}},  // front, z = 0
        {{4, 6, 5}}, {{5, 6, 7}},  // back, z = -20
        {{1, 0, 4}}, {{4, 5, 1}},  // top edge, y = 0
        {{3, 1, 5}}, {{5, 7, 3}},  // right edge, x = 256
        {{2, 3, 6}}, {{6, 3, 7}},  // bottom edge, y = 425
        {{0, 2, 6}}, {{4, 0, 6}},  // left edge, x = 0
    };

    // The slab's corners in model units, then the ray points right after them: the two form
    // one contiguous run of Vec3 that start-up centres and scales together.
    Vec3 model_vertices[model_vertex_count] = {
        {0.0f, 0.0f, 0.0f},    {256.0f, 0.0f, 0.0f},   {0.0f, 425.0f, 0.0f},   {256.0f, 425.0f, 0.0f},
        {0.0f, 0.0f, -20.0f},  {256.0f, 0.0f, -20.0f}, {0.0f, 425.0f, -20.0f}, {256.0f, 425.0f, -20.0f},
    };
    Vec3 ray_points[ray_point_room] = {};
    RayLine ray_lines[ray_count] = {};
    Vec3 screen_ray_points[ray_point_room] = {};

    // Frame buffers (allocated by the host) and the frame's spin.
    Pixel* colour_buffer = nullptr;
    float* depth_buffer = nullptr;
    uint16_t frame_width = 0;
    uint16_t frame_height = 0;
    alignas(16) float rotation_table[4] = {0.0f, 0.0f, 0.0f, 0.0f};  // cos a, sin a, -cos a, -sin a

    // The picture expanded to 32-bit texels at start-up.
    alignas(16) Pixel texture[texel_count] = {};

    // Per-vertex and per-triangle working arrays.
    Vec3 screen_vertices[vertex_room] = {};
    Vec3 face_normals[face_room] = {};
    Vec3 vertex_normals[vertex_room] = {};
    Vec3 view_normals[vertex_room] = {};
    Vec3 edge_scratch[2] = {};  // the two edge vectors of the face normal being computed

    // Which inner loops the frame runs: the fastest the processor offers, or the plain
    // scalar twins (the benchmark and the tests compare the two).
    enum class CodePath : uint8_t { fastest, scalar };
    CodePath code_path = CodePath::fastest;
};

static_assert(offsetof(SceneBlock, ray_points) ==
                  offsetof(SceneBlock, model_vertices) + model_vertex_count * sizeof(Vec3),
              "the corners and the ray points must form one contiguous run of Vec3");
static_assert(offsetof(SceneBlock, texel_clamp) % 16 == 0 && offsetof(SceneBlock, lights) % 16 == 0 &&
              offsetof(SceneBlock, rotation_table) % 16 == 0 && offsetof(SceneBlock, texture) % 16 == 0);

// The one scene record of the process.
extern SceneBlock scene;

// Puts every field of `scene` back to its value as built (for tests and tools that render
// several configurations in one process).
void reset_scene();

// The embedded picture, 256 x 425 texels of 3 bytes B, G, R, row 0 first (generated at
// build time from scene/picture.png).
extern const unsigned char texture_rgb[texture_rgb_size];

// ---- Start-up geometry (once, main thread, before the first frame) ----
// Fills scene.texture from texture_rgb: bytes 0, 1, 2 of texel i are bytes 3i, 3i+1, 3i+2.
void expand_texture();
// Makes each light's direction unit length (reciprocal-square-root estimate), in place.
void normalize_lights(Light* first, int count);
// Centres each axis between its extremes and scales the run by the reciprocal estimate of the
// largest centred coordinate, in place.
void normalize_model(Vec3* first, int count);
// scene.face_normals[t] = unit(cross(V[i1] - V[i0], V[i2] - V[i1])) for every triangle.
void compute_face_normals();
// scene.vertex_normals[v] = unit(plain mean of the face normals of the triangles that use v).
void compute_vertex_normals();
void edge_vector(const Vec3& a, const Vec3& b, Vec3& destination);     // destination = b - a
void cross_product(const Vec3& a, const Vec3& b, Vec3& destination);   // destination = a x b
void normalize3(Vec3& v);

// ---- The ray field (once, at start-up, before the geometry preparation) ----
// The system's only random generator: returns low <= v <= high - 1 and advances
// scene.random_state by one step. Only the low 16 bits of low and high enter.
int32_t next_random_in_range(int32_t low, int32_t high);
// Fills ray_points 0..1601 (the anchors, then 1600 random ends) and ray_lines 0..1597.
void build_ray_field();

} // namespace morvane
