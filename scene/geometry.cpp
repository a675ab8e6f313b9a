// Start-up geometry: the picture as 32-bit texels, unit light directions, the slab and the
// rays centred and scaled together, and the face and vertex normals.
#include <algorithm>
#include <bit>

#include "scene/numeric.h"
#include "scene/scene.h"

namespace morvane {

static_assert(std::endian::native == std::endian::little,
              "pixels and texels are 32-bit words whose byte 0 is blue");

void expand_texture()
{
    for (int i = 0; i < texel_count; ++i) {
        const unsigned char* rgb = texture_rgb + 3 * static_cast<ptrdiff_t>(i);
        // Bytes B, G, R in order; the fourth byte is never read and stays 0.
        scene.texture[i] = Pixel{rgb[0]} | Pixel{rgb[1]} << 8 | Pixel{rgb[2]} << 16;
    }
}

void normalize_lights(Light* first, int count)
{
    for (int l = 0; l < count; ++l) {
        Vec4& d = first[l].direction;
        const float s = (d[0] * d[0] + d[1] * d[1]) + (d[2] * d[2] + d[3] * d[3]);
        const float r = rsqrt_estimate(s);
        for (int i = 0; i < 4; ++i) d[i] = d[i] * r;
    }
}

void normalize_model(Vec3* first, int count)
{
    float largest = 0.0f;  // the largest centred coordinate, with its sign, over all axes
    for (float Vec3::*axis : {&Vec3::x, &Vec3::y, &Vec3::z}) {
        float hi = first[0].*axis;
        float lo = hi;
        for (int i = 1; i < count; ++i) {
            hi = std::max(hi, first[i].*axis);
            lo = std::min(lo, first[i].*axis);
        }
        const float centre = (hi + lo) / 2.0f;
        for (int i = 0; i < count; ++i) {
            first[i].*axis -= centre;
            largest = std::max(largest, first[i].*axis);
        }
    }
    const float r = rcp_estimate(largest);
    for (int i = 0; i < count; ++i) first[i] = {first[i].x * r, first[i].y * r, first[i].z * r};
}

void edge_vector(const Vec3& a, const Vec3& b, Vec3& destination)
{
    destination = {b.x - a.x, b.y - a.y, b.z - a.z};
}

void cross_product(const Vec3& a, const Vec3& b, Vec3& destination)
{
    // Products and differences in double (the products are exact there), then one rounding.
    const auto component = [](float p, float q, float r, float s) {
        return static_cast<float>(double{p} * double{q} - double{r} * double{s});
    };
    destination = {component(a.y, b.z, a.z, b.y), component(a.z, b.x, a.x, b.z),
                   component(a.x, b.y, a.y, b.x)};
}

void normalize3(Vec3& v)
{
    const float s = (v.x * v.x + v.y * v.y) + v.z * v.z;
    const float r = rsqrt_estimate(s);
    v = {v.x * r, v.y * r, v.z * r};
}

void compute_face_normals()
{
    const Vec3* corners = scene.model_vertices;
    for (int t = 0; t < scene.triangle_count; ++t) {
        const uint16_t* index = scene.model_triangles[t].index;
        Vec3& e1 = scene.edge_scratch[0];
        Vec3& e2 = scene.edge_scratch[1];
        edge_vector(corners[index[0]], corners[index[1]], e1);
        edge_vector(corners[index[1]], corners[index[2]], e2);
        cross_product(e1, e2, scene.face_normals[t]);
        normalize3(scene.face_normals[t]);
    }
}

void compute_vertex_normals()
{
    for (int v = 0; v < scene.vertex_count; ++v) {
        Vec3 sum = {0.0f, 0.0f, 0.0f};
        uint16_t count = 0;
        for (int t = 0; t < scene.triangle_count; ++t) {
            const uint16_t* index = scene.model_triangles[t].index;
            // A triangle that names the vertex twice still counts once.
            if (index[0] != v && index[1] != v && index[2] != v) continue;
            const Vec3& n = scene.face_normals[t];
            sum.x = static_cast<float>(double{sum.x} + double{n.x});
            sum.y = static_cast<float>(double{sum.y} + double{n.y});
            sum.z = static_cast<float>(double{sum.z} + double{n.z});
            ++count;
        }
        const float divisor = count;
        Vec3 mean = {sum.x / divisor, sum.y / divisor, sum.z / divisor};
        normalize3(mean);
        scene.vertex_normals[v] = mean;
    }
}

} // namespace morvane
