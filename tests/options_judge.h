// What every morvane-render command line must give, judged apart from the parser: options
// within every limit, or one printable error line. Shared by the generated-lines test and the
// fuzzing target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/pipeline.h"
#include "tools/options.h"

namespace morvane::test {

// The first presented frame is drawn with frame_counter 30; the last must stay a signed 32-bit
// count, so frame numbers run to 2^31 - 1 - 29.
constexpr int64_t last_frame_number = 2147483647 - 29;

inline bool printable_line(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
}

// "" when the parse kept its promises, else the promise it broke.
inline std::string broken_promise(const tools::ParseResult& result)
{
    if (result.options.has_value() == !result.error.empty()) return "options and an error, or neither";
    if (!result.options) return printable_line(result.error) && result.error.size() < 400 ? "" : "a bad error line";
    const tools::RenderOptions& o = *result.options;
    if (o.help || o.version) return "";
    int width = 0, height = 0;
    if (!frame_size_for_screen(o.screen_width, o.screen_height, width, height) ||
        std::max(o.screen_width, o.screen_height) > tools::largest_screen_side || int64_t{width} * height * 4 > INT32_MAX) {
        return "a screen beyond the limits";
    }
    if (o.first_frame < 1 || o.count < 1 || o.first_frame + o.count - 1 > last_frame_number) return "frames beyond the limits";
    if (!o.png.wanted() && !o.colour_raw.wanted() && !o.depth_raw.wanted()) return "no output";
    std::vector<std::string> texts;
    for (const tools::OutputName* name : {&o.png, &o.colour_raw, &o.depth_raw}) {
        if (!name->wanted()) continue;
        if (std::ranges::count(texts, name->text) != 0) return "two outputs, one name";
        texts.push_back(name->text);
        const std::string first = tools::output_file_name(*name, o.first_frame);
        const bool named = o.count == 1 ? !name->numbered && first == name->text
                                        : name->numbered && first != tools::output_file_name(*name, o.first_frame + o.count - 1) &&
                                              first.find(std::to_string(o.first_frame)) != std::string::npos;
        if (!named) return "file names such as " + first;
    }
    return "";
}

} // namespace morvane::test
