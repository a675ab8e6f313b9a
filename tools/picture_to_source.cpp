// Build-time tool: decodes the slab's picture (a 256 x 425 PNG) and writes the C++ source of
// the texture_rgb table, 3 bytes per texel in the order B, G, R, row 0 first.
//   picture_to_source picture.png texture_rgb.cpp
#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr unsigned picture_width = 256;
constexpr unsigned picture_height = 425;

int fail(const std::string& message)
{
    std::fprintf(stderr, "picture_to_source: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) return fail("usage: picture_to_source PICTURE.png OUTPUT.cpp");

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, argv[1])) return fail(std::string(argv[1]) + ": " + image.message);
    if (image.width != picture_width || image.height != picture_height) {
        png_image_free(&image);
        return fail(std::string(argv[1]) + ": the picture must be 256 x 425 pixels");
    }
    image.format = PNG_FORMAT_BGR;  // the texel byte order
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return fail(std::string(argv[1]) + ": " + image.message);
    }

    const std::string output = argv[2];
    const std::string partial = output + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "w");
    if (!out) return fail("cannot write " + partial);
    std::fprintf(out,
                 "// Generated at build time from scene/picture.png by tools/picture_to_source.cpp.\n"
                 "#include \"scene/scene.h\"\n\n"
                 "namespace morvane {\n\n"
                 "const unsigned char texture_rgb[texture_rgb_size] = {\n");
    for (size_t i = 0; i < pixels.size(); ++i) {
        std::fprintf(out, "%u,%s", pixels[i], i % 24 == 23 ? "\n" : "");
    }
    std::fprintf(out, "\n};\n\n} // namespace morvane\n");
    if (std::fclose(out) != 0 || std::rename(partial.c_str(), output.c_str()) != 0) {
        std::remove(partial.c_str());
        return fail("cannot write " + output);
    }
    return 0;
}
