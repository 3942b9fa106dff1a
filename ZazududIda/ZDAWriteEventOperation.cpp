#include "ZazududIda/ZDAWriteEventOperation.hpp"

#include "ZazududIda/ZDALogger.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Format.hpp"
#include "platform/foundation/Json.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
constexpr const char* kWriteLabel = "WriteOperation";

uint64_t millisecondsSince1970(plat::Date date) {
    const double ms = date.timeIntervalSince1970() * 1000.0;
    return ms > 0 ? static_cast<uint64_t>(ms) : 0;
}
} // namespace

ZDAWriteEventOperation::ZDAWriteEventOperation(ZDAEventPtr event, const ZDAMetadataSerializable& metadata,
                                               plat::URL logFileUrl)
    : event_(std::move(event)), logFileUrl_(std::move(logFileUrl)) {
    if (event_) {
        formattedEvent_ = generateFormattedLogLineWithEvent(*event_);
        formattedMetadata_ = generateFormattedLogLineWithMetdata(metadata, event_->timestamp());
    }
}

std::optional<std::string> ZDAWriteEventOperation::generateFormattedLogLineWithEvent(const ZDAEvent& event) {
    return logLineWithTimestamp(event.timestamp(), event.name(), event.dictionaryRepresentation());
}

std::optional<std::string>
ZDAWriteEventOperation::generateFormattedLogLineWithMetdata(const ZDAMetadataSerializable& metadata,
                                                            plat::Date timestamp) {
    const double seconds = timestamp.timeIntervalSince1970();
    const uint64_t startTime = seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
    return logLineWithTimestamp(timestamp, metadata.eventName(), metadata.dictionaryRepresentationWithStartTime(startTime));
}

std::optional<std::string> ZDAWriteEventOperation::logLineWithTimestamp(plat::Date timestamp,
                                                                        const std::string& eventName,
                                                                        const std::optional<plat::Dictionary>& payload) {
    if (!payload) {
        return std::nullopt;
    }
    auto json = plat::JSONSerialization::string(plat::Value(*payload));
    if (!json) {
        return std::nullopt;
    }
    std::string line = std::to_string(millisecondsSince1970(timestamp));
    line += '\t';
    line += eventName;
    line += '\t';
    line += std::to_string(json->size());
    line += '\t';
    line += *json;
    return line;
}

void ZDAWriteEventOperation::main() {
    success_ = false;
    const std::string path = logFileUrl_.path();
    bool isDirectory = false;
    const bool existed = plat::FileManager::defaultManager().fileExists(path, &isDirectory);
    if (existed && isDirectory) {
        return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    if (!existed) {
        // Event logs are written while the device is locked, so they carry no protection.
        (void)plat::FileManager::defaultManager().setFileProtection(path, plat::NSFileProtectionNone);
    }
    success_ = writeDataToDescriptor(fd, existed);
    if (::close(fd) != 0) {
        ZDALogger::sharedLogger().logWithLabel(kWriteLabel, "Failed to close file, error: %s", std::strerror(errno));
        success_ = false;
    }
    if (!success_ && !existed) {
        // A log must begin with its metadata line; the next write makes the file again.
        ::unlink(path.c_str());
    }
}

bool ZDAWriteEventOperation::writeDataToDescriptor(int descriptor, bool preexistingFile) {
    if (!formattedEvent_ || !formattedMetadata_) {
        return false;
    }
    struct stat before {};
    const bool sized = ::fstat(descriptor, &before) == 0;
    const auto restore = [&] {
        // Cut a partial line back off, so the next record does not run into it.
        if (sized && ::ftruncate(descriptor, before.st_size) != 0) {
            ZDALogger::sharedLogger().logWithLabel(kWriteLabel, "Failed to truncate: %s", std::strerror(errno));
        }
    };
    if (!preexistingFile && !appendLogLine(*formattedMetadata_, descriptor)) {
        restore();
        return false;
    }
    if (!appendLogLine(*formattedEvent_, descriptor)) {
        restore();
        return false;
    }
    return true;
}

bool ZDAWriteEventOperation::appendLogLine(const std::string& line, int descriptor) {
    const std::string text = line + "\n";
    const char* bytes = text.data();
    size_t remaining = text.size();
    for (int attempt = 0; attempt < kMaximumWritesPerLine; ++attempt) {
        errno = 0;
        const ssize_t written = writeBytes(descriptor, bytes, remaining);
        if (written < 0) {
            ZDALogger::sharedLogger().logWithLabel(kWriteLabel, "Failed to write: %s\n", std::strerror(errno));
            break;
        }
        if (static_cast<size_t>(written) > remaining) {
            ZDALogger::sharedLogger().logWithLabel(kWriteLabel, "Error: length doesn't make sense (%zd, %zu)\n",
                                                   written, remaining);
            return false;
        }
        if (static_cast<size_t>(written) == remaining) {
            return true;
        }
        if (written == 0) {
            break;
        }
        bytes += written;
        remaining -= static_cast<size_t>(written);
    }
    ZDALogger::sharedLogger().logWithLabel(kWriteLabel, "Error: exited write loop without success\n");
    return false;
}

ssize_t ZDAWriteEventOperation::writeBytes(int descriptor, const void* bytes, size_t length) {
    return ::write(descriptor, bytes, length);
}
