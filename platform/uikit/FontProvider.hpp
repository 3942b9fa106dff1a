#pragma once
// The app's own fonts and their tables: a font named N is the file N.ttf (else N.otf) of the main bundle,
// read as an sfnt (big-endian; a table directory of 16-byte records after a 12-byte header).

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/Value.hpp"

namespace plat {

class FontProvider {
public:
    // Whether the main bundle has a font file of that name.
    static bool hasFont(std::string_view font);
    // The bytes of the table with that tag ('CRSH' = 0x43525348). None when the font is missing, the file is
    // not an sfnt, the tag is not in its directory, or the directory or the table runs past the file's end.
    static std::optional<Data> copyTable(std::string_view font, uint32_t tag);
    // The same over a font file's bytes.
    static std::optional<Data> tableFromFontData(const Data& font, uint32_t tag);
};

} // namespace plat
