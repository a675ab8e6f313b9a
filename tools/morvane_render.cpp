// morvane-render: draws frames offline exactly as the window program would present them and
// writes them as PNG images or raw buffers. See render_usage() in tools/options.cpp.
#include <png.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tools/options.h"
#include "tools/pending_file.h"

using namespace morvane;

namespace {

using tools::exit_bad_arguments;
using tools::exit_failed;

constexpr const char* program = "morvane-render";

int fail(int code, const std::string& message) { return tools::fail(program, code, message); }

// The colour buffer as an 8-bit RGB PNG, through libpng's simplified interface, which reports
// errors without longjmp.
bool write_png(std::FILE* file, std::vector<unsigned char>& scratch, std::string& reason)
{
    const size_t cells = size_t{scene.frame_width} * scene.frame_height;
    scratch.resize(cells * 3);
    // A pixel's bytes in memory are B, G, R, X.
    const auto* bgrx = reinterpret_cast<const unsigned char*>(scene.colour_buffer);
    for (size_t i = 0; i < cells; ++i) {
        scratch[3 * i + 0] = bgrx[4 * i + 2];
        scratch[3 * i + 1] = bgrx[4 * i + 1];
        scratch[3 * i + 2] = bgrx[4 * i + 0];
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = scene.frame_width;
    image.height = scene.frame_height;
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_stdio(&image, file, 0, scratch.data(), png_int_32{scene.frame_width} * 3, nullptr)) {
        return true;
    }
    reason = image.message[0] != '\0' ? image.message : "libpng failed";
    png_image_free(&image);
    return false;
}

// Output `index` of render_outputs for the frame just drawn: the PNG, the colour buffer as it
// is in memory, or the depth buffer as little-endian 32-bit floats whatever the processor's
// byte order. false with the reason.
bool write_output(size_t index, std::FILE* file, std::vector<unsigned char>& scratch, std::string& reason)
{
    if (index == 0) return write_png(file, scratch, reason);
    const size_t bytes = size_t{scene.frame_width} * scene.frame_height * 4;
    const void* data = index == 1 ? static_cast<const void*>(scene.colour_buffer) : scene.depth_buffer;
    if (index == 2 && std::endian::native != std::endian::little) {
        scratch.resize(bytes);
        for (size_t i = 0; i < bytes / 4; ++i) {
            const uint32_t bits = std::bit_cast<uint32_t>(scene.depth_buffer[i]);
            for (size_t b = 0; b < 4; ++b) scratch[4 * i + b] = static_cast<unsigned char>(bits >> (8 * b));
        }
        data = scratch.data();
    }
    if (std::fwrite(data, 1, bytes, file) == bytes) return true;
    reason = std::strerror(errno);
    return false;
}

int render(const tools::RenderOptions& options)
{
    const uint16_t seed = options.seed ? *options.seed : morvane::platform::seed_from_tick_counter();
    if (!options.seed) {
        std::printf("morvane-render: seed %u (from the tick counter; --seed %u draws the same rays)\n", seed, seed);
        std::fflush(stdout);
    }
    const int started = tools::start_for_screen(program, platform::renderer_services(), options.screen_width,
                                                options.screen_height, seed);
    if (started != 0) return started;

    std::vector<unsigned char> scratch;
    std::string error;
    // The files this run has named so far, with the option and frame that named each. Two name
    // patterns can give one name, for one frame (frame-%d.png and frame-%01d.png) or for two
    // (x%d and x1%d give x11 for frames 11 and 1): the second would replace the first's file.
    std::unordered_map<std::string, std::pair<const char*, int64_t>> named;
    int status = 0;
    for (int64_t k = 0; k < options.count && status == 0; ++k) {
        const int64_t frame = options.first_frame + k;
        // A clash stops the run before the frame's files are opened: every file written so far
        // stays as written.
        for (const tools::RenderOutput& output : tools::render_outputs) {
            if (status != 0 || !(options.*output.name).wanted()) continue;
            const auto [entry, added] =
                named.try_emplace(tools::output_file_name(options.*output.name, frame), output.option, frame);
            if (added) continue;
            const auto& [owner, owner_frame] = entry->second;
            status = fail(exit_bad_arguments, std::string(output.option) + " names " + tools::quoted(entry->first) +
                                                  " for frame " + std::to_string(frame) + ", as " + owner +
                                                  " does for frame " + std::to_string(owner_frame) +
                                                  ": one would replace the other");
        }
        if (status != 0) break;
        // The files are opened before the frame is drawn, so an unwritable name fails fast.
        tools::PendingFile files[std::size(tools::render_outputs)];
        for (size_t i = 0; i < std::size(files) && status == 0; ++i) {
            const tools::OutputName& name = options.*tools::render_outputs[i].name;
            if (name.wanted() && !files[i].open(tools::output_file_name(name, frame), error)) {
                status = fail(exit_failed, error);
            }
        }
        if (status != 0) break;
        // Frame 1 is drawn with frame_counter 30, as the window program's first frame.
        if (k == 0) skip_frames(options.first_frame - 1);
        morvane::render_frame(morvane::platform::renderer_services());
        // After drawing, as the host's main loop counts, and wrapping as it does: the last frame
        // the command line allows is drawn with the largest signed 32-bit count.
        advance_frame_counter();
        for (size_t i = 0; i < std::size(files) && status == 0; ++i) {
            if (files[i].file() == nullptr) continue;
            std::string reason;
            if (!write_output(i, files[i].file(), scratch, reason)) {
                status = fail(exit_failed, tools::cannot_write(files[i].name(), reason));
            } else if (!files[i].commit(error)) {
                status = fail(exit_failed, error);
            }
        }
    }
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    return tools::run_tool(program, tools::parse_render_options(argc, argv), tools::render_usage(),
                           tools::render_version(), render);
}
