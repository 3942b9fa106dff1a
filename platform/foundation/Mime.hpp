#pragma once
// The MIME table that stands in for the device's type database: file extension to registered type and back.

#include <optional>
#include <string>
#include <string_view>

namespace plat {

struct Mime {
    // The registered type for an extension (without the dot, any case); `application/octet-stream` when
    // unknown.
    static std::string typeForExtension(std::string_view extension);
    // The preferred extension for a type (parameters such as `; charset=...` ignored, any case), or none.
    static std::optional<std::string> extensionForType(std::string_view mimeType);
};

} // namespace plat
