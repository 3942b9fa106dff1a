#pragma once
// UIImage: an image read from a file. The simulated device decodes PNG only; the size comes from the PNG
// header and the scale from an "@2x"/"@3x" suffix of the file name, as the device reads it.

#include <memory>
#include <string_view>

#include "platform/foundation/Value.hpp"
#include "platform/uikit/UIKitTypes.hpp"

namespace plat {

class UIImage {
public:
    // None when the file is missing or unreadable, or is not a PNG whose header libpng accepts.
    static std::shared_ptr<const UIImage> imageWithContentsOfFile(std::string_view path);

    // In points: the pixel size divided by the scale.
    CGSize size() const { return size_; }
    double scale() const { return scale_; }
    // The PNG bytes of the image: the file's own bytes.
    const Data& pngRepresentation() const { return png_; }

    UIImage(Data png, CGSize pixels, double scale);

private:
    Data png_;
    CGSize size_;
    double scale_;
};

// The scale a file name stands for: 2 or 3 for "name@2x.png" or "name@3x~ipad.png", else 1.
double imageScaleForPath(std::string_view path);

} // namespace plat
