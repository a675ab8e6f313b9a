// A libFuzzer target for morvane-render's command line (make fuzz; clang only). The input
// bytes are an argument list, the arguments separated by NUL bytes. Any input must give either
// options within every limit or one printable error line; anything else aborts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/options_judge.h"

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
    if (!morvane::test::broken_promise(result).empty()) std::abort();
    return 0;
}
