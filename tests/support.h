// What the unit tests share: the scene started as the program starts it, bit comparison, and
// command lines given as one string of words.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane::test {

// Whether two arrays hold the same bytes (floats compared as bits: NaN equals itself).
template <class A, class B>
bool same_bytes(const A& a, const B& b)
{
    return a.size() * sizeof(a[0]) == b.size() * sizeof(b[0]) &&
           std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

// The two buffers of the scene's current frame, copied: colour, then depth as bits.
inline std::vector<uint32_t> frame_cells()
{
    const size_t cells = size_t{scene.frame_width} * scene.frame_height;
    std::vector<uint32_t> out(scene.colour_buffer, scene.colour_buffer + cells);
    out.resize(2 * cells);
    std::memcpy(out.data() + cells, scene.depth_buffer, cells * sizeof(float));
    return out;
}

// A test whose scene the program's own start-up prepares, on memory from `platform`; every
// test starts and ends with the record as built.
class PreparedScene : public ::testing::Test {
protected:
    explicit PreparedScene(const PlatformServices& platform) : platform_(platform) {}
    void SetUp() override { reset_scene(); }
    void TearDown() override
    {
        release_frame_buffers(platform_);
        reset_scene();
    }
    // Starts the renderer for a screen; false (and a failure) when it cannot.
    bool start(int screen_width, int screen_height, uint16_t seed)
    {
        release_frame_buffers(platform_);
        reset_scene();
        const bool started = start_renderer(platform_, screen_width, screen_height, seed);
        EXPECT_TRUE(started) << screen_width << "x" << screen_height;
        return started;
    }
    const PlatformServices& platform_;
};

// "a b  c" as the words a, b, c.
inline std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// argv for the words, program name first, with the closing null pointer.
inline std::vector<char*> argv_of(std::vector<std::string>& words, std::string& program)
{
    std::vector<char*> argv = {program.data()};
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace morvane::test
