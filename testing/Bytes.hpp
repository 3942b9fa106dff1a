#pragma once
// Bytes from text and back, for tests that compare bodies, files and encodings as readable text.

#include "platform/foundation/Value.hpp"

#include <string>
#include <string_view>

namespace plat::test {

inline plat::Data bytes(std::string_view text) {
    return plat::Data(text.begin(), text.end());
}

inline std::string text(const plat::Data& data) {
    return std::string(data.begin(), data.end());
}

} // namespace plat::test
