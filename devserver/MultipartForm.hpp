#pragma once
// Reads the multipart/form-data bodies the kit host and its kits upload: the boundary from "Content-Type",
// "Content-Length" equal to the body, the "MIME-Version" line before the first boundary, then every part
// with its headers and bytes, and the closing boundary as the body's end.

#include "devserver/Route.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

struct FormPart {
    std::vector<std::pair<std::string, std::string>> headers; // as sent
    std::string name;                                         // from Content-Disposition
    std::optional<std::string> fileName;                      // from Content-Disposition
    std::string body;

    // The first value of the header `name` (any case), or empty.
    std::string header(std::string_view name) const;
};

struct ParsedForm {
    std::string boundary;
    std::vector<FormPart> parts;
    // The first part of that name, or null.
    const FormPart* part(std::string_view name) const;
};

// None, with `problem` set, for a body that is not such a form.
std::optional<ParsedForm> parseMultipartForm(const RecordedRequest& request, std::string* problem = nullptr);

} // namespace devserver
