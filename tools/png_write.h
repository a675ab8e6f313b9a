// Writing a frame of B, G, R, X pixels as an 8-bit RGB PNG (the offline tools use it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace morvane::tools {

// Converts width x height top-down B, G, R, X pixels to R, G, B (the fourth byte is dropped)
// and writes them as a PNG to `file`. `scratch` holds the converted rows and may be reused
// from frame to frame. Returns false with the reason in `error`.
bool write_png_rgb(std::FILE* file, const uint32_t* pixels, int width, int height,
                   std::vector<unsigned char>& scratch, std::string& error);

} // namespace morvane::tools
