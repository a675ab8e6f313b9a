// A libFuzzer target for morvane-render's command line (make fuzz; clang only). The input
// bytes are an argument list, the arguments separated by NUL bytes. Any input must give either
// options within every limit or one printable error line; anything else aborts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/platform.h"
#include "tools/options.h"

namespace {

constexpr size_t most_arguments = 64;
constexpr int64_t last_frame_number = 2147483647 - 29;

void require(bool condition)
{
    if (!condition) std::abort();
}

bool printable(const std::string& text)
{
    for (const char c : text) {
        if (c < 0x20 || c >= 0x7F) return false;
    }
    return true;
}

void check_name(const morvane::tools::OutputName& name, const morvane::tools::RenderOptions& o)
{
    if (!name.wanted()) return;
    require(name.numbered == (o.count > 1));
    const std::string first = morvane::tools::output_file_name(name, o.first_frame);
    const std::string last = morvane::tools::output_file_name(name, o.first_frame + o.count - 1);
    require(!first.empty());
    require(o.count == 1 ? first == name.text : first != last);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments = {"morvane-render"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < most_arguments; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty()) arguments.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());

    const morvane::tools::ParseResult result =
        morvane::tools::parse_render_options(static_cast<int>(argv.size()), argv.data());
    require(result.options.has_value() != !result.error.empty());
    if (!result.options) {
        require(printable(result.error) && result.error.size() < 400);
        return 0;
    }
    const morvane::tools::RenderOptions& o = *result.options;
    if (o.help || o.version) return 0;
    int width = 0, height = 0;
    require(morvane::frame_size_for_screen(o.screen_width, o.screen_height, width, height));
    require(int64_t{width} * height * 4 <= 2147483647);
    require(o.first_frame >= 1 && o.count >= 1 && o.first_frame + o.count - 1 <= last_frame_number);
    require(o.png.wanted() || o.colour_raw.wanted() || o.depth_raw.wanted());
    check_name(o.png, o);
    check_name(o.colour_raw, o);
    check_name(o.depth_raw, o);
    return 0;
}
