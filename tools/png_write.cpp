// PNG output through libpng's simplified interface, which reports errors without longjmp.
#include "tools/png_write.h"

#include <png.h>

namespace morvane::tools {

bool write_png_rgb(std::FILE* file, const uint32_t* pixels, int width, int height,
                   std::vector<unsigned char>& scratch, std::string& error)
{
    if (width <= 0 || height <= 0) {
        error = "empty image";
        return false;
    }
    const size_t cells = static_cast<size_t>(width) * static_cast<size_t>(height);
    scratch.resize(cells * 3);
    // A pixel's bytes in memory are B, G, R, X.
    const auto* bgrx = reinterpret_cast<const unsigned char*>(pixels);
    for (size_t i = 0; i < cells; ++i) {
        scratch[3 * i + 0] = bgrx[4 * i + 2];
        scratch[3 * i + 1] = bgrx[4 * i + 1];
        scratch[3 * i + 2] = bgrx[4 * i + 0];
    }

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGB;
    const auto row_stride = static_cast<png_int_32>(width) * 3;
    if (!png_image_write_to_stdio(&image, file, 0, scratch.data(), row_stride, nullptr)) {
        error = image.message[0] != '\0' ? image.message : "libpng failed";
        png_image_free(&image);
        return false;
    }
    return true;
}

} // namespace morvane::tools
