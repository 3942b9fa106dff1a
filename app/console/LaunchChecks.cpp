#include "app/console/LaunchChecks.hpp"

#include "platform/foundation/FileError.hpp"
#include "platform/foundation/String.hpp"
#include "platform/net/ConnectTo.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

namespace console {
namespace {

namespace fs = std::filesystem;

std::string why(int err, const std::string& path) {
    return plat::fileError(plat::FileOperation::Read, err, path).displayText();
}

} // namespace

std::optional<std::string> checkBundle(const std::string& path) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        return "the bundle " + path + " cannot be read: " + why(ec.value(), path);
    }
    if (!fs::exists(status)) {
        return "the bundle " + path + " does not exist";
    }
    if (!fs::is_directory(status)) {
        return "the bundle " + path + " is not a folder";
    }
    if (fs::is_empty(path, ec) && !ec) {
        return "the bundle " + path +
               " is an empty folder: a bundle holds Info.plist, Config.json and "
               "RazozaService-Info.plist";
    }
    const std::string info = path + "/Info.plist";
    if (!fs::is_regular_file(info, ec)) {
        return "the bundle " + path + " has no Info.plist";
    }
    return std::nullopt;
}

std::optional<std::string> checkHome(const std::string& path) {
    std::error_code ec;
    // The nearest part of the path that exists must be a folder; the rest is made at boot.
    for (fs::path at = path; !at.empty(); at = at.parent_path()) {
        const auto status = fs::status(at, ec);
        if (fs::exists(status)) {
            if (!fs::is_directory(status)) {
                return "the app home " + path +
                       (at == fs::path(path) ? "" : " cannot be made: " + at.string()) + " is not a folder";
            }
            return std::nullopt;
        }
        if (at == at.parent_path()) {
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::string> checkResolveMap(const std::string& value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        if (comma == std::string::npos) {
            comma = value.size();
        }
        const std::string_view entry =
            plat::String::trimmingASCIIWhitespace(std::string_view(value).substr(start, comma - start));
        if (!entry.empty() && plat::ConnectTo::parse(entry).empty()) {
            return "PORTAL_APP_RESOLVE: the entry \"" + std::string(entry) +
                   "\" is not host:port:address:port (ports 0-65535)";
        }
        start = comma + 1;
    }
    return std::nullopt;
}

std::optional<std::string> checkCaFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "PORTAL_APP_CA_FILE: " + why(errno, path);
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    struct BioFree {
        void operator()(BIO* b) const { BIO_free(b); }
    };
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    int certificates = 0;
    ERR_clear_error();
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        X509_free(cert);
        ++certificates;
    }
    // The end of the input shows as "no start line"; anything else is a certificate that does not parse.
    const unsigned long error = ERR_peek_last_error();
    const bool clean = error == 0 || ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    if (certificates == 0) {
        return "PORTAL_APP_CA_FILE: " + path + " holds no PEM certificate";
    }
    if (!clean) {
        return "PORTAL_APP_CA_FILE: " + path + " holds a certificate that does not parse";
    }
    return std::nullopt;
}

} // namespace console
