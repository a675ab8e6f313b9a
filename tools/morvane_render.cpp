// morvane-render: draws frames offline exactly as the window program would present them and
// writes them as PNG images or raw buffers. See render_usage() in tools/options.cpp.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/platform.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tools/options.h"
#include "tools/pending_file.h"
#include "tools/tool.h"
#include "tools/png_write.h"

using namespace morvane;

namespace {

using tools::exit_bad_arguments;
using tools::exit_failed;

constexpr const char* program = "morvane-render";

int fail(int code, const std::string& message) { return tools::fail(program, code, message); }

bool write_bytes(std::FILE* file, const void* bytes, size_t size)
{
    return std::fwrite(bytes, 1, size, file) == size;
}

// The depth buffer as little-endian 32-bit floats, whatever the processor's byte order.
bool write_depth(std::FILE* file, const float* depth, size_t cells, std::vector<unsigned char>& scratch)
{
    if constexpr (std::endian::native == std::endian::little) {
        return write_bytes(file, depth, cells * sizeof(float));
    } else {
        scratch.resize(cells * 4);
        for (size_t i = 0; i < cells; ++i) {
            const uint32_t bits = std::bit_cast<uint32_t>(depth[i]);
            for (int b = 0; b < 4; ++b) scratch[4 * i + b] = static_cast<unsigned char>(bits >> (8 * b));
        }
        return write_bytes(file, scratch.data(), scratch.size());
    }
}

struct FrameFiles {
    tools::PendingFile png, colour_raw, depth_raw;
};

// The files this run has named so far, with the option and frame that named each. Two name
// patterns can give one name, for one frame (frame-%d.png and frame-%01d.png) or for two
// (x%d and x1%d give x11 for frames 11 and 1): the second would replace the first's file.
class NamesInUse {
public:
    // Records the names `options` gives `frame`; false, with the reason, when one is taken.
    bool claim(const tools::RenderOptions& options, int64_t frame, std::string& error)
    {
        const Output outputs[] = {{"--png", &options.png},
                                  {"--colour-raw", &options.colour_raw},
                                  {"--depth-raw", &options.depth_raw}};
        for (const Output& output : outputs) {
            if (!output.name->wanted()) continue;
            const auto [entry, added] = names_.try_emplace(tools::output_file_name(*output.name, frame),
                                                           Owner{output.option, frame});
            if (!added) {
                const Owner& owner = entry->second;
                error = std::string(output.option) + " names " + tools::quoted(entry->first) + " for frame " +
                        std::to_string(frame) + ", as " + owner.option + " does for frame " +
                        std::to_string(owner.frame) + ": one would replace the other";
                return false;
            }
        }
        return true;
    }

private:
    struct Output {
        const char* option;
        const tools::OutputName* name;
    };
    struct Owner {
        const char* option;
        int64_t frame;
    };
    std::unordered_map<std::string, Owner> names_;
};

bool open_frame_files(const tools::RenderOptions& options, int64_t frame, FrameFiles& files, std::string& error)
{
    if (options.png.wanted() && !files.png.open(tools::output_file_name(options.png, frame), error)) return false;
    if (options.colour_raw.wanted() &&
        !files.colour_raw.open(tools::output_file_name(options.colour_raw, frame), error)) {
        return false;
    }
    if (options.depth_raw.wanted() &&
        !files.depth_raw.open(tools::output_file_name(options.depth_raw, frame), error)) {
        return false;
    }
    return true;
}

bool write_frame_files(const tools::RenderOptions& options, int64_t frame, FrameFiles& files,
                       std::vector<unsigned char>& scratch, std::string& error)
{
    const int width = scene.frame_width;
    const int height = scene.frame_height;
    const size_t cells = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (options.png.wanted()) {
        std::string reason;
        if (!tools::write_png_rgb(files.png.file(), scene.colour_buffer, width, height, scratch, reason)) {
            error = "cannot write " + tools::quoted(tools::output_file_name(options.png, frame)) + ": " + reason;
            return false;
        }
        if (!files.png.commit(error)) return false;
    }
    if (options.colour_raw.wanted()) {
        if (!write_bytes(files.colour_raw.file(), scene.colour_buffer, cells * sizeof(Pixel))) {
            error = "cannot write " + tools::quoted(tools::output_file_name(options.colour_raw, frame)) + ": " +
                    std::strerror(errno);
            return false;
        }
        if (!files.colour_raw.commit(error)) return false;
    }
    if (options.depth_raw.wanted()) {
        if (!write_depth(files.depth_raw.file(), scene.depth_buffer, cells, scratch)) {
            error = "cannot write " + tools::quoted(tools::output_file_name(options.depth_raw, frame)) + ": " +
                    std::strerror(errno);
            return false;
        }
        if (!files.depth_raw.commit(error)) return false;
    }
    return true;
}

int render(const tools::RenderOptions& options)
{
    uint16_t seed = 0;
    if (options.seed) {
        seed = *options.seed;
    } else {
        seed = morvane::platform::seed_from_tick_counter();
        std::printf("morvane-render: seed %u (from the tick counter; --seed %u draws the same rays)\n", seed, seed);
        std::fflush(stdout);
    }
    const int started = tools::start_for_screen(program, options.screen_width, options.screen_height, seed);
    if (started != 0) return started;

    std::vector<unsigned char> scratch;
    std::string error;
    NamesInUse names;
    int status = 0;
    for (int64_t k = 0; k < options.count && status == 0; ++k) {
        const int64_t frame = options.first_frame + k;
        // A clash stops the run before the frame's files are opened: every file written so far
        // stays as written.
        if (!names.claim(options, frame, error)) {
            status = fail(exit_bad_arguments, error);
            break;
        }
        FrameFiles files;
        // The files are opened before the frame is drawn, so an unwritable name fails fast.
        if (!open_frame_files(options, frame, files, error)) {
            status = fail(exit_failed, error);
            break;
        }
        // Frame 1 is drawn with frame_counter 30, as the window program's first frame.
        if (k == 0) skip_frames(options.first_frame - 1);
        morvane::render_frame(morvane::platform::renderer_services());
        // After drawing, as the host's main loop counts, and wrapping as it does: the last frame
        // the command line allows is drawn with the largest signed 32-bit count.
        advance_frame_counter();
        if (!write_frame_files(options, frame, files, scratch, error)) status = fail(exit_failed, error);
    }
    morvane::release_frame_buffers(morvane::platform::renderer_services());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const tools::ParseResult parsed = tools::parse_render_options(argc, argv);
    if (!parsed.options) return fail(exit_bad_arguments, parsed.error);
    if (parsed.options->help || parsed.options->version) {
        return tools::answer(parsed.options->help ? tools::render_usage() : tools::render_version());
    }
    return render(*parsed.options);
}
