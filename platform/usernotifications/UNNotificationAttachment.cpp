#include "platform/usernotifications/UNNotificationAttachment.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/usernotifications/UNConstants.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <utility>

namespace plat {

namespace {

struct KnownType {
    std::string_view extension;
    std::string_view type;
};

// The image, audio and video files a notification can show.
constexpr std::array<KnownType, 14> kTypes{{
    {"jpg", "public.jpeg"},
    {"jpeg", "public.jpeg"},
    {"png", "public.png"},
    {"gif", "com.compuserve.gif"},
    {"aif", "public.aiff-audio"},
    {"aiff", "public.aiff-audio"},
    {"wav", "com.microsoft.waveform-audio"},
    {"mp3", "public.mp3"},
    {"m4a", "public.mpeg-4-audio"},
    {"mp4", "public.mpeg-4"},
    {"m4v", "public.mpeg-4"},
    {"mpg", "public.mpeg"},
    {"mpeg", "public.mpeg"},
    {"avi", "public.avi"},
}};

Error attachmentError(int64_t code, std::string description) {
    return Error(UNErrorDomain, code, Dictionary{{NSLocalizedDescriptionKey, Value(std::move(description))}});
}

} // namespace

Result<UNNotificationAttachment> UNNotificationAttachment::create(std::string identifier, const URL& fileURL,
                                                                  Dictionary options) {
    bool isDirectory = false;
    if (!fileURL.isFileURL() || !FileManager::defaultManager().fileExists(fileURL.path(), &isDirectory) ||
        isDirectory) {
        return attachmentError(UNErrorCodeAttachmentInvalidURL, "Invalid attachment file URL");
    }
    std::string extension = fileURL.pathExtension();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto known = std::find_if(kTypes.begin(), kTypes.end(),
                              [&](const KnownType& t) { return t.extension == extension; });
    if (known == kTypes.end())
        return attachmentError(UNErrorCodeAttachmentUnrecognizedType, "Unrecognized attachment file type");
    if (identifier.empty())
        identifier = UUID::random().uuidString();
    return UNNotificationAttachment(std::move(identifier), fileURL, std::string(known->type),
                                    std::move(options));
}

} // namespace plat
