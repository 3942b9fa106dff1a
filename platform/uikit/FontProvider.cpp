#include "platform/uikit/FontProvider.hpp"

#include <string>

#include "platform/foundation/Bundle.hpp"
#include "platform/foundation/FileManager.hpp"

namespace plat {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kRecordSize = 16;

uint32_t be32(const Data& d, size_t at) {
    return uint32_t{d[at]} << 24 | uint32_t{d[at + 1]} << 16 | uint32_t{d[at + 2]} << 8 | uint32_t{d[at + 3]};
}

uint16_t be16(const Data& d, size_t at) {
    return static_cast<uint16_t>(d[at] << 8 | d[at + 1]);
}

// TrueType outlines (1.0 or 'true'), CFF outlines ('OTTO'), or the old 'typ1' wrapper; a collection
// ('ttcf') holds several fonts and is not a font of its own.
bool isSfntVersion(uint32_t version) {
    return version == 0x00010000 || version == 0x74727565 || version == 0x4F54544F || version == 0x74797031;
}

std::optional<std::string> fontPath(std::string_view font) {
    if (font.empty()) {
        return std::nullopt;
    }
    auto bundle = Bundle::main();
    if (auto path = bundle->pathForResource(font, "ttf")) {
        return path;
    }
    return bundle->pathForResource(font, "otf");
}

} // namespace

bool FontProvider::hasFont(std::string_view font) {
    return fontPath(font).has_value();
}

std::optional<Data> FontProvider::copyTable(std::string_view font, uint32_t tag) {
    auto path = fontPath(font);
    if (!path) {
        return std::nullopt;
    }
    auto bytes = readData(*path);
    if (!bytes) {
        return std::nullopt;
    }
    return tableFromFontData(*bytes, tag);
}

std::optional<Data> FontProvider::tableFromFontData(const Data& font, uint32_t tag) {
    if (font.size() < kHeaderSize || !isSfntVersion(be32(font, 0))) {
        return std::nullopt;
    }
    const size_t numTables = be16(font, 4);
    // A directory cut short is a damaged font: nothing in it is trusted.
    if (numTables * kRecordSize > font.size() - kHeaderSize) {
        return std::nullopt;
    }
    for (size_t i = 0; i < numTables; ++i) {
        const size_t record = kHeaderSize + i * kRecordSize;
        if (be32(font, record) != tag) {
            continue;
        }
        // 64-bit sums: offset + length cannot wrap.
        const uint64_t offset = be32(font, record + 8);
        const uint64_t length = be32(font, record + 12);
        if (offset > font.size() || length > font.size() - offset) {
            return std::nullopt;
        }
        return Data(font.begin() + static_cast<ptrdiff_t>(offset),
                    font.begin() + static_cast<ptrdiff_t>(offset + length));
    }
    return std::nullopt;
}

} // namespace plat
