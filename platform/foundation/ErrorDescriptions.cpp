// The device's own description texts for the error codes the stand-ins give, so that every client that shows
// an error shows what the device would, whether or not the error carries NSLocalizedDescription.

#include "platform/foundation/Error.hpp"

namespace plat {
namespace {

std::string quoted(std::string_view name) {
    return "\u201c" + std::string(name) + "\u201d";
}

std::string_view lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

std::string_view parentFolder(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {};
    }
    return lastComponent(slash == 0 ? path.substr(0, 1) : path.substr(0, slash));
}

std::string stringValue(const Dictionary& info, const char* key) {
    const Value* v = info.find(key);
    return v && v->isString() ? v->asString() : std::string();
}

// The host of a URL's text, enough to fill the texts that name the server.
std::string_view hostOf(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    std::string_view rest = url.substr(scheme + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
    }
    if (!rest.empty() && rest.front() == '[') {
        return rest.substr(0, rest.find(']') + 1);
    }
    return rest.substr(0, rest.find(':'));
}

std::optional<std::string> fileDescription(int64_t code, std::string_view path) {
    const std::string file = path.empty() ? std::string() : quoted(lastComponent(path));
    const std::string_view parent = path.empty() ? std::string_view() : parentFolder(path);
    const std::string theFile = file.empty() ? "The file" : "The file " + file;
    const std::string inFolder = parent.empty() ? "" : " in the folder " + quoted(parent);
    switch (code) {
    case NSFileNoSuchFileError:
        return file.empty() ? "The file doesn\u2019t exist." : theFile + " doesn\u2019t exist.";
    case NSFileReadUnknownError:
        return theFile + " couldn\u2019t be opened.";
    case NSFileReadNoPermissionError:
        return theFile + " couldn\u2019t be opened because you don\u2019t have permission to view it.";
    case NSFileReadNoSuchFileError:
        return file.empty() ? "The file couldn\u2019t be opened because it doesn\u2019t exist."
                            : theFile + " couldn\u2019t be opened because there is no such file.";
    case NSFileWriteUnknownError:
        return theFile + " couldn\u2019t be saved" + inFolder + ".";
    case NSFileWriteNoPermissionError:
        return file.empty() ? "You don\u2019t have permission to save the file."
                            : "You don\u2019t have permission to save the file " + file + inFolder + ".";
    case NSFileWriteFileExistsError:
        return theFile + " couldn\u2019t be saved" + inFolder +
               " because a file with the same name already exists.";
    case NSFileWriteOutOfSpaceError:
        return theFile + " couldn\u2019t be saved because there isn\u2019t enough space.";
    case NSPropertyListReadCorruptError:
        return "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    case NSPropertyListWriteInvalidError:
        return "The data couldn\u2019t be written because it isn\u2019t in the correct format.";
    default:
        return std::nullopt;
    }
}

std::optional<std::string> urlDescription(int64_t code, std::string_view host) {
    switch (code) {
    case -999:  // cancelled
    case -1012: // user cancelled authentication
        return "cancelled";
    case -1000: // bad URL
    case -1002: // unsupported URL
        return "unsupported URL";
    case -1001:
        return "The request timed out.";
    case -1003:
        return "A server with the specified hostname could not be found.";
    case -1004:
        return "Could not connect to the server.";
    case -1005:
        return "The network connection was lost.";
    case -1007:
        return "too many HTTP redirects";
    case -1009:
        return "The Internet connection appears to be offline.";
    case -1011:
        return "bad server response";
    case -1013:
        return "The user name or password is incorrect.";
    case -1016:
        return "cannot decode content data";
    case -1021:
        return "request body stream exhausted";
    case -1100:
        return "The requested URL was not found on this server.";
    case -1103:
        return "resource exceeds maximum size";
    case -1200:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case -1202:
        return "The certificate for this server is invalid. You might be connecting to a server that is "
               "pretending to be " +
               quoted(host) + " which could put your confidential information at risk.";
    case -3000:
        return "cannot create file";
    case -3003:
        return "cannot write to file";
    default:
        return std::nullopt;
    }
}

} // namespace

std::string Error::urlLoadingDescription(int64_t code, std::string_view host) {
    return urlDescription(code, host).value_or("unknown error");
}

std::optional<std::string> Error::standardDescription() const {
    if (domain == NSCocoaErrorDomain) {
        return fileDescription(code, stringValue(userInfo, NSFilePathErrorKey));
    }
    if (domain == NSURLErrorDomain) {
        return urlDescription(code, hostOf(stringValue(userInfo, NSURLErrorFailingURLStringErrorKey)));
    }
    return std::nullopt;
}

std::string Error::displayText() const {
    std::string text = localizedDescription() + " (" + domain + " " + std::to_string(code);
    if (const std::string path = stringValue(userInfo, NSFilePathErrorKey); !path.empty()) {
        text += ", " + path;
    }
    if (const std::string debug = stringValue(userInfo, NSDebugDescriptionErrorKey); !debug.empty()) {
        text += "; " + debug;
    }
    return text + ")";
}

} // namespace plat
