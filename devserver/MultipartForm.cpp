#include "devserver/MultipartForm.hpp"

#include <algorithm>
#include <cctype>

namespace devserver {

namespace {

bool formSameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view formTrim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// The value of `key="…"` (or key=token) among the ';'-separated parameters of a header value.
std::optional<std::string> formParameter(std::string_view value, std::string_view key) {
    size_t at = value.find(';');
    while (at != std::string_view::npos) {
        std::string_view rest = formTrim(value.substr(at + 1));
        const size_t eq = rest.find('=');
        const size_t next = rest.find(';');
        if (eq != std::string_view::npos && (next == std::string_view::npos || eq < next) &&
            formSameText(formTrim(rest.substr(0, eq)), key)) {
            std::string_view v = rest.substr(eq + 1);
            if (!v.empty() && v.front() == '"') {
                const size_t close = v.find('"', 1);
                if (close == std::string_view::npos)
                    return std::nullopt;
                return std::string(v.substr(1, close - 1));
            }
            return std::string(formTrim(v.substr(0, v.find(';'))));
        }
        if (next == std::string_view::npos)
            break;
        at = value.size() - rest.size() + next;
    }
    return std::nullopt;
}

std::optional<ParsedForm> formFail(std::string* problem, std::string why) {
    if (problem)
        *problem = std::move(why);
    return std::nullopt;
}

} // namespace

std::string FormPart::header(std::string_view wanted) const {
    for (const auto& [key, value] : headers)
        if (formSameText(key, wanted))
            return value;
    return {};
}

const FormPart* ParsedForm::part(std::string_view name) const {
    for (const auto& p : parts)
        if (p.name == name)
            return &p;
    return nullptr;
}

std::optional<ParsedForm> parseMultipartForm(const RecordedRequest& request, std::string* problem) {
    const std::string type = request.header("content-type");
    if (!formSameText(formTrim(std::string_view(type).substr(0, type.find(';'))), "multipart/form-data"))
        return formFail(problem, "not multipart/form-data: " + type);
    ParsedForm form;
    auto boundary = formParameter(type, "boundary");
    if (!boundary || boundary->empty())
        return formFail(problem, "no boundary");
    form.boundary = *boundary;
    if (request.header("content-length") != std::to_string(request.body.size()))
        return formFail(problem, "Content-Length " + request.header("content-length") + " for a body of " +
                                     std::to_string(request.body.size()) + " bytes");
    const std::string_view body = request.body;
    const std::string preamble = "MIME-Version: 1.0\r\n";
    if (!body.starts_with(preamble))
        return formFail(problem, "no MIME-Version line");
    const std::string delimiter = "--" + form.boundary;
    size_t at = preamble.size();
    for (;;) {
        if (body.compare(at, delimiter.size(), delimiter) != 0)
            return formFail(problem, "no boundary at byte " + std::to_string(at));
        at += delimiter.size();
        if (body.substr(at) == "--\r\n")
            return form;
        if (body.compare(at, 2, "\r\n") != 0)
            return formFail(problem, "a boundary line with trailing bytes at " + std::to_string(at));
        at += 2;
        FormPart part;
        for (;;) {
            const size_t end = body.find("\r\n", at);
            if (end == std::string_view::npos)
                return formFail(problem, "a part's headers without an end");
            const std::string_view line = body.substr(at, end - at);
            at = end + 2;
            if (line.empty())
                break;
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0)
                return formFail(problem, "a header line without a name: " + std::string(line));
            part.headers.emplace_back(std::string(line.substr(0, colon)), std::string(formTrim(line.substr(colon + 1))));
        }
        const std::string disposition = part.header("content-disposition");
        if (!disposition.starts_with("form-data"))
            return formFail(problem, "a part without form-data disposition");
        auto name = formParameter(disposition, "name");
        if (!name || name->empty())
            return formFail(problem, "a part without a name");
        part.name = *name;
        part.fileName = formParameter(disposition, "filename");
        const size_t next = body.find("\r\n" + delimiter, at);
        if (next == std::string_view::npos)
            return formFail(problem, "a part without a closing boundary");
        part.body = std::string(body.substr(at, next - at));
        form.parts.push_back(std::move(part));
        at = next + 2;
    }
}

} // namespace devserver
