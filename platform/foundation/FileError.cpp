#include "platform/foundation/FileError.hpp"

#include <cerrno>
#include <memory>
#include <string>

namespace plat {

Error fileError(FileOperation operation, int err, std::string_view path) {
    int64_t code = 0;
    switch (operation) {
    case FileOperation::Read:
        code = (err == ENOENT || err == ENOTDIR) ? NSFileReadNoSuchFileError
               : (err == EACCES || err == EPERM) ? NSFileReadNoPermissionError
                                                 : NSFileReadUnknownError;
        break;
    case FileOperation::Write:
    case FileOperation::Modify:
        code = (err == ENOENT || err == ENOTDIR)                 ? NSFileNoSuchFileError
               : (err == EACCES || err == EPERM || err == EROFS) ? NSFileWriteNoPermissionError
               : (err == EEXIST || err == ENOTEMPTY)             ? NSFileWriteFileExistsError
               : (err == ENOSPC || err == EDQUOT)                ? NSFileWriteOutOfSpaceError
                                                                 : NSFileWriteUnknownError;
        break;
    }
    Dictionary info{{NSFilePathErrorKey, Value(std::string(path))}};
    return Error(NSCocoaErrorDomain, code, std::move(info), std::make_shared<const Error>(Error::posix(err)));
}

} // namespace plat
