#pragma once
// Real PNG files for tests, encoded by libpng at test time (link PNG::PNG).

#include "platform/foundation/Value.hpp"

#include <png.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace plat::test {

// A PNG of the given pixel size, every channel of every pixel `fill`.
inline Data encodePng(uint32_t width, uint32_t height, uint8_t fill = 0x7f) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(size_t{width} * height * 4, fill);
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr))
        throw std::runtime_error("libpng cannot size the image");
    Data out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr))
        throw std::runtime_error("libpng cannot encode the image");
    out.resize(size);
    return out;
}

} // namespace plat::test
