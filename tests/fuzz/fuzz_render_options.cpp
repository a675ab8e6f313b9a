// A libFuzzer target for morvane-render's command line (make fuzz; clang only). The input
// bytes are an argument list, the arguments separated by NUL bytes. Any input must give either
// options within every limit or one printable error line; anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/platform.h"
#include "tools/options.h"

namespace {

void require(bool condition)
{
    if (!condition) std::abort();
}

void check_name(const morvane::tools::OutputName& name, const morvane::tools::RenderOptions& o)
{
    if (!name.wanted()) return;
    require(name.numbered == (o.count > 1));
    const std::string first = morvane::tools::output_file_name(name, o.first_frame);
    require(!first.empty());
    require(o.count == 1 ? first == name.text : first != morvane::tools::output_file_name(name, o.first_frame + o.count - 1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments{"morvane-render", ""};
    for (size_t i = 0; i < size && arguments.size() <= 64; ++i) {
        if (data[i] == 0) arguments.emplace_back();
        else arguments.back() += static_cast<char>(data[i]);
    }
    if (arguments.back().empty()) arguments.pop_back();
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());

    const auto result = morvane::tools::parse_render_options(static_cast<int>(argv.size()), argv.data());
    require(result.options.has_value() != !result.error.empty());
    if (!result.options) {
        for (const char c : result.error) require(c >= 0x20 && c < 0x7F);
        require(result.error.size() < 400);
        return 0;
    }
    const morvane::tools::RenderOptions& o = *result.options;
    if (o.help || o.version) return 0;
    int width = 0, height = 0;
    require(morvane::frame_size_for_screen(o.screen_width, o.screen_height, width, height));
    require(int64_t{width} * height * 4 <= INT32_MAX);
    require(o.first_frame >= 1 && o.count >= 1 && int64_t{o.first_frame} + o.count - 1 <= INT32_MAX - 29);  // the last frame number
    require(o.png.wanted() || o.colour_raw.wanted() || o.depth_raw.wanted());
    check_name(o.png, o);
    check_name(o.colour_raw, o);
    check_name(o.depth_raw, o);
    return 0;
}
