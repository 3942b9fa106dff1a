#include "platform/uikit/UIImage.hpp"

#include <png.h>

#include <string>

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/String.hpp"

namespace plat {
namespace {

// The simplified libpng reader reports errors through the struct, never by printing or jumping out.
class PngHeader {
public:
    explicit PngHeader(const Data& bytes) {
        image_.version = PNG_IMAGE_VERSION;
        ok_ = !bytes.empty() && png_image_begin_read_from_memory(&image_, bytes.data(), bytes.size()) != 0;
    }
    ~PngHeader() { png_image_free(&image_); }
    PngHeader(const PngHeader&) = delete;
    PngHeader& operator=(const PngHeader&) = delete;

    bool ok() const { return ok_; }
    uint32_t width() const { return image_.width; }
    uint32_t height() const { return image_.height; }

private:
    png_image image_{};
    bool ok_ = false;
};

} // namespace

UIImage::UIImage(Data png, CGSize pixels, double scale)
    : png_(std::move(png)), size_{pixels.width / scale, pixels.height / scale}, scale_(scale) {}

double imageScaleForPath(std::string_view path) {
    std::string stem = String::deletingPathExtension(String::lastPathComponent(path));
    // A device modifier ("~ipad") follows the scale suffix.
    if (auto tilde = stem.rfind('~'); tilde != std::string::npos) {
        stem.resize(tilde);
    }
    if (stem.ends_with("@2x")) {
        return 2;
    }
    if (stem.ends_with("@3x")) {
        return 3;
    }
    return 1;
}

std::shared_ptr<const UIImage> UIImage::imageWithContentsOfFile(std::string_view path) {
    auto bytes = readData(path);
    if (!bytes) {
        return nullptr;
    }
    CGSize pixels;
    {
        PngHeader header(*bytes);
        if (!header.ok()) {
            return nullptr;
        }
        pixels = CGSize{static_cast<double>(header.width()), static_cast<double>(header.height())};
    }
    return std::make_shared<const UIImage>(std::move(*bytes), pixels, imageScaleForPath(path));
}

} // namespace plat
