#pragma once
// Turns an errno from a file operation into the NSCocoaErrorDomain error the device reports, carrying
// NSFilePath and the POSIX error underneath.

#include "platform/foundation/Error.hpp"

#include <string_view>

namespace plat {

enum class FileOperation {
    Read,   // 260 missing, 257 no permission, 256 other
    Write,  // 4 missing folder, 513 no permission, 516 exists, 640 no space, 512 other
    Modify, // remove, move, attributes: 4 missing, 513 no permission, 516 exists, 512 other
};

Error fileError(FileOperation operation, int errnoValue, std::string_view path);

} // namespace plat
