// The renderer on its own: linked without any platform layer, it runs on memory and a worker
// pair of the test's making. Drawing the two bands one after the other, in either order, gives
// the same frame: the workers share no pixel and no state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace {

using namespace morvane;

void* allocate(size_t bytes)
{
    void* buffer = std::aligned_alloc(64, (bytes + 63) / 64 * 64);
    if (buffer != nullptr) std::memset(buffer, 0, bytes);
    return buffer;
}

void bands_in_order(void (*entry)(int)) { entry(0), entry(1); }
void bands_reversed(void (*entry)(int)) { entry(1), entry(0); }

std::vector<uint32_t> frame_bytes(void (*run_worker_pair)(void (*)(int)), int64_t frame)
{
    const PlatformServices platform{allocate, std::free, run_worker_pair};
    reset_scene();
    EXPECT_TRUE(start_renderer(platform, 640, 400, 777));
    skip_frames(frame - 1);
    render_frame(platform);
    const size_t cells = size_t{scene.frame_width} * scene.frame_height;
    std::vector<uint32_t> bytes(scene.colour_buffer, scene.colour_buffer + cells);
    const auto* depth = reinterpret_cast<const uint32_t*>(scene.depth_buffer);
    bytes.insert(bytes.end(), depth, depth + cells);
    release_frame_buffers(platform);
    return bytes;
}

TEST(RendererAlone, DrawsTheSameFrameWhicheverBandComesFirst)
{
    for (const int64_t frame : {1, 400, 1300}) {
        const std::vector<uint32_t> in_order = frame_bytes(bands_in_order, frame);
        EXPECT_EQ(in_order, frame_bytes(bands_reversed, frame)) << "frame " << frame;
        // Something is drawn: the slab covers part of the frame.
        EXPECT_NE(std::count(in_order.begin(), in_order.begin() + static_cast<ptrdiff_t>(in_order.size() / 2), 0u),
                  static_cast<ptrdiff_t>(in_order.size() / 2));
    }
}

} // namespace
