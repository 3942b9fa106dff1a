#include "platform/foundation/Mime.hpp"

#include "platform/foundation/String.hpp"

#include <array>

namespace plat {
namespace {

struct Entry {
    std::string_view extension;
    std::string_view type;
    bool preferred; // the extension given back for the type
};

// Where one type has several extensions, the first (preferred) one wins on the way back; where one extension
// has alternative type spellings in the wild, those spellings map back to it as well.
constexpr std::array kTable{
    Entry{"json", "application/json", true}, Entry{"png", "image/png", true},
    Entry{"jpeg", "image/jpeg", true},       Entry{"jpg", "image/jpeg", false},
    Entry{"gif", "image/gif", true},         Entry{"txt", "text/plain", true},
    Entry{"html", "text/html", true},        Entry{"htm", "text/html", false},
    Entry{"xml", "application/xml", true},   Entry{"xml", "text/xml", true},
    Entry{"pdf", "application/pdf", true},   Entry{"zip", "application/zip", true},
    Entry{"mp4", "video/mp4", true},         Entry{"mp3", "audio/mpeg", true},
    Entry{"wav", "audio/vnd.wave", true},    Entry{"wav", "audio/wav", true},
    Entry{"wav", "audio/x-wav", true},       Entry{"m4a", "audio/x-m4a", true},
    Entry{"m4a", "audio/mp4", true},         Entry{"aiff", "audio/aiff", true},
    Entry{"aif", "audio/aiff", false},       Entry{"aiff", "audio/x-aiff", true},
};

} // namespace

std::string Mime::typeForExtension(std::string_view extension) {
    std::string ext = String::lowercasedASCII(extension);
    for (const auto& e : kTable)
        if (e.extension == ext)
            return std::string(e.type); // first row of an extension carries its registered type
    return "application/octet-stream";
}

std::optional<std::string> Mime::extensionForType(std::string_view mimeType) {
    std::string type =
        String::lowercasedASCII(String::trimmingASCIIWhitespace(mimeType.substr(0, mimeType.find(';'))));
    for (const auto& e : kTable)
        if (e.type == type && e.preferred)
            return std::string(e.extension);
    return std::nullopt;
}

} // namespace plat
